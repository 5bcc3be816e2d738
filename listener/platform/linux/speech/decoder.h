#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "language_model.h"
#include "phrase_spotter.h"

struct ps_decoder_s;
struct SpeexPreprocessState_;

// One PocketSphinx decoder over an installed acoustic model. Used by one
// thread at a time.
namespace hotword::speech {

// Where an installed model of a locale lives.
struct ModelLocation {
    std::string identifier;      // the locale as the recognizer reports it, e.g. "en-US"
    std::string acousticModel;   // directory of the acoustic model
    std::string dictionary;      // pronunciation dictionary of the model
};

// The installed model for a locale identifier ("en-US", "en_us", ...), or
// nothing when the locale has none.
std::optional<ModelLocation> findModel(const std::string& modelRoot, const std::string& localeIdentifier);

// Knobs of the decoder that matter for wake phrases; the defaults are the
// ones measured best on synthetic speech (bench/speech_decoder_bench.cpp).
struct DecoderSettings {
    LanguageModelWeights weights;
    double languageWeight = 10;
    double wordInsertionPenalty = 0.65;
    std::string cmn = "live";
    // Live cepstral mean normalisation learns only from utterances in which
    // words were recognised, never from room noise alone.
    bool cmnFromSpeechOnly = true;
    // Half a bit of noise on the samples, so that digital silence does not
    // leave the front-end with the logarithm of zero.
    bool dither = false;
    // A front-end before the decoder (speexdsp): noise suppression down to
    // this many dB (negative), and automatic gain. Speexdsp's noise
    // suppression costs PocketSphinx about a third of its hits on the tuning
    // corpus (its artefacts are not in the acoustic model's training), so it
    // stays off; the gain brings quiet and distant voices up.
    std::optional<int> noiseSuppressionDb;
    bool automaticGain = true;
    // Silence that ends an utterance.
    double postSpeechSeconds = 0.5;
    // Search effort: PocketSphinx's own defaults unless set here.
    std::optional<double> beam;             // -beam
    std::optional<double> wordBeam;         // -wbeam
    std::optional<double> phoneBeam;        // -pbeam
    std::optional<int> maxActiveHmms;       // -maxhmmpf
    // The search's acoustic scores of every other frame only: a third less
    // processor time. Since the phrase model reports the phrase when it hears
    // it, this costs neither hits nor wake latency on the tuning corpus.
    std::optional<int> frameDownsampling = 2;   // -ds
    // Two Gaussians per senone instead of four: about an eighth less processor
    // time, with the same hits and false accepts on the benchmark corpus.
    std::optional<int> topGaussians = 2;    // -topn
    // The wake-phrase model (phrase_spotter.h) judges "hey orvane" when the
    // contextual strings ask for it: the phrase is heard when the model's
    // score reaches `spotterThreshold`, `spotterConfirmThreshold` when the
    // search heard it too, or `spotterPartialThreshold` when one of its words
    // ends the transcript; a phrase that the search heard but the model scores
    // lower is taken out of the transcript.
    bool phraseSpotter = true;
    double spotterThreshold = 0.995;
    double spotterConfirmThreshold = 0.9;
    double spotterPartialThreshold = 0.99;
};

class Decoder {
public:
    // Loads the acoustic model with the filler vocabulary only. Nothing when
    // the model cannot be loaded.
    static std::unique_ptr<Decoder> load(const ModelLocation& model, const DecoderSettings& settings = {});
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Switches to the language model of these contextual strings (the last
    // one is kept, so the same strings cost nothing the second time).
    bool useContextualStrings(const std::vector<std::string>& strings);

    bool startUtterance();
    // Feeds 16 kHz mono samples. False on a decoder failure.
    bool process(std::span<const std::int16_t> samples);
    bool inSpeech();
    // Seconds of speech in the current utterance so far.
    double speechSeconds();
    // The wake-phrase model has a recent score from which the phrase may be
    // heard: worth a look at the hypothesis even outside speech.
    bool phraseLikely() const;
    // The wake-phrase model's scores by themselves hear the phrase
    // (heardByModel): the next hypothesis has it whatever the search's words,
    // so there is no need to wait for a second look at them to agree.
    bool phraseHeardByModel() const;
    std::string hypothesis();
    // Ends the utterance; the final hypothesis.
    std::string endUtterance();

private:
    Decoder(ModelLocation model, DecoderSettings settings);
    bool loadVocabulary(const DecoderVocabulary& vocabulary, bool initial);

    ModelLocation model_;
    DecoderSettings settings_;
    ps_decoder_s* decoder_ = nullptr;
    std::optional<std::vector<std::string>> contextualStrings_;
    int generation_ = 0;
    bool inUtterance_ = false;
    // Runs the front-end over whole 10 ms frames; the rest waits for more.
    void frontEnd(std::span<const std::int16_t> samples);

    SpeexPreprocessState_* preprocess_ = nullptr;
    std::vector<std::int16_t> pending_;    // samples not yet a whole frame
    std::vector<std::int16_t> processed_;  // front-end output to decode
    // The cepstral mean of the last utterance with recognised words.
    std::vector<float> speechMean_;

    // The transcript with the wake phrase as the phrase model judges it.
    std::string judged(const std::string& text);
    std::optional<PhraseSpotter> spotter_;  // when the contextual strings have the spotted phrase
    PhraseRule rule_;
    std::vector<PhraseScore> scores_;  // of the last second
    const PhraseScore* bestScore() const;  // the highest one not spent
    // Scores of windows that end before this frame are not looked at: they
    // hold a phrase already reported.
    std::uint64_t spentUntil_ = 0;
    std::optional<std::uint64_t> reportedAt_;  // frame of the score behind a reported phrase
};

}  // namespace hotword::speech
