// The macOS services of hotword-agent.
#include <csignal>

#include "../platform.h"

#include "backend_mac.h"

namespace hotword::platform {

Platform makeSystemPlatform() {
    // A host that has gone away must not kill the agent through a write to
    // its pipe; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::shared_ptr<MainQueue> mainQueue = mac::makeMainQueue();
    std::shared_ptr<SpeechServices> speech = mac::makeSpeechServices(mainQueue);
    return Platform{std::move(mainQueue), std::move(speech), mac::makeProcessServices()};
}

}  // namespace hotword::platform
