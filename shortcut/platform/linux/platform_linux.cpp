#include <memory>

#include "linux_backends.h"
#include "platform.h"
#include "worker_queue.h"

namespace keychord::platform {

Platform makeSystemPlatform() {
    return Platform{makeLinuxAccessibility(), makeLinuxEventTap(), std::make_shared<WorkerQueue>()};
}

}  // namespace keychord::platform
