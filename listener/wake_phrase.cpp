#include "platform/text.h"
#include "wake_word_listener.h"

namespace hotword {

namespace {
constexpr const char* foldingLocale = "en-US";
}

const std::vector<std::string> BrandConfig::wakePhrases = {"Hey Orvane", "Hey OrvaneX"};

const std::vector<std::string>& WakeWordListener::wakePhrases() {
    // A function-local static is initialised exactly once, thread-safely.
    static const std::vector<std::string> phrases = BrandConfig::wakePhrases;
    return phrases;
}

std::vector<std::string_view> wakePhraseTokens(std::string_view text) {
    // A byte scan is exact for UTF-8: every byte of a multi-byte sequence is
    // >= 0x80, so no part of a non-ASCII character is ever taken for a-z.
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    const std::size_t size = text.size();
    while (start < size) {
        while (start < size && !(text[start] >= 'a' && text[start] <= 'z')) ++start;
        std::size_t end = start;
        while (end < size && text[end] >= 'a' && text[end] <= 'z') ++end;
        if (end > start) tokens.push_back(text.substr(start, end - start));
        start = end;
    }
    return tokens;
}

bool WakeWordListener::matchesWakePhrase(std::string_view transcript) {
    const std::string folded = platform::lowercase(platform::foldCaseAndDiacritics(transcript, foldingLocale));
    const std::vector<std::string_view> transcriptTokens = wakePhraseTokens(folded);
    if (transcriptTokens.size() < 2) return false;

    for (const std::string& phrase : wakePhrases()) {
        const std::string lowered = platform::lowercase(phrase);
        const std::vector<std::string_view> phraseTokens = wakePhraseTokens(lowered);
        if (phraseTokens.empty() || phraseTokens.size() > transcriptTokens.size()) continue;
        const std::size_t lastStart = transcriptTokens.size() - phraseTokens.size();
        for (std::size_t s = 0; s <= lastStart; ++s) {
            bool equal = true;
            for (std::size_t k = 0; k < phraseTokens.size() && equal; ++k) {
                equal = transcriptTokens[s + k] == phraseTokens[k];
            }
            if (equal) return true;
        }
    }
    return false;
}

}  // namespace hotword
