#include "host_watch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <functional>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Counts the calls of onGone and lets a test wait for the first.
struct GoneProbe {
    std::shared_ptr<std::promise<void>> first = std::make_shared<std::promise<void>>();
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    std::future<void> called = first->get_future();

    std::function<void()> callback() {
        return [first = first, calls = calls] {
            if (calls->fetch_add(1) == 0) first->set_value();
        };
    }
    bool calledWithin(std::chrono::milliseconds bound) { return called.wait_for(bound) == std::future_status::ready; }
};

// A child process that stands in for the host until it is killed.
struct StandInParent {
    pid_t pid = -1;
    StandInParent() {
        pid = ::fork();
        if (pid == 0) {
            ::closefrom(3);  // holds no end of the test's pipes
            ::pause();
            ::_exit(0);
        }
    }
    void end() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~StandInParent() { end(); }
};

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            readEnd = ends[0];
            writeEnd = ends[1];
        }
    }
    void closeReadEnd() {
        if (readEnd >= 0) ::close(readEnd);
        readEnd = -1;
    }
    // The write end stays open: the watch thread may still poll it.
    ~Pipe() { closeReadEnd(); }
};

TEST(HostWatch, ReaderClosingStandardOutputIsTheHostGoing) {
    Pipe output;
    StandInParent parent;
    GoneProbe probe;
    agents::detail::watchHost(output.writeEnd, parent.pid, probe.callback());
    EXPECT_FALSE(probe.calledWithin(100ms));
    output.closeReadEnd();
    EXPECT_TRUE(probe.calledWithin(10s));
}

TEST(HostWatch, ParentExitIsTheHostGoing) {
    Pipe output;
    StandInParent parent;
    GoneProbe probe;
    agents::detail::watchHost(output.writeEnd, parent.pid, probe.callback());
    EXPECT_FALSE(probe.calledWithin(100ms));
    parent.end();
    EXPECT_TRUE(probe.calledWithin(10s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(*probe.calls, 1);
}

TEST(HostWatch, OutputToAFileNeverLooksLikeAHangUp) {
    // A file (or /dev/null) on standard output is always writable and never
    // hangs up; only the parent's exit ends the watch.
    const int file = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    StandInParent parent;
    GoneProbe probe;
    agents::detail::watchHost(file, parent.pid, probe.callback());
    EXPECT_FALSE(probe.calledWithin(200ms));
    parent.end();
    EXPECT_TRUE(probe.calledWithin(10s));
}

TEST(HostWatch, ParentAlreadyGoneIsReportedAtOnce) {
    StandInParent parent;
    const pid_t gone = parent.pid;
    parent.end();  // killed and reaped: the id names no process now
    GoneProbe probe;
    agents::detail::watchHost(-1, gone, probe.callback());
    EXPECT_TRUE(probe.calledWithin(10s));
}

}  // namespace
