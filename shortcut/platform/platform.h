#pragma once

#include <memory>

#include "accessibility.h"
#include "event_tap.h"

namespace keychord::platform {

// The services of one backend. The backend linked into the program defines
// makeSystemPlatform().
struct Platform {
    std::shared_ptr<Accessibility> accessibility;
    std::shared_ptr<EventTap> eventTap;
    // The serial emission queue (user-initiated quality of service).
    std::shared_ptr<SerialQueue> emissionQueue;
};

Platform makeSystemPlatform();

}  // namespace keychord::platform
