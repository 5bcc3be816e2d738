#include "line_sink.h"

#include "output_line.h"

namespace hotword {

LineSink defaultLineSink() { return [](std::string_view line) { agents::printLine(line); }; }

}  // namespace hotword
