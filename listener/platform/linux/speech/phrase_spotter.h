#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A small neural network that tells whether the last 1.6 s of audio end with
// the wake phrase ("hey orvane", with or without "x"). It looks at log-mel
// frames (25 ms every 10 ms, 40 bands from 60 Hz to 7.6 kHz), each band
// taken relative to its mean over the window, and was trained on synthesized
// voices in synthetic rooms (phrase_model/train.py).
namespace hotword::speech {

inline constexpr int phraseBands = 40;
inline constexpr int phraseWindowFrames = 160;

// Log-mel frames of a 16 kHz stream fed in pieces of any size.
class LogMelFrames {
public:
    LogMelFrames();
    // Appends one row of `phraseBands` values per completed frame to `out`.
    void process(std::span<const std::int16_t> samples, std::vector<float>& out);

private:
    std::vector<float> pending_;  // samples of frames not complete yet
    std::vector<float> window_;
    // Each band's filter: first FFT bin and weights from there.
    struct Band {
        int first = 0;
        std::vector<float> weights;
    };
    std::vector<Band> bands_;
    std::vector<float> re_, im_;
};

// Probability (0..1) that a window of frames (time-major, `phraseWindowFrames`
// rows of `phraseBands`) ends with the wake phrase.
float phraseProbability(std::span<const float> window);

// Scores the stream every `step` frames.
class PhraseSpotter {
public:
    static constexpr int step = 10;  // 100 ms

    // Feeds 16 kHz mono samples; true when at least one new score was made.
    bool process(std::span<const std::int16_t> samples);
    // The highest score made since the last call of takePeak().
    float takePeak();
    // Forgets the audio so far (a new stream).
    void reset();
    // Frames seen since the start (or the last reset).
    std::uint64_t frames() const { return frameCount_; }

private:
    LogMelFrames frames_;
    std::vector<float> history_;  // the last window of frames, time-major
    std::vector<float> fresh_;
    int framesSinceScore_ = 0;
    std::uint64_t frameCount_ = 0;
    float peak_ = 0;
};

// A score of the model and the frame count at which it was made.
struct PhraseScore {
    std::uint64_t frame;
    float probability;
};

// The model by itself hears the phrase: its last two scores, of consecutive
// steps and made at or after frame `from`, both reach `threshold`. One high
// score alone may be a moment of other speech.
bool heardByModel(std::span<const PhraseScore> scores, std::uint64_t from, double threshold);

// How a transcript of the search and the model's score make one judgement.
struct PhraseRule {
    std::vector<std::string> phrase;   // the spotted phrase's words: "hey" "orvane"
    std::vector<std::string> endings;  // words that may end it: "orvane", "orvanex"
    double alone = 0.9;                // the model's score that hears the phrase by itself
    double confirm = 0.5;              // the score that confirms the phrase the search heard
    double partial = 0.7;              // the score with one of the phrase's words in the transcript
};

struct PhraseJudgement {
    std::string transcript;  // with the phrase added or taken out
    bool heard = false;
};

// The phrase is heard when the score reaches `alone`, `confirm` when the
// search heard it too, or `partial` when one of its words is among the last
// three words of the transcript. A phrase heard by the model only is added to the end of
// the transcript; one the search heard but the model did not confirm loses its
// last word ("hey orvane" becomes "hey").
PhraseJudgement judgePhrase(const std::string& transcript, double score, const PhraseRule& rule);

}  // namespace hotword::speech
