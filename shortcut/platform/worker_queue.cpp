#include "worker_queue.h"

#include <utility>

namespace keychord::platform {

WorkerQueue::WorkerQueue() : worker_([this] { runWorker(); }) {}

WorkerQueue::~WorkerQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        items_.clear();
    }
    wake_.notify_one();
    worker_.join();
}

void WorkerQueue::async(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void WorkerQueue::waitUntilIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return (items_.empty() && !busy_) || stopping_; });
}

void WorkerQueue::runWorker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
        if (stopping_) break;
        std::function<void()> work = std::move(items_.front());
        items_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        work = nullptr;
        lock.lock();
        busy_ = false;
        if (items_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

}  // namespace keychord::platform
