// Any bytes as a transcript: the matcher answers and never crashes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wake_word_listener.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view transcript(reinterpret_cast<const char*>(data), size);
    const bool matches = hotword::WakeWordListener::matchesWakePhrase(transcript);
    // Appending a wake phrase after a separator always matches.
    std::string withPhrase(transcript);
    withPhrase += " hey orvane";
    if (!hotword::WakeWordListener::matchesWakePhrase(withPhrase)) __builtin_trap();
    (void)matches;
    return 0;
}
