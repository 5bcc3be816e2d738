// start(), recognition sessions, restarts, the wake and stop(), on the fake
// backend's virtual clock.
#include <cmath>
#include <limits>

#include "listener_fixture.h"

namespace hotword::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr double restartDelay = 0.25;
constexpr double justBefore = restartDelay - 0.001;

using ListenerStart = ListenerTest;

TEST_F(ListenerStart, TapsTheMicrophoneThenStartsAConfiguredSession) {
    speech().setRecognizer("en-US", {});
    speech().setInputFormat({44100, 2});
    makeListener("en-US");
    EXPECT_TRUE(speech().events().empty()) << "construction touches nothing";

    listener->start();

    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
    EXPECT_THAT(speech().events(), ElementsAre("recognizer en-US", "isAvailable en-US", "onDevice en-US",
                                               "installTap", "prepare", "start", "request 1", "task 1"));
    EXPECT_EQ(engine().tapBufferSize(), 1024u);
    ASSERT_TRUE(engine().tapFormat().has_value());
    EXPECT_EQ(engine().tapFormat()->sampleRate, 44100);
    EXPECT_EQ(engine().tapFormat()->channelCount, 2u);
    EXPECT_TRUE(engine().isRunning());

    const auto request = speech().lastRequest();
    EXPECT_EQ(request->partialResults, true);
    EXPECT_EQ(request->onDevice, true);
    EXPECT_EQ(request->taskHint, 3);
    EXPECT_EQ(request->contextualStrings, (std::vector<std::string>{"Hey Orvane", "Hey OrvaneX"}));
    EXPECT_EQ(speech().lastTask()->request, request);

    // The tap feeds the current request.
    EXPECT_TRUE(engine().capture());
    EXPECT_EQ(request->appendedBuffers, 1);
}

TEST_F(ListenerStart, ListeningLineCarriesTheFallbackRecognizersOwnIdentifier) {
    speech().setRecognizer("en-US", {true, true, "en_US"});
    makeListener("de-DE");

    listener->start();

    EXPECT_THAT(lines(), ElementsAre("status:listening:en_US"));
}

struct FailureCase {
    const char* name;
    bool recognizer;
    platform::AudioFormat format;
    bool engineFails;
    const char* line;
    bool tapInstalled;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }

class ListenerStartFailure : public ListenerTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ListenerStartFailure, PrintsOneLineAndStartsNoSession) {
    const FailureCase& c = GetParam();
    if (c.recognizer) speech().setRecognizer("en-US", {});
    speech().setInputFormat(c.format);
    speech().setEngineStartFails(c.engineFails);
    makeListener("en-US");

    listener->start();
    mainQueue().advance(10);

    EXPECT_THAT(lines(), ElementsAre(c.line));
    EXPECT_EQ(speech().requestsMade(), 0);
    EXPECT_EQ(speech().tasksMade(), 0);
    EXPECT_EQ(engine().tapInstalled(), c.tapInstalled);
    EXPECT_FALSE(engine().isRunning());
    EXPECT_EQ(engine().capture(), c.tapInstalled);
    EXPECT_EQ(counts().buffersAppended, 0);

    // Only stop() takes an installed tap away; it prints nothing.
    listener->stop();
    EXPECT_FALSE(engine().tapInstalled());
    EXPECT_EQ(engine().tapRemoveCount(), c.tapInstalled ? 1 : 0);
    EXPECT_THAT(lines(), ElementsAre(c.line));
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Causes, ListenerStartFailure,
    ::testing::Values(FailureCase{"noRecognizer", false, {48000, 1}, false, "status:unavailable", false},
                      FailureCase{"zeroHertz", true, {0, 1}, false, "status:microphone-unavailable", false},
                      FailureCase{"negativeHertz", true, {-8000, 1}, false, "status:microphone-unavailable", false},
                      FailureCase{"nanHertz", true, {nan, 1}, false, "status:microphone-unavailable", false},
                      FailureCase{"zeroChannels", true, {48000, 0}, false, "status:microphone-unavailable", false},
                      FailureCase{"engineStartFails", true, {48000, 1}, true, "status:error", true}),
    [](const auto& info) { return std::string(info.param.name); });

using RecognitionSession = ListenerTest;

TEST_F(RecognitionSession, PartialMatchWakesAtOnceAndTearsDownForGood) {
    startListening();
    const auto task = speech().lastTask();
    speech().clearEvents();

    task->deliverPartial("ok hey orvane open my notes");

    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US", "wake"));
    EXPECT_THAT(speech().events(), ElementsAre("cancel 1", "endAudio 1", "stop", "removeTap"));
    EXPECT_FALSE(engine().isRunning());
    EXPECT_FALSE(engine().capture());

    // The cancelled task's late callbacks change nothing.
    task->deliverError("cancelled");
    task->deliverFinal("hey orvane");
    mainQueue().advance(10);
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US", "wake"));
    EXPECT_EQ(speech().tasksMade(), 1);
    EXPECT_EQ(mainQueue().pendingCount(), 0u);
}

TEST_F(RecognitionSession, MatchCarryingAnErrorStillWakes) {
    startListening();

    speech().lastTask()->deliver(platform::RecognitionResult{"Hey OrvaneX", false},
                                 platform::RecognitionError{"audio interrupted"});
    mainQueue().advance(10);

    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US", "wake"));
    EXPECT_EQ(speech().tasksMade(), 1);
}

struct RestartCase {
    const char* name;
    std::optional<platform::RecognitionResult> result;
    std::optional<platform::RecognitionError> error;
};

std::ostream& operator<<(std::ostream& os, const RestartCase& c) { return os << c.name; }

class SessionRestart : public ListenerTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(SessionRestart, ReplacesTheSessionOnceAQuarterSecondLaterWithoutALine) {
    startListening();
    const auto firstTask = speech().lastTask();
    const auto firstRequest = speech().lastRequest();
    speech().clearEvents();

    firstTask->deliver(GetParam().result, GetParam().error);
    mainQueue().advance(justBefore);
    EXPECT_EQ(speech().tasksMade(), 1);
    // Audio captured while the restart is pending still goes to the
    // finished session's request.
    EXPECT_TRUE(engine().capture());
    EXPECT_EQ(firstRequest->appendedBuffers, 1);
    EXPECT_EQ(firstRequest->endAudioCalls, 0);

    mainQueue().advance(restartDelay - justBefore);
    EXPECT_THAT(speech().events(), ElementsAre("cancel 1", "endAudio 1", "request 2", "task 2"));
    const auto secondRequest = speech().lastRequest();
    ASSERT_NE(secondRequest, firstRequest);
    EXPECT_EQ(secondRequest->contextualStrings, firstRequest->contextualStrings);
    EXPECT_TRUE(engine().capture());
    EXPECT_EQ(secondRequest->appendedBuffers, 1);
    EXPECT_EQ(firstRequest->appendedBuffers, 1);

    mainQueue().advance(10);
    EXPECT_EQ(speech().tasksMade(), 2);
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, SessionRestart,
    ::testing::Values(
        RestartCase{"finalWithoutMatch", platform::RecognitionResult{"hey there orvane", true}, std::nullopt},
        RestartCase{"errorWithoutResult", std::nullopt, platform::RecognitionError{"no speech"}},
        RestartCase{"partialWithError", platform::RecognitionResult{"hey", false}, platform::RecognitionError{"x"}},
        RestartCase{"finalWithError", platform::RecognitionResult{"", true}, platform::RecognitionError{"x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecognitionSession, PartialWithoutMatchOrErrorChangesNothing) {
    startListening();

    speech().lastTask()->deliverPartial("hey orvanes");
    speech().lastTask()->deliver(std::nullopt, std::nullopt);
    mainQueue().advance(10);

    EXPECT_EQ(speech().tasksMade(), 1);
    EXPECT_EQ(mainQueue().pendingCount(), 0u);
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
}

TEST_F(RecognitionSession, TwoTriggersMakeOneSessionAQuarterSecondAfterTheSecond) {
    startListening();
    const auto task = speech().lastTask();

    task->deliverError();
    mainQueue().advance(0.1);
    task->deliverFinal("nothing");
    mainQueue().advance(justBefore);
    EXPECT_EQ(speech().tasksMade(), 1);

    mainQueue().advance(restartDelay - justBefore);
    EXPECT_EQ(speech().tasksMade(), 2);
    EXPECT_DOUBLE_EQ(mainQueue().now(), 0.35);

    mainQueue().advance(10);
    EXPECT_EQ(speech().tasksMade(), 2);
    EXPECT_EQ(counts().workItems.live(), 1) << "the item that ran stays until the next restart or stop()";
}

TEST_F(RecognitionSession, LateCallbackOfAReplacedSessionCountsLikeTheCurrentOne) {
    startListening();
    const auto firstTask = speech().lastTask();
    firstTask->deliverError();
    mainQueue().advance(restartDelay);
    ASSERT_EQ(speech().tasksMade(), 2);

    firstTask->deliverError();
    mainQueue().advance(restartDelay);
    EXPECT_EQ(speech().tasksMade(), 3);

    firstTask->deliverPartial("hey orvane");
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US", "wake"));
}

TEST_F(RecognitionSession, StopCancelsAPendingRestart) {
    startListening();
    speech().lastTask()->deliverError();
    speech().clearEvents();

    listener->stop();
    mainQueue().advance(10);

    EXPECT_THAT(speech().events(), ElementsAre("cancel 1", "endAudio 1", "stop", "removeTap"));
    EXPECT_EQ(speech().tasksMade(), 1);
    EXPECT_EQ(counts().workItems.live(), 0);
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
}

TEST_F(RecognitionSession, StopBeforeStartAndStopAgainChangeNothing) {
    speech().setRecognizer("en-US", {});
    makeListener("en-US");
    listener->stop();
    listener->stop();
    EXPECT_TRUE(speech().events().empty());

    listener->start();
    listener->stop();
    speech().clearEvents();
    listener->stop();
    EXPECT_TRUE(speech().events().empty());
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
}

TEST_F(RecognitionSession, RestartAfterStopOrWakeStartsNothing) {
    startListening();
    speech().lastTask()->deliverPartial("hey orvane");
    ASSERT_THAT(lines(), ElementsAre("status:listening:en-US", "wake"));

    listener->scheduleRecognitionRestart();
    listener->startRecognitionSession();
    mainQueue().advance(10);

    EXPECT_EQ(speech().tasksMade(), 1);
    EXPECT_EQ(counts().recognitionRequests.live(), 0);
    EXPECT_EQ(counts().recognitionTasks.live(), 0);
}

TEST_F(RecognitionSession, ReleasedListenerLeavesCallbacksHarmless) {
    startListening();
    const auto task = speech().lastTask();
    const auto engineKeptByTest = speech().engine();
    task->deliverError();

    listener.reset();
    mainQueue().advance(10);
    task->deliverPartial("hey orvane");
    EXPECT_TRUE(engineKeptByTest->capture()) << "the tap was never removed, but it finds no listener";

    EXPECT_EQ(speech().tasksMade(), 1);
    EXPECT_EQ(counts().buffersAppended, 0);
    EXPECT_THAT(lines(), ElementsAre("status:listening:en-US"));
}

}  // namespace
}  // namespace hotword::testing
