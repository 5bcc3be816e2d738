#pragma once

#include <memory>

#include "platform/speech.h"

// The audio engine over PulseAudio (PipeWire's PulseAudio server works the
// same): a record stream on the default source whose buffers reach the tap on
// PulseAudio's own thread, cut into buffers of the tap's size. The input
// format is the default source's sample rate and channel count; no server or
// no default source reads as 0 Hz and 0 channels. A server that goes away
// only stops the buffers.
namespace hotword::speech {

std::shared_ptr<platform::AudioEngine> makePulseAudioEngine();

}  // namespace hotword::speech
