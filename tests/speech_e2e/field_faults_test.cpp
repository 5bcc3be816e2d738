// hotword-agent against what real desktops do to a listening agent: the sound
// server restarts, hangs or is gone for a while, the default source changes
// or goes away, and the host goes away. Real agent, real private PulseAudio.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pulse_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using speechtest::PulseServer;
using testsupport::ChildProcess;

const std::string agentPath = HOTWORD_AGENT_PATH;
const std::string pulseScript = PRIVATE_PULSEAUDIO_SCRIPT;

// Reads the start-up lines up to "status:listening:en-US".
::testing::AssertionResult reachesListening(ChildProcess& agent) {
    const auto pid = agent.readLine(20s);
    if (pid != "status:pid:" + std::to_string(agent.pid())) return ::testing::AssertionFailure() << "no pid line";
    if (agent.readLine(20s) != "status:requesting-permission") {
        return ::testing::AssertionFailure() << "no permission line";
    }
    const auto listening = agent.readLine(30s);
    if (listening != "status:listening:en-US") {
        return ::testing::AssertionFailure() << "not listening: " << listening.value_or("(nothing)") << "\n"
                                             << agent.standardError();
    }
    return ::testing::AssertionSuccess();
}

double secondsSince(Clock::time_point begin) {
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Processor time (user + system) the process has used so far, in seconds.
double processorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    // Fields after the command name start at 3 (state); utime is 14, stime 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) user = std::stoull(field);
        if (number == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---------------------------------------------------------------------------
// Faults after which the agent must hear "Hey Orvane" again.

struct Fault {
    const char* name;
    // Breaks and repairs the sound path while the agent listens; the sink to
    // speak into afterwards (empty: the default one).
    std::function<std::string(PulseServer&, ChildProcess&)> apply;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

class KeepsHearing : public ::testing::TestWithParam<Fault> {};

TEST_P(KeepsHearing, WakesOnTheNextPhraseAfterTheFault) {
    PulseServer server(pulseScript);
    ASSERT_TRUE(server.running()) << server.error();
    ChildProcess agent({agentPath, "--locale", "en-US"}, server.clientEnvironment());
    ASSERT_TRUE(reachesListening(agent));
    ASSERT_TRUE(server.waitForCapture("", 10s));

    const std::string sink = GetParam().apply(server, agent);
    ASSERT_FALSE(HasFailure());

    ASSERT_TRUE(server.say("slt", "Hey Orvane", sink));
    EXPECT_EQ(agent.readLine(15s), "wake");
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(20s), 0);
    EXPECT_EQ(agent.readRemainingOutput(2s), "");
    EXPECT_EQ(agent.standardError(), "");
}

std::string restartServer(PulseServer& server, ChildProcess&) {
    server.stop();
    std::this_thread::sleep_for(500ms);
    const auto begin = Clock::now();
    EXPECT_TRUE(server.start()) << server.error();
    const double ready = secondsSince(begin);
    const auto capture = server.waitForCapture("", 10s);
    EXPECT_TRUE(capture) << "no capture stream on the new server";
    if (capture) {
        std::cout << "reconnect: server started and answering after " << ready
                  << " s, agent capturing again after " << ready + std::chrono::duration<double>(*capture).count()
                  << " s\n";
        ::testing::Test::RecordProperty("reconnect_ms",
                                        static_cast<int>(ready * 1000 + static_cast<double>(capture->count())));
    }
    return "";
}

// A second virtual microphone in another format (48 kHz stereo) becomes the
// default source.
std::string switchDefaultSource(PulseServer& server, ChildProcess&) {
    EXPECT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=second_mic", "rate=48000", "channels=2"}));
    EXPECT_TRUE(server.pactl({"set-default-source", "second_mic.monitor"}));
    EXPECT_TRUE(server.waitForCapture("second_mic.monitor", 10s)) << "still capturing from the old source";
    return "second_mic";
}

std::string unloadAndReloadSource(PulseServer& server, ChildProcess&) {
    EXPECT_TRUE(server.pactl({"unload-module", "module-null-sink"}));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=virtual_speaker", "rate=16000",
                              "channels=1", "format=s16le"}));
    EXPECT_TRUE(server.pactl({"set-default-sink", "virtual_speaker"}));
    EXPECT_TRUE(server.pactl({"set-default-source", "virtual_speaker.monitor"}));
    EXPECT_TRUE(server.waitForCapture("virtual_speaker.monitor", 10s)) << "not capturing from the new source";
    return "";
}

// The server is gone for 30 s: the agent waits without spinning.
std::string noServerForHalfAMinute(PulseServer& server, ChildProcess& agent) {
    server.stop();
    std::this_thread::sleep_for(1s);
    const double before = processorSeconds(agent.pid());
    const auto begin = Clock::now();
    std::this_thread::sleep_for(30s);
    const double share = (processorSeconds(agent.pid()) - before) / secondsSince(begin);
    std::cout << "without a server: " << share * 100 << " % of a core\n";
    EXPECT_LT(share, 0.01);
    EXPECT_EQ(agent.waitForExit(0ms), std::nullopt);
    EXPECT_TRUE(server.start()) << server.error();
    EXPECT_TRUE(server.waitForCapture("", 10s));
    return "";
}

INSTANTIATE_TEST_SUITE_P(Faults, KeepsHearing,
                         ::testing::Values(Fault{"ServerRestarted", restartServer},
                                           Fault{"DefaultSourceSwitched", switchDefaultSource},
                                           Fault{"SourceUnloadedAndReloaded", unloadAndReloadSource},
                                           Fault{"NoServerForHalfAMinute", noServerForHalfAMinute}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that hung before the agent started is slow, not absent: the agent
// listens as soon as it answers.
TEST(SlowServer, AgentHearsOnceAServerThatHungAtStartAnswers) {
    PulseServer server(pulseScript);
    ASSERT_TRUE(server.running()) << server.error();
    server.freeze();
    ChildProcess agent({agentPath, "--locale", "en-US"}, server.clientEnvironment());
    ASSERT_TRUE(reachesListening(agent));
    std::this_thread::sleep_for(2s);
    server.thaw();
    ASSERT_TRUE(server.waitForCapture("", 10s));
    ASSERT_TRUE(server.say("slt", "Hey Orvane"));
    EXPECT_EQ(agent.readLine(15s), "wake");
}

// ---------------------------------------------------------------------------
// A hung (SIGSTOPped) server never keeps the agent from ending.

struct HungCase {
    const char* name;
    bool frozenBeforeStart;
    bool byControlFile;
};

void PrintTo(const HungCase& c, std::ostream* os) { *os << c.name; }

class HungServer : public ::testing::TestWithParam<HungCase> {};

TEST_P(HungServer, EndsWithinASecond) {
    PulseServer server(pulseScript);
    ASSERT_TRUE(server.running()) << server.error();
    const std::string controlFile = server.dir() + "/agent.ctl";
    std::ofstream(controlFile).close();
    if (GetParam().frozenBeforeStart) server.freeze();
    ChildProcess agent({agentPath, "--locale", "en-US", "--control-file", controlFile}, server.clientEnvironment());
    ASSERT_TRUE(reachesListening(agent));
    if (!GetParam().frozenBeforeStart) {
        ASSERT_TRUE(server.waitForCapture("", 10s));
        server.freeze();
    }
    std::this_thread::sleep_for(300ms);

    const auto begin = Clock::now();
    if (GetParam().byControlFile) {
        std::filesystem::remove(controlFile);
    } else {
        agent.sendSignal(SIGTERM);
    }
    // The control file is checked every 0.5 s: it may take that much longer.
    const auto bound = GetParam().byControlFile ? 1500ms : 1000ms;
    EXPECT_EQ(agent.waitForExit(bound), 0) << "after " << secondsSince(begin) << " s";
    EXPECT_EQ(agent.waitForExit(20s), 0);
    EXPECT_EQ(agent.readRemainingOutput(2s), "");
    server.thaw();
}

INSTANTIATE_TEST_SUITE_P(Ways, HungServer,
                         ::testing::Values(HungCase{"SigtermWhileListening", false, false},
                                           HungCase{"ControlFileWhileListening", false, true},
                                           HungCase{"SigtermFrozenBeforeStart", true, false},
                                           HungCase{"ControlFileFrozenBeforeStart", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The host: its pipe, its death, the signal mask it hands down.

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.running()) << server_.error(); }
    PulseServer server_{pulseScript};
};

TEST_F(HostTest, HostClosingThePipeEndsTheAgentWithinASecond) {
    ChildProcess agent({agentPath, "--locale", "en-US"}, server_.clientEnvironment());
    ASSERT_TRUE(reachesListening(agent));
    ASSERT_TRUE(server_.waitForCapture("", 10s));
    agent.closeOutput();
    EXPECT_EQ(agent.waitForExit(1000ms), 0);
    EXPECT_EQ(agent.waitForExit(20s), 0);
    EXPECT_EQ(server_.captureSource(), std::nullopt) << "the microphone is released";
    EXPECT_EQ(agent.standardError(), "");
}

TEST_F(HostTest, HostDyingEndsTheAgent) {
    // The agent is reparented to this process when its parent dies, so that
    // its exit status can be read.
    struct Subreaper {
        Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
        ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } subreaper;
    std::vector<std::string> environment = server_.clientEnvironment();
    environment.push_back("AGENT=" + agentPath);
    ChildProcess host({"/bin/sh", "-c", "\"$AGENT\" --locale en-US & wait"}, environment);
    const auto pidLine = host.readLine(20s);
    ASSERT_TRUE(pidLine && pidLine->rfind("status:pid:", 0) == 0);
    const pid_t agentPid = std::stoi(pidLine->substr(11));
    EXPECT_EQ(host.readLine(20s), "status:requesting-permission");
    EXPECT_EQ(host.readLine(30s), "status:listening:en-US");

    host.sendSignal(SIGKILL);
    EXPECT_EQ(host.waitForExit(5s), -SIGKILL);
    int status = -1;
    const auto begin = Clock::now();
    pid_t done = 0;
    while ((done = waitpid(agentPid, &status, WNOHANG)) == 0 && Clock::now() - begin < 20s) {
        std::this_thread::sleep_for(10ms);
    }
    if (done != agentPid) ::kill(agentPid, SIGKILL);
    ASSERT_EQ(done, agentPid) << "the agent outlived its host";
    EXPECT_LT(secondsSince(begin), 1.5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(HostTest, SigtermBlockedByTheHostStillEndsTheAgent) {
    // Python blocks SIGTERM and hands the mask down through exec.
    ChildProcess agent({speechtest::program("python3"), "-c",
                        "import os, signal, sys\n"
                        "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n"
                        "os.execv(sys.argv[1], sys.argv[1:])\n",
                        agentPath, "--locale", "en-US"},
                       server_.clientEnvironment());
    ASSERT_TRUE(reachesListening(agent));
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(5s), 0);
    EXPECT_EQ(agent.readRemainingOutput(2s), "");
}

// ---------------------------------------------------------------------------
// Nothing on disk, nothing on standard error, whatever HOME is.

std::set<std::string> treeOf(const std::filesystem::path& root) {
    std::set<std::string> entries;
    std::error_code error;
    if (!std::filesystem::exists(root, error)) return entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
        entries.insert(entry.path().string());
    }
    return entries;
}

enum class Home { fresh, readOnly, missing };

struct HomeCase {
    const char* name;
    Home home;
};

void PrintTo(const HomeCase& c, std::ostream* os) { *os << c.name; }

class Homes : public HostTest, public ::testing::WithParamInterface<HomeCase> {};

TEST_P(Homes, NoFileCreatedAndNothingOnStandardError) {
    const std::filesystem::path home = server_.dir() + "/user-home";
    if (GetParam().home != Home::missing) std::filesystem::create_directory(home);
    std::vector<std::string> command = {agentPath, "--locale", "en-US"};
    if (GetParam().home == Home::readOnly) {
        chmod(home.c_str(), 0555);
        // The superuser writes anywhere: run the agent as nobody instead.
        if (geteuid() == 0) {
            chmod(server_.dir().c_str(), 0755);
            command.insert(command.begin(),
                           {speechtest::program("setpriv"), "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        }
    }
    std::vector<std::string> environment = server_.clientEnvironment();
    environment[2] = "HOME=" + home.string();
    environment[3] = "XDG_RUNTIME_DIR=" + home.string() + "/run";
    const auto before = treeOf(home);

    ChildProcess agent(command, environment);
    ASSERT_TRUE(reachesListening(agent));
    ASSERT_TRUE(server_.waitForCapture("", 10s));
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(20s), 0);

    EXPECT_EQ(treeOf(home), before);
    EXPECT_EQ(std::filesystem::exists(home), GetParam().home != Home::missing);
    EXPECT_EQ(agent.standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Homes,
                         ::testing::Values(HomeCase{"Fresh", Home::fresh}, HomeCase{"ReadOnly", Home::readOnly},
                                           HomeCase{"Missing", Home::missing}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
