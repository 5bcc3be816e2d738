#include <csignal>

#include "../platform.h"
#include "linux_platform.h"
#include "linux_speech.h"

namespace hotword::platform {

Platform makeSystemPlatform() {
    // A host that has gone away must not kill the agent through a write to
    // its pipe; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::shared_ptr<MainQueue> mainQueue = makeGlibMainQueue();
    std::shared_ptr<SpeechServices> speech = makeLinuxSpeechServices(mainQueue);
    return Platform{std::move(mainQueue), std::move(speech), makeLinuxProcessServices()};
}

}  // namespace hotword::platform
