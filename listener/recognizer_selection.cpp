// Choosing the recognizer the listener uses for the whole process.
#include <set>

#include "platform/text.h"
#include "wake_word_listener.h"

namespace hotword {

std::shared_ptr<platform::Recognizer> WakeWordListener::selectOnDeviceRecognizer() const {
    std::vector<std::string> candidates;
    std::string trimmed = platform::trimWhitespaceAndNewlines(requestedLocale);
    if (!trimmed.empty()) candidates.push_back(std::move(trimmed));
    candidates.emplace_back("en-IN");
    candidates.emplace_back("en-US");

    // Candidates whose lower-case forms agree are the same locale: only the
    // first of them is tried, in its own letter case.
    std::set<std::string> seenKeys;
    for (const std::string& candidate : candidates) {
        if (!seenKeys.insert(platform::lowercase(candidate)).second) continue;

        std::shared_ptr<platform::Recognizer> candidateRecognizer = speech_->makeRecognizer(candidate);
        if (!candidateRecognizer) continue;
        if (candidateRecognizer->isAvailable() && candidateRecognizer->supportsOnDeviceRecognition()) {
            return candidateRecognizer;
        }
        // A rejected recognizer is released here, before the next one is made.
    }
    return nullptr;
}

}  // namespace hotword
