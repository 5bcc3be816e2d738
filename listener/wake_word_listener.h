#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hotword {

// Brand constants of the listener. Never instantiated.
struct BrandConfig {
    BrandConfig() = delete;
    static const std::vector<std::string> wakePhrases;
};

class WakeWordListener {
public:
    // The wake phrases, set up once on first use (thread-safe) and read-only
    // afterwards; also handed to each recognition request as contextual
    // strings.
    static const std::vector<std::string>& wakePhrases();

    // True when the transcript holds a wake phrase: a phrase's tokens occur
    // as a contiguous run of the transcript's tokens. Pure; never fails.
    static bool matchesWakePhrase(std::string_view transcript);
};

// Splits text into its maximal runs of the letters a-z. Every other
// character, ASCII or not, separates tokens.
std::vector<std::string_view> wakePhraseTokens(std::string_view text);

}  // namespace hotword
