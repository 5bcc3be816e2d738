#include "phrase_spotter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "phrase_model_weights.h"

namespace hotword::speech {
namespace {

// Two seconds of a tone rising from 200 Hz over noise, sample for sample the
// signal the training code computed its reference features and score from.
std::vector<std::int16_t> referenceSignal() {
    constexpr int n = 32000;
    std::vector<std::int16_t> out(n);
    std::uint32_t state = 12345;
    for (int i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        const int noise = static_cast<int>((state >> 16) % 201) - 100;
        const double tone = 8000.0 * std::sin(2 * std::numbers::pi * (200.0 + 1500.0 * i / n) * i / 16000.0);
        out[i] = static_cast<std::int16_t>(std::lround(tone) + noise);
    }
    return out;
}

std::vector<float> framesOf(const std::vector<std::int16_t>& samples, std::size_t piece) {
    LogMelFrames frames;
    std::vector<float> out;
    for (std::size_t at = 0; at < samples.size(); at += piece) {
        const std::size_t count = std::min(piece, samples.size() - at);
        frames.process(std::span(samples).subspan(at, count), out);
    }
    return out;
}

TEST(PhraseSpotter, FeaturesAndScoreMatchTheTrainingCode) {
    const auto frames = framesOf(referenceSignal(), 32000);
    ASSERT_EQ(frames.size(), std::size_t{198} * phraseBands);
    const int rows[] = {0, 57, 159};
    for (int r = 0; r < 3; ++r) {
        for (int b = 0; b < phraseBands; ++b) {
            EXPECT_NEAR(frames[static_cast<std::size_t>(rows[r]) * phraseBands + b],
                        phrase_model::referenceRows[r * phraseBands + b], 2e-3)
                << "row " << rows[r] << " band " << b;
        }
    }
    const std::span<const float> window(frames.data(), std::size_t{phraseWindowFrames} * phraseBands);
    EXPECT_NEAR(phraseProbability(window), phrase_model::referenceProbability[0], 1e-4);
}

TEST(PhraseSpotter, FramesDoNotDependOnHowTheStreamIsCut) {
    const auto signal = referenceSignal();
    const auto whole = framesOf(signal, signal.size());
    for (const std::size_t piece : {1u, 159u, 160u, 441u, 1024u}) {
        const auto cut = framesOf(signal, piece);
        ASSERT_EQ(cut.size(), whole.size()) << piece;
        for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_FLOAT_EQ(cut[i], whole[i]) << piece << " at " << i;
    }
}

TEST(PhraseSpotter, ScoresEveryTenthFrameOnceAWindowIsFull) {
    const auto signal = referenceSignal();
    PhraseSpotter spotter;
    // 1.6 s of frames fill the window: nothing is scored before.
    EXPECT_FALSE(spotter.process(std::span(signal).first(159 * 160 + 400 - 1)));
    EXPECT_EQ(spotter.takePeak(), 0.0f);
    EXPECT_TRUE(spotter.process(std::span(signal).subspan(159 * 160 + 400 - 1, 1)));
    EXPECT_NEAR(spotter.takePeak(), phrase_model::referenceProbability[0], 1e-4);
    EXPECT_EQ(spotter.takePeak(), 0.0f);  // taken
    EXPECT_FALSE(spotter.process(std::span(signal).subspan(159 * 160 + 400, 9 * 160)));
    EXPECT_TRUE(spotter.process(std::span(signal).subspan(159 * 160 + 400 + 9 * 160, 160)));
    spotter.reset();
    EXPECT_FALSE(spotter.process(std::span(signal).first(10 * 160)));
}

TEST(PhraseSpotter, ScoreDoesNotDependOnTheLevel) {
    auto signal = referenceSignal();
    const auto frames = framesOf(signal, signal.size());
    for (auto& s : signal) s = static_cast<std::int16_t>(s / 8);
    const auto quiet = framesOf(signal, signal.size());
    const std::size_t n = std::size_t{phraseWindowFrames} * phraseBands;
    EXPECT_NEAR(phraseProbability(std::span(quiet).first(n)), phraseProbability(std::span(frames).first(n)), 0.02);
}

struct JudgeCase {
    const char* transcript;
    double score;
    const char* expected;
    bool heard;
};

TEST(PhraseJudgement, ModelAndSearchDecideTogether) {
    const PhraseRule rule{{"hey", "orvane"}, {"orvane", "orvanex"}, 0.9, 0.5, 0.7};
    const JudgeCase cases[] = {
        // The search heard the phrase: kept when the model confirms it...
        {"hey orvane", 0.6, "hey orvane", true},
        {"ok hey orvanex open", 0.95, "ok hey orvanex open", true},
        // ...and loses its last word when the model does not.
        {"hey orvane", 0.49, "hey", false},
        {"hey orvanex what time", 0.1, "hey what time", false},
        {"hey orvane hey orvane", 0.0, "hey hey", false},
        // The model alone: the phrase joins the transcript.
        {"they are", 0.93, "they are hey orvane", true},
        {"", 0.9, "hey orvane", true},
        {"they are", 0.89, "they are", false},
        // One of its words in the transcript: the middle threshold.
        {"what hey", 0.75, "what hey hey orvane", true},
        {"oven orvanex", 0.75, "oven orvanex hey orvane", true},
        {"what hey", 0.69, "what hey", false},
        {"orvane is what they said", 0.75, "orvane is what they said", false},
        // Only "hey" right before the last word makes the phrase.
        {"orvane hey", 0.6, "orvane hey", false},
        {"hey there orvane", 0.3, "hey there orvane", false},
    };
    for (const JudgeCase& c : cases) {
        const PhraseJudgement judgement = judgePhrase(c.transcript, c.score, rule);
        EXPECT_EQ(judgement.transcript, c.expected) << c.transcript << " at " << c.score;
        EXPECT_EQ(judgement.heard, c.heard) << c.transcript << " at " << c.score;
    }
}

TEST(PhraseJudgement, ModelHearsThePhraseOnlyOnTwoScoresInARow) {
    struct Case {
        const char* what;
        std::vector<PhraseScore> scores;
        std::uint64_t from;
        bool heard;
    };
    const Case cases[] = {
        {"two in a row", {{50, 0.2f}, {60, 0.996f}, {70, 0.999f}}, 0, true},
        {"pieces of audio cut anywhere", {{64, 0.996f}, {77, 0.999f}}, 0, true},
        {"one high score", {{60, 0.2f}, {70, 0.999f}}, 0, false},
        {"the last one low again", {{60, 0.999f}, {70, 0.5f}}, 0, false},
        {"a step without a score between", {{60, 0.999f}, {80, 0.999f}}, 0, false},
        {"the first one spent", {{60, 0.999f}, {70, 0.999f}}, 65, false},
        {"one score only", {{70, 0.999f}}, 0, false},
        {"none", {}, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(heardByModel(c.scores, c.from, 0.995), c.heard) << c.what;
    }
}

}  // namespace
}  // namespace hotword::speech
