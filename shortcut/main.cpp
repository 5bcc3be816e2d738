#include <string>
#include <vector>

#include "monitor.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    keychord::platform::Platform platform = keychord::platform::makeSystemPlatform();
    return keychord::runMonitorProcess(arguments, platform);
}
