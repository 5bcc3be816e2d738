// Start-up of a listener run and its ways out, on the fake backend.
#include <csignal>
#include <functional>
#include <thread>

#include "listener_fixture.h"
#include "listener_process.h"

namespace hotword::testing {
namespace {

using ::testing::ElementsAre;

// The exit status if running `step` ended the (fake) process.
std::optional<int> exitStatusOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const fake::ProcessExit& exit) {
        return exit.status;
    }
    return std::nullopt;
}

class ListenerProcessTest : public ListenerTest {
protected:
    void TearDown() override {
        process = ListenerProcess{};
        ListenerTest::TearDown();
    }

    void startProcess(std::vector<std::string> arguments) {
        speech().setRecognizer("en-US", {});
        arguments.insert(arguments.begin(), "hotword-agent");
        process = startListenerProcess(parseCommandLine(arguments), fake_->platform(), recorder.sink());
    }

    fake::FakeProcessServices& processServices() { return *fake_->process; }

    ListenerProcess process;
};

TEST_F(ListenerProcessTest, StartUpPrintsThePidThenAsksForPermission) {
    processServices().pid = 31337;
    startProcess({"--locale", "en-US"});

    EXPECT_THAT(lines(), ElementsAre("status:pid:31337", "status:requesting-permission"));
    EXPECT_THAT(processServices().ignoredSignals(), ElementsAre(SIGTERM));
    EXPECT_TRUE(speech().recognizerLocalesAsked().empty()) << "nothing starts before the main loop";

    mainQueue().runDue();
    EXPECT_THAT(lines(), ElementsAre("status:pid:31337", "status:requesting-permission", "status:listening:en-US"));
    EXPECT_THROW(platform::Platform(fake_->platform()).mainQueue->runForever(), fake::RunForeverCalled);
}

// States the listener may be in when SIGTERM arrives: set up before start-up,
// then reached once the main loop ran.
struct StateCase {
    const char* name;
    std::function<void(fake::FakeSpeechServices&)> before;
    std::function<void(fake::FakeSpeechServices&)> reach;
};

std::ostream& operator<<(std::ostream& os, const StateCase& c) { return os << c.name; }

class Termination : public ListenerProcessTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(Termination, StopsTheListenerAndExitsZeroWithoutALine) {
    GetParam().before(speech());
    startProcess({});
    mainQueue().runDue();
    GetParam().reach(speech());
    const std::vector<std::string> before = lines();
    ASSERT_EQ(before.size(), 3u) << "idle after a status line";

    mainQueue().deliverSignal(SIGTERM);
    EXPECT_EQ(exitStatusOf([&] { mainQueue().runDue(); }), 0);

    EXPECT_EQ(lines(), before);
    EXPECT_FALSE(engine().isRunning());
    EXPECT_FALSE(engine().tapInstalled());
    EXPECT_EQ(counts().recognitionTasks.live(), 0);
    const int sessions = speech().tasksMade();
    mainQueue().advance(10);
    EXPECT_EQ(speech().tasksMade(), sessions) << "a pending restart is cancelled";
}

// The host crashes or closes its end of the pipe: the watch calls from its own
// thread, and the main queue stops the listener and exits 0, silently.
TEST_P(Termination, HostGoneStopsTheListenerAndExitsZeroWithoutALine) {
    GetParam().before(speech());
    startProcess({});
    mainQueue().runDue();
    GetParam().reach(speech());
    const std::vector<std::string> before = lines();

    std::thread watch([&] { EXPECT_TRUE(processServices().hostGone()); });
    watch.join();
    EXPECT_EQ(lines(), before) << "nothing happens off the main queue";
    EXPECT_EQ(exitStatusOf([&] { mainQueue().runDue(); }), 0);

    EXPECT_EQ(lines(), before);
    EXPECT_FALSE(engine().isRunning());
    EXPECT_FALSE(engine().tapInstalled());
    EXPECT_EQ(counts().recognitionTasks.live(), 0);
}

void nothing(fake::FakeSpeechServices&) {}

INSTANTIATE_TEST_SUITE_P(
    States, Termination,
    ::testing::Values(
        StateCase{"listening", nothing, nothing},
        StateCase{"restartPending", nothing, [](fake::FakeSpeechServices& s) { s.lastTask()->deliverError(); }},
        StateCase{"engineFailed", [](fake::FakeSpeechServices& s) { s.setEngineStartFails(true); }, nothing},
        StateCase{"permissionDenied", [](fake::FakeSpeechServices& s) { s.setMicrophoneStatus(2); }, nothing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListenerProcessTest, SigtermAfterWakeExitsZeroWithoutALine) {
    startProcess({});
    mainQueue().runDue();
    speech().lastTask()->deliverPartial("hey orvane");
    mainQueue().advance(5);

    mainQueue().deliverSignal(SIGTERM);
    EXPECT_EQ(exitStatusOf([&] { mainQueue().runDue(); }), 0);
    EXPECT_THAT(lines(), ElementsAre("status:pid:4242", "status:requesting-permission", "status:listening:en-US",
                                     "wake"));
}

TEST_F(ListenerProcessTest, WithoutAControlFileNothingIsChecked) {
    startProcess({});
    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(60); }), std::nullopt);
    EXPECT_EQ(processServices().fileChecks(), 0);
}

TEST_F(ListenerProcessTest, ChecksTheControlFileEveryHalfSecondFromHalfASecondOn) {
    processServices().createFile("/run/agent.ctl");
    startProcess({"--control-file", "/run/agent.ctl"});

    mainQueue().advance(0.499);
    EXPECT_EQ(processServices().fileChecks(), 0);
    mainQueue().advance(0.001);
    EXPECT_EQ(processServices().fileChecks(), 1);
    mainQueue().advance(2.0);
    EXPECT_EQ(processServices().fileChecks(), 5);

    // Deleted and recreated between two checks: never seen missing.
    processServices().removeFile("/run/agent.ctl");
    mainQueue().advance(0.2);
    processServices().createFile("/run/agent.ctl");
    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(0.8); }), std::nullopt);
    EXPECT_EQ(processServices().fileChecks(), 7);

    // Deleted: the next check stops the listener and exits 0, silently.
    const std::vector<std::string> before = lines();
    processServices().removeFile("/run/agent.ctl");
    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(0.499); }), std::nullopt);
    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(0.001); }), 0);
    EXPECT_DOUBLE_EQ(mainQueue().now(), 4.0);
    EXPECT_EQ(lines(), before);
    EXPECT_FALSE(engine().isRunning());
    EXPECT_FALSE(engine().tapInstalled());
}

class MissingControlFile : public ListenerProcessTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MissingControlFile, EndsTheProcessAtTheFirstCheck) {
    startProcess({"--control-file", GetParam()});

    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(0.499); }), std::nullopt);
    EXPECT_EQ(exitStatusOf([&] { mainQueue().advance(0.001); }), 0);
    EXPECT_THAT(lines(), ElementsAre("status:pid:4242", "status:requesting-permission", "status:listening:en-US"));
}

INSTANTIATE_TEST_SUITE_P(Paths, MissingControlFile, ::testing::Values("", "/nowhere/agent.ctl"));

}  // namespace
}  // namespace hotword::testing
