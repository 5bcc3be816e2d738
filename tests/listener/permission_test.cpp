// The permission sequence of authorizeAndStart(), over every answer.
#include "listener_fixture.h"

namespace hotword::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr int notDetermined = 0;
constexpr int restricted = 1;
constexpr int denied = 2;
constexpr int authorized = 3;

struct PermissionCase {
    const char* name;
    int microphoneStatus;
    bool userGrantsMicrophone;  // when asked
    int speechStatus;
    fake::AnswerMode speechMode;
    // Lines when authorizeAndStart() returns, and after every answer reached
    // the main queue.
    std::vector<std::string> linesAtReturn;
    std::vector<std::string> linesAtEnd;
    int microphoneRequests;
    int speechRequests;
};

std::ostream& operator<<(std::ostream& os, const PermissionCase& c) { return os << c.name; }

const std::string requesting = "status:requesting-permission";
const std::string deniedLine = "status:permission-denied";
const std::string listening = "status:listening:en-US";

class PermissionSequence : public ListenerTest,
                           public ::testing::WithParamInterface<std::tuple<PermissionCase, bool>> {};

TEST_P(PermissionSequence, StartsOnlyWhenBothAreGranted) {
    const auto& [c, answersOnAnotherThread] = GetParam();
    speech().setRecognizer("en-US", {});
    speech().setMicrophoneStatus(c.microphoneStatus);
    speech().setMicrophoneAnswer(c.userGrantsMicrophone, fake::AnswerMode::later);
    speech().setSpeechAnswer(c.speechStatus, c.speechMode);
    makeListener("en-US");

    listener->authorizeAndStart();
    EXPECT_THAT(lines(), ElementsAreArray(c.linesAtReturn));

    // Answers only reach the main queue; nothing is decided where they
    // arrive.
    std::vector<std::string> beforeAnswer = lines();
    speech().answerMicrophone(answersOnAnotherThread);
    EXPECT_EQ(lines(), beforeAnswer);
    mainQueue().runDue();
    beforeAnswer = lines();
    speech().answerSpeech(answersOnAnotherThread);
    EXPECT_EQ(lines(), beforeAnswer);
    mainQueue().runDue();

    EXPECT_THAT(lines(), ElementsAreArray(c.linesAtEnd));
    EXPECT_EQ(speech().microphoneRequests(), c.microphoneRequests);
    EXPECT_EQ(speech().speechRequests(), c.speechRequests);
    mainQueue().advance(10);
    EXPECT_THAT(lines(), ElementsAreArray(c.linesAtEnd)) << "nothing is asked again";
}

using fake::AnswerMode;

INSTANTIATE_TEST_SUITE_P(
    Answers, PermissionSequence,
    ::testing::Combine(
        ::testing::Values(
            PermissionCase{"grantedEarlier", authorized, false, authorized, AnswerMode::immediately, {requesting},
                           {requesting, listening}, 0, 1},
            PermissionCase{"grantedEarlierSpeechAnswersLater", authorized, false, authorized, AnswerMode::later,
                           {requesting}, {requesting, listening}, 0, 1},
            PermissionCase{"microphoneDeniedEarlier", denied, true, authorized, AnswerMode::immediately,
                           {requesting, deniedLine}, {requesting, deniedLine}, 0, 0},
            PermissionCase{"microphoneRestricted", restricted, true, authorized, AnswerMode::immediately,
                           {requesting, deniedLine}, {requesting, deniedLine}, 0, 0},
            PermissionCase{"unknownMicrophoneStatus", 7, true, authorized, AnswerMode::immediately,
                           {requesting, deniedLine}, {requesting, deniedLine}, 0, 0},
            PermissionCase{"askedAndRefused", notDetermined, false, authorized, AnswerMode::immediately,
                           {requesting}, {requesting, deniedLine}, 1, 0},
            PermissionCase{"askedAndGranted", notDetermined, true, authorized, AnswerMode::later, {requesting},
                           {requesting, listening}, 1, 1},
            PermissionCase{"speechDenied", authorized, false, denied, AnswerMode::immediately, {requesting},
                           {requesting, deniedLine}, 0, 1},
            PermissionCase{"speechRestricted", authorized, false, restricted, AnswerMode::later, {requesting},
                           {requesting, deniedLine}, 0, 1},
            PermissionCase{"speechNotDetermined", authorized, false, notDetermined, AnswerMode::immediately,
                           {requesting}, {requesting, deniedLine}, 0, 1},
            PermissionCase{"askedGrantedThenSpeechDenied", notDetermined, true, denied, AnswerMode::later,
                           {requesting}, {requesting, deniedLine}, 1, 1}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_otherThread" : "_sameThread");
    });

using PermissionCallbacks = ListenerTest;

TEST_F(PermissionCallbacks, MicrophoneAnswerAfterTheListenerIsGoneStartsNothing) {
    speech().setRecognizer("en-US", {});
    speech().setMicrophoneStatus(notDetermined);
    speech().setMicrophoneAnswer(true, AnswerMode::later);
    makeListener("en-US")->authorizeAndStart();
    listener.reset();

    speech().answerMicrophone(true);
    mainQueue().runDue();

    EXPECT_THAT(lines(), ElementsAre(requesting));
    EXPECT_TRUE(speech().recognizerLocalesAsked().empty());
}

TEST_F(PermissionCallbacks, SpeechAnswerAfterTheListenerIsGoneStartsNothing) {
    speech().setRecognizer("en-US", {});
    speech().setSpeechAnswer(authorized, AnswerMode::later);
    makeListener("en-US")->authorizeAndStart();
    listener.reset();

    speech().answerSpeech(true);
    mainQueue().runDue();

    EXPECT_THAT(lines(), ElementsAre(requesting));
    EXPECT_TRUE(speech().recognizerLocalesAsked().empty());
}

TEST_F(PermissionCallbacks, ImmediateSpeechAnswerStillWaitsForTheMainQueue) {
    speech().setRecognizer("en-US", {});
    makeListener("en-US")->authorizeAndStart();

    EXPECT_TRUE(speech().recognizerLocalesAsked().empty());
    EXPECT_EQ(mainQueue().runDue(), 1);
    EXPECT_THAT(lines(), ElementsAre(requesting, listening));
}

}  // namespace
}  // namespace hotword::testing
