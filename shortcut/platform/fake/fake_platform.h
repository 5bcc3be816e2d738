#pragma once

#include <memory>

#include "fake_accessibility.h"
#include "fake_event_tap.h"
#include "platform.h"
#include "worker_queue.h"

namespace keychord::platform {

// The fake services, kept by their own types for tests to script and
// inspect. The serial queue is the real worker queue.
struct FakePlatform {
    std::shared_ptr<FakeAccessibility> accessibility = std::make_shared<FakeAccessibility>();
    std::shared_ptr<FakeEventTap> eventTap = std::make_shared<FakeEventTap>();
    std::shared_ptr<WorkerQueue> emissionQueue = std::make_shared<WorkerQueue>();

    Platform ports() const { return Platform{accessibility, eventTap, emissionQueue}; }
};

}  // namespace keychord::platform
