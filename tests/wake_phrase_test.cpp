#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/stroke_letters.h"
#include "platform/text.h"
#include "wake_word_listener.h"

namespace hotword {
namespace {

struct MatchCase {
    const char* name;
    std::string transcript;
    bool matches;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) { return os << c.name; }

class WakePhraseMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(WakePhraseMatch, AnswersAsExpected) {
    EXPECT_EQ(WakeWordListener::matchesWakePhrase(GetParam().transcript), GetParam().matches)
        << "transcript: " << GetParam().transcript;
}

INSTANTIATE_TEST_SUITE_P(
    Transcripts, WakePhraseMatch,
    ::testing::Values(
        MatchCase{"plain", "Hey Orvane", true},
        MatchCase{"upper", "HEY ORVANE", true},
        MatchCase{"punctuation", "Hey, Orvane!", true},
        MatchCase{"accentLower", "hey orvan\xC3\xA9", true},
        MatchCase{"accentUpper", "H\xC3\x89Y \xC3\x96RVAN\xC3\x89", true},
        MatchCase{"combiningMark", "hey orvane\xCC\x81", true},       // e + U+0301
        MatchCase{"strokeLetter", "hey \xC3\xB8rvane", true},          // o with stroke
        MatchCase{"strokeLetterUpper", "HEY \xC3\x98RVANE", true},       // O with stroke
        MatchCase{"strokeLetterWithAcute", "hey \xC7\xBFrvane", true},   // o with stroke and acute
        MatchCase{"strokeLetterInHey", "\xC4\xA7" "ey orvane", true},       // h with stroke
        MatchCase{"fullwidthSpace", "hey\xE3\x80\x80orvane", true},    // U+3000
        MatchCase{"anywhere", "ok hey orvane open my notes", true},
        MatchCase{"secondPhrase", "Hey OrvaneX", true},
        MatchCase{"spacedX", "Hey Orvane X", true},
        MatchCase{"digits", "hey2orvane", true},
        MatchCase{"underscore", "hey_orvane", true},
        MatchCase{"lineBreak", "hey\norvane", true},
        MatchCase{"tabsAndCR", "\they\r\n\torvane\t", true},
        MatchCase{"invalidUtf8Between", "hey\xFF\xFEorvane", true},
        MatchCase{"controlChars", std::string("hey\x01\x02orvane\0x", 13), true},
        MatchCase{"joined", "HeyOrvane", false},
        MatchCase{"single", "Orvane", false},
        MatchCase{"notAdjacent", "hey there orvane", false},
        MatchCase{"wrongOrder", "orvane hey", false},
        MatchCase{"prefixOnly", "hey orvanes", false},
        MatchCase{"empty", "", false},
        MatchCase{"punctuationOnly", " ,.!? ", false},
        MatchCase{"greek", "\xCE\xB5\xCE\xB9 \xCE\xBF\xCF\x81", false},
        MatchCase{"cyrillicLookalike", "\xD0\xBD\xD0\xB5y orvane", false},  // Cyrillic "не" + y
        MatchCase{"letterInsideOtherScript", "hey\xCE\xB1orvane", true},    // alpha separates
        MatchCase{"invalidOnly", "\xC3\x28\xA0\xA1", false},
        MatchCase{"truncatedSequence", "hey orvane\xE2\x82", true},
        MatchCase{"hello", "hello world how are you", false},
        MatchCase{"orange", "hey orange", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WakePhraseMatch, HugeTranscriptsAnswer) {
    std::string noise(1 << 20, 'a');
    EXPECT_FALSE(WakeWordListener::matchesWakePhrase(noise));
    std::string spaced;
    for (int i = 0; i < 200000; ++i) spaced += "hey ";
    EXPECT_FALSE(WakeWordListener::matchesWakePhrase(spaced));
    EXPECT_TRUE(WakeWordListener::matchesWakePhrase(spaced + "orvane"));
    std::string accented;
    for (int i = 0; i < 100000; ++i) accented += "\xC3\xA9 ";
    EXPECT_TRUE(WakeWordListener::matchesWakePhrase(accented + "hey orvanex"));
}

TEST(WakePhraseList, HoldsBothPhrasesInOrder) {
    const std::vector<std::string> expected = {"Hey Orvane", "Hey OrvaneX"};
    EXPECT_EQ(BrandConfig::wakePhrases, expected);
    EXPECT_EQ(WakeWordListener::wakePhrases(), expected);
}

TEST(WakePhraseList, ConcurrentFirstUseSeesOneList) {
    std::vector<std::thread> threads;
    std::vector<const void*> seen(8);
    std::vector<int> answers(8);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &seen, &answers] {
            seen[i] = &WakeWordListener::wakePhrases();
            answers[i] = WakeWordListener::matchesWakePhrase("hey orvane") ? 1 : 0;
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(answers[i], 1);
    }
}

TEST(WakePhraseTokens, SplitOnEverythingButLowercaseLetters) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(wakePhraseTokens("  ab--cd9e  "), (V{"ab", "cd", "e"}));
    EXPECT_EQ(wakePhraseTokens("ABC"), V{});
    EXPECT_EQ(wakePhraseTokens("a\xC3\xA9z"), (V{"a", "z"}));
    EXPECT_EQ(wakePhraseTokens(""), V{});
}

TEST(StrokeLetters, ReplacedInUtf8WithOtherBytesKept) {
    using platform::replaceStrokeLetters;
    EXPECT_EQ(replaceStrokeLetters("\xC3\x98rsted \xC5\x81\xC3\xB3" "d\xC5\xBA"), "Orsted L\xC3\xB3" "d\xC5\xBA");
    EXPECT_EQ(replaceStrokeLetters("\xC9\xA8\xC6\xB6"), "iz");
    EXPECT_EQ(replaceStrokeLetters("\xE2\x82\xAC \xC3\xA9"), "\xE2\x82\xAC \xC3\xA9");  // euro sign, e acute
    EXPECT_EQ(replaceStrokeLetters("\xC3"), "\xC3");                // truncated
    EXPECT_EQ(replaceStrokeLetters("\xC3\xC3\xB8"), "\xC3o");       // lead without trail, then o with stroke
    EXPECT_EQ(replaceStrokeLetters(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

struct FoldCase {
    const char* input;
    const char* folded;
};

class TextFolding : public ::testing::TestWithParam<FoldCase> {};

TEST_P(TextFolding, FoldsToPlainLowercase) {
    EXPECT_EQ(platform::lowercase(platform::foldCaseAndDiacritics(GetParam().input, "en-US")), GetParam().folded);
}

INSTANTIATE_TEST_SUITE_P(Letters, TextFolding,
                         ::testing::Values(FoldCase{"\xC3\x89", "e"},                  // É
                                           FoldCase{"\xC3\xA0\xC3\xA7\xC3\xBC", "acu"},  // àçü
                                           FoldCase{"\xC3\x85NGSTR\xC3\x96M", "angstrom"},
                                           FoldCase{"Stra\xC3\x9F" "e", "strasse"},      // ß
                                           FoldCase{"\xC5\x81\xC3\xB3" "d\xC5\xBA", "lodz"},
                                           // Every letter with a stroke or a bar, capital and small.
                                           FoldCase{"\xC3\x98\xC3\xB8\xC4\x90\xC4\x91\xC4\xA6\xC4\xA7\xC5\x81\xC5\x82"
                                                    "\xC5\xA6\xC5\xA7\xC6\x80\xC6\x97\xC9\xA8\xC6\xB5\xC6\xB6",
                                                    "ooddhhllttbiizz"},
                                           FoldCase{"\xC7\xBE\xC7\xBF", "oo"},  // with stroke and acute
                                           FoldCase{"\xC3\xB8\xCC\x81", "o"},   // o with stroke + U+0301
                                           FoldCase{"ABC xyz", "abc xyz"}));

TEST(TextTrim, RemovesUnicodeWhitespaceAtBothEnds) {
    EXPECT_EQ(platform::trimWhitespaceAndNewlines(" \t\n en-us \r\xC2\x85\xE2\x80\xA8\xC2\xA0"), "en-us");
    EXPECT_EQ(platform::trimWhitespaceAndNewlines("  \xE3\x80\x80 "), "");
    EXPECT_EQ(platform::trimWhitespaceAndNewlines("en US"), "en US");
}

}  // namespace
}  // namespace hotword
