// Runs the real hotword-agent as a listener and ends it the ways the host
// can: SIGTERM, removing the control file, and going away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/prctl.h>
#include <sys/wait.h>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Generous bounds: the tests also run under the sanitizers on a busy machine.
constexpr auto lineTimeout = 20s;
constexpr auto exitTimeout = 20s;

std::vector<std::string> agentArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {HOTWORD_AGENT_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

// A private directory, removed with everything in it at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "hotword-agent-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path file(const std::string& name) const {
        const fs::path path = path_ / name;
        std::ofstream(path).close();
        return path;
    }

private:
    fs::path path_;
};

// Reads the start-up lines every listener run prints: the pid and the
// permission request.
void expectStartUpLines(testsupport::ChildProcess& agent) {
    EXPECT_EQ(agent.readLine(lineTimeout), "status:pid:" + std::to_string(agent.pid()));
    EXPECT_EQ(agent.readLine(lineTimeout), "status:requesting-permission");
}

const std::vector<std::string> statusLines = {"status:unavailable", "status:microphone-unavailable",
                                              "status:error", "status:permission-denied"};

bool isStatusLine(const std::optional<std::string>& line) {
    if (!line) return false;
    return std::find(statusLines.begin(), statusLines.end(), *line) != statusLines.end() ||
           line->rfind("status:listening:", 0) == 0;
}

class ListenerRun : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ListenerRun, FirstLinesArePidThenPermissionRequest) {
    testsupport::ChildProcess agent(agentArguments(GetParam()));
    expectStartUpLines(agent);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ListenerRun,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--test-phrase"},
                                           std::vector<std::string>{"--locale", "en-US"},
                                           std::vector<std::string>{"--locale", "xx", "--test-phrase"},
                                           std::vector<std::string>{"--locale="}));

TEST(ListenerLifecycle, SigtermWhileIdleExitsZeroWithoutALine) {
    testsupport::ChildProcess agent(agentArguments({}));
    expectStartUpLines(agent);
    ASSERT_TRUE(isStatusLine(agent.readLine(lineTimeout)));

    agent.sendSignal(SIGTERM);

    EXPECT_EQ(agent.waitForExit(exitTimeout), 0);
    EXPECT_EQ(agent.readRemainingOutput(1s), "");
    EXPECT_EQ(agent.standardError(), "");
}

TEST(ListenerLifecycle, DeletedControlFileEndsTheAgentWithinASecond) {
    const TemporaryDirectory directory;
    const fs::path control = directory.file("control");
    testsupport::ChildProcess agent(agentArguments({"--control-file", control.string()}));
    expectStartUpLines(agent);
    ASSERT_TRUE(isStatusLine(agent.readLine(lineTimeout)));
    EXPECT_EQ(agent.waitForExit(1200ms), std::nullopt) << "the file exists: the agent keeps running";

    const auto deleted = std::chrono::steady_clock::now();
    fs::remove(control);
    const auto status = agent.waitForExit(exitTimeout);
    const auto took = std::chrono::steady_clock::now() - deleted;

    EXPECT_EQ(status, 0);
    // One check interval is 0.5 s; allow for a loaded machine.
    EXPECT_LT(took, 3s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_EQ(agent.readRemainingOutput(1s), "");
}

TEST(ListenerLifecycle, DirectoryAsControlFileKeepsRunning) {
    const TemporaryDirectory directory;
    testsupport::ChildProcess agent(agentArguments({"--control-file", directory.path().string()}));
    expectStartUpLines(agent);

    EXPECT_EQ(agent.waitForExit(1600ms), std::nullopt);

    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(exitTimeout), 0);
}

// The host goes away: the agent exits 0 by itself, whatever state it is idle in.
TEST(ListenerLifecycle, HostClosingItsEndOfThePipeEndsTheAgent) {
    testsupport::ChildProcess agent(agentArguments({}));
    expectStartUpLines(agent);
    ASSERT_TRUE(isStatusLine(agent.readLine(lineTimeout)));

    agent.closeOutput();
    EXPECT_EQ(agent.waitForExit(exitTimeout), 0);
    EXPECT_EQ(agent.standardError(), "");
}

TEST(ListenerLifecycle, HostDyingEndsTheAgent) {
    // The agent is reparented to this process when its parent dies, so that
    // its exit status can be read.
    struct Subreaper {
        Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
        ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } subreaper;
    testsupport::ChildProcess host({"/bin/sh", "-c", "\"$0\" & wait", HOTWORD_AGENT_PATH});
    const auto pidLine = host.readLine(lineTimeout);
    ASSERT_TRUE(pidLine && pidLine->rfind("status:pid:", 0) == 0);
    const pid_t agentPid = std::stoi(pidLine->substr(11));
    EXPECT_EQ(host.readLine(lineTimeout), "status:requesting-permission");
    EXPECT_TRUE(isStatusLine(host.readLine(lineTimeout)));

    host.sendSignal(SIGKILL);
    EXPECT_EQ(host.waitForExit(exitTimeout), -SIGKILL);
    int status = -1;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + exitTimeout;
    while ((done = waitpid(agentPid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (done != agentPid) kill(agentPid, SIGKILL);
    ASSERT_EQ(done, agentPid) << "the agent outlived its host";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A host may start its children with SIGTERM blocked; exec keeps the mask.
TEST(ListenerLifecycle, SigtermBlockedByTheHostStillEndsTheAgent) {
    testsupport::ChildProcess agent({"/usr/bin/env", "python3", "-c",
                                     "import os, signal, sys\n"
                                     "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n"
                                     "os.execv(sys.argv[1], sys.argv[1:])\n",
                                     HOTWORD_AGENT_PATH});
    expectStartUpLines(agent);
    ASSERT_TRUE(isStatusLine(agent.readLine(lineTimeout)));

    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(exitTimeout), 0);
    EXPECT_EQ(agent.readRemainingOutput(1s), "");
}

class MissingControlFile : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingControlFile, EndsTheAgentAtTheFirstCheck) {
    const TemporaryDirectory directory;
    const std::string path = GetParam().empty() ? "" : (directory.path() / GetParam()).string();
    testsupport::ChildProcess agent(agentArguments({"--control-file", path}));
    expectStartUpLines(agent);

    EXPECT_EQ(agent.waitForExit(exitTimeout), 0);
    const std::string rest = agent.readRemainingOutput(1s);
    EXPECT_TRUE(rest.empty() || isStatusLine(rest.substr(0, rest.size() - 1))) << rest;
    EXPECT_EQ(agent.standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, MissingControlFile, ::testing::Values("", "never-created"),
                         [](const auto& info) { return info.param.empty() ? "emptyPath" : "missingFile"; });

}  // namespace
