#include <string>
#include <vector>

#include "command_line.h"
#include "listener_process.h"
#include "output_line.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const hotword::CommandLine commandLine = hotword::parseCommandLine(arguments);
    if (commandLine.testPhrase) {
        agents::printLine(hotword::testPhraseAnswer(*commandLine.testPhrase));
        return 0;
    }
    const hotword::platform::Platform platform = hotword::platform::makeSystemPlatform();
    hotword::runListenerProcess(commandLine, platform);
}
