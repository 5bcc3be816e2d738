// Many session restarts: every platform object is released exactly once and
// memory stays flat.
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "listener_fixture.h"

namespace hotword::testing {
namespace {

long heapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return static_cast<long>(mallinfo2().uordblks);
#else
    return 0;
#endif
}

using SessionSoak = ListenerTest;

TEST_F(SessionSoak, TenThousandRestartsReleaseEverySessionObject) {
    constexpr int restarts = 10'000;
    constexpr int warmUp = 1'000;
    startListening();
    long heapAfterWarmUp = 0;

    for (int i = 1; i <= restarts; ++i) {
        // Alternate the two ways a session ends.
        if (i % 2 == 0) {
            speech().lastTask()->deliverError();
        } else {
            speech().lastTask()->deliverFinal("nothing to hear");
        }
        mainQueue().advance(0.25);
        ASSERT_EQ(speech().tasksMade(), i + 1);
        // One session, one restart item; the replaced ones are gone.
        ASSERT_EQ(counts().recognitionTasks.live(), 1);
        ASSERT_EQ(counts().recognitionRequests.live(), 1);
        ASSERT_EQ(counts().workItems.live(), 1);
        ASSERT_EQ(mainQueue().pendingCount(), 0u);
        engine().capture();
        speech().clearEvents();
        if (i == warmUp) heapAfterWarmUp = heapInUse();
    }
    const long heapGrowth = heapInUse() - heapAfterWarmUp;

    EXPECT_LT(heapGrowth, 64 * 1024) << "heap grew by " << heapGrowth << " bytes over " << restarts - warmUp
                                     << " restarts";
    EXPECT_EQ(counts().buffersAppended, restarts);
    EXPECT_EQ(lines(), std::vector<std::string>{"status:listening:en-US"});

    listener->stop();
    EXPECT_EQ(counts().recognitionTasks.live(), 0);
    EXPECT_EQ(counts().recognitionRequests.live(), 0);
    EXPECT_EQ(counts().workItems.live(), 0);
    EXPECT_EQ(counts().recognitionTasks.created, restarts + 1);
    EXPECT_EQ(counts().recognitionRequests.created, restarts + 1);
    EXPECT_EQ(counts().workItems.created, restarts);
    // The fixture checks that the listener, the engine and the recognizer go
    // too once released.
}

}  // namespace
}  // namespace hotword::testing
