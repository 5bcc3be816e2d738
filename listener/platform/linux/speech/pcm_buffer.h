#pragma once

#include <vector>

#include "platform/speech.h"

namespace hotword::speech {

// A captured buffer: interleaved 32-bit float samples in the capture format.
class PcmBuffer : public platform::AudioBuffer {
public:
    PcmBuffer(platform::AudioFormat format, std::vector<float> samples)
        : format(format), samples(std::move(samples)) {}
    platform::AudioFormat format;
    std::vector<float> samples;
};

}  // namespace hotword::speech
