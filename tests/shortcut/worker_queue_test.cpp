#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "worker_queue.h"

namespace keychord::platform {
namespace {

TEST(WorkerQueue, RunsItemsOneAtATimeInSubmissionOrderOffTheCaller) {
    WorkerQueue queue;
    std::vector<int> order;  // touched only by the worker until it is idle
    int running = 0;
    bool overlapped = false;
    bool onCaller = false;
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 2000; ++i) {
        queue.async([&, i] {
            if (++running != 1) overlapped = true;
            if (std::this_thread::get_id() == caller) onCaller = true;
            order.push_back(i);
            --running;
        });
    }
    queue.waitUntilIdle();
    ASSERT_EQ(order.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(onCaller);
}

TEST(WorkerQueue, SubmissionDoesNotWaitForTheRunningItem) {
    WorkerQueue queue;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue.async([released] { released.wait(); });
    bool ran = false;
    queue.async([&ran] { ran = true; });  // returns although the first item is still blocked
    release.set_value();
    queue.waitUntilIdle();
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace keychord::platform
