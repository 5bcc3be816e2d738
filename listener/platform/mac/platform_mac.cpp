// The macOS services of hotword-agent.
#include <csignal>

#include "../platform.h"

#include "backend_mac.h"

namespace hotword::platform {

Platform makeSystemPlatform() {
    // A host that has gone away must not kill the agent through a write to
    // its pipe; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    return Platform{mac::makeMainQueue(), mac::makeSpeechServices(), mac::makeProcessServices()};
}

}  // namespace hotword::platform
