// The wake-phrase matcher against a straightforward std::regex + ICU version
// of the same steps.
#include <benchmark/benchmark.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

#include "wake_word_listener.h"

namespace {

const std::string matching = "okay so hey orvane can you open my notes please";
const std::string missing = "okay so hey there can you open my notes please";

std::string icuFold(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString decomposed = nfd->normalize(icu::UnicodeString::fromUTF8(text), status);
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
    }
    stripped.foldCase();
    std::string out;
    stripped.toUTF8String(out);
    return out;
}

std::string icuLower(const std::string& text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(text);
    s.toLower(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::vector<std::string> regexTokens(const std::string& text) {
    static const std::regex separators("[^a-z]+");
    std::istringstream pieces(std::regex_replace(text, separators, " "));
    std::vector<std::string> tokens;
    std::string token;
    while (pieces >> token) tokens.push_back(token);
    return tokens;
}

bool straightforwardMatch(const std::string& transcript) {
    const auto t = regexTokens(icuLower(icuFold(transcript)));
    if (t.size() < 2) return false;
    for (const std::string& phrase : hotword::WakeWordListener::wakePhrases()) {
        const auto p = regexTokens(icuLower(phrase));
        if (p.empty() || p.size() > t.size()) continue;
        for (std::size_t s = 0; s + p.size() <= t.size(); ++s) {
            if (std::equal(p.begin(), p.end(), t.begin() + static_cast<std::ptrdiff_t>(s))) return true;
        }
    }
    return false;
}

void BM_Matcher(benchmark::State& state, const std::string& transcript) {
    for (auto _ : state) benchmark::DoNotOptimize(hotword::WakeWordListener::matchesWakePhrase(transcript));
}

void BM_RegexIcuMatcher(benchmark::State& state, const std::string& transcript) {
    if (straightforwardMatch(transcript) != hotword::WakeWordListener::matchesWakePhrase(transcript)) {
        state.SkipWithError("the two matchers disagree");
    }
    for (auto _ : state) benchmark::DoNotOptimize(straightforwardMatch(transcript));
}

BENCHMARK_CAPTURE(BM_Matcher, match, matching);
BENCHMARK_CAPTURE(BM_RegexIcuMatcher, match, matching);
BENCHMARK_CAPTURE(BM_Matcher, noMatch, missing);
BENCHMARK_CAPTURE(BM_RegexIcuMatcher, noMatch, missing);
BENCHMARK_CAPTURE(BM_Matcher, accented, std::string("okay so h\xC3\xA9y \xC3\x96rvane can you open my notes"));
BENCHMARK_CAPTURE(BM_RegexIcuMatcher, accented, std::string("okay so h\xC3\xA9y \xC3\x96rvane can you open my notes"));

}  // namespace

BENCHMARK_MAIN();
