#include <csignal>
#include <memory>

#include "linux_backends.h"
#include "platform.h"
#include "worker_queue.h"

namespace keychord::platform {

Platform makeSystemPlatform() {
    // The agent holds the keyboards: it must never stop. Job control from a
    // terminal (Ctrl+Z, background reads and writes) is ignored, and a host
    // that closes its end of standard output ends the agent through the
    // host watch, not through SIGPIPE.
    for (int signalNumber : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) std::signal(signalNumber, SIG_IGN);
    auto emissionQueue = std::make_shared<WorkerQueue>();
    return Platform{makeLinuxAccessibility(), makeLinuxEventTap(), emissionQueue};
}

}  // namespace keychord::platform
