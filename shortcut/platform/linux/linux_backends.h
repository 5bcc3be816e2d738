#pragma once

#include <memory>

#include "accessibility.h"
#include "event_tap.h"

// The Linux services behind the shortcut ports. Each factory is defined by
// the file that implements that service.
namespace keychord::platform {

std::shared_ptr<EventTap> makeLinuxEventTap();
std::shared_ptr<Accessibility> makeLinuxAccessibility();

}  // namespace keychord::platform
