#pragma once

#include <string>
#include <vector>

#include "pronunciations.h"

// The decoder's vocabulary and its small bigram language model, built from the
// contextual strings of a request plus a filler vocabulary of everyday words
// and words that sound close to them. The contextual strings become likely
// word sequences; the filler words absorb all other speech, so that speech
// that only resembles a contextual string is transcribed as something else.
namespace hotword::speech {

struct LanguageModelWeights {
    // Share of the unigram mass that the words of the contextual strings get.
    double contextualMass = 0.1;
    // Probability that a word of a contextual string is followed by its
    // successor in that string.
    double successorProbability = 0.6;
    // Probability that an utterance starts with the first word of a
    // contextual string.
    double startProbability = 0.2;
    // Unigram probability of the end of an utterance.
    double endProbability = 0.1;
};

struct DecoderVocabulary {
    std::string dictionary;  // one "word PH PH ..." line per word
    std::string arpa;        // the language model in ARPA text form
    std::vector<std::string> words;          // the vocabulary, sorted
    std::vector<std::string> unpronounced;   // words left out: no pronunciation
    std::vector<std::string> excluded;       // fillers left out: they sound like a contextual word
};

// Everyday words and close competitors of the contextual strings.
const std::vector<std::string>& fillerVocabulary();

DecoderVocabulary buildDecoderVocabulary(const std::vector<std::string>& contextualStrings,
                                         const std::vector<std::string>& filler,
                                         const Pronunciations& pronunciations,
                                         const LanguageModelWeights& weights = {});

}  // namespace hotword::speech
