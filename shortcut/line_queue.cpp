#include "line_queue.h"

#include <utility>

namespace keychord {

LineQueue::LineQueue(std::FILE* stream, Limits limits)
    : stream_(stream), limits_(limits), writer_([this] { runWriter(); }) {}

LineQueue::~LineQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void LineQueue::writeLine(std::string_view text) { push(text, false); }

bool LineQueue::writeDroppableLine(std::string_view text) { return push(text, true); }

bool LineQueue::push(std::string_view text, bool droppable) {
    Line line{std::string(), droppable};
    line.text.reserve(text.size() + 1);
    line.text.append(text);
    line.text.push_back('\n');
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (droppable && waitingDebug_ >= limits_.debugBacklog) {
            ++droppedDebug_;
            return false;
        }
        if (lines_.size() >= limits_.lineBacklog) {
            ++(droppable ? droppedDebug_ : dropped_);
            return false;
        }
        if (droppable) ++waitingDebug_;
        lines_.push_back(std::move(line));
    }
    wake_.notify_one();
    return true;
}

std::uint64_t LineQueue::droppedDebugLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedDebug_;
}

std::uint64_t LineQueue::droppedLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void LineQueue::waitUntilWritten() {
    std::unique_lock<std::mutex> lock(mutex_);
    written_.wait(lock, [this] { return lines_.empty() && !writing_; });
}

void LineQueue::runWriter() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string batch;
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
        if (lines_.empty()) break;  // stopping, and everything is written
        batch.clear();
        // A bounded batch, so that what waits stays within the backlog.
        for (int taken = 0; taken < 256 && !lines_.empty(); ++taken) {
            Line& line = lines_.front();
            if (line.droppable) --waitingDebug_;
            batch += line.text;
            lines_.pop_front();
        }
        writing_ = true;
        lock.unlock();
        // Write and flush errors are not examined: a reader that has gone
        // ends the process by other means.
        std::fwrite(batch.data(), 1, batch.size(), stream_);
        std::fflush(stream_);
        if (batch.capacity() > 64 * 1024) batch = std::string();
        lock.lock();
        writing_ = false;
        if (lines_.empty()) written_.notify_all();
    }
    written_.notify_all();
}

LineQueue& standardOutputLines() {
    static LineQueue* const lines = new LineQueue(stdout);
    return *lines;
}

}  // namespace keychord
