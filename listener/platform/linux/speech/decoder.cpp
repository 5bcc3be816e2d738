#include "decoder.h"

#include <pocketsphinx.h>
#include <speex/speex_preprocess.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <type_traits>

namespace hotword::speech {

static_assert(std::is_same_v<mfcc_t, float>, "the cepstral mean is kept as float");

namespace {

// PocketSphinx reads its dictionary and language model from paths only. An
// anonymous memory file gives it a path to read without writing anything to
// any file system; it goes when its descriptor is closed.
class MemoryFile {
public:
    explicit MemoryFile(const std::string& text) : fd_(memfd_create("decoder-data", MFD_CLOEXEC)) {
        if (fd_ < 0) return;
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
            if (n <= 0) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            written += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool valid() const { return fd_ >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

DecoderVocabulary vocabularyFor(const ModelLocation& model, const std::vector<std::string>& strings,
                                const LanguageModelWeights& weights) {
    std::set<std::string> words(fillerVocabulary().begin(), fillerVocabulary().end());
    for (const std::string& text : strings) {
        for (const std::string& word : dictionaryWords(text)) words.insert(word);
    }
    std::ifstream dictionary(model.dictionary);
    const Pronunciations pronunciations = Pronunciations::read(dictionary, words);
    return buildDecoderVocabulary(strings, fillerVocabulary(), pronunciations, weights);
}

}  // namespace

std::optional<ModelLocation> findModel(const std::string& modelRoot, const std::string& localeIdentifier) {
    // Locale identifiers name models case-insensitively, with "-" or "_".
    std::string key = lowercase(localeIdentifier);
    for (char& c : key) {
        if (c == '_') c = '-';
    }
    if (key.empty() || key.find('/') != std::string::npos || key.find("..") != std::string::npos) {
        return std::nullopt;
    }
    namespace fs = std::filesystem;
    const fs::path base = fs::path(modelRoot) / key;
    ModelLocation location;
    location.acousticModel = (base / key).string();
    location.dictionary = (base / ("cmudict-" + key + ".dict")).string();
    std::error_code error;
    if (!fs::is_regular_file(fs::path(location.acousticModel) / "mdef", error) ||
        !fs::is_regular_file(location.dictionary, error)) {
        return std::nullopt;
    }
    // "en-us" is reported as "en-US": language in lower case, region in upper.
    location.identifier = key;
    if (const auto dash = key.find('-'); dash != std::string::npos) {
        for (std::size_t i = dash + 1; i < key.size(); ++i) {
            location.identifier[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(key[i])));
        }
    }
    return location;
}

Decoder::Decoder(ModelLocation model, DecoderSettings settings)
    : model_(std::move(model)), settings_(std::move(settings)) {}

constexpr int frontEndFrame = 160;  // 10 ms at 16 kHz

Decoder::~Decoder() {
    if (preprocess_) speex_preprocess_state_destroy(preprocess_);
    if (decoder_) {
        if (inUtterance_) ps_end_utt(decoder_);
        ps_free(decoder_);
    }
}

std::unique_ptr<Decoder> Decoder::load(const ModelLocation& model, const DecoderSettings& settings) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });

    std::unique_ptr<Decoder> decoder(new Decoder(model, settings));
    const DecoderVocabulary vocabulary = vocabularyFor(model, {}, settings.weights);
    MemoryFile dictionary(vocabulary.dictionary);
    if (!dictionary.valid()) return nullptr;

    // Wake phrases are caught in the partial results of the first search
    // pass; the second pass and the lattice search would only refine final
    // results, for about two thirds more processor time.
    std::vector<std::string> arguments = {
        "-hmm", model.acousticModel,
        "-dict", dictionary.path(),
        "-cmn", settings.cmn,
        "-dither", settings.dither ? "yes" : "no",
        "-lw", std::to_string(settings.languageWeight),
        "-wip", std::to_string(settings.wordInsertionPenalty),
        "-vad_postspeech", std::to_string(std::lround(settings.postSpeechSeconds * 100)),  // 10 ms frames
        "-fwdflat", "no",
        "-bestpath", "no",
    };
    auto optional = [&](const char* name, const auto& value) {
        if (!value) return;
        arguments.push_back(name);
        std::ostringstream text;
        text << *value;
        arguments.push_back(text.str());
    };
    optional("-beam", settings.beam);
    optional("-wbeam", settings.wordBeam);
    optional("-pbeam", settings.phoneBeam);
    optional("-maxhmmpf", settings.maxActiveHmms);
    optional("-ds", settings.frameDownsampling);
    optional("-topn", settings.topGaussians);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (!config) return nullptr;
    decoder->decoder_ = ps_init(config);
    cmd_ln_free_r(config);
    if (!decoder->decoder_) return nullptr;
    if (!decoder->loadVocabulary(vocabulary, true)) return nullptr;
    if (settings.noiseSuppressionDb || settings.automaticGain) {
        decoder->preprocess_ = speex_preprocess_state_init(frontEndFrame, 16000);
        if (!decoder->preprocess_) return nullptr;
        spx_int32_t on = settings.noiseSuppressionDb ? 1 : 0;
        speex_preprocess_ctl(decoder->preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
        if (settings.noiseSuppressionDb) {
            spx_int32_t db = *settings.noiseSuppressionDb;
            speex_preprocess_ctl(decoder->preprocess_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &db);
        }
        spx_int32_t agc = settings.automaticGain ? 1 : 0;
        speex_preprocess_ctl(decoder->preprocess_, SPEEX_PREPROCESS_SET_AGC, &agc);
        if (settings.automaticGain) {
            float level = 8000;  // about -12 dBFS
            speex_preprocess_ctl(decoder->preprocess_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
        }
    }
    return decoder;
}

bool Decoder::loadVocabulary(const DecoderVocabulary& vocabulary, bool initial) {
    if (!initial) {
        // New words join the dictionary; the last addition rebuilds the search.
        std::vector<std::pair<std::string, std::string>> added;
        std::size_t at = 0;
        while (at < vocabulary.dictionary.size()) {
            const auto end = vocabulary.dictionary.find('\n', at);
            const std::string line = vocabulary.dictionary.substr(at, end - at);
            at = end == std::string::npos ? vocabulary.dictionary.size() : end + 1;
            const auto space = line.find(' ');
            if (space == std::string::npos) continue;
            std::string word = line.substr(0, space);
            if (char* known = ps_lookup_word(decoder_, word.c_str())) {
                ckd_free(known);
                continue;
            }
            added.emplace_back(std::move(word), line.substr(space + 1));
        }
        for (std::size_t i = 0; i < added.size(); ++i) {
            if (ps_add_word(decoder_, added[i].first.c_str(), added[i].second.c_str(), i + 1 == added.size()) < 0) {
                return false;
            }
        }
    }
    MemoryFile arpa(vocabulary.arpa);
    if (!arpa.valid()) return false;
    ngram_model_t* model = ngram_model_read(ps_get_config(decoder_), arpa.path().c_str(), NGRAM_ARPA,
                                            ps_get_logmath(decoder_));
    if (!model) return false;
    const std::string name = "context" + std::to_string(++generation_);
    const int set = ps_set_lm(decoder_, name.c_str(), model);
    ngram_model_free(model);  // the search keeps its own reference
    if (set < 0) return false;
    return ps_set_search(decoder_, name.c_str()) == 0;
}

bool Decoder::useContextualStrings(const std::vector<std::string>& strings) {
    if (contextualStrings_ && *contextualStrings_ == strings) return true;
    const DecoderVocabulary vocabulary = vocabularyFor(model_, strings, settings_.weights);
    if (!loadVocabulary(vocabulary, false)) return false;
    contextualStrings_ = strings;
    // The phrase model knows one phrase: "hey orvane", with or without "x".
    rule_ = PhraseRule{{}, {}, settings_.spotterThreshold, settings_.spotterConfirmThreshold,
                       settings_.spotterPartialThreshold};
    for (const std::string& text : strings) {
        const std::vector<std::string> words = dictionaryWords(text);
        if (words.size() == 2 && words[0] == "hey" && words[1].rfind("orvane", 0) == 0) {
            if (words[1] == "orvane") rule_.phrase = words;
            rule_.endings.push_back(words[1]);
        }
    }
    if (!settings_.phraseSpotter || rule_.phrase.empty()) {
        spotter_.reset();
    } else if (!spotter_) {
        spotter_.emplace();
        scores_.clear();
        spentUntil_ = 0;
    }
    return true;
}

const PhraseScore* Decoder::bestScore() const {
    const PhraseScore* best = nullptr;
    for (const PhraseScore& score : scores_) {
        if (score.frame >= spentUntil_ && (!best || score.probability > best->probability)) best = &score;
    }
    return best;
}

bool Decoder::phraseLikely() const {
    const PhraseScore* best = spotter_ ? bestScore() : nullptr;
    return best && best->probability >= std::min({rule_.alone, rule_.confirm, rule_.partial});
}

bool Decoder::phraseHeardByModel() const {
    return spotter_ && heardByModel(scores_, spentUntil_, rule_.alone);
}

std::string Decoder::judged(const std::string& text) {
    if (!spotter_) return text;
    const PhraseScore* best = bestScore();
    PhraseJudgement judgement = judgePhrase(text, best ? best->probability : 0.0, rule_);
    if (judgement.heard && best) reportedAt_ = best->frame;
    return std::move(judgement.transcript);
}

bool Decoder::startUtterance() {
    if (inUtterance_) ps_end_utt(decoder_);
    if (settings_.cmnFromSpeechOnly && speechMean_.empty()) {
        // The model's initial mean counts as if measured over five seconds,
        // so that the first utterances move it only part of the way.
        cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
        if (cmn) {
            speechMean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
            cmn_live_set(cmn, speechMean_.data());
        }
    }
    pending_.clear();  // an utterance starts with its own audio
    // A phrase reported in the last utterance stays in the model's window for
    // a while: it is not heard a second time.
    if (reportedAt_) spentUntil_ = std::max(spentUntil_, *reportedAt_ + phraseWindowFrames);
    reportedAt_.reset();
    inUtterance_ = ps_start_utt(decoder_) == 0;
    return inUtterance_;
}

void Decoder::frontEnd(std::span<const std::int16_t> samples) {
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    processed_.clear();
    std::size_t at = 0;
    for (; at + frontEndFrame <= pending_.size(); at += frontEndFrame) {
        speex_preprocess_run(preprocess_, pending_.data() + at);
        processed_.insert(processed_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(at),
                          pending_.begin() + static_cast<std::ptrdiff_t>(at + frontEndFrame));
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

bool Decoder::process(std::span<const std::int16_t> samples) {
    if (!inUtterance_) return false;
    if (spotter_ && spotter_->process(samples)) {
        const std::uint64_t now = spotter_->frames();
        scores_.push_back({now, spotter_->takePeak()});
        // A second of scores: the phrase ends up to half a second before the
        // search reports it, and partial results are looked at every 64 ms.
        std::erase_if(scores_, [&](const PhraseScore& score) { return score.frame + 100 < now; });
    }
    if (preprocess_) {
        frontEnd(samples);
        samples = processed_;
    }
    return ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE) >= 0;
}

bool Decoder::inSpeech() { return inUtterance_ && ps_get_in_speech(decoder_) != 0; }

double Decoder::speechSeconds() {
    double speech = 0, cpu = 0, wall = 0;
    ps_get_utt_time(decoder_, &speech, &cpu, &wall);
    return speech;
}

std::string Decoder::hypothesis() {
    if (!inUtterance_) return {};
    int32 score = 0;
    const char* text = ps_get_hyp(decoder_, &score);
    return judged(text ? text : "");
}

std::string Decoder::endUtterance() {
    if (!inUtterance_) return {};
    ps_end_utt(decoder_);
    inUtterance_ = false;
    int32 score = 0;
    const char* text = ps_get_hyp(decoder_, &score);
    // The decoder updates the live cepstral mean at the end of every
    // utterance, also of one where voice activity detection was set off by
    // room noise alone; decoded with a noise mean, the next phrase goes
    // unrecognised. Only an utterance in which words were recognised keeps
    // its update.
    if (cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct; cmn && !speechMean_.empty()) {
        if (text && *text) {
            speechMean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
        } else {
            cmn_live_set(cmn, speechMean_.data());
        }
    }
    return judged(text ? text : "");
}

}  // namespace hotword::speech
