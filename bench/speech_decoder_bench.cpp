// Offline wake-phrase benchmark of the PocketSphinx decoder: decodes 16 kHz
// mono WAV files through the same decoder configuration and the same
// utterance loop as the Linux recognizer (partial results every few tens of
// milliseconds, an utterance ends when voice activity stops, the listener
// restarts recognition after a short gap), much faster than real time and
// without any audio server. Used to compare decoder settings before a run
// of speech_benchmark.py.
//
// Audio goes in as the agent gets it from a 16 kHz source: 1024-frame float
// buffers through the recognizer's resampler, partial results every 64 ms once
// two looks agree (or at once when the phrase model's scores hear the phrase), sessions ended by voice activity and followed by the next
// one, which starts with the audio of the listener's restart delay.
//
// Usage: speech_decoder_bench [--name value ...] --positives a.wav ... --negatives b.wav ...
//        speech_decoder_bench [--name value ...] --corpus DIR [--corpus DIR ...]
// Settings: --lw --wip --postspeech (seconds) --beam --wbeam --pbeam
// --maxhmmpf --ds --topn --partial (seconds) --mass --successor --start --end
// --cmn-from-speech-only 0|1 --agc 0|1 --denoise (dB) --dither 0|1 --stable 0|1
// --spotter 0|1 (the wake-phrase model) --spot-alone P --spot-confirm P --spot-partial P
// --lead-in (seconds of room floor before each positive)
// With --positives/--negatives: one summary line. With --corpus (a part made
// by bench/speech_corpus.py, with its manifest.tsv): hits per condition, near
// misses that woke, false accepts in the ordinary speech.
// --verbose prints every miss and false accept, and wakes over 300 ms late.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "decoder.h"
#include "resampler.h"
#include "wake_word_listener.h"

#ifndef POCKETSPHINX_MODEL_ROOT
#define POCKETSPHINX_MODEL_ROOT "/usr/share/pocketsphinx/model"
#endif

namespace {

using hotword::WakeWordListener;
using hotword::speech::Decoder;
using hotword::speech::DecoderSettings;

constexpr int sampleRate = 16000;
constexpr std::size_t bufferSamples = WakeWordListener::tapBufferSize;

std::vector<std::int16_t> readWav(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const std::size_t count = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<std::int16_t> samples(count);
            std::memcpy(samples.data(), &bytes[at + 8], count * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// End of the last loud 10 ms window, in samples.
std::size_t speechEnd(const std::vector<std::int16_t>& samples) {
    const std::size_t window = sampleRate / 100;
    std::size_t last = 0;
    for (std::size_t start = 0; start + window < samples.size(); start += window) {
        for (std::size_t i = start; i < start + window; ++i) {
            if (std::abs(samples[i]) > 1500) {
                last = start + window;
                break;
            }
        }
    }
    return last;
}

// A faint white-noise floor like the one the corpus files are mixed over.
std::vector<std::int16_t> roomFloor(double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * sampleRate));
    std::uint32_t state = 12345;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(static_cast<int>(state >> 16) % 131 - 65);
    }
    return samples;
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Partial results are reported once two looks in a row agree (--stable 0: at once).
bool stablePartials = true;

// Feeds audio to a decoder the way the recognizer and the listener do, and
// reports the sample positions at which a wake would be printed.
class Stream {
public:
    Stream(Decoder& decoder, std::size_t partialSamples) : decoder_(decoder), partialSamples_(partialSamples) {
        decoder_.useContextualStrings(WakeWordListener::wakePhrases());
        restart();
    }

    // Wake positions, in samples from the start of this stream.
    std::vector<std::size_t> feed(const std::vector<std::int16_t>& samples, std::vector<std::string>* heard) {
        std::vector<std::size_t> wakes;
        std::vector<float> captured;
        std::vector<std::int16_t> converted;
        for (std::size_t at = 0; at < samples.size(); at += bufferSamples) {
            const std::size_t count = std::min(bufferSamples, samples.size() - at);
            position_ += count;
            if (gap_ > 0) {  // the listener is between two recognition tasks
                gap_ -= std::min(gap_, count);
                if (gap_ == 0) restart();
                continue;
            }
            // As captured: float samples, converted by a resampler that a new
            // session makes afresh.
            captured.assign(samples.begin() + static_cast<std::ptrdiff_t>(at),
                            samples.begin() + static_cast<std::ptrdiff_t>(at + count));
            for (float& sample : captured) sample /= 32768.0f;
            converted.clear();
            resampler_->process(captured, converted);
            decoder_.process(converted);
            sinceHypothesis_ += converted.size();
            const bool speech = decoder_.inSpeech();
            if (speech) heardSpeech_ = true;
            std::optional<std::string> result;
            bool final = false;
            if ((heardSpeech_ && !speech) || (speech && decoder_.speechSeconds() > 15)) {
                result = decoder_.endUtterance();
                final = true;
            } else if (const bool modelHeard = decoder_.phraseHeardByModel();
                       modelHeard || ((speech || decoder_.phraseLikely()) && sinceHypothesis_ >= partialSamples_)) {
                sinceHypothesis_ = 0;
                std::string hypothesis = decoder_.hypothesis();
                if (stable_) {
                    // As the recognizer: reported once two looks in a row
                    // agree, or at once when the model heard the phrase.
                    const bool held = modelHeard || hypothesis == previous_;
                    previous_ = hypothesis;
                    if (held && !hypothesis.empty() && hypothesis != last_) result = last_ = hypothesis;
                } else if (!hypothesis.empty() && hypothesis != last_) {
                    result = last_ = hypothesis;
                }
            }
            if (result && WakeWordListener::matchesWakePhrase(*result)) {
                wakes.push_back(position_);
                if (heard) heard->push_back(*result);
                if (!final) decoder_.endUtterance();
                final = true;  // a wake ends the session; a fresh one follows
            }
            if (final) {
                if (heard && !result->empty() && wakes.empty()) heard->push_back(*result);
                if (!result || !WakeWordListener::matchesWakePhrase(*result)) {
                    // The next session starts with the audio that follows:
                    // the recognizer hands it over across the listener's
                    // restart delay.
                    restart();
                } else {
                    gap_ = static_cast<std::size_t>(WakeWordListener::restartDelaySeconds * sampleRate);
                }
            }
        }
        return wakes;
    }

    std::size_t position() const { return position_; }

private:
    void restart() {
        resampler_.emplace(sampleRate, 1);
        previous_.clear();
        decoder_.startUtterance();
        heardSpeech_ = false;
        sinceHypothesis_ = 0;
        last_.clear();
    }

    Decoder& decoder_;
    std::size_t partialSamples_;
    std::size_t position_ = 0;
    std::size_t gap_ = 0;
    std::optional<hotword::speech::Resampler> resampler_;
    std::size_t sinceHypothesis_ = 0;
    bool heardSpeech_ = false;
    std::string last_;
    std::string previous_;
    bool stable_ = stablePartials;
};

struct Entry {
    std::string kind, file, condition, voice, text;
    double phraseStart = 0, phraseEnd = 0;
};

std::vector<Entry> readManifest(const std::string& dir) {
    std::ifstream file(dir + "/manifest.tsv");
    std::vector<Entry> entries;
    std::string line;
    std::getline(file, line);  // the header
    while (std::getline(file, line)) {
        std::vector<std::string> fields;
        std::stringstream row(line);
        for (std::string field; std::getline(row, field, '\t');) fields.push_back(field);
        if (fields.size() < 6) continue;
        Entry entry{fields[0], dir + "/" + fields[1], fields[2], fields[4], fields[5]};
        if (fields.size() >= 8 && !fields[6].empty()) {
            entry.phraseStart = std::stod(fields[6]);
            entry.phraseEnd = std::stod(fields[7]);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The condition without its noise kind and microphone: "snr10-babble-laptop" is "snr10".
std::string conditionGroup(const std::string& condition) { return condition.substr(0, condition.find('-')); }

bool endsWithWakePhrase(const std::string& text) {
    std::string words;
    for (char c : text) {
        if (std::isalpha(static_cast<unsigned char>(c)) || c == ' ') {
            words += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return words == "hey orvane" || words == "hey orvane x";
}

int runCorpus(const std::vector<std::string>& dirs, const hotword::speech::ModelLocation& model,
              const DecoderSettings& settings, std::size_t partialSamples, bool verbose) {
    std::vector<Entry> entries;
    for (const std::string& dir : dirs) {
        auto more = readManifest(dir);
        if (more.empty()) {
            std::cerr << "no manifest in " << dir << "\n";
            return 2;
        }
        entries.insert(entries.end(), more.begin(), more.end());
    }
    struct Tally {
        int files = 0, hits = 0, early = 0;
    };
    std::map<std::string, Tally> byCondition;
    std::vector<double> latencies;
    int nearMisses = 0, nearMissWakes = 0, speechWakes = 0;
    double speechSeconds = 0, speechCpu = 0;
    std::unique_ptr<Decoder> speechDecoder;
    std::optional<Stream> speechStream;
    for (const Entry& entry : entries) {
        const auto samples = readWav(entry.file);
        std::vector<std::string> heard;
        if (entry.kind == "speech") {
            // One listening agent hears all the ordinary speech.
            if (!speechDecoder) {
                speechDecoder = Decoder::load(model, settings);
                if (!speechDecoder) return 1;
                speechStream.emplace(*speechDecoder, partialSamples);
            }
            const double before = cpuSeconds();
            const auto wakes = speechStream->feed(samples, verbose ? &heard : nullptr);
            speechCpu += cpuSeconds() - before;
            speechSeconds += static_cast<double>(samples.size()) / sampleRate;
            speechWakes += static_cast<int>(wakes.size());
            if (verbose && !wakes.empty()) {
                std::cout << "FALSE " << entry.file << ":";
                for (const auto& h : heard) std::cout << " [" << h << "]";
                std::cout << "\n";
            }
            continue;
        }
        // Positives and near misses: each file to a fresh agent that has
        // listened to the file's own lead-in of room noise and other speech.
        auto decoder = Decoder::load(model, settings);
        if (!decoder) return 1;
        Stream stream(*decoder, partialSamples);
        const auto wakes = stream.feed(samples, &heard);
        if (entry.kind == "near-miss") {
            ++nearMisses;
            if (!wakes.empty()) {
                ++nearMissWakes;
                if (verbose) {
                    std::cout << "NEAR " << entry.file << " " << entry.voice << " '" << entry.text << "':";
                    for (const auto& h : heard) std::cout << " [" << h << "]";
                    std::cout << "\n";
                }
            }
            continue;
        }
        Tally& tally = byCondition[conditionGroup(entry.condition)];
        ++tally.files;
        const auto start = static_cast<std::size_t>(entry.phraseStart * sampleRate);
        const auto end = static_cast<std::size_t>((entry.phraseEnd + 2.0) * sampleRate);
        std::optional<std::size_t> hit;
        for (const std::size_t wake : wakes) {
            if (wake < start) {
                ++tally.early;
                if (verbose) {
                    std::cout << "EARLY " << entry.file << " " << entry.condition << " " << entry.voice << " at "
                              << static_cast<double>(wake) / sampleRate << " s, phrase at " << entry.phraseStart
                              << " s:";
                    for (const auto& h : heard) std::cout << " [" << h << "]";
                    std::cout << "\n";
                }
            } else if (wake <= end && !hit) {
                hit = wake;
            }
        }
        if (hit) {
            ++tally.hits;
            if (endsWithWakePhrase(entry.text)) {
                latencies.push_back(static_cast<double>(*hit) / sampleRate - entry.phraseEnd);
                if (verbose && latencies.back() > 0.3) {
                    std::cout << "LATE " << entry.file << " " << entry.condition << " " << entry.voice << " '"
                              << entry.text << "': " << static_cast<int>(1000 * latencies.back()) << " ms\n";
                }
            }
        } else if (verbose) {
            std::cout << "MISS " << entry.file << " " << entry.condition << " " << entry.voice << " '" << entry.text
                      << "':";
            for (const auto& h : heard) std::cout << " [" << h << "]";
            std::cout << "\n";
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies.empty()
                   ? 0.0
                   : latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5)];
    };
    int files = 0, hits = 0, early = 0;
    for (const char* group : {"clean", "reverb", "snr20", "snr10", "snr5"}) {
        const auto found = byCondition.find(group);
        if (found == byCondition.end()) continue;
        const Tally& t = found->second;
        files += t.files;
        hits += t.hits;
        early += t.early;
        std::printf("%-7s hits %3d/%-3d = %5.1f %%  wakes before the phrase %d\n", group, t.hits, t.files,
                    100.0 * t.hits / t.files, t.early);
    }
    if (files > 0) {
        std::printf("all     hits %3d/%-3d = %5.1f %%  wakes before the phrase %d\n", hits, files,
                    100.0 * hits / files, early);
        std::printf("latency after the phrase (n = %zu): median %.0f ms, p95 %.0f ms, max %.0f ms\n",
                    latencies.size(), 1000 * at(0.5), 1000 * at(0.95), 1000 * at(1.0));
    }
    if (nearMisses > 0) std::printf("near misses that woke: %d/%d\n", nearMissWakes, nearMisses);
    if (speechSeconds > 0) {
        std::printf("ordinary speech: %d false accepts in %.1f min; decoder CPU %.2f %% of the audio's duration\n",
                    speechWakes, speechSeconds / 60, 100 * speechCpu / speechSeconds);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    DecoderSettings settings;
    double partialSeconds = 0.064;
    bool verbose = false;
    double leadInSeconds = 0;
    std::vector<std::string> corpora;
    std::vector<std::string> positives, negatives;
    std::vector<std::string>* files = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "missing value of " << name << "\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (name == "--positives") files = &positives;
        else if (name == "--negatives") files = &negatives;
        else if (name == "--verbose") verbose = true;
        else if (name == "--lead-in") leadInSeconds = std::stod(value());
        else if (name == "--corpus") corpora.push_back(value());
        else if (name == "--cmn-from-speech-only") settings.cmnFromSpeechOnly = value() == "1";
        else if (name == "--dither") settings.dither = value() == "1";
        else if (name == "--denoise") settings.noiseSuppressionDb = std::stoi(value());
        else if (name == "--agc") settings.automaticGain = value() == "1";
        else if (name == "--stable") stablePartials = value() == "1";
        else if (name == "--spotter") settings.phraseSpotter = value() == "1";
        else if (name == "--spot-alone") settings.spotterThreshold = std::stod(value());
        else if (name == "--spot-confirm") settings.spotterConfirmThreshold = std::stod(value());
        else if (name == "--spot-partial") settings.spotterPartialThreshold = std::stod(value());
        else if (name == "--lw") settings.languageWeight = std::stod(value());
        else if (name == "--wip") settings.wordInsertionPenalty = std::stod(value());
        else if (name == "--postspeech") settings.postSpeechSeconds = std::stod(value());
        else if (name == "--beam") settings.beam = std::stod(value());
        else if (name == "--wbeam") settings.wordBeam = std::stod(value());
        else if (name == "--pbeam") settings.phoneBeam = std::stod(value());
        else if (name == "--maxhmmpf") settings.maxActiveHmms = std::stoi(value());
        else if (name == "--ds") settings.frameDownsampling = std::stoi(value());
        else if (name == "--topn") settings.topGaussians = std::stoi(value());
        else if (name == "--partial") partialSeconds = std::stod(value());
        else if (name == "--mass") settings.weights.contextualMass = std::stod(value());
        else if (name == "--successor") settings.weights.successorProbability = std::stod(value());
        else if (name == "--start") settings.weights.startProbability = std::stod(value());
        else if (name == "--end") settings.weights.endProbability = std::stod(value());
        else if (files && name.rfind("--", 0) != 0) files->push_back(name);
        else {
            std::cerr << "unknown argument " << name << "\n";
            return 2;
        }
    }
    const auto model = hotword::speech::findModel(POCKETSPHINX_MODEL_ROOT, "en-US");
    if (!model) return 1;
    const auto partialSamples = static_cast<std::size_t>(partialSeconds * sampleRate);
    if (!corpora.empty()) return runCorpus(corpora, *model, settings, partialSamples, verbose);

    // Positives: each to a fresh decoder, as each goes to a fresh agent.
    int hits = 0;
    std::vector<double> latencies;
    for (const std::string& path : positives) {
        const auto samples = readWav(path);
        auto decoder = Decoder::load(*model, settings);
        if (!decoder) return 1;
        Stream stream(*decoder, partialSamples);
        std::vector<std::string> heard;
        stream.feed(roomFloor(leadInSeconds), &heard);
        const auto leadInWakes = stream.position();
        auto wakes = stream.feed(samples, &heard);
        for (auto& wake : wakes) wake -= leadInWakes;
        // A second of silence after the file, as the agent keeps listening.
        stream.feed(std::vector<std::int16_t>(sampleRate, 0), &heard);
        if (!wakes.empty()) {
            ++hits;
            latencies.push_back(static_cast<double>(wakes.front()) / sampleRate -
                                static_cast<double>(speechEnd(samples)) / sampleRate);
        } else if (verbose) {
            std::cout << "MISS " << path << ":";
            for (const auto& h : heard) std::cout << " [" << h << "]";
            std::cout << "\n";
        }
    }

    // Negatives: one stream, as one agent listens to all of them.
    int falseAccepts = 0;
    double audioSeconds = 0, negativeSpeechSeconds = 0, cpu = 0;
    if (!negatives.empty()) {
        auto decoder = Decoder::load(*model, settings);
        if (!decoder) return 1;
        Stream stream(*decoder, partialSamples);
        for (const std::string& path : negatives) {
            const auto samples = readWav(path);
            std::vector<std::string> heard;
            const double before = cpuSeconds();
            const auto wakes = stream.feed(samples, verbose ? &heard : nullptr);
            cpu += cpuSeconds() - before;
            audioSeconds += static_cast<double>(samples.size()) / sampleRate;
            negativeSpeechSeconds += static_cast<double>(speechEnd(samples)) / sampleRate - 0.7;
            falseAccepts += static_cast<int>(wakes.size());
            if (verbose && !wakes.empty()) {
                std::cout << "FALSE " << path << ":";
                for (const auto& h : heard) std::cout << " [" << h << "]";
                std::cout << "\n";
            }
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5)];
    };
    std::printf("hits %d/%zu fa %d in %.1f min cpu %.2f%% latency median %.0f ms p95 %.0f ms max %.0f ms\n", hits,
                positives.size(), falseAccepts, negativeSpeechSeconds / 60,
                audioSeconds > 0 ? 100 * cpu / audioSeconds : 0.0, 1000 * at(0.5), 1000 * at(0.95),
                1000 * at(1.0));
    return 0;
}
