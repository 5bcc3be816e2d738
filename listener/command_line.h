#pragma once

#include <optional>
#include <string>
#include <vector>

namespace hotword {

inline constexpr const char* defaultLocale = "en-IN";

// What the command line asks for. With a test phrase the other options are
// not read.
struct CommandLine {
    std::optional<std::string> testPhrase;
    std::string requestedLocale = defaultLocale;
    std::optional<std::string> controlFilePath;
};

// Options are whole arguments found by exact equality anywhere in the list
// (position 0 included); the first occurrence wins; the value is the next
// argument, verbatim. Unknown arguments are ignored. Never fails.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// "match" or "no-match" for a one-shot phrase test.
const char* testPhraseAnswer(const std::string& phrase);

}  // namespace hotword
