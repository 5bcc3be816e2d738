// keychord-agent over the fake backend, for the process tests. Standard
// input scripts it: first the set-up lines, ended by "run" (or by the end of
// input), then one line per tapped event:
//
//   trusted 0|1        whether the process is trusted (default 1)
//   tap 0|1            whether the tap can be created (default 1)
//   tree text-field    the focused element (default): an AXTextField at
//                      100,200 300x24; its caret lies at x = 100 + n on the
//                      n-th query, so each line tells which query made it
//   tree none          no frontmost application
//   delay <ms>         each query takes this long (presses then queue up)
//   run
//   key <type> <code> <autorepeat> <flags>
//
// After the last event the run loop keeps running until the process is
// ended, as the real one does, or until the host has gone.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <csignal>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fake_platform.h"
#include "monitor.h"

namespace {

using namespace keychord::platform;

struct Setup {
    bool trusted = true;
    bool tapCreatable = true;
    bool textField = true;
    int delayMs = 0;
};

Setup readSetup() {
    Setup setup;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "run") break;
        if (word == "trusted") words >> setup.trusted;
        if (word == "tap") words >> setup.tapCreatable;
        if (word == "delay") words >> setup.delayMs;
        if (word == "tree") {
            std::string tree;
            words >> tree;
            setup.textField = tree != "none";
        }
    }
    return setup;
}

// The next line of standard input, or nothing when it has ended or the tap
// has been stopped (the host has gone) while waiting for it.
bool nextLine(const FakeEventTap& tap, std::string& line) {
    while (std::cin.rdbuf()->in_avail() <= 0 && !tap.stopped()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 50) > 0) break;
    }
    return !tap.stopped() && std::getline(std::cin, line);
}

std::optional<TapEvent> readEvent(const FakeEventTap& tap) {
    std::string line;
    while (nextLine(tap, line)) {
        std::istringstream words(line);
        std::string word;
        TapEvent event;
        if (words >> word && word == "key" && words >> event.type >> event.keyCode >> event.autorepeat >> event.flags)
            return event;
    }
    return std::nullopt;
}

void buildTextField(FakeAccessibility& ax, int delayMs) {
    const std::size_t app = ax.addElement("application");
    const std::size_t window = ax.addElement("window");
    const std::size_t field = ax.addElement("field");
    ax.setFrontmostApplication(4242, app);
    ax.setAttribute(app, "AXFocusedWindow", FakeAnswer::of(FakeElement{window}));
    ax.setAttribute(app, "AXFocusedUIElement", FakeAnswer::of(FakeElement{field}));
    ax.setAttribute(field, "AXRole", FakeAnswer::of(std::string("AXTextField")));
    ax.setAttribute(field, "AXPosition", FakeAnswer::of(Point{100, 200}));
    ax.setAttribute(field, "AXSize", FakeAnswer::of(Size{300, 24}));
    ax.setParameterizedAttribute(field, "AXBoundsForRange", [](const std::optional<FakeValue>& parameter) {
        const auto* range = parameter ? std::get_if<CharRange>(&*parameter) : nullptr;
        if (range == nullptr) return FakeAnswer::failure();
        return FakeAnswer::of(Rect{{100.0 + static_cast<double>(range->location), 204}, {0, 16}});
    });
    // The n-th query finds the caret at offset n.
    auto queries = std::make_shared<std::int64_t>(0);
    FakeAccessibility* raw = &ax;
    ax.setQueryHook([raw, field, queries, delayMs] {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        raw->setAttribute(field, "AXSelectedTextRange", FakeAnswer::of(CharRange{++*queries, 0}));
    });
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    // Reading the script never waits for standard output to be read, and a
    // host that closes standard output ends the agent through the host
    // watch, as on Linux.
    std::cin.tie(nullptr);
    // Standard input gets a buffer of its own, so that what it holds is
    // known before waiting for more.
    std::ios::sync_with_stdio(false);
    std::signal(SIGPIPE, SIG_IGN);
    const Setup setup = readSetup();
    FakePlatform fake;
    fake.eventTap->setTrusted(setup.trusted);
    fake.eventTap->setCreationFails(!setup.tapCreatable);
    fake.eventTap->setEventSource([&tap = *fake.eventTap] { return readEvent(tap); });
    fake.eventTap->setKeepRunningAfterScript(true);
    if (setup.textField) buildTextField(*fake.accessibility, setup.delayMs);
    Platform platform = fake.ports();
    return keychord::runMonitorProcess(arguments, platform);
}
