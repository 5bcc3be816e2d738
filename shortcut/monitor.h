#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace keychord {

// The monitor's process-wide values. Start-up sets them once, before the
// tap is enabled; afterwards the tap callback only reads them.
struct MonitorState {
    bool debugEvents = false;
    std::shared_ptr<platform::SerialQueue> shortcutEmissionQueue;
    // Empty until the tap is created.
    std::shared_ptr<platform::EventTap> shortcutEventTap;
    // What the emission work items ask for the geometry.
    std::weak_ptr<platform::Accessibility> accessibility;
};

// Whether some argument (the program name included) is exactly "--debug".
bool debugEventsRequested(const std::vector<std::string>& arguments);

// The tap callback: writes the debug line, queues the emission of an
// accepted press, turns the tap back on after the system turned it off.
platform::TapVerdict handleTapEvent(const platform::TapEvent& event, const MonitorState& state);

// One shortcut line for the current focus. Runs on the emission queue.
void emitShortcut(platform::Accessibility& accessibility);

// The whole monitor: start-up checks, the tap, "ready", then the run loop.
// Returns the exit status: 2 when not trusted, 1 when the tap cannot be
// created, 0 if the run loop ever returns, which it does when the host
// has gone (its end of standard output closed, or the parent exited).
int runMonitorProcess(const std::vector<std::string>& arguments, platform::Platform& platform);

}  // namespace keychord
