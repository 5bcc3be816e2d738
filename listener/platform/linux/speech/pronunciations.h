#pragma once

#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Pronunciations for the decoder's vocabulary, taken from a CMU-style
// dictionary ("word PH PH ...", alternates as "word(2) ..."). Only the words a
// vocabulary needs are kept, so a large dictionary costs one pass and little
// memory.
namespace hotword::speech {

// The words of a text in the decoder's spelling: lowercase runs of the
// letters a-z and the apostrophe, in order.
std::vector<std::string> dictionaryWords(const std::string& text);

class Pronunciations {
public:
    // Reads the entries of `dictionary` that are useful for `words`: the
    // words themselves and every piece a word that is missing could be
    // spelled from.
    static Pronunciations read(std::istream& dictionary, const std::set<std::string>& words);

    void add(const std::string& word, const std::string& phones);

    // The first pronunciation of the word. A word that the dictionary lacks
    // is said as the fewest dictionary words that make it up, a single
    // letter (said as its name) counting as two; on ties the longer pieces
    // come last. Nothing when no spelling exists.
    std::optional<std::string> pronounce(const std::string& word) const;

private:
    std::map<std::string, std::string> first_;
};

}  // namespace hotword::speech
