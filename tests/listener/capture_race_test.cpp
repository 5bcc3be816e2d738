// The tap callback on a capture thread while the main queue replaces and
// clears the request (run under ThreadSanitizer in the tsan preset).
#include <atomic>
#include <chrono>
#include <thread>

#include "listener_fixture.h"

namespace hotword::testing {
namespace {

using CaptureRace = ListenerTest;

TEST_F(CaptureRace, CaptureThreadAppendsWhileTheMainQueueReplacesTheRequest) {
    startListening();
    const std::shared_ptr<fake::FakeAudioEngine> capturingEngine = speech().engine();
    std::atomic<bool> done{false};
    std::atomic<long> captured{0};

    std::thread captureThread([&] {
        while (!done.load()) {
            if (capturingEngine->capture()) ++captured;
        }
    });

    constexpr int restarts = 2'000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < restarts; ++i) {
        // Let buffers arrive between replacements, so both sides overlap.
        const long seen = captured.load();
        while (captured.load() == seen && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        speech().lastTask()->deliverError();
        mainQueue().advance(0.25);
        speech().clearEvents();
    }
    // stop() clears the request, then removes the tap while buffers arrive.
    listener->stop();
    EXPECT_FALSE(capturingEngine->capture());
    done = true;
    captureThread.join();

    EXPECT_EQ(speech().tasksMade(), restarts + 1);
    EXPECT_GT(counts().buffersAppended, 0);
    EXPECT_LE(counts().buffersAppended, captured.load());
    EXPECT_EQ(counts().recognitionRequests.live(), 0);
}

}  // namespace
}  // namespace hotword::testing
