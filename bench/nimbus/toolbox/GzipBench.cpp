// Gzip at level 6 against zlib's one-shot compress2 and libdeflate.
#include <random>
#include <string>

#include <libdeflate.h>
#include <zlib.h>

#include "BenchRatio.h"
#include "nimbus/toolbox/TBZLibAdditions.h"

using wharf::platform::Bytes;

namespace {

constexpr size_t kSize = 1u << 20;

const Bytes& input(int kind) {
    static const Bytes json = [] {
        std::string s;
        std::mt19937 rng(1);
        while (s.size() < kSize)
            s += "{\"event\":\"screen_view\",\"ts\":" + std::to_string(1700000000000ull + rng() % 100000) +
                 ",\"params\":{\"screen\":\"home\",\"value\":" + std::to_string(rng() % 1000) + "}},\n";
        s.resize(kSize);
        return Bytes(s.begin(), s.end());
    }();
    static const Bytes random = [] {
        Bytes b(kSize);
        std::mt19937 rng(2);
        for (auto& c : b) c = static_cast<uint8_t>(rng());
        return b;
    }();
    static const Bytes zeros(kSize, 0);
    return kind == 0 ? json : kind == 1 ? random : zeros;
}

void Ours(benchmark::State& state) {
    const Bytes& in = input(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(wharf::tb_dataByGzippingData(in, 6));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void Compress2(benchmark::State& state) {
    const Bytes& in = input(static_cast<int>(state.range(0)));
    Bytes out(compressBound(in.size()));
    for (auto _ : state) {
        uLongf len = out.size();
        compress2(out.data(), &len, in.data(), in.size(), 6);
        benchmark::DoNotOptimize(len);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void Libdeflate(benchmark::State& state) {
    const Bytes& in = input(static_cast<int>(state.range(0)));
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    Bytes out(libdeflate_gzip_compress_bound(c, in.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(libdeflate_gzip_compress(c, in.data(), in.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

}  // namespace

BENCHMARK(Ours)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Compress2)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Libdeflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::vector<wharf::bench::RatioPair> pairs;
    const char* names[] = {"json", "random", "zeros"};
    for (int i = 0; i < 3; ++i) {
        std::string n = std::to_string(i);
        pairs.push_back({std::string("gzip-6 ") + names[i] + " vs compress2", "Ours/" + n, "Compress2/" + n});
        pairs.push_back({std::string("gzip-6 ") + names[i] + " vs libdeflate", "Ours/" + n, "Libdeflate/" + n});
    }
    return wharf::bench::runWithRatios(argc, argv, pairs);
}
