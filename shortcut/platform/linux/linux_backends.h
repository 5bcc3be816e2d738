#pragma once

#include <memory>

#include "accessibility.h"
#include "event_tap.h"

// The Linux services behind the shortcut ports (linux_backends.cpp).
namespace keychord::platform {

// evdev keyboards relayed through a uinput virtual keyboard.
std::shared_ptr<EventTap> makeLinuxEventTap();
// AT-SPI2 on a thread of its own, which connects at once, so focus is
// followed from the start.
std::shared_ptr<Accessibility> makeLinuxAccessibility();

}  // namespace keychord::platform
