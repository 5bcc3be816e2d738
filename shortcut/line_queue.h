#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace keychord {

// Lines for one stream, written by a thread of its own, so that the threads
// that hand lines over (the keyboard relay, the emission queue) never wait
// on the stream's reader. Lines go out whole, each with its newline, in the
// order they were handed over, and the stream is flushed after every batch.
//
// While the reader does not read, lines wait in memory. Debug lines are
// dropped (and counted) once `debugBacklog` of them wait; other lines are
// kept, up to `lineBacklog`, beyond which the reader has long stopped
// reading and new lines are dropped as well.
class LineQueue {
public:
    // About 1.5 MB of debug lines: a burst of key-downs while the reader is
    // busy fits, a reader that has stopped costs no more.
    struct Limits {
        std::size_t debugBacklog = 32768;
        std::size_t lineBacklog = 40000;
    };

    explicit LineQueue(std::FILE* stream) : LineQueue(stream, Limits{}) {}
    LineQueue(std::FILE* stream, Limits limits);
    // Writes what waits, then ends the writing thread: the stream must be
    // read (or broken) until then.
    ~LineQueue();
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;

    // A line that must reach the reader (the shortcut line, "ready").
    void writeLine(std::string_view text);
    // A line that may be lost when the reader falls behind (a debug line).
    // False when it was dropped.
    bool writeDroppableLine(std::string_view text);

    // Debug lines dropped so far, and other lines dropped so far.
    std::uint64_t droppedDebugLines() const;
    std::uint64_t droppedLines() const;

    // Blocks until every line handed over so far has been written.
    void waitUntilWritten();

private:
    struct Line {
        std::string text;  // with its newline
        bool droppable;
    };

    bool push(std::string_view text, bool droppable);
    void runWriter();

    std::FILE* stream_;
    const Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<Line> lines_;
    std::size_t waitingDebug_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    std::uint64_t droppedDebug_ = 0;
    std::uint64_t dropped_ = 0;
    std::thread writer_;  // last: starts once the rest is ready
};

// The process's standard output. It is never destroyed, so that the end of
// the process never waits for a reader.
LineQueue& standardOutputLines();

}  // namespace keychord
