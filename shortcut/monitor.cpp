#include "monitor.h"

#include <algorithm>
#include <cstdio>

#include "focused_input.h"
#include "host_watch.h"
#include "line_queue.h"
#include "output_line.h"
#include "shortcut_payload.h"
#include "tap_decision.h"

namespace keychord {

namespace {

void printErrorLine(std::string_view text) {
    static agents::OutputLineWriter standardError(stderr);
    standardError.writeLine(text);
}

}  // namespace

bool debugEventsRequested(const std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), "--debug") != arguments.end();
}

platform::TapVerdict handleTapEvent(const platform::TapEvent& event, const MonitorState& state) {
    const TapDecision decision =
        decideTapEvent(event.type, event.keyCode, event.autorepeat, event.flags, state.debugEvents);
    // Handed to the output thread: a host that stops reading costs debug
    // lines, never the keyboard.
    if (!decision.debugLine.empty()) standardOutputLines().writeDroppableLine(decision.debugLine.view());
    switch (decision.action) {
        case TapAction::pass:
            return platform::TapVerdict::pass;
        case TapAction::remove:
            return platform::TapVerdict::remove;
        case TapAction::removeAndEmit:
            state.shortcutEmissionQueue->async([accessibility = state.accessibility] {
                if (const auto ax = accessibility.lock()) emitShortcut(*ax);
            });
            return platform::TapVerdict::remove;
        case TapAction::enableAndPass:
            if (state.shortcutEventTap) state.shortcutEventTap->enable();
            return platform::TapVerdict::pass;
    }
    return platform::TapVerdict::pass;
}

void emitShortcut(platform::Accessibility& accessibility) {
    standardOutputLines().writeLine(shortcutLine(focusedInputPayload(accessibility)));
}

int runMonitorProcess(const std::vector<std::string>& arguments, platform::Platform& platform) {
    // spaceKeyCode is the constant 49 (tap_decision.h).
    const auto state = std::make_shared<MonitorState>();
    state->debugEvents = debugEventsRequested(arguments);
    state->shortcutEmissionQueue = platform.emissionQueue;
    state->accessibility = platform.accessibility;
    state->shortcutEventTap = nullptr;

    platform::EventTap& tap = *platform.eventTap;
    if (!tap.isProcessTrusted()) {
        printErrorLine("accessibility-permission-required");
        return 2;
    }
    const std::weak_ptr<const MonitorState> weakState = state;
    const bool created = tap.create([weakState](const platform::TapEvent& event) {
        const auto current = weakState.lock();
        if (!current) return platform::TapVerdict::pass;
        return handleTapEvent(event, *current);
    });
    if (!created) {
        printErrorLine("The app could not start the Fn shortcut monitor.");
        return 1;
    }
    state->shortcutEventTap = platform.eventTap;
    // Nobody is left to read the lines once the host has gone: the run loop
    // ends, and with it the process, with status 0.
    agents::watchHost([weakTap = std::weak_ptr<platform::EventTap>(platform.eventTap)] {
        if (const auto current = weakTap.lock()) current->stop();
    });
    tap.addToRunLoop();
    tap.enable();
    standardOutputLines().writeLine("ready");
    tap.run();
    state->shortcutEventTap.reset();
    return 0;
}

}  // namespace keychord
