// Runs the real hotword-agent in its one-shot mode.
#include <gtest/gtest.h>

#include "child_process.h"

namespace {

struct ProcessCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* output;
};

std::ostream& operator<<(std::ostream& os, const ProcessCase& c) { return os << c.name; }

class HotwordTestPhrase : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(HotwordTestPhrase, PrintsOneAnswerAndExitsZero) {
    std::vector<std::string> argv = {HOTWORD_AGENT_PATH};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const auto result = testsupport::runToEnd(argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, GetParam().output);
    EXPECT_EQ(result.error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, HotwordTestPhrase,
    ::testing::Values(
        ProcessCase{"match", {"--test-phrase", "Hey, Orvane!"}, "match\n"},
        ProcessCase{"noMatch", {"--test-phrase", "hey there orvane"}, "no-match\n"},
        ProcessCase{"otherOptionsIgnored", {"--locale", "xx", "--test-phrase", "Hey OrvaneX", "--control-file", ""},
                    "match\n"},
        ProcessCase{"empty", {"--test-phrase", ""}, "no-match\n"},
        ProcessCase{"invalidUtf8", {"--test-phrase", "hey \xFF\xC0 orvane"}, "match\n"},
        ProcessCase{"controlCharacters", {"--test-phrase", "\x01hey\x1b[31m\torvane\x7f"}, "no-match\n"},
        ProcessCase{"controlSeparators", {"--test-phrase", "\x01hey\x1b\torvane\x7f"}, "match\n"},
        // One argument may hold at most 128 KiB on Linux; the matcher itself is
        // checked with a megabyte in the unit tests.
        ProcessCase{"largest", {"--test-phrase", std::string(120 * 1024, 'x') + " hey orvane"}, "match\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
