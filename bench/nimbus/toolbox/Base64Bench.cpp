// Base64 encoding with the toolbox encoder against GLib's g_base64_encode, on
// the sizes callers encode: a token, a small record, a large payload. The two
// sides alternate over several rounds (each round swaps who goes first), and
// the ratio of each round is summarised as min/median/max.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <glib.h>

#include "BenchRatio.h"
#include "nimbus/toolbox/TBStringEncoding.h"

using wharf::platform::Bytes;

namespace {

constexpr int kRounds = 7;
const std::size_t kSizes[] = {16, 1024, 64 * 1024};

const Bytes& input(std::size_t size) {
    static std::vector<Bytes> inputs;
    for (const Bytes& b : inputs)
        if (b.size() == size) return b;
    Bytes b(size);
    std::mt19937 rng(static_cast<unsigned>(size));
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    inputs.push_back(std::move(b));
    return inputs.back();
}

void Ours(benchmark::State& state, std::size_t size) {
    const Bytes& in = input(size);
    const auto encoding = wharf::TBStringEncoding::rfc4648Base64StringEncoding();
    for (auto _ : state) benchmark::DoNotOptimize(encoding.encode(in));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void GLib(benchmark::State& state, std::size_t size) {
    const Bytes& in = input(size);
    for (auto _ : state) {
        gchar* out = g_base64_encode(in.data(), in.size());
        benchmark::DoNotOptimize(out);
        g_free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

std::string name(const char* side, std::size_t size, int round) {
    return std::string(side) + "/" + std::to_string(size) + "/round" + std::to_string(round);
}

}  // namespace

int main(int argc, char** argv) {
    for (std::size_t size : kSizes) input(size);
    for (int round = 0; round < kRounds; ++round)
        for (std::size_t size : kSizes) {
            auto ours = [size](benchmark::State& s) { Ours(s, size); };
            auto glib = [size](benchmark::State& s) { GLib(s, size); };
            if (round % 2 == 0) {
                benchmark::RegisterBenchmark(name("Ours", size, round).c_str(), ours);
                benchmark::RegisterBenchmark(name("GLib", size, round).c_str(), glib);
            } else {
                benchmark::RegisterBenchmark(name("GLib", size, round).c_str(), glib);
                benchmark::RegisterBenchmark(name("Ours", size, round).c_str(), ours);
            }
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    wharf::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    for (std::size_t size : kSizes) {
        std::vector<double> ratios;
        for (int round = 0; round < kRounds; ++round) {
            const double ours = reporter.time(name("Ours", size, round));
            const double glib = reporter.time(name("GLib", size, round));
            if (ours > 0 && glib > 0) ratios.push_back(ours / glib);
        }
        if (ratios.empty()) continue;
        std::sort(ratios.begin(), ratios.end());
        std::printf(
            "ratio base64 encode %6zu bytes vs g_base64_encode: min %.3fx median %.3fx max %.3fx (%zu rounds)\n", size,
            ratios.front(), ratios[ratios.size() / 2], ratios.back(), ratios.size());
    }
    return 0;
}
