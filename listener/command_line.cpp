#include "command_line.h"

#include <algorithm>

#include "wake_word_listener.h"

namespace hotword {

namespace {

// The argument after the first occurrence of the option, if both exist.
std::optional<std::string> optionValue(const std::vector<std::string>& arguments, const char* option) {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end() || std::next(found) == arguments.end()) return std::nullopt;
    return *std::next(found);
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine commandLine;
    commandLine.testPhrase = optionValue(arguments, "--test-phrase");
    if (commandLine.testPhrase) return commandLine;
    commandLine.requestedLocale = optionValue(arguments, "--locale").value_or(defaultLocale);
    commandLine.controlFilePath = optionValue(arguments, "--control-file");
    return commandLine;
}

const char* testPhraseAnswer(const std::string& phrase) {
    return WakeWordListener::matchesWakePhrase(phrase) ? "match" : "no-match";
}

}  // namespace hotword
