#pragma once
// Records the times of a benchmark run and prints, for each pair, the ratio of
// our time to the anchor's time measured in the same run.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace wharf::bench {

struct RatioPair {
    std::string label;
    std::string ours;  // benchmark name
    std::string anchor;  // benchmark name
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            // With repetitions reported as aggregates only, the median stands for the run.
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The time of a benchmark (or of its median); 0 when it did not run.
    double time(const std::string& name) const {
        auto it = times_.find(name);
        if (it == times_.end()) it = times_.find(name + "_median");
        return it == times_.end() ? 0 : it->second;
    }

    void printRatios(const std::vector<RatioPair>& pairs) const {
        for (const RatioPair& p : pairs) {
            const double ours = time(p.ours);
            const double anchor = time(p.anchor);
            if (ours <= 0 || anchor <= 0) continue;
            std::printf("ratio %-48s %7.3fx  (%s / %s)\n", p.label.c_str(), ours / anchor, p.ours.c_str(),
                        p.anchor.c_str());
        }
    }

private:
    std::map<std::string, double> times_;
};

inline int runWithRatios(int argc, char** argv, const std::vector<RatioPair>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.printRatios(pairs);
    return 0;
}

}  // namespace wharf::bench
