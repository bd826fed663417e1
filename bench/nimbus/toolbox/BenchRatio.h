#pragma once
// Runs the registered benchmarks and then prints, for each pair, the ratio of
// our time to the anchor's time measured in the same run.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace wharf::bench {

struct RatioPair {
    std::string label;
    std::string ours;    // benchmark name
    std::string anchor;  // benchmark name
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

inline int runWithRatios(int argc, char** argv, const std::vector<RatioPair>& pairs) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const RatioPair& p : pairs) {
        auto ours = reporter.times.find(p.ours);
        auto anchor = reporter.times.find(p.anchor);
        if (ours == reporter.times.end() || anchor == reporter.times.end() || anchor->second <= 0) continue;
        std::printf("ratio %-40s %6.2fx  (%s / %s)\n", p.label.c_str(), ours->second / anchor->second,
                    p.ours.c_str(), p.anchor.c_str());
    }
    benchmark::Shutdown();
    return 0;
}

}  // namespace wharf::bench
