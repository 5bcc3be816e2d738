#pragma once

#include <functional>
#include <string_view>

namespace hotword {

// Where the listener's output lines go: standard output in the program (one
// line per call, flushed at once), a recorder in the tests.
using LineSink = std::function<void(std::string_view line)>;

// agents::printLine.
LineSink defaultLineSink();

}  // namespace hotword
