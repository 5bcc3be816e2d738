// hotword-agent end to end: a private PulseAudio server whose default source
// is a virtual microphone, and speech synthesized into it with flite.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "pulse_server.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

const std::string agentPath = HOTWORD_AGENT_PATH;
const std::string pulseScript = PRIVATE_PULSEAUDIO_SCRIPT;

class SpeechEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.running()) << "private PulseAudio: " << server_.error();
    }

    // A fresh agent that has reached "status:listening:en-US".
    std::unique_ptr<ChildProcess> listeningAgent() {
        auto agent = std::make_unique<ChildProcess>(
            std::vector<std::string>{agentPath, "--locale", "en-US"}, server_.clientEnvironment());
        const auto pid = agent->readLine(20s);
        EXPECT_EQ(pid, "status:pid:" + std::to_string(agent->pid()));
        EXPECT_EQ(agent->readLine(20s), "status:requesting-permission");
        EXPECT_EQ(agent->readLine(30s), "status:listening:en-US") << agent->standardError();
        return agent;
    }

    static void expectCleanExitOnSigterm(ChildProcess& agent) {
        agent.sendSignal(SIGTERM);
        EXPECT_EQ(agent.waitForExit(20s), 0);
        EXPECT_EQ(agent.readRemainingOutput(5s), "");
    }

    speechtest::PulseServer server_{pulseScript};
};

struct Utterance {
    const char* name;
    const char* text;
    const char* voice;
    const char* stretch;
};

void PrintTo(const Utterance& utterance, std::ostream* os) {
    *os << '"' << utterance.text << "\" (" << utterance.voice << ", stretch " << utterance.stretch << ')';
}

class WakesOnce : public SpeechEndToEnd, public testing::WithParamInterface<Utterance> {};

TEST_P(WakesOnce, PrintsWakeOnceAndNothingAfter) {
    const auto& utterance = GetParam();
    auto agent = listeningAgent();
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(server_.speak(utterance.voice, utterance.stretch, utterance.text));
    // The audio has been played: the wake is due at once; the bound is for a
    // busy machine.
    EXPECT_EQ(agent->readLine(15s), "wake");
    EXPECT_EQ(agent->readLine(3s), std::nullopt);
    expectCleanExitOnSigterm(*agent);
}

INSTANTIATE_TEST_SUITE_P(WakePhrases, WakesOnce,
                         testing::Values(Utterance{"HeyOrvane", "Hey Orvane", "slt", "1.0"},
                                         Utterance{"HeyOrvaneX", "Hey OrvaneX", "rms", "1.0"},
                                         Utterance{"WithinASentence", "ok hey orvane open my notes", "kal16", "1.0"}),
                         [](const auto& info) { return std::string(info.param.name); });

class WakesNothing : public SpeechEndToEnd, public testing::WithParamInterface<Utterance> {};

TEST_P(WakesNothing, StaysSilentAfterTheAudio) {
    const auto& utterance = GetParam();
    auto agent = listeningAgent();
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(server_.speak(utterance.voice, utterance.stretch, utterance.text));
    EXPECT_EQ(agent->readLine(5s), std::nullopt);
    expectCleanExitOnSigterm(*agent);
}

INSTANTIATE_TEST_SUITE_P(OtherSpeech, WakesNothing,
                         testing::Values(Utterance{"WordBetween", "hey there orvane", "slt", "1.0"},
                                         Utterance{"WrongOrder", "orvane hey", "rms", "1.0"},
                                         Utterance{"CloseWord", "hey orange", "slt", "1.0"},
                                         Utterance{"Unrelated", "hello world how are you", "awb", "1.0"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The agent in a room: every phrase comes after seconds of quiet room noise
// (the agent has been listening for a while), some in a reverberant room or
// over steady background noise, and phrases that only sound like a wake phrase
// must not wake it. Chosen with a margin: each wakes (or stays silent) on
// every run of the offline decoder at shifted starts as well.
struct RoomCase {
    const char* name;
    const char* text;
    const char* voice;
    const char* stretch;
    double leadSeconds;
    const char* condition;  // clean, hiss, reverb, pink20, pink10
    bool wakes;
};

void PrintTo(const RoomCase& room, std::ostream* os) {
    *os << '"' << room.text << "\" (" << room.voice << " " << room.stretch << ", " << room.condition << " after "
        << room.leadSeconds << " s of room noise, " << (room.wakes ? "wakes" : "stays silent") << ')';
}

class InARoom : public SpeechEndToEnd, public testing::WithParamInterface<RoomCase> {};

TEST_P(InARoom, WakesOnTheWakePhraseOnly) {
    const auto& room = GetParam();
    const auto scene = server_.scene(room.leadSeconds, room.condition, room.voice, room.stretch, room.text);
    ASSERT_TRUE(scene) << "the scene could not be made";
    auto agent = listeningAgent();
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(server_.play(*scene));
    if (room.wakes) {
        EXPECT_EQ(agent->readLine(15s), "wake");
        EXPECT_EQ(agent->readLine(2s), std::nullopt);
    } else {
        EXPECT_EQ(agent->readLine(4s), std::nullopt);
    }
    expectCleanExitOnSigterm(*agent);
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, InARoom,
    testing::Values(RoomCase{"AfterAQuietMinute", "Hey Orvane", "slt", "1.0", 20, "clean", true},
                    // A floor that sets off voice activity detection when it
                    // starts: the noise-only utterance must not leave its
                    // cepstral mean to the phrase.
                    RoomCase{"AfterAHissingFloor", "Hey Orvane", "kal16", "1.0", 3, "hiss", true},
                    RoomCase{"Reverberant", "Hey Orvane", "rms", "1.0", 5, "reverb", true},
                    RoomCase{"ReverberantX", "Hey OrvaneX", "awb", "1.0", 5, "reverb", true},
                    RoomCase{"Noise20dB", "Hey Orvane", "slt", "1.0", 5, "pink20", true},
                    RoomCase{"Noise10dB", "Hey Orvane", "slt", "1.15", 5, "pink10", true},
                    RoomCase{"WrongOrder", "Orvane, hey.", "rms", "1.0", 5, "clean", false},
                    RoomCase{"Orange", "Hey orange.", "kal16", "1.0", 5, "clean", false},
                    RoomCase{"Marvin", "Hey Marvin", "awb", "1.0", 5, "clean", false},
                    RoomCase{"OverHere", "Hey, over here!", "kal16", "1.0", 5, "clean", false},
                    RoomCase{"OrVain", "Or vain.", "slt", "1.0", 5, "clean", false},
                    RoomCase{"Irvine", "Hey Irvine.", "rms", "1.0", 5, "reverb", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpeechEndToEnd, SigtermWhileListeningExitsZeroWithoutALine) {
    auto agent = listeningAgent();
    ASSERT_FALSE(HasFailure());
    expectCleanExitOnSigterm(*agent);
}

TEST_F(SpeechEndToEnd, ServerGoingAwayWhileListeningNeitherCrashesNorBlocks) {
    auto agent = listeningAgent();
    ASSERT_FALSE(HasFailure());
    server_.stop();
    // Still running, and its main loop still answers SIGTERM.
    EXPECT_EQ(agent->waitForExit(3s), std::nullopt);
    expectCleanExitOnSigterm(*agent);
}

TEST(SpeechWithoutServer, NoServerMeansTheMicrophoneIsUnavailable) {
    char pattern[] = "/tmp/hotword-noserver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ChildProcess agent({agentPath, "--locale", "en-US"},
                       std::vector<std::string>{"PATH=/usr/bin:/bin", "PULSE_SERVER=unix:" + dir + "/absent",
                                                "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir});
    EXPECT_EQ(agent.readLine(20s), "status:pid:" + std::to_string(agent.pid()));
    EXPECT_EQ(agent.readLine(20s), "status:requesting-permission");
    EXPECT_EQ(agent.readLine(30s), "status:microphone-unavailable");
    EXPECT_EQ(agent.readLine(1s), std::nullopt);
    agent.sendSignal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(20s), 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
