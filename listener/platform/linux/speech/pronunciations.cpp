#include "pronunciations.h"

#include <algorithm>
#include <limits>

namespace hotword::speech {

std::vector<std::string> dictionaryWords(const std::string& text) {
    std::vector<std::string> words;
    std::string current;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c == '\'' && !current.empty())) {
            current.push_back(c);
        } else if (!current.empty()) {
            words.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) words.push_back(current);
    return words;
}

Pronunciations Pronunciations::read(std::istream& dictionary, const std::set<std::string>& words) {
    // Every substring of a wanted word may serve as a piece of its spelling.
    std::set<std::string> wanted;
    for (const std::string& word : words) {
        for (std::size_t begin = 0; begin < word.size(); ++begin) {
            for (std::size_t end = begin + 1; end <= word.size(); ++end) {
                wanted.insert(word.substr(begin, end - begin));
            }
        }
    }
    Pronunciations result;
    std::string line;
    while (std::getline(dictionary, line)) {
        const auto space = line.find_first_of(" \t");
        if (space == std::string::npos || space == 0) continue;
        std::string word = line.substr(0, space);
        if (word.back() == ')') continue;  // an alternate pronunciation
        if (!wanted.count(word)) continue;
        const auto phones = line.find_first_not_of(" \t", space);
        if (phones == std::string::npos) continue;
        auto end = line.find_last_not_of(" \t\r");
        result.add(word, line.substr(phones, end + 1 - phones));
    }
    return result;
}

void Pronunciations::add(const std::string& word, const std::string& phones) {
    first_.emplace(word, phones);
}

std::optional<std::string> Pronunciations::pronounce(const std::string& word) const {
    if (word.empty()) return std::nullopt;
    if (auto found = first_.find(word); found != first_.end()) return found->second;

    // best[i]: the cheapest spelling of word[i..] as piece lengths. Each piece
    // costs 1 and a spelled-out letter 2, so that "or" + "vane" beats
    // "orva" + "n" + "e".
    struct Spelling {
        std::size_t cost = 0;
        std::vector<std::size_t> pieces;
    };
    const std::size_t n = word.size();
    std::vector<std::optional<Spelling>> best(n + 1);
    best[n] = Spelling{};
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t length = n - i; length >= 1; --length) {
            if (!best[i + length] || !first_.count(word.substr(i, length))) continue;
            Spelling candidate{best[i + length]->cost + (length == 1 ? 2 : 1), {length}};
            candidate.pieces.insert(candidate.pieces.end(), best[i + length]->pieces.begin(),
                                    best[i + length]->pieces.end());
            auto& current = best[i];
            // Cheaper wins; on ties the longer pieces come last, where English
            // keeps its stressed syllables and silent letters ("or" + "vane",
            // not "orva" + "ne").
            if (!current || candidate.cost < current->cost ||
                (candidate.cost == current->cost &&
                 std::lexicographical_compare(current->pieces.rbegin(), current->pieces.rend(),
                                              candidate.pieces.rbegin(), candidate.pieces.rend()))) {
                current = std::move(candidate);
            }
        }
    }
    if (!best[0]) return std::nullopt;
    std::string phones;
    std::size_t at = 0;
    for (std::size_t length : best[0]->pieces) {
        if (!phones.empty()) phones += ' ';
        phones += first_.at(word.substr(at, length));
        at += length;
    }
    return phones;
}

}  // namespace hotword::speech
