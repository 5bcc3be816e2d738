#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "event_tap.h"

namespace keychord::platform {

// A serial queue on one worker thread with a first-in first-out list of
// work items. async() returns at once. When the queue goes, the item that
// is running finishes and the items still waiting are dropped.
class WorkerQueue final : public SerialQueue {
public:
    WorkerQueue();
    ~WorkerQueue() override;
    WorkerQueue(const WorkerQueue&) = delete;
    WorkerQueue& operator=(const WorkerQueue&) = delete;

    void async(std::function<void()> work) override;

    // Blocks until every item submitted so far has run.
    void waitUntilIdle();

private:
    void runWorker();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> items_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;  // last: starts once the rest is ready
};

}  // namespace keychord::platform
