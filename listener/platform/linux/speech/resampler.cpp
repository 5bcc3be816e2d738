#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace hotword::speech {

namespace {

constexpr int halfTaps = 8;           // kernel reach in input samples, each side
constexpr int tableResolution = 512;  // kernel samples per input sample

std::int16_t toSample(double value) {
    const double scaled = std::round(value * 32767.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

}  // namespace

Resampler::Resampler(double inputRate, std::uint32_t channelCount)
    : step_(inputRate / decoderSampleRate),
      cutoff_(std::min(1.0, decoderSampleRate / inputRate) * 0.95),
      channels_(std::max<std::uint32_t>(1, channelCount)) {
    // Blackman-windowed sinc, scaled for unit gain at the cutoff.
    const double reach = halfTaps / cutoff_;
    table_.resize(static_cast<std::size_t>(std::ceil(reach * tableResolution)) + 2);
    for (std::size_t i = 0; i < table_.size(); ++i) {
        const double x = static_cast<double>(i) / tableResolution;
        double value = 0;
        if (x < reach) {
            const double t = std::numbers::pi * x * cutoff_;
            const double sinc = x == 0 ? 1.0 : std::sin(t) / t;
            const double w = 0.42 + 0.5 * std::cos(std::numbers::pi * x / reach) +
                             0.08 * std::cos(2 * std::numbers::pi * x / reach);
            value = cutoff_ * sinc * w;
        }
        table_[i] = static_cast<float>(value);
    }
    // Start with silence as look-back so the first output sample is defined.
    history_.assign(static_cast<std::size_t>(std::ceil(reach)), 0.0f);
    position_ = static_cast<double>(history_.size());
}

double Resampler::kernel(double distance) const {
    const double index = std::abs(distance) * tableResolution;
    const auto low = static_cast<std::size_t>(index);
    if (low + 1 >= table_.size()) return 0;
    const double fraction = index - static_cast<double>(low);
    return table_[low] * (1 - fraction) + table_[low + 1] * fraction;
}

void Resampler::process(std::span<const float> interleaved, std::vector<std::int16_t>& out) {
    const std::size_t frames = interleaved.size() / channels_;
    const bool passThrough = step_ == 1.0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        float sum = 0;
        for (std::uint32_t channel = 0; channel < channels_; ++channel) {
            sum += interleaved[frame * channels_ + channel];
        }
        const float mono = sum / static_cast<float>(channels_);
        if (passThrough) {
            out.push_back(toSample(mono));
        } else {
            history_.push_back(mono);
        }
    }
    if (passThrough) return;

    const double reach = halfTaps / cutoff_;
    // Produce every output sample whose kernel lies wholly within history_.
    while (position_ + reach + 1 < static_cast<double>(history_.size())) {
        const auto first = static_cast<std::ptrdiff_t>(std::ceil(position_ - reach));
        const auto last = static_cast<std::ptrdiff_t>(std::floor(position_ + reach));
        double value = 0;
        for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, first); i <= last; ++i) {
            value += history_[static_cast<std::size_t>(i)] * kernel(static_cast<double>(i) - position_);
        }
        out.push_back(toSample(value));
        position_ += step_;
    }
    // Drop input that no later output sample can reach.
    const auto keepFrom = static_cast<std::ptrdiff_t>(std::floor(position_ - reach)) - 1;
    if (keepFrom > 0) {
        history_.erase(history_.begin(), history_.begin() + keepFrom);
        position_ -= static_cast<double>(keepFrom);
    }
}

}  // namespace hotword::speech
