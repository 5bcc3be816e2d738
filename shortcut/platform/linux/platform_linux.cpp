#include <memory>

#include "linux_backends.h"
#include "platform.h"
#include "worker_queue.h"

namespace keychord::platform {

Platform makeSystemPlatform() {
    auto emissionQueue = std::make_shared<WorkerQueue>();
    return Platform{makeLinuxAccessibility(*emissionQueue), makeLinuxEventTap(), emissionQueue};
}

}  // namespace keychord::platform
