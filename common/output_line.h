#pragma once

#include <cstdio>
#include <mutex>
#include <string_view>

namespace agents {

// Writes whole lines to one stream. A line and its newline go out as one
// unit under a lock and the stream is flushed right after, so a reader on a
// pipe sees each line as soon as it is written and two threads never mix
// within a line. Write and flush errors are not examined.
class OutputLineWriter {
public:
    explicit OutputLineWriter(std::FILE* stream) : stream_(stream) {}

    void writeLine(std::string_view text);

private:
    std::FILE* stream_;
    std::mutex mutex_;
};

// The process's standard output, shared by every thread of the process.
OutputLineWriter& standardOutput();

// Shorthand for standardOutput().writeLine(text).
void printLine(std::string_view text);

}  // namespace agents
