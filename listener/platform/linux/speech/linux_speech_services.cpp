// The Linux backend's speech and audio services: PocketSphinx over the
// distribution's installed models, and PulseAudio.
#include "linux_speech.h"

#include "pocketsphinx_speech_services.h"

namespace hotword::platform {

std::shared_ptr<SpeechServices> makeLinuxSpeechServices(std::shared_ptr<MainQueue> mainQueue) {
    return speech::makePocketSphinxSpeechServices(std::move(mainQueue), speech::installedModelRoot());
}

}  // namespace hotword::platform
