#include "linux_backends.h"

#include "atspi_accessibility.h"
#include "evdev_event_tap.h"

namespace keychord::platform {

std::shared_ptr<EventTap> makeLinuxEventTap() { return std::make_shared<linux_input::EvdevEventTap>(); }

std::shared_ptr<Accessibility> makeLinuxAccessibility(SerialQueue& emissionQueue) {
    auto accessibility = std::make_shared<atspi::AtspiAccessibility>();
    emissionQueue.async([weak = std::weak_ptr<atspi::AtspiAccessibility>(accessibility)] {
        if (const auto current = weak.lock()) current->start();
    });
    return accessibility;
}

}  // namespace keychord::platform
