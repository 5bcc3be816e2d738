#include <cstdlib>
#include <string>
#include <vector>

#include "monitor.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    keychord::platform::Platform platform = keychord::platform::makeSystemPlatform();
    const int status = keychord::runMonitorProcess(arguments, platform);
    // The emission queue or the accessibility service may be waiting on a
    // bus or a display server that does not answer: the process ends
    // without waiting for them. Standard error is written through at once,
    // and nothing on standard output waits for a reader that is still there.
    std::_Exit(status);
}
