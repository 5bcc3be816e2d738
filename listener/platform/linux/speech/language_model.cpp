#include "language_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace hotword::speech {

const std::vector<std::string>& fillerVocabulary() {
    static const std::vector<std::string> words = {
        // Everyday words.
        "a", "about", "after", "again", "all", "also", "am", "an", "and", "any", "are", "as", "at",
        "back", "be", "because", "been", "before", "but", "by", "call", "can", "come", "could",
        "day", "did", "do", "does", "done", "down", "each", "even", "find", "first", "for", "from",
        "get", "give", "go", "good", "great", "had", "has", "have", "he", "her", "here", "him",
        "his", "home", "how", "i", "if", "in", "into", "is", "it", "its", "just", "know", "last",
        "let", "like", "look", "make", "many", "me", "more", "most", "much", "my", "name", "need",
        "new", "next", "no", "not", "now", "of", "off", "on", "one", "only", "open", "or", "other",
        "our", "out", "over", "people", "please", "put", "right", "said", "say", "see", "she",
        "should", "show", "so", "some", "start", "stop", "take", "tell", "than", "thank", "that",
        "the", "their", "them", "then", "there", "these", "they", "thing", "think", "this", "time",
        "to", "today", "two", "up", "us", "use", "very", "want", "was", "way", "we", "well", "were",
        "what", "when", "where", "which", "while", "who", "why", "will", "with", "work", "world",
        "would", "year", "yes", "you", "your", "ok", "okay", "notes", "note", "weather", "music",
        "play", "set", "timer", "minutes", "morning", "night", "water", "computer", "phone",
        "message", "email", "meeting", "later", "sure", "thanks", "hi", "hello", "hey",
        // Words that sound close to likely wake words.
        "orange", "oven", "van", "vain", "vane", "vein", "ravine", "arcane", "airplane", "over",
        "oh", "ah", "hay", "hate", "they", "eight", "ray", "rain", "lane", "plane", "main",
        "brain", "train", "okay", "obtain", "cocaine", "urban", "orphan", "organ", "origin",
        "irvine", "marvin", "harvey", "heavy", "every", "ever", "seven", "even", "evening",
        "oval", "navy", "wave", "phrase", "raven", "haven", "heaven", "fine", "vine", "wine",
    };
    return words;
}

namespace {

std::string log10Text(double probability) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", std::log10(probability));
    return text;
}

std::vector<std::string> phoneList(const std::string& phones) {
    std::vector<std::string> list;
    std::size_t at = 0;
    while (at < phones.size()) {
        const auto end = phones.find(' ', at);
        if (end != at) list.push_back(phones.substr(at, end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return list;
}

}  // namespace

DecoderVocabulary buildDecoderVocabulary(const std::vector<std::string>& contextualStrings,
                                         const std::vector<std::string>& filler,
                                         const Pronunciations& known,
                                         const LanguageModelWeights& weights) {
    DecoderVocabulary result;
    // A contextual word that begins with a shorter one (a brand and its
    // variant) is said as that word and the rest.
    Pronunciations pronunciations = known;
    {
        std::vector<std::string> words;
        for (const std::string& text : contextualStrings) {
            for (const std::string& word : dictionaryWords(text)) words.push_back(word);
        }
        std::stable_sort(words.begin(), words.end(),
                         [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
        std::vector<std::pair<std::string, std::string>> said;
        for (const std::string& word : words) {
            std::optional<std::string> pronunciation;
            for (auto shorter = said.rbegin(); shorter != said.rend() && !pronunciation; ++shorter) {
                const std::string& stem = shorter->first;
                if (stem.size() < word.size() && word.compare(0, stem.size(), stem) == 0) {
                    if (auto rest = pronunciations.pronounce(word.substr(stem.size()))) {
                        pronunciation = shorter->second + " " + *rest;
                    }
                }
            }
            if (!pronunciation) pronunciation = pronunciations.pronounce(word);
            if (!pronunciation) continue;
            pronunciations.add(word, *pronunciation);
            said.emplace_back(word, *pronunciation);
        }
    }
    std::map<std::string, std::string> phones;
    auto admit = [&](const std::string& word) {
        if (phones.count(word)) return true;
        if (auto pronunciation = pronunciations.pronounce(word)) {
            phones.emplace(word, *pronunciation);
            return true;
        }
        result.unpronounced.push_back(word);
        return false;
    };

    // Word sequences of the contextual strings, as far as they can be said.
    std::vector<std::vector<std::string>> sequences;
    std::set<std::string> contextual;
    for (const std::string& text : contextualStrings) {
        std::vector<std::string> sequence;
        for (const std::string& word : dictionaryWords(text)) {
            if (admit(word)) {
                sequence.push_back(word);
                contextual.insert(word);
            }
        }
        if (!sequence.empty()) sequences.push_back(sequence);
    }
    // A filler word that sounds like a contextual word or like a part of one
    // would let the decoder split that word into fillers ("or" + "vane"), so
    // such words stay out.
    std::vector<std::vector<std::string>> contextualPhones;
    for (const std::string& word : contextual) contextualPhones.push_back(phoneList(phones.at(word)));
    auto soundsLikeContextual = [&](const std::string& word) {
        const std::vector<std::string> own = phoneList(phones.at(word));
        for (const auto& other : contextualPhones) {
            if (std::search(other.begin(), other.end(), own.begin(), own.end()) != other.end()) return true;
        }
        return false;
    };
    std::set<std::string> fillers;
    for (const std::string& word : filler) {
        for (const std::string& piece : dictionaryWords(word)) {
            if (contextual.count(piece) || fillers.count(piece) || !admit(piece)) continue;
            if (soundsLikeContextual(piece)) {
                phones.erase(piece);
                result.excluded.push_back(piece);
                continue;
            }
            fillers.insert(piece);
        }
    }

    // Unigrams.
    std::map<std::string, double> unigram;
    const double fillerMass = fillers.empty() ? 0 : 1.0 - weights.endProbability -
                                                      (contextual.empty() ? 0 : weights.contextualMass);
    const double contextualMass = contextual.empty() ? 0 : 1.0 - weights.endProbability - fillerMass;
    for (const std::string& word : fillers) unigram[word] = fillerMass / static_cast<double>(fillers.size());
    for (const std::string& word : contextual) {
        unigram[word] = contextualMass / static_cast<double>(contextual.size());
    }
    unigram["</s>"] = weights.endProbability;

    // Bigrams: each word of a contextual string to its successor, and the
    // start of an utterance to each first word.
    std::map<std::string, std::set<std::string>> successors;
    for (const auto& sequence : sequences) {
        successors["<s>"].insert(sequence.front());
        for (std::size_t i = 0; i + 1 < sequence.size(); ++i) successors[sequence[i]].insert(sequence[i + 1]);
    }
    std::map<std::string, std::map<std::string, double>> bigram;
    std::map<std::string, double> backoff;
    for (const auto& [history, next] : successors) {
        const double total = history == "<s>" ? weights.startProbability : weights.successorProbability;
        double explicitMass = 0;
        double unigramMass = 0;
        for (const std::string& word : next) {
            // A bigram never gives a word less than it would get by backing off.
            const double probability = std::max(total / static_cast<double>(next.size()), unigram[word]);
            bigram[history][word] = probability;
            explicitMass += probability;
            unigramMass += unigram[word];
        }
        backoff[history] = std::max(1e-6, 1.0 - explicitMass) / std::max(1e-6, 1.0 - unigramMass);
    }

    std::size_t bigramCount = 0;
    for (const auto& [history, next] : bigram) bigramCount += next.size();

    std::string arpa = "\\data\\\n";
    arpa += "ngram 1=" + std::to_string(unigram.size() + 1) + "\n";
    arpa += "ngram 2=" + std::to_string(bigramCount) + "\n\n\\1-grams:\n";
    arpa += "-99.0000 <s> " + log10Text(backoff.count("<s>") ? backoff["<s>"] : 1.0) + "\n";
    for (const auto& [word, probability] : unigram) {
        arpa += log10Text(probability) + " " + word;
        if (auto found = backoff.find(word); found != backoff.end()) arpa += " " + log10Text(found->second);
        arpa += "\n";
    }
    arpa += "\n\\2-grams:\n";
    for (const auto& [history, next] : bigram) {
        for (const auto& [word, probability] : next) {
            arpa += log10Text(probability) + " " + history + " " + word + "\n";
        }
    }
    arpa += "\n\\end\\\n";
    result.arpa = std::move(arpa);

    for (const auto& [word, pronunciation] : phones) {
        result.dictionary += word + " " + pronunciation + "\n";
        result.words.push_back(word);
    }
    return result;
}

}  // namespace hotword::speech
