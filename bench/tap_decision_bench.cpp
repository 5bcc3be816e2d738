// The tap decision per key-down: it runs at the head of the desktop's event
// stream for every key press, so it must be a few nanoseconds and allocate
// nothing with debug lines off. "allocations" counts calls to operator new
// per iteration.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "allocation_count.h"
#include "tap_decision.h"

namespace {

struct Event {
    std::uint32_t type;
    std::int64_t keyCode;
    std::int64_t autorepeat;
    std::uint64_t flags;
};

// A typing mix: plain letters, Space, Fn+Space and its repeats, shifted letters.
constexpr Event typing[] = {
    {10, 0, 0, 0x100},       {10, 11, 0, 0x100},      {10, 49, 0, 0x100},     {10, 49, 0, 0x800100},
    {10, 49, 1, 0x800100},   {10, 4, 0, 0x20102},     {10, 38, 0, 0x100},     {10, 49, 1, 0x100},
};

void run(benchmark::State& state, bool debugEvents) {
    std::size_t i = 0;
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) {
        const Event& e = typing[i++ & 7];
        const keychord::TapDecision decision =
            keychord::decideTapEvent(e.type, e.keyCode, e.autorepeat, e.flags, debugEvents);
        benchmark::DoNotOptimize(decision);
    }
    state.counters["allocations"] = benchmark::Counter(static_cast<double>(bench::allocationCount() - before),
                                                       benchmark::Counter::kAvgIterations);
}

void BM_TapDecisionDebugOff(benchmark::State& state) { run(state, false); }
void BM_TapDecisionDebugOn(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_TapDecisionDebugOff);
BENCHMARK(BM_TapDecisionDebugOn);

}  // namespace

BENCHMARK_MAIN();
