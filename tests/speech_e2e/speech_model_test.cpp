// The parts of the Linux speech services that need no service: pronunciations
// of contextual words, the language model built from them, and resampling.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include "language_model.h"
#include "pronunciations.h"
#include "resampler.h"

namespace hotword::speech {
namespace {

// A few entries in the format of the model's dictionary, with the traps that
// matter: alternates, pieces that spell a word in more than one way, and
// words that sound like parts of others.
constexpr const char* dictionaryText =
    "hey HH EY\n"
    "hay HH EY\n"
    "or AO R\n"
    "orva AO R V AH\n"
    "ne N IY\n"
    "vane V EY N\n"
    "vein V EY N\n"
    "van V AE N\n"
    "ex EH K S\n"
    "x EH K S\n"
    "nex N EH K S\n"
    "e IY\n"
    "orange AO R AH N JH\n"
    "orange(2) AO R IH N JH\n"
    "there DH EH R\n"
    "hello HH AH L OW\n"
    "sun S AH N\n"
    "beam B IY M\n"
    "unrelated AH N R IH L EY T IH D\n"
    "n EH N\n";

Pronunciations readDictionary(const std::set<std::string>& words) {
    std::istringstream text(dictionaryText);
    return Pronunciations::read(text, words);
}

TEST(DictionaryWords, SplitsLikeTheDecoderSpellsWords) {
    EXPECT_EQ(dictionaryWords("Hey, OrvaneX!"), (std::vector<std::string>{"hey", "orvanex"}));
    EXPECT_EQ(dictionaryWords("  don't  stop2go "), (std::vector<std::string>{"don't", "stop", "go"}));
    EXPECT_EQ(dictionaryWords("'quoted'"), (std::vector<std::string>{"quoted'"}));
    EXPECT_TRUE(dictionaryWords(" ,.! ").empty());
}

struct PronunciationCase {
    const char* word;
    std::optional<std::string> phones;
};

class PronounceTest : public testing::TestWithParam<PronunciationCase> {};

TEST_P(PronounceTest, KnownWordsAndWordsSpelledFromPieces) {
    const auto& c = GetParam();
    const auto pronunciations = readDictionary({c.word});
    EXPECT_EQ(pronunciations.pronounce(c.word), c.phones) << c.word;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PronounceTest,
    testing::Values(
        PronunciationCase{"orange", "AO R AH N JH"},        // first pronunciation, not the alternate
        PronunciationCase{"sunbeam", "S AH N B IY M"},     // two pieces
        PronunciationCase{"orvane", "AO R V EY N"},        // "or"+"vane" beats "orva"+"ne"
        PronunciationCase{"orx", "AO R EH K S"},           // a letter said as its name
        PronunciationCase{"vanex", "V AE N EH K S"},       // "van"+"ex": a letter costs two pieces
        PronunciationCase{"orvan", "AO R V AE N"},         // "or"+"van" beats "orva" and a letter
        PronunciationCase{"qq", std::nullopt},             // no piece fits
        PronunciationCase{"", std::nullopt}),
    [](const auto& info) { return info.param.word[0] ? std::string(info.param.word) : std::string("empty"); });

TEST(Pronunciations, ReadKeepsOnlyWhatTheWordsNeed) {
    const auto pronunciations = readDictionary({"hey", "orvane"});
    EXPECT_EQ(pronunciations.pronounce("hey"), "HH EY");
    EXPECT_EQ(pronunciations.pronounce("orvane"), "AO R V EY N");
    EXPECT_EQ(pronunciations.pronounce("unrelated"), std::nullopt);
    EXPECT_EQ(pronunciations.pronounce("hello"), std::nullopt);
}

// The language model in ARPA text, read back.
struct ArpaModel {
    std::map<std::string, double> unigram;  // log10
    std::map<std::string, double> backoff;  // log10
    std::map<std::pair<std::string, std::string>, double> bigram;
    std::size_t declaredUnigrams = 0;
    std::size_t declaredBigrams = 0;

    static ArpaModel parse(const std::string& text) {
        ArpaModel model;
        std::istringstream lines(text);
        std::string line;
        int section = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("ngram 1=", 0) == 0) model.declaredUnigrams = std::stoul(line.substr(8));
            else if (line.rfind("ngram 2=", 0) == 0) model.declaredBigrams = std::stoul(line.substr(8));
            else if (line == "\\1-grams:") section = 1;
            else if (line == "\\2-grams:") section = 2;
            else if (line.empty() || line[0] == '\\') continue;
            else if (section == 1) {
                std::istringstream fields(line);
                double p = 0, bo = 0;
                std::string word;
                fields >> p >> word;
                model.unigram[word] = p;
                if (fields >> bo) model.backoff[word] = bo;
            } else if (section == 2) {
                std::istringstream fields(line);
                double p = 0;
                std::string first, second;
                fields >> p >> first >> second;
                model.bigram[{first, second}] = p;
            }
        }
        return model;
    }

    // P(word | history) with back-off.
    double probability(const std::string& history, const std::string& word) const {
        if (auto found = bigram.find({history, word}); found != bigram.end()) return std::pow(10.0, found->second);
        const auto bo = backoff.find(history);
        return std::pow(10.0, (bo == backoff.end() ? 0.0 : bo->second) + unigram.at(word));
    }
};

class VocabularyTest : public testing::Test {
protected:
    const std::vector<std::string> contextual{"Hey Orvane", "Hey OrvaneX"};
    const std::vector<std::string> filler{"hay", "or", "vane", "vein", "van", "orange", "there", "hello", "qq"};
    DecoderVocabulary vocabulary = buildDecoderVocabulary(
        contextual, filler, readDictionary({"hey", "orvane", "orvanex", "hay", "or", "vane", "vein", "van",
                                            "orange", "there", "hello", "qq"}));
    ArpaModel model = ArpaModel::parse(vocabulary.arpa);
};

TEST_F(VocabularyTest, ContextualWordsArePronouncedAndVariantsBuildOnTheirStem) {
    EXPECT_NE(vocabulary.dictionary.find("orvane AO R V EY N\n"), std::string::npos);
    // "orvanex" is "orvane" and an x, not "orva" + "nex".
    EXPECT_NE(vocabulary.dictionary.find("orvanex AO R V EY N EH K S\n"), std::string::npos);
    EXPECT_NE(vocabulary.dictionary.find("hey HH EY\n"), std::string::npos);
}

TEST_F(VocabularyTest, FillersThatSoundLikeContextualWordsOrTheirPartsStayOut) {
    const std::set<std::string> excluded(vocabulary.excluded.begin(), vocabulary.excluded.end());
    EXPECT_EQ(excluded, (std::set<std::string>{"hay", "or", "vane", "vein"}));
    const std::set<std::string> words(vocabulary.words.begin(), vocabulary.words.end());
    EXPECT_EQ(words, (std::set<std::string>{"hey", "orvane", "orvanex", "van", "orange", "there", "hello"}));
    EXPECT_EQ(vocabulary.unpronounced, (std::vector<std::string>{"qq"}));
    for (const auto& word : vocabulary.excluded) EXPECT_FALSE(model.unigram.count(word)) << word;
}

TEST_F(VocabularyTest, ModelDeclaresWhatItHolds) {
    EXPECT_EQ(model.declaredUnigrams, model.unigram.size());
    EXPECT_EQ(model.declaredBigrams, model.bigram.size());
    EXPECT_EQ(model.unigram.size(), vocabulary.words.size() + 2);  // and <s>, </s>
}

TEST_F(VocabularyTest, EveryHistoryIsANormalisedDistribution) {
    for (const auto& [history, p] : model.unigram) {
        if (history == "</s>") continue;
        double total = 0;
        for (const auto& [word, q] : model.unigram) {
            if (word != "<s>") total += model.probability(history, word);
        }
        EXPECT_NEAR(total, 1.0, 1e-3) << history;
    }
}

TEST_F(VocabularyTest, ContextualSequencesAreFavoured) {
    EXPECT_GT(model.probability("hey", "orvane"), 3 * model.probability("hey", "orange"));
    EXPECT_GT(model.probability("hey", "orvanex"), 5 * model.probability("there", "orvanex"));
    EXPECT_GT(model.probability("<s>", "hey"), model.probability("<s>", "hello"));
    // The reverse order gains nothing.
    EXPECT_LT(model.probability("orvane", "hey"), model.probability("hey", "orvane"));
}

TEST(Vocabulary, WithoutContextualStringsTheFillersShareTheModel) {
    const auto vocabulary = buildDecoderVocabulary({}, {"hello", "there"}, readDictionary({"hello", "there"}));
    const auto model = ArpaModel::parse(vocabulary.arpa);
    EXPECT_NEAR(std::pow(10.0, model.unigram.at("hello")) + std::pow(10.0, model.unigram.at("there")) +
                    std::pow(10.0, model.unigram.at("</s>")),
                1.0, 1e-3);
    EXPECT_TRUE(model.bigram.empty());
}

TEST(Vocabulary, FillerVocabularyHoldsEverydayWordsAndCloseCompetitors) {
    const std::set<std::string> words(fillerVocabulary().begin(), fillerVocabulary().end());
    for (const char* word : {"hello", "there", "orange", "oven", "van", "vain"}) EXPECT_TRUE(words.count(word)) << word;
}

// Resampling.
std::vector<float> tone(double frequency, double rate, double seconds, std::uint32_t channels,
                        bool oppositeChannels = false) {
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<float> samples;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
        for (std::uint32_t c = 0; c < channels; ++c) samples.push_back(oppositeChannels && c % 2 ? -value : value);
    }
    return samples;
}

double rms(const std::vector<std::int16_t>& samples, std::size_t skip) {
    double sum = 0;
    for (std::size_t i = skip; i < samples.size() - skip; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(samples.size() - 2 * skip)) / 32767.0;
}

int zeroCrossings(const std::vector<std::int16_t>& samples, std::size_t skip) {
    int crossings = 0;
    for (std::size_t i = skip + 1; i < samples.size() - skip; ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
    }
    return crossings;
}

struct ResampleCase {
    double rate;
    std::uint32_t channels;
    double frequency;
    bool passes;  // below 8 kHz: kept; above: filtered out
};

class ResampleTest : public testing::TestWithParam<ResampleCase> {};

TEST_P(ResampleTest, KeepsSpeechBandAndRemovesWhatWouldAlias) {
    const auto& c = GetParam();
    Resampler resampler(c.rate, c.channels);
    std::vector<std::int16_t> out;
    resampler.process(tone(c.frequency, c.rate, 1.0, c.channels), out);
    // About one second of output, less the filter's look-ahead.
    EXPECT_NEAR(static_cast<double>(out.size()), decoderSampleRate, 40);
    const std::size_t skip = 200;
    if (c.passes) {
        EXPECT_NEAR(rms(out, skip), 0.5 / std::sqrt(2.0), 0.02);
        const double seconds = double(out.size() - 2 * skip) / decoderSampleRate;
        EXPECT_NEAR(zeroCrossings(out, skip) / seconds, 2 * c.frequency, 2 * c.frequency * 0.01 + 4);
    } else {
        EXPECT_LT(rms(out, skip), 0.02);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ResampleTest,
                         testing::Values(ResampleCase{48000, 2, 440, true}, ResampleCase{44100, 1, 1000, true},
                                         ResampleCase{48000, 1, 3000, true}, ResampleCase{22050, 1, 300, true},
                                         ResampleCase{8000, 1, 500, true}, ResampleCase{48000, 1, 12000, false},
                                         ResampleCase{44100, 2, 15000, false}),
                         [](const auto& info) {
                             const auto& c = info.param;
                             return std::to_string(int(c.rate)) + "Hz" + std::to_string(c.channels) + "ch" +
                                    std::to_string(int(c.frequency)) + "Hz";
                         });

TEST(Resampler, SixteenKilohertzMonoPassesUnchanged) {
    Resampler resampler(16000, 1);
    const std::vector<float> input{0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f};
    std::vector<std::int16_t> out;
    resampler.process(input, out);
    EXPECT_EQ(out, (std::vector<std::int16_t>{0, 16384, -16384, 32767, -32767, 32767}));
}

TEST(Resampler, ChannelsAreAveraged) {
    Resampler resampler(48000, 2);
    std::vector<std::int16_t> out;
    resampler.process(tone(440, 48000, 0.5, 2, true), out);
    ASSERT_FALSE(out.empty());
    for (auto sample : out) ASSERT_LE(std::abs(sample), 1);
}

TEST(Resampler, BufferSizesDoNotChangeTheOutput) {
    const auto input = tone(700, 44100, 0.5, 2);
    Resampler whole(44100, 2), pieces(44100, 2);
    std::vector<std::int16_t> wholeOut, piecesOut;
    whole.process(input, wholeOut);
    for (std::size_t at = 0, size = 2; at < input.size(); at += size, size = size * 3 % 4096 + 2) {
        const std::size_t n = std::min(size, input.size() - at);
        pieces.process(std::span(input).subspan(at, n), piecesOut);
    }
    EXPECT_EQ(wholeOut, piecesOut);
}

}  // namespace
}  // namespace hotword::speech
