#include "linux_backends.h"

#include "atspi_thread.h"
#include "evdev_event_tap.h"

namespace keychord::platform {

std::shared_ptr<EventTap> makeLinuxEventTap() { return std::make_shared<linux_input::EvdevEventTap>(); }

std::shared_ptr<Accessibility> makeLinuxAccessibility() { return std::make_shared<atspi::AtspiThread>(); }

}  // namespace keychord::platform
