// Processor time of the wake-phrase model: one second of audio (100 frames,
// ten scores) through PhraseSpotter, and one score alone.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "phrase_spotter.h"

namespace {

std::vector<std::int16_t> noise(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t state = 1;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(static_cast<int>(state >> 16) % 2001 - 1000);
    }
    return samples;
}

void BM_SpotterSecondOfAudio(benchmark::State& state) {
    hotword::speech::PhraseSpotter spotter;
    const auto warm = noise(32000);
    spotter.process(warm);
    const auto second = noise(16000);
    for (auto _ : state) {
        spotter.process(second);
        benchmark::DoNotOptimize(spotter.takePeak());
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(BM_SpotterSecondOfAudio)->Unit(benchmark::kMillisecond);

void BM_SpotterOneScore(benchmark::State& state) {
    std::vector<float> window(std::size_t{hotword::speech::phraseWindowFrames} * hotword::speech::phraseBands);
    for (std::size_t i = 0; i < window.size(); ++i) window[i] = static_cast<float>(std::sin(0.37 * i));
    for (auto _ : state) benchmark::DoNotOptimize(hotword::speech::phraseProbability(window));
}
BENCHMARK(BM_SpotterOneScore)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
