#include "output_line.h"

#include <string>

namespace agents {

void OutputLineWriter::writeLine(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fflush(stream_);
}

OutputLineWriter& standardOutput() {
    static OutputLineWriter writer(stdout);
    return writer;
}

void printLine(std::string_view text) { standardOutput().writeLine(text); }

}  // namespace agents
