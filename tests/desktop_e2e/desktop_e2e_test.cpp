// keychord-probe against a real GTK window, under a headless desktop
// (scripts/desktop-session.sh): every rectangle is compared with where the
// window really is (xwininfo) and where GTK draws its text.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
};

// The frame named `name` in a shortcut line, if it is there.
std::optional<Frame> frameIn(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("\"" + name + "\":{");
    if (at == std::string::npos) return std::nullopt;
    Frame frame;
    int consumed = 0;
    if (std::sscanf(line.c_str() + at + name.size() + 4, "\"x\":%lf,\"y\":%lf,\"width\":%lf,\"height\":%lf}%n",
                    &frame.x, &frame.y, &frame.width, &frame.height, &consumed) != 4 ||
        consumed == 0) {
        return std::nullopt;
    }
    return frame;
}

// The number after `label` in `text`.
std::optional<int> numberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::atoi(text.c_str() + at + label.size());
}

// The window's upper-left corner on the screen, from the X server.
std::pair<int, int> windowOrigin() {
    const auto result = testsupport::runToEnd({"/usr/bin/xwininfo", "-name", "keychord e2e"});
    const auto x = numberAfter(result.output, "Absolute upper-left X:");
    const auto y = numberAfter(result.output, "Absolute upper-left Y:");
    if (!x || !y) {
        ADD_FAILURE() << "xwininfo: " << result.output << result.error;
        return {0, 0};
    }
    return {*x, *y};
}

bool windowUnmapped() {
    const auto result = testsupport::runToEnd({"/usr/bin/xwininfo", "-name", "keychord e2e"});
    return result.output.find("IsUnMapped") != std::string::npos;
}

// A process id the desktop session exported, or 0.
pid_t sessionPid(const char* name) {
    const char* value = std::getenv(name);
    return value ? static_cast<pid_t>(std::atol(value)) : 0;
}

// Resident memory of a process, in kB (0 when unknown).
long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// The accessibility bus daemon: the launcher's dbus-daemon child.
pid_t accessibilityBusPid() {
    const pid_t launcher = sessionPid("DESKTOP_ATSPI_LAUNCHER_PID");
    pid_t found = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos || text.find("(dbus-daemon)") == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        long parent = 0;
        rest >> state >> parent;
        if (parent == launcher) {
            found = pid;
            break;
        }
        // A launcher that daemonised hands its bus to another parent; the bus
        // is still known by its configuration.
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (args.find("accessibility.conf") != std::string::npos) found = pid;
    }
    ::closedir(proc);
    return found;
}

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class DesktopE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        window_ = new ChildProcess({GTK_TEST_WINDOW_PATH});
        const auto ready = window_->readLine(20s);
        ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << window_->standardError();
        probe_ = new ChildProcess({KEYCHORD_PROBE_PATH});
    }
    static void TearDownTestSuite() {
        delete probe_;
        delete window_;
        probe_ = nullptr;
        window_ = nullptr;
    }

    // Focuses a widget; its rectangles in window coordinates as GTK has
    // them: input x y w h, then caret x y w h or nothing.
    static std::pair<Frame, std::optional<Frame>> focus(const std::string& widget) {
        window_->writeInput("focus " + widget + "\n");
        const auto answer = window_->readLine(10s);
        EXPECT_TRUE(answer) << "the window did not focus " << widget;
        std::istringstream in(answer.value_or(""));
        std::string word, name, caretWord;
        Frame input;
        in >> word >> name >> word >> input.x >> input.y >> input.width >> input.height >> caretWord;
        if (caretWord != "caret") return {input, std::nullopt};
        Frame caret;
        if (!(in >> caret.x >> caret.y >> caret.width >> caret.height)) return {input, std::nullopt};
        return {input, caret};
    }

    static std::string press(std::chrono::milliseconds timeout = 5s) {
        probe_->writeInput("\n");
        const auto line = probe_->readLine(timeout);
        EXPECT_TRUE(line) << "no shortcut line; probe error: " << probe_->standardError();
        return line.value_or("");
    }

    static ChildProcess* window_;
    static ChildProcess* probe_;
};

ChildProcess* DesktopE2e::window_ = nullptr;
ChildProcess* DesktopE2e::probe_ = nullptr;

struct InputCase {
    const char* widget;
};

class DesktopTextInputs : public DesktopE2e, public ::testing::WithParamInterface<InputCase> {};

TEST_P(DesktopTextInputs, FramesAreWhereTheWidgetAndItsCaretAreOnScreen) {
    const auto [input, caret] = focus(GetParam().widget);
    ASSERT_TRUE(caret);
    const auto [originX, originY] = windowOrigin();
    const std::string line = press();
    ASSERT_EQ(line.rfind("fn-space\t{", 0), 0u) << line;

    const auto inputFrame = frameIn(line, "inputFrame");
    ASSERT_TRUE(inputFrame) << line;
    EXPECT_EQ(inputFrame->x, originX + input.x);
    EXPECT_EQ(inputFrame->y, originY + input.y);
    EXPECT_EQ(inputFrame->width, input.width);
    EXPECT_EQ(inputFrame->height, input.height);

    const auto caretFrame = frameIn(line, "caretFrame");
    ASSERT_TRUE(caretFrame) << line;
    EXPECT_NEAR(caretFrame->x, originX + caret->x, 1.0);  // pixel rounding of the text layout
    EXPECT_EQ(caretFrame->y, originY + caret->y);
    EXPECT_EQ(caretFrame->width, 1);  // an empty range is one point wide
    EXPECT_EQ(caretFrame->height, caret->height);  // the height of the caret's line
}

INSTANTIATE_TEST_SUITE_P(Widgets, DesktopTextInputs,
                         ::testing::Values(InputCase{"filled"}, InputCase{"empty"}, InputCase{"password"},
                                           InputCase{"text"}),
                         [](const auto& info) { return std::string(info.param.widget); });

TEST_F(DesktopE2e, FocusedButtonGivesNeitherFrame) {
    const auto [input, caret] = focus("button");
    EXPECT_FALSE(caret);
    EXPECT_EQ(press(), "fn-space\t{}");
}

TEST_F(DesktopE2e, NoActiveWindowGivesNeitherFrame) {
    window_->writeInput("hide\n");
    ASSERT_EQ(window_->readLine(10s), "hidden");
    for (int i = 0; i < 100 && !windowUnmapped(); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(windowUnmapped());
    EXPECT_EQ(press(), "fn-space\t{}");
    window_->writeInput("show\n");
    EXPECT_EQ(window_->readLine(10s), "shown");
}

TEST_F(DesktopE2e, StoppedApplicationCostsAboutHalfASecond) {
    focus("filled");
    EXPECT_TRUE(frameIn(press(), "caretFrame"));

    window_->sendSignal(SIGSTOP);
    for (int round = 0; round < 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const std::string line = press(10s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(line.rfind("fn-space", 0), 0u) << line;
        EXPECT_LT(took, 700ms) << "round " << round;
        RecordProperty("stopped_press_ms_" + std::to_string(round),
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    window_->sendSignal(SIGCONT);

    // Once it answers again, so do the frames.
    focus("filled");
    EXPECT_TRUE(frameIn(press(), "inputFrame"));
}

// Ctrl+Z and background reads and writes from a terminal stop nothing: the
// keyboard would go with the process.
TEST_F(DesktopE2e, JobControlSignalsDoNotStopTheProbe) {
    for (int signalNumber : {SIGTSTP, SIGTTIN, SIGTTOU}) probe_->sendSignal(signalNumber);
    focus("filled");
    EXPECT_TRUE(frameIn(press(), "inputFrame"));
}

// Another application moves the focus very many times: the probe follows
// the events as they come, so neither it nor the accessibility bus keeps a
// backlog, and the next press answers as usual. The number of moves is
// KEYCHORD_FOCUS_FLOOD_MOVES (default 20000); the figures are recorded.
TEST_F(DesktopE2e, FocusFloodFromAnotherWindowKeepsMemoryBounded) {
    const char* wanted = std::getenv("KEYCHORD_FOCUS_FLOOD_MOVES");
    const int moves = wanted ? std::atoi(wanted) : 20000;
    focus("filled");
    for (int i = 0; i < 5; ++i) press();
    // The launcher may still be starting the accessibility bus on a busy machine.
    pid_t bus = accessibilityBusPid();
    for (int i = 0; i < 100 && bus <= 0; ++i) {
        std::this_thread::sleep_for(100ms);
        bus = accessibilityBusPid();
    }
    ASSERT_GT(bus, 0);
    const long probeBefore = residentKb(probe_->pid());
    const long busBefore = residentKb(bus);

    ChildProcess flood({GTK_TEST_WINDOW_PATH, "keychord flood"});
    const auto ready = flood.readLine(20s);
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << flood.standardError();
    const auto floodStart = std::chrono::steady_clock::now();
    flood.writeInput("flood " + std::to_string(moves) + "\n");
    ASSERT_EQ(flood.readLine(600s), "flooded " + std::to_string(moves));
    const long long floodMs = millisecondsSince(floodStart);

    focus("filled");
    const auto pressStart = std::chrono::steady_clock::now();
    std::string line = press();
    const long long pressMs = millisecondsSince(pressStart);
    // The window reports its focus as soon as GTK has it; the last of the
    // flood's events may still be on their way over the bus then, and the
    // probe follows them in order. It has to catch up within seconds.
    int presses = 1;
    for (; !frameIn(line, "inputFrame") && millisecondsSince(pressStart) < 5000; ++presses) {
        std::this_thread::sleep_for(100ms);
        line = press();
    }
    EXPECT_TRUE(frameIn(line, "inputFrame")) << line;
    std::this_thread::sleep_for(1s);
    const long probeAfter = residentKb(probe_->pid());
    const long busAfter = residentKb(bus);

    std::printf("focus flood: %d moves in %lld ms; probe RSS %ld -> %ld kB; accessibility bus RSS %ld -> %ld kB; "
                "next press %lld ms; presses until the input's frame %d\n",
                moves, floodMs, probeBefore, probeAfter, busBefore, busAfter, pressMs, presses);
    RecordProperty("moves", moves);
    RecordProperty("probe_rss_kb_before", static_cast<int>(probeBefore));
    RecordProperty("probe_rss_kb_after", static_cast<int>(probeAfter));
    RecordProperty("bus_rss_kb_before", static_cast<int>(busBefore));
    RecordProperty("bus_rss_kb_after", static_cast<int>(busAfter));
    RecordProperty("next_press_ms", static_cast<int>(pressMs));
    // Wide margins: the figures themselves are the measurement.
    EXPECT_LT(probeAfter - probeBefore, 20 * 1024);
    EXPECT_LT(busAfter - busBefore, 20 * 1024);
    EXPECT_LT(pressMs, 2000);
}

// Faults of the desktop's services; each runs in a desktop session of its
// own (they break it).
class DesktopFaults : public ::testing::Test {
protected:
    // Stopped for the test, continued whatever happens.
    struct StoppedProcess {
        explicit StoppedProcess(pid_t pid) : pid(pid) { ::kill(pid, SIGSTOP); }
        ~StoppedProcess() { ::kill(pid, SIGCONT); }
        pid_t pid;
    };

    static std::pair<std::string, long long> timedPress(ChildProcess& probe) {
        probe.writeInput("\n");
        const auto start = std::chrono::steady_clock::now();
        const auto line = probe.readLine(20s);
        return {line.value_or("(no line) " + probe.standardError()), millisecondsSince(start)};
    }
};

// The session bus does not answer from the start: the agent's start-up and
// its exit statuses never wait on it, and a press still gets its line
// within half a second.
TEST_F(DesktopFaults, StoppedSessionBusAtStart) {
    const pid_t bus = sessionPid("DESKTOP_SESSION_BUS_PID");
    ASSERT_GT(bus, 0);
    StoppedProcess stopped(bus);

    if (::access("/dev/uinput", W_OK) != 0) {
        // No keyboards to take here: the agent exits with status 2.
        const auto start = std::chrono::steady_clock::now();
        const auto result = testsupport::runToEnd({KEYCHORD_AGENT_PATH}, 20s);
        const long long took = millisecondsSince(start);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.error, "accessibility-permission-required\n");
        EXPECT_LT(took, 500);
        RecordProperty("exit_2_ms", static_cast<int>(took));
    }

    ChildProcess probe({KEYCHORD_PROBE_PATH});
    for (int round = 0; round < 3; ++round) {
        const auto [line, took] = timedPress(probe);
        EXPECT_EQ(line.rfind("fn-space", 0), 0u) << line;
        EXPECT_LT(took, 500) << "round " << round;
        RecordProperty("press_ms_" + std::to_string(round), static_cast<int>(took));
    }
}

// The X server goes away: the probe lives on and answers without frames.
TEST_F(DesktopFaults, KilledXServer) {
    ChildProcess window({GTK_TEST_WINDOW_PATH});
    const auto ready = window.readLine(20s);
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << window.standardError();
    ChildProcess probe({KEYCHORD_PROBE_PATH});
    const auto [before, beforeMs] = timedPress(probe);
    EXPECT_TRUE(frameIn(before, "inputFrame")) << before;

    const pid_t xvfb = sessionPid("DESKTOP_XVFB_PID");
    ASSERT_GT(xvfb, 0);
    ::kill(xvfb, SIGKILL);
    std::this_thread::sleep_for(300ms);
    for (int round = 0; round < 2; ++round) {
        const auto [line, took] = timedPress(probe);
        EXPECT_EQ(line, "fn-space\t{}") << "round " << round;
        EXPECT_LT(took, 1000) << "round " << round;
    }
    EXPECT_FALSE(probe.waitForExit(0ms).has_value()) << probe.standardError();
    EXPECT_EQ(probe.standardError(), "");
}

}  // namespace
