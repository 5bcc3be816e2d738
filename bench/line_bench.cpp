// shortcutLine against a snprintf("%.17g") JSON writer.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "shortcut_payload.h"

namespace {

const keychord::ShortcutPayload payload{keychord::FramePayload{412.3, 318.5, 640, 24},
                                        keychord::FramePayload{523.1, 321.7, 1, 17.6}};

std::string snprintfLine(const keychord::ShortcutPayload& p) {
    char buffer[512];
    auto frame = [](char* out, std::size_t size, const keychord::FramePayload& f) {
        return std::snprintf(out, size, "{\"x\":%.17g,\"y\":%.17g,\"width\":%.17g,\"height\":%.17g}", f.x, f.y,
                             f.width, f.height);
    };
    for (const auto& f : {p.inputFrame, p.caretFrame}) {
        if (f && !(std::isfinite(f->x) && std::isfinite(f->y) && std::isfinite(f->width) && std::isfinite(f->height)))
            return "fn-space";
    }
    int n = std::snprintf(buffer, sizeof buffer, "fn-space\t{");
    if (p.inputFrame) {
        n += std::snprintf(buffer + n, sizeof buffer - n, "\"inputFrame\":");
        n += frame(buffer + n, sizeof buffer - n, *p.inputFrame);
    }
    if (p.caretFrame) {
        n += std::snprintf(buffer + n, sizeof buffer - n, "%s\"caretFrame\":", p.inputFrame ? "," : "");
        n += frame(buffer + n, sizeof buffer - n, *p.caretFrame);
    }
    n += std::snprintf(buffer + n, sizeof buffer - n, "}");
    return std::string(buffer, static_cast<std::size_t>(n));
}

void BM_ShortcutLine(benchmark::State& state) {
    std::size_t length = 0;
    for (auto _ : state) {
        std::string line = keychord::shortcutLine(payload);
        length = line.size();
        benchmark::DoNotOptimize(line);
    }
    state.counters["chars"] = static_cast<double>(length);
}

void BM_SnprintfLine(benchmark::State& state) {
    std::size_t length = 0;
    for (auto _ : state) {
        std::string line = snprintfLine(payload);
        length = line.size();
        benchmark::DoNotOptimize(line);
    }
    state.counters["chars"] = static_cast<double>(length);
}

BENCHMARK(BM_ShortcutLine);
BENCHMARK(BM_SnprintfLine);

}  // namespace

BENCHMARK_MAIN();
