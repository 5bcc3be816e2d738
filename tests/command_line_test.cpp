#include <gtest/gtest.h>

#include "command_line.h"

namespace hotword {
namespace {

struct OptionCase {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<std::string> testPhrase;
    std::string locale;
    std::optional<std::string> controlFile;
};

std::ostream& operator<<(std::ostream& os, const OptionCase& c) { return os << c.name; }

class CommandLineOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(CommandLineOptions, ReadsAsExpected) {
    const OptionCase& c = GetParam();
    const CommandLine parsed = parseCommandLine(c.arguments);
    EXPECT_EQ(parsed.testPhrase, c.testPhrase);
    if (!c.testPhrase) {
        EXPECT_EQ(parsed.requestedLocale, c.locale);
        EXPECT_EQ(parsed.controlFilePath, c.controlFile);
    }
}

const std::string agent = "/path/hotword-agent";

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineOptions,
    ::testing::Values(
        OptionCase{"none", {agent}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"noArgumentsAtAll", {}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"testPhrase", {agent, "--test-phrase", "Hey Orvane"}, "Hey Orvane", "", std::nullopt},
        OptionCase{"testPhraseEmpty", {agent, "--test-phrase", ""}, "", "", std::nullopt},
        OptionCase{"testPhraseLast", {agent, "--locale", "en-US", "--test-phrase"}, std::nullopt, "en-US",
                   std::nullopt},
        OptionCase{"testPhraseWithOthers", {agent, "--control-file", "/x", "--test-phrase", "a", "--locale", "b"},
                   "a", "", std::nullopt},
        OptionCase{"testPhraseValueIsOption", {agent, "--test-phrase", "--locale", "fr"}, "--locale", "",
                   std::nullopt},
        OptionCase{"testPhraseTwice", {agent, "--test-phrase", "one", "--test-phrase", "two"}, "one", "",
                   std::nullopt},
        OptionCase{"locale", {agent, "--locale", "en-US"}, std::nullopt, "en-US", std::nullopt},
        OptionCase{"localeLast", {agent, "--locale"}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"localeTwice", {agent, "--locale", "en-US", "--locale", "fr-FR"}, std::nullopt, "en-US",
                   std::nullopt},
        OptionCase{"localeEquals", {agent, "--locale=en-US"}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"localeEmpty", {agent, "--locale", ""}, std::nullopt, "", std::nullopt},
        OptionCase{"localeWrongCase", {agent, "--Locale", "en-US"}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"localeTakesOption", {agent, "--locale", "--control-file", "/tmp/c"}, std::nullopt,
                   "--control-file", "/tmp/c"},
        OptionCase{"controlFile", {agent, "--control-file", "/tmp/c"}, std::nullopt, "en-IN", "/tmp/c"},
        OptionCase{"controlFileEmpty", {agent, "--control-file", ""}, std::nullopt, "en-IN", ""},
        OptionCase{"controlFileLast", {agent, "--control-file"}, std::nullopt, "en-IN", std::nullopt},
        OptionCase{"optionAtPositionZero", {"--locale", "de-DE"}, std::nullopt, "de-DE", std::nullopt},
        OptionCase{"unknownIgnored", {agent, "-l", "x", "--verbose", "--locale", "en-GB"}, std::nullopt, "en-GB",
                   std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TestPhraseAnswer, MatchOrNoMatch) {
    EXPECT_STREQ(testPhraseAnswer("Hey, Orvane!"), "match");
    EXPECT_STREQ(testPhraseAnswer("hey there orvane"), "no-match");
}

}  // namespace
}  // namespace hotword
