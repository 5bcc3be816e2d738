#include "phrase_spotter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <sstream>
#include <utility>

#include "phrase_model_weights.h"

namespace hotword::speech {

namespace {

constexpr int sampleRate = 16000;
constexpr int frameLength = 400;  // 25 ms
constexpr int hop = 160;          // 10 ms
constexpr int fftSize = 512;
constexpr int fftBins = fftSize / 2 + 1;
constexpr double lowHz = 60, highHz = 7600;
constexpr float logFloor = 1e-8f;

double mel(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }

// Twiddle factors of the FFT: cos and -sin of 2 pi k / fftSize.
struct Twiddles {
    std::array<float, fftSize / 2> re{}, im{};
    Twiddles() {
        for (int k = 0; k < fftSize / 2; ++k) {
            re[k] = static_cast<float>(std::cos(2 * std::numbers::pi * k / fftSize));
            im[k] = static_cast<float>(-std::sin(2 * std::numbers::pi * k / fftSize));
        }
    }
};

// In-place radix-2 FFT of fftSize points.
void fft(std::vector<float>& re, std::vector<float>& im) {
    static const Twiddles twiddles;
    const int n = fftSize;
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (int length = 2; length <= n; length <<= 1) {
        const int stride = n / length;  // the twiddle of k is that of k * stride in the whole FFT
        for (int k = 0; k < length / 2; ++k) {
            const float wr = twiddles.re[static_cast<std::size_t>(k * stride)];
            const float wi = twiddles.im[static_cast<std::size_t>(k * stride)];
            for (int i = k; i < n; i += length) {
                const int j = i + length / 2;
                const float xr = re[j] * wr - im[j] * wi;
                const float xi = re[j] * wi + im[j] * wr;
                re[j] = re[i] - xr;
                im[j] = im[i] - xi;
                re[i] += xr;
                im[i] += xi;
            }
        }
    }
}

struct Layer {
    const float* weights;  // taps x in x out
    const float* bias;
    int in, out, taps, stride;
};

const Layer convolutions[] = {
    {phrase_model::conv0Weights, phrase_model::conv0Bias, phraseBands, 48, 5, 2},
    {phrase_model::conv1Weights, phrase_model::conv1Bias, 48, 48, 5, 2},
    {phrase_model::conv2Weights, phrase_model::conv2Bias, 48, 64, 5, 2},
    {phrase_model::conv3Weights, phrase_model::conv3Bias, 64, 64, 3, 2},
};
constexpr int hidden = 64;

// One strided convolution over time (zero padding of taps / 2 on each side),
// then ReLU. Input and output are time-major.
std::vector<float> convolve(const Layer& layer, const std::vector<float>& input, int steps, int& outSteps) {
    const int pad = layer.taps / 2;
    outSteps = (steps + 2 * pad - layer.taps) / layer.stride + 1;
    std::vector<float> output(static_cast<std::size_t>(outSteps) * layer.out);
    for (int t = 0; t < outSteps; ++t) {
        float* y = &output[static_cast<std::size_t>(t) * layer.out];
        for (int o = 0; o < layer.out; ++o) y[o] = layer.bias[o];
        for (int tap = 0; tap < layer.taps; ++tap) {
            const int source = t * layer.stride + tap - pad;
            if (source < 0 || source >= steps) continue;
            const float* x = &input[static_cast<std::size_t>(source) * layer.in];
            const float* w = layer.weights + static_cast<std::size_t>(tap) * layer.in * layer.out;
            for (int i = 0; i < layer.in; ++i, w += layer.out) {
                const float xi = x[i];
                if (xi == 0) continue;  // most inputs after ReLU
                for (int o = 0; o < layer.out; ++o) y[o] += w[o] * xi;
            }
        }
        for (int o = 0; o < layer.out; ++o) y[o] = std::max(y[o], 0.0f);
    }
    return output;
}

}  // namespace

LogMelFrames::LogMelFrames() : window_(frameLength), re_(fftSize), im_(fftSize) {
    for (int i = 0; i < frameLength; ++i) {
        window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / frameLength));
    }
    const double low = mel(lowHz), high = mel(highHz);
    for (int b = 0; b < phraseBands; ++b) {
        const double lo = low + (high - low) * b / (phraseBands + 1);
        const double mid = low + (high - low) * (b + 1) / (phraseBands + 1);
        const double hi = low + (high - low) * (b + 2) / (phraseBands + 1);
        Band band;
        band.first = -1;
        for (int k = 0; k < fftBins; ++k) {
            const double m = mel(static_cast<double>(k) * sampleRate / fftSize);
            const double weight = std::max(0.0, std::min((m - lo) / (mid - lo), (hi - m) / (hi - mid)));
            if (weight <= 0) {
                if (band.first >= 0) break;
                continue;
            }
            if (band.first < 0) band.first = k;
            band.weights.push_back(static_cast<float>(weight));
        }
        if (band.first < 0) band.first = 0;
        bands_.push_back(std::move(band));
    }
}

void LogMelFrames::process(std::span<const std::int16_t> samples, std::vector<float>& out) {
    for (const std::int16_t s : samples) pending_.push_back(static_cast<float>(s) / 32768.0f);
    std::size_t at = 0;
    for (; at + frameLength <= pending_.size(); at += hop) {
        std::fill(re_.begin(), re_.end(), 0.0f);
        std::fill(im_.begin(), im_.end(), 0.0f);
        for (int i = 0; i < frameLength; ++i) re_[i] = pending_[at + i] * window_[i];
        fft(re_, im_);
        for (const Band& band : bands_) {
            float energy = 0;
            for (std::size_t j = 0; j < band.weights.size(); ++j) {
                const int k = band.first + static_cast<int>(j);
                energy += band.weights[j] * (re_[k] * re_[k] + im_[k] * im_[k]);
            }
            out.push_back(std::log(energy + logFloor));
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

float phraseProbability(std::span<const float> window) {
    if (window.size() != static_cast<std::size_t>(phraseWindowFrames) * phraseBands) return 0;
    // Each band relative to its mean over the window.
    std::vector<float> x(window.begin(), window.end());
    for (int b = 0; b < phraseBands; ++b) {
        double mean = 0;
        for (int t = 0; t < phraseWindowFrames; ++t) mean += x[static_cast<std::size_t>(t) * phraseBands + b];
        mean /= phraseWindowFrames;
        for (int t = 0; t < phraseWindowFrames; ++t) {
            x[static_cast<std::size_t>(t) * phraseBands + b] -= static_cast<float>(mean);
        }
    }
    int steps = phraseWindowFrames;
    for (const Layer& layer : convolutions) {
        int outSteps = 0;
        x = convolve(layer, x, steps, outSteps);
        steps = outSteps;
    }
    float units[hidden];
    std::copy(phrase_model::dense0Bias, phrase_model::dense0Bias + hidden, units);
    const float* w = phrase_model::dense0Weights;
    for (std::size_t i = 0; i < x.size(); ++i, w += hidden) {
        if (x[i] == 0) continue;
        for (int h = 0; h < hidden; ++h) units[h] += w[h] * x[i];
    }
    float logit = phrase_model::dense1Bias[0];
    for (int h = 0; h < hidden; ++h) logit += phrase_model::dense1Weights[h] * std::max(units[h], 0.0f);
    return 1.0f / (1.0f + std::exp(-logit));
}

bool PhraseSpotter::process(std::span<const std::int16_t> samples) {
    fresh_.clear();
    frames_.process(samples, fresh_);
    bool scored = false;
    const std::size_t windowValues = static_cast<std::size_t>(phraseWindowFrames) * phraseBands;
    for (std::size_t at = 0; at < fresh_.size(); at += phraseBands) {
        history_.insert(history_.end(), fresh_.begin() + static_cast<std::ptrdiff_t>(at),
                        fresh_.begin() + static_cast<std::ptrdiff_t>(at + phraseBands));
        if (history_.size() > windowValues) {
            history_.erase(history_.begin(), history_.begin() + phraseBands);
        }
        ++frameCount_;
        if (++framesSinceScore_ >= step && history_.size() == windowValues) {
            framesSinceScore_ = 0;
            peak_ = std::max(peak_, phraseProbability(history_));
            scored = true;
        }
    }
    return scored;
}

float PhraseSpotter::takePeak() { return std::exchange(peak_, 0.0f); }

void PhraseSpotter::reset() {
    frames_ = LogMelFrames();
    history_.clear();
    framesSinceScore_ = 0;
    frameCount_ = 0;
    peak_ = 0;
}

bool heardByModel(std::span<const PhraseScore> scores, std::uint64_t from, double threshold) {
    if (scores.size() < 2) return false;
    const PhraseScore& last = scores.back();
    const PhraseScore& before = scores[scores.size() - 2];
    // Scores are made every `step` frames; a piece of audio may hold one
    // score or none, so the frames of two consecutive ones are less than two
    // steps apart.
    return before.frame >= from && last.frame - before.frame < 2 * PhraseSpotter::step &&
           std::min(last.probability, before.probability) >= threshold;
}

PhraseJudgement judgePhrase(const std::string& transcript, double score, const PhraseRule& rule) {
    std::vector<std::string> words;
    std::istringstream in(transcript);
    for (std::string word; in >> word;) words.push_back(word);
    auto endsPhrase = [&](std::size_t i) {
        return i > 0 && !rule.phrase.empty() && words[i - 1] == rule.phrase.front() &&
               std::find(rule.endings.begin(), rule.endings.end(), words[i]) != rule.endings.end();
    };
    bool searched = false, partly = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        searched = searched || endsPhrase(i);
        // One of the phrase's words counts among the last three words only:
        // the model's score is of the last moments.
        partly = partly || (i + 3 >= words.size() &&
                            (std::find(rule.phrase.begin(), rule.phrase.end(), words[i]) != rule.phrase.end() ||
                             std::find(rule.endings.begin(), rule.endings.end(), words[i]) != rule.endings.end()));
    }
    PhraseJudgement judgement;
    judgement.heard = score >= rule.alone || (searched && score >= rule.confirm) || (partly && score >= rule.partial);
    if (judgement.heard == searched) {
        judgement.transcript = transcript;
        return judgement;
    }
    auto add = [&](const std::string& word) {
        if (!judgement.transcript.empty()) judgement.transcript += ' ';
        judgement.transcript += word;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (judgement.heard || !endsPhrase(i)) add(words[i]);
    }
    if (judgement.heard) {
        for (const std::string& word : rule.phrase) add(word);
    }
    return judgement;
}

}  // namespace hotword::speech
