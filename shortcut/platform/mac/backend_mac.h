#pragma once

#include <memory>

#include "../accessibility.h"
#include "../event_tap.h"

// The pieces of the macOS backend, put together by makeSystemPlatform().
namespace keychord::platform::mac {

std::shared_ptr<Accessibility> makeAccessibility();
std::shared_ptr<EventTap> makeEventTap();
std::shared_ptr<SerialQueue> makeEmissionQueue();

}  // namespace keychord::platform::mac
