// The Linux backend's main queue and process services, driven by iterating
// the default GLib main context by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <glib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "linux_platform.h"

namespace hotword::platform {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

// Iterates the default context until `done` or the (generous) timeout.
bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void iterateFor(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    iterateUntil([&] { return Clock::now() >= end; }, duration + std::chrono::seconds(1));
}

TEST(GlibMainQueue, AsyncRunsInSubmissionOrderAlsoFromOtherThreads) {
    const auto queue = makeGlibMainQueue();
    std::mutex mutex;
    std::vector<int> ran;
    std::vector<std::thread> threads;
    constexpr int perThread = 200;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                queue->async([&, value = t * perThread + i] {
                    const std::lock_guard<std::mutex> lock(mutex);
                    ran.push_back(value);
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(iterateUntil([&] {
        const std::lock_guard<std::mutex> lock(mutex);
        return ran.size() == 4 * perThread;
    }));
    // Each thread's items ran in the order that thread submitted them.
    for (int t = 0; t < 4; ++t) {
        int last = -1;
        for (int value : ran) {
            if (value / perThread != t) continue;
            EXPECT_GT(value, last);
            last = value;
        }
    }
}

TEST(GlibMainQueue, CancelledWorkItemNeverRuns) {
    const auto queue = makeGlibMainQueue();
    std::vector<std::string> ran;
    auto kept = queue->makeWorkItem([&] { ran.push_back("kept"); });
    auto cancelled = queue->makeWorkItem([&] { ran.push_back("cancelled"); });
    queue->asyncAfter(0.05, cancelled);
    queue->asyncAfter(0.1, kept);
    cancelled->cancel();
    const auto start = Clock::now();

    ASSERT_TRUE(iterateUntil([&] { return !ran.empty(); }));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
    iterateFor(std::chrono::milliseconds(100));
    EXPECT_THAT(ran, ElementsAre("kept"));
    kept->cancel();  // after it ran: harmless
}

TEST(GlibMainQueue, TimerFiresFirstAfterItsDeadlineThenRepeats) {
    const auto queue = makeGlibMainQueue();
    auto timer = queue->makeTimerSource();
    std::vector<Clock::duration> ticks;
    const auto start = Clock::now();
    timer->schedule(0.1, 0.05, 0);
    timer->setEventHandler([&] { ticks.push_back(Clock::now() - start); });
    timer->resume();

    ASSERT_TRUE(iterateUntil([&] { return ticks.size() >= 3; }));
    EXPECT_GE(ticks[0], std::chrono::milliseconds(95));
    EXPECT_GE(ticks[2] - ticks[0], std::chrono::milliseconds(90));

    timer.reset();
    const std::size_t count = ticks.size();
    iterateFor(std::chrono::milliseconds(150));
    EXPECT_EQ(ticks.size(), count) << "a released timer fires no more";
}

TEST(GlibMainQueue, UnscheduledTimerNeverFires) {
    const auto queue = makeGlibMainQueue();
    auto timer = queue->makeTimerSource();
    bool fired = false;
    timer->setEventHandler([&] { fired = true; });
    timer->resume();
    iterateFor(std::chrono::milliseconds(100));
    EXPECT_FALSE(fired);
}

// The lifecycle's order: signal source, then "ignore", then handler and
// resume. The signal must still reach the handler on the loop.
TEST(GlibMainQueue, SigtermReachesTheSignalSourceAfterIgnoreSignal) {
    const auto queue = makeGlibMainQueue();
    const auto process = makeLinuxProcessServices();
    auto source = queue->makeSignalSource(SIGTERM);
    process->ignoreSignal(SIGTERM);
    int handled = 0;
    source->setEventHandler([&] { ++handled; });
    source->resume();

    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_TRUE(iterateUntil([&] { return handled == 1; }));
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_TRUE(iterateUntil([&] { return handled == 2; }));
}

TEST(LinuxProcessServices, OnlyExistenceCounts) {
    const auto process = makeLinuxProcessServices();
    const auto directory = std::filesystem::temp_directory_path() /
                           ("hotword-process-test-" + std::to_string(process->processIdentifier()));
    std::filesystem::create_directories(directory);
    const auto file = directory / "control";
    std::ofstream(file).close();
    std::filesystem::create_symlink(directory / "missing", directory / "dangling");

    EXPECT_TRUE(process->fileExists(file.string()));
    EXPECT_TRUE(process->fileExists(directory.string()));
    EXPECT_FALSE(process->fileExists(""));
    EXPECT_FALSE(process->fileExists((directory / "missing").string()));
    EXPECT_FALSE(process->fileExists((directory / "dangling").string()));
    EXPECT_EQ(process->processIdentifier(), static_cast<std::int32_t>(getpid()));

    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace hotword::platform
