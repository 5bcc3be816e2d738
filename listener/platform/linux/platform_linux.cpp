#include "../platform.h"
#include "linux_platform.h"
#include "linux_speech.h"

namespace hotword::platform {

Platform makeSystemPlatform() {
    std::shared_ptr<MainQueue> mainQueue = makeGlibMainQueue();
    std::shared_ptr<SpeechServices> speech = makeLinuxSpeechServices(mainQueue);
    return Platform{std::move(mainQueue), std::move(speech), makeLinuxProcessServices()};
}

}  // namespace hotword::platform
