#pragma once

#include <memory>

#include "platform/speech.h"

// The audio engine over PulseAudio (PipeWire's PulseAudio server works the
// same): a record stream on the default source whose buffers reach the tap on
// PulseAudio's own thread, cut into buffers of the tap's size. The input
// format is the default source's sample rate and channel count; no server or
// no default source reads as 0 Hz and 0 channels, and a server that exists but
// does not answer within a quarter second as 16 kHz mono (it is slow, not
// absent). The stream always asks for the tap's format; the server converts
// from the source's.
//
// Once started, the engine keeps the tap fed by itself: when the server, the
// source or the stream goes away, or the default source changes, it connects
// again to the current default source, retrying after 0.1 s and then at most
// every second while no server answers. The main thread never waits on the
// server for more than a quarter second per call.
namespace hotword::speech {

std::shared_ptr<platform::AudioEngine> makePulseAudioEngine();

}  // namespace hotword::speech
