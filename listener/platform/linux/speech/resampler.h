#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Turns captured audio of any rate and channel count into the decoder's
// 16 kHz mono 16-bit samples: the channels are averaged, then a windowed-sinc
// filter resamples the stream. The filter keeps its history between calls, so
// buffers of any size can be fed one after another.
namespace hotword::speech {

inline constexpr double decoderSampleRate = 16000;

class Resampler {
public:
    Resampler(double inputRate, std::uint32_t channelCount);

    // Appends the converted samples of interleaved input frames to `out`.
    void process(std::span<const float> interleaved, std::vector<std::int16_t>& out);

private:
    double kernel(double distance) const;

    double step_;        // input samples per output sample
    double cutoff_;      // low-pass cutoff relative to the input Nyquist rate
    std::uint32_t channels_;
    std::vector<float> history_;  // mono input not yet consumed, with look-back
    double position_ = 0;          // next output position within history_
    std::vector<float> table_;     // the kernel, sampled finely
};

}  // namespace hotword::speech
