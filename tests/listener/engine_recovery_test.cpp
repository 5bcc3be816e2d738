// An audio engine that stops by itself when the input device changes comes
// back by itself, on the virtual clock: the listener sees none of it.
#include "listener_fixture.h"

namespace hotword::testing {
namespace {

using platform::EngineRecovery;

class EngineRecoveryTest : public ListenerTest {
protected:
    int starts() {
        int count = 0;
        for (const auto& event : speech().events()) count += event == "start";
        return count;
    }
};

TEST_F(EngineRecoveryTest, ConfigurationChangeReinstallsTheTapWithTheNewFormatAndRestarts) {
    startListening();
    const int sessions = speech().tasksMade();
    speech().clearEvents();

    engine().configurationChange({44100, 2});
    EXPECT_FALSE(engine().isRunning());
    mainQueue().runDue();

    EXPECT_THAT(speech().events(),
                ::testing::ElementsAre("configurationChange", "removeTap", "installTap", "prepare", "start"));
    EXPECT_TRUE(engine().isRunning());
    ASSERT_TRUE(engine().tapFormat());
    EXPECT_EQ(engine().tapFormat()->sampleRate, 44100);
    EXPECT_EQ(engine().tapFormat()->channelCount, 2u);
    // The same tap feeds the same session.
    const long before = speech().lastRequest()->appendedBuffers.load();
    EXPECT_TRUE(engine().capture());
    EXPECT_EQ(speech().lastRequest()->appendedBuffers.load(), before + 1);
    EXPECT_EQ(speech().tasksMade(), sessions);
    EXPECT_EQ(lines(), std::vector<std::string>{"status:listening:en-US"});
}

TEST_F(EngineRecoveryTest, EngineFailingToRestartIsRetriedWithBoundedBackOff) {
    startListening();
    speech().clearEvents();
    speech().setEngineStartFailures(7);

    engine().configurationChange({48000, 1});
    // Attempts at 0, then 0.25, 0.5, 1, 2 and 4 s apart, never more than 4 s.
    const std::vector<double> attemptTimes = {0, 0.25, 0.75, 1.75, 3.75, 7.75, 11.75, 15.75};
    for (std::size_t i = 0; i < attemptTimes.size(); ++i) {
        mainQueue().advance(attemptTimes[i] - mainQueue().now());
        EXPECT_EQ(starts(), static_cast<int>(i) + 1) << "attempt " << i << " at " << attemptTimes[i] << " s";
        EXPECT_EQ(engine().isRunning(), i == attemptTimes.size() - 1);
    }
    EXPECT_FALSE(engine().recovering());
    mainQueue().advance(60);
    EXPECT_EQ(starts(), static_cast<int>(attemptTimes.size())) << "no attempt after success";
    EXPECT_EQ(lines(), std::vector<std::string>{"status:listening:en-US"}) << "no line for any of it";
}

TEST_F(EngineRecoveryTest, StopEndsTheRecovery) {
    startListening();
    speech().setEngineStartFails(true);
    engine().configurationChange({48000, 1});
    mainQueue().advance(1);
    ASSERT_TRUE(engine().recovering());

    listener->stop();
    const int attempts = starts();
    mainQueue().advance(60);
    EXPECT_EQ(starts(), attempts);
    EXPECT_FALSE(engine().recovering());
    EXPECT_FALSE(engine().tapInstalled());
}

TEST_F(EngineRecoveryTest, ConfigurationChangeAfterWakeRestartsNothing) {
    startListening();
    speech().lastTask()->deliverPartial("hey orvane");
    mainQueue().runDue();
    speech().clearEvents();

    engine().configurationChange({48000, 1});
    mainQueue().advance(10);
    EXPECT_THAT(speech().events(), ::testing::ElementsAre("configurationChange"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"status:listening:en-US", "wake"}));
}

}  // namespace
}  // namespace hotword::testing
