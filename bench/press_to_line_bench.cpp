// Time from an accepted Fn+Space press to its shortcut line, against the
// GTK test window with a focused entry: keychord-probe runs the agent's
// emission work item (geometry over AT-SPI, line, output) for each line it
// reads. One repetition is one press. Run inside a desktop:
//   scripts/desktop-session.sh build/default/bench/press_to_line_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

struct Desktop {
    std::unique_ptr<ChildProcess> window;
    std::unique_ptr<ChildProcess> probe;
    Desktop(const std::string& widget) {
        window = std::make_unique<ChildProcess>(std::vector<std::string>{GTK_TEST_WINDOW_PATH});
        if (!window->readLine(20s)) throw std::runtime_error("the GTK test window did not start");
        window->writeInput("focus " + widget + "\n");
        if (!window->readLine(10s)) throw std::runtime_error("the GTK test window did not focus " + widget);
        probe = std::make_unique<ChildProcess>(std::vector<std::string>{KEYCHORD_PROBE_PATH});
    }
};

void pressToLine(benchmark::State& state, const std::string& widget) {
    static std::unique_ptr<Desktop> desktop;
    static std::string current;
    if (!desktop || current != widget) {
        desktop.reset();
        desktop = std::make_unique<Desktop>(widget);
        current = widget;
        // The first press also connects the probe to the buses.
        desktop->probe->writeInput("\n");
        desktop->probe->readLine(10s);
    }
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        desktop->probe->writeInput("\n");
        const auto line = desktop->probe->readLine(5s);
        const auto took = std::chrono::steady_clock::now() - start;
        if (!line || line->rfind("fn-space\t{\"inputFrame\"", 0) != 0) {
            state.SkipWithError("no geometry in the shortcut line");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
}

double percentile(const std::vector<double>& values, double fraction) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[index];
}

}  // namespace

BENCHMARK_CAPTURE(pressToLine, entry, std::string("filled"))
    ->UseManualTime()->Iterations(1)->Repetitions(200)->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("p50", [](const std::vector<double>& v) { return percentile(v, 0.50); })
    ->ComputeStatistics("p95", [](const std::vector<double>& v) { return percentile(v, 0.95); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(pressToLine, textView, std::string("text"))
    ->UseManualTime()->Iterations(1)->Repetitions(200)->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("p50", [](const std::vector<double>& v) { return percentile(v, 0.50); })
    ->ComputeStatistics("p95", [](const std::vector<double>& v) { return percentile(v, 0.95); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
