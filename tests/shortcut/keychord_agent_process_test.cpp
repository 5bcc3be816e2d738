#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.h"
#include "shortcut_payload.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

constexpr auto lineTimeout = 20s;
constexpr std::uint64_t fn = 0x800000;

std::string key(std::uint32_t type, std::int64_t code, std::int64_t autorepeat, std::uint64_t flags) {
    return "key " + std::to_string(type) + " " + std::to_string(code) + " " + std::to_string(autorepeat) + " " +
           std::to_string(flags) + "\n";
}
const std::string fnSpace = key(10, 49, 0, fn);
const std::string fnSpaceRepeat = key(10, 49, 1, fn);
const std::string space = key(10, 49, 0, 0);
const std::string fnA = key(10, 0, 0, fn);

// The shortcut line of the fake text field for the n-th query: the caret
// moves one point to the right per query.
std::string textFieldLine(int n) {
    return keychord::shortcutLine({keychord::FramePayload{100, 200, 300, 24},
                                   keychord::FramePayload{100.0 + n, 204, 1, 16}});
}

std::string debugLine(std::int64_t code, std::uint64_t flags, bool repeat) {
    return "key=" + std::to_string(code) + " flags=" + std::to_string(flags) + " repeat=" + (repeat ? "true" : "false");
}

bool digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "key=<signed decimal> flags=<unsigned decimal> repeat=<true|false>"
bool isDebugLine(std::string_view line) {
    const std::size_t flags = line.find(" flags=");
    const std::size_t repeat = line.find(" repeat=");
    if (line.substr(0, 4) != "key=" || flags == std::string_view::npos || repeat == std::string_view::npos ||
        repeat < flags)
        return false;
    std::string_view code = line.substr(4, flags - 4);
    if (!code.empty() && code[0] == '-') code.remove_prefix(1);
    const std::string_view mask = line.substr(flags + 7, repeat - flags - 7);
    const std::string_view value = line.substr(repeat + 8);
    return digits(code) && digits(mask) && (value == "true" || value == "false");
}

class FakeAgent : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments, const std::string& setup) {
        std::vector<std::string> argv{KEYCHORD_AGENT_FAKE_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto child = std::make_unique<ChildProcess>(argv);
        child->writeInput(setup + "run\n");
        return child;
    }

    static void expectLine(ChildProcess& child, const std::string& expected) {
        const std::optional<std::string> line = child.readLine(lineTimeout);
        ASSERT_TRUE(line.has_value()) << "expected: " << expected;
        EXPECT_EQ(*line, expected);
    }
};

TEST_F(FakeAgent, NotTrustedExitsWithStatus2AndNothingOnStandardOutput) {
    const auto result = testsupport::runToEnd({KEYCHORD_AGENT_FAKE_PATH, "--debug"}, 20s, "trusted 0\nrun\n" + fnSpace);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.error, "accessibility-permission-required\n");
    EXPECT_EQ(result.output, "");
}

TEST_F(FakeAgent, TapThatCannotBeCreatedExitsWithStatus1) {
    const auto result = testsupport::runToEnd({KEYCHORD_AGENT_FAKE_PATH}, 20s, "tap 0\nrun\n" + fnSpace);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.error, "The app could not start the Fn shortcut monitor.\n");
    EXPECT_EQ(result.output, "");
}

TEST_F(FakeAgent, ReadyComesFirstThenOneLinePerPress) {
    auto child = start({}, "");
    expectLine(*child, "ready");
    child->writeInput(space + fnA + fnSpace);
    expectLine(*child, textFieldLine(1));
    child->writeInput(fnSpaceRepeat + fnSpace);
    expectLine(*child, textFieldLine(2));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(lineTimeout), -SIGTERM);
    EXPECT_EQ(child->standardError(), "");
}

TEST_F(FakeAgent, NoFrontmostApplicationStillReportsThePress) {
    auto child = start({}, "tree none\n");
    expectLine(*child, "ready");
    child->writeInput(fnSpace);
    expectLine(*child, "fn-space\t{}");
}

// Presses come far faster than the queries finish: each is queued and
// reported in press order, one line per press. Repeats and other keys in
// between give nothing.
TEST_F(FakeAgent, BurstOfPressesGivesOneLinePerPressInOrder) {
    constexpr int presses = 25;
    std::string burst;
    for (int i = 0; i < presses; ++i) burst += fnSpace + fnSpaceRepeat + fnSpaceRepeat + space + fnA;
    auto child = start({}, "delay 10\n");
    child->writeInput(burst);
    expectLine(*child, "ready");
    for (int n = 1; n <= presses; ++n) expectLine(*child, textFieldLine(n));
    EXPECT_FALSE(child->readLine(300ms).has_value());
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(lineTimeout), -SIGTERM);
    EXPECT_EQ(child->standardError(), "");
}

TEST_F(FakeAgent, DebugLineOfEveryKeyDownComesBeforeThePressLine) {
    auto child = start({"--debug"}, "delay 5\n");
    child->writeInput(space + key(11, 49, 0, fn) + fnSpace + fnSpaceRepeat + fnA + key(0xFFFFFFFE, 49, 0, fn) +
                      fnSpace);
    expectLine(*child, "ready");
    expectLine(*child, debugLine(49, 0, false));
    expectLine(*child, debugLine(49, fn, false));
    // The rest of the debug lines may come before or after the first press's line.
    std::vector<std::string> rest;
    for (int i = 0; i < 5; ++i) {
        const auto line = child->readLine(lineTimeout);
        ASSERT_TRUE(line.has_value());
        rest.push_back(*line);
    }
    const std::vector<std::string> debugAfter{debugLine(49, fn, true), debugLine(0, fn, false),
                                              debugLine(49, fn, false)};
    std::vector<std::string> debugSeen;
    std::vector<std::string> pressLines;
    for (const auto& line : rest) (line.rfind("key=", 0) == 0 ? debugSeen : pressLines).push_back(line);
    EXPECT_EQ(debugSeen, debugAfter);
    EXPECT_EQ(pressLines, (std::vector<std::string>{textFieldLine(1), textFieldLine(2)}));
    // The second press's line follows its own debug line.
    EXPECT_LT(std::find(rest.begin(), rest.end(), debugLine(49, fn, false)) - rest.begin(),
              std::find(rest.begin(), rest.end(), textFieldLine(2)) - rest.begin());
}

// Debug lines from the tap's thread and shortcut lines from the emission
// queue are written at the same time; no line may mix with another.
TEST_F(FakeAgent, ConcurrentDebugAndShortcutLinesNeverMix) {
    constexpr int rounds = 1500;
    std::string events;
    for (int i = 0; i < rounds; ++i) events += key(10, i, 0, fn) + fnSpace + key(10, 49, 0, i);
    auto child = start({"--debug"}, "");
    // More output than a pipe holds: write the events while the lines are read.
    std::thread writer([&child, &events] { child->writeInput(events); });
    struct Join {
        ChildProcess& child;
        std::thread& thread;
        ~Join() {
            // A child that is still running is stopped first, so that a
            // blocked write ends.
            if (!child.waitForExit(0ms)) child.sendSignal(SIGKILL);
            thread.join();
        }
    } join{*child, writer};
    expectLine(*child, "ready");

    std::vector<std::string> debugLines;
    int pressLines = 0;
    int debugPressesSeen = 0;  // Fn+Space debug lines so far
    const std::string fnSpaceDebug = debugLine(49, fn, false);
    while (debugLines.size() < 3 * rounds || pressLines < rounds) {
        const auto line = child->readLine(lineTimeout);
        ASSERT_TRUE(line.has_value()) << debugLines.size() << " debug and " << pressLines << " press lines";
        if (line->rfind("fn-space", 0) == 0) {
            ++pressLines;
            ASSERT_EQ(*line, textFieldLine(pressLines));
            // Each press's line comes after that press's debug line.
            ASSERT_LE(pressLines, debugPressesSeen);
        } else {
            ASSERT_TRUE(isDebugLine(*line)) << *line;
            if (*line == fnSpaceDebug) ++debugPressesSeen;
            debugLines.push_back(*line);
        }
    }
    for (int i = 0; i < rounds; ++i) {
        const auto at = static_cast<std::size_t>(3 * i);
        ASSERT_EQ(debugLines[at], debugLine(i, fn, false));
        ASSERT_EQ(debugLines[at + 2], debugLine(49, static_cast<std::uint64_t>(i), false));
    }
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(lineTimeout), -SIGTERM);
    EXPECT_EQ(child->standardError(), "");  // a sanitizer build reports here
}

// A host that stops reading standard output while debug lines are on: the
// tap goes on taking events (here: reading its script) rather than wait for
// the reader; debug lines beyond the writer's backlog are dropped, and once
// the host reads again the press that follows still gets its line, after
// the debug lines kept, in order.
TEST_F(FakeAgent, HostThatStopsReadingNeverStopsTheTap) {
    constexpr int keyDowns = 40000;
    std::string events;
    for (int i = 0; i < keyDowns; ++i) events += key(10, i % 100, 0, 0);
    auto child = start({"--debug"}, "");
    std::atomic<bool> written{false};
    std::thread writer([&] {
        child->writeInput(events);
        written = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!written && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    if (!written) child->sendSignal(SIGKILL);  // ends the blocked write
    writer.join();
    ASSERT_TRUE(written) << "the tap stopped taking events while standard output was not read";

    child->writeInput(fnSpace);
    expectLine(*child, "ready");
    int debugLines = 0;
    int previous = -1;
    for (;;) {
        const auto line = child->readLine(lineTimeout);
        ASSERT_TRUE(line.has_value()) << debugLines << " debug lines, then nothing";
        if (line->rfind("fn-space", 0) == 0) {
            EXPECT_EQ(*line, textFieldLine(1));
            break;
        }
        ASSERT_TRUE(isDebugLine(*line)) << *line;
        ++debugLines;
        const int code = std::stoi(line->substr(4));
        if (code != 49) {
            // Codes come round in order, 0 to 99, as many times as kept.
            EXPECT_TRUE(previous == -1 || code != previous) << *line;
            previous = code;
        }
    }
    EXPECT_GT(debugLines, 1000);
    EXPECT_LT(debugLines, keyDowns);  // some were dropped
    RecordProperty("debug_lines_kept", debugLines);
}

// The host has gone: the agent ends with status 0, whichever way it went.
TEST_F(FakeAgent, HostThatClosesStandardOutputEndsTheAgentWithStatus0) {
    auto child = start({}, "");
    expectLine(*child, "ready");
    const auto start = std::chrono::steady_clock::now();
    child->closeOutput();
    EXPECT_EQ(child->waitForExit(10s), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 3s);
    RecordProperty("exit_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(FakeAgent, ParentThatIsKilledEndsTheAgentWithStatus0) {
    // The agent is started by a shell, which is then killed; this test
    // process adopts the orphan, so that its exit status can be read.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ChildProcess parent({"/bin/sh", "-c", "\"$0\" & echo \"$!\"; wait", KEYCHORD_AGENT_FAKE_PATH});
    const auto pidLine = parent.readLine(lineTimeout);
    ASSERT_TRUE(pidLine.has_value());
    const pid_t agent = static_cast<pid_t>(std::stol(*pidLine));
    ASSERT_EQ(parent.readLine(lineTimeout), "ready");  // the agent's own line
    parent.sendSignal(SIGKILL);
    ASSERT_EQ(parent.waitForExit(lineTimeout), -SIGKILL);

    const auto start = std::chrono::steady_clock::now();
    int status = -1;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(agent, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - start < 10s) {
        std::this_thread::sleep_for(10ms);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (reaped == 0) {
        ::kill(agent, SIGKILL);
        ::waitpid(agent, &status, 0);
        FAIL() << "the agent outlived its parent";
    }
    ASSERT_EQ(reaped, agent);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took, 3s);
    RecordProperty("exit_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

#ifdef KEYCHORD_AGENT_PATH
// Where the keyboards and uinput cannot be opened (CI containers have
// neither), the agent reports that it is not trusted. Where they can, this
// test would hand the user's keyboards to the agent: it does not run there.
TEST(KeychordAgent, ReportsThatItIsNotTrusted) {
    if (::access("/dev/uinput", W_OK) == 0) {
        GTEST_SKIP() << "this machine lets the agent take the keyboards (/dev/uinput is writable)";
    }
    const auto result = testsupport::runToEnd({KEYCHORD_AGENT_PATH, "--debug"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.error, "accessibility-permission-required\n");
    EXPECT_EQ(result.output, "");
}
#endif

}  // namespace
