#include <string>
#include <vector>

#include "command_line.h"
#include "output_line.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const hotword::CommandLine commandLine = hotword::parseCommandLine(arguments);
    if (commandLine.testPhrase) {
        agents::printLine(hotword::testPhraseAnswer(*commandLine.testPhrase));
        return 0;
    }
    return 0;
}
