// Throughput and caller latency of LGLog against spdlog's asynchronous logger
// (bounded queue of 1000, blocking when full), with 1, 2 and 4 producers and
// the same three sinks: nothing, a file written once per message, and stderr
// sent to /dev/null.
//
// Beside them, the file logger's own write path against the floor of one
// gathering write of the same line per message.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "BenchRatio.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLog.h"
#include "logging/LGTTYLogger.h"

using namespace wharf;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessagesPerRun = 20000;

struct Result {
    double messagesPerSecond = 0;
    double p50 = 0;  // ns
    double p99 = 0;  // ns
};
std::map<std::string, Result> gResults;  // "<library>/<sink>/<producers>"

// Sends stderr to /dev/null while alive.
class SilencedStderr {
public:
    SilencedStderr() {
        saved_ = ::dup(2);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 2);
        ::close(null);
    }
    ~SilencedStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }

private:
    int saved_;
};

class NullLogger : public LGAbstractLogger {
public:
    void logMessage(const LGLogMessage&) override {}
};

// Counts what reaches the sink, so a run ends when every message was written.
template <class Inner>
class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit CountingSink(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
    std::atomic<long> count{0};

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        inner_->log(msg);
        inner_->flush();  // one write per message
        count.fetch_add(1, std::memory_order_release);
    }
    void flush_() override {}

private:
    std::shared_ptr<Inner> inner_;
};

// Runs `producers` threads that together log kMessagesPerRun messages,
// timing every call; `drain` waits until all were written.
template <class LogOne, class Drain>
Result runProducers(int producers, int messages, LogOne logOne, Drain drain) {
    std::vector<std::vector<int64_t>> latencies(producers);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            auto& mine = latencies[p];
            int count = messages / producers;
            mine.reserve(count);
            for (int i = 0; i < count; ++i) {
                auto t0 = Clock::now();
                logOne(i);
                mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
            }
        });
    }
    for (auto& t : threads) t.join();
    drain();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<int64_t> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    Result r;
    r.messagesPerSecond = all.size() / seconds;
    r.p50 = static_cast<double>(all[all.size() / 2]);
    r.p99 = static_cast<double>(all[all.size() * 99 / 100]);
    return r;
}

void report(benchmark::State& state, const std::string& key, const std::vector<Result>& runs, double seconds) {
    Result best = runs.front();
    for (const auto& r : runs) {
        if (r.messagesPerSecond > best.messagesPerSecond) best = r;
    }
    gResults[key] = best;
    state.counters["msgs/s"] = best.messagesPerSecond;
    state.counters["p50_ns"] = best.p50;
    state.counters["p99_ns"] = best.p99;
    (void)seconds;
}

std::string tempLogDirectory(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("wharf-bench-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

// --- LGLog -------------------------------------------------------------------------------

void BM_LGLog(benchmark::State& state, const std::string& sink) {
    int producers = static_cast<int>(state.range(0));
    std::string directory;
    std::unique_ptr<SilencedStderr> silence;
    LGLoggerPtr logger;
    if (sink == "null") {
        logger = std::make_shared<NullLogger>();
    } else if (sink == "file") {
        directory = tempLogDirectory("lglog");
        auto file = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(directory));
        file->setMaximumFileSize(0);
        file->setRollingFrequency(0);
        logger = file;
    } else {
        silence = std::make_unique<SilencedStderr>();
        logger = std::make_shared<LGTTYLogger>(2, LGTerminalKind::None);
    }
    LGLog::addLogger(logger);
    std::vector<Result> runs;
    for (auto _ : state) {
        auto start = Clock::now();
        runs.push_back(runProducers(
            producers, kMessagesPerRun, [](int i) { LGLogInfo("message number %d from the benchmark", i); },
            [] { LGLog::flushLog(); }));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    LGLog::removeAllLoggers();
    LGLog::flushLog();
    silence.reset();
    report(state, "LGLog/" + sink + "/" + std::to_string(producers), runs, 0);
    if (!directory.empty()) std::filesystem::remove_all(directory);
}

// --- spdlog ------------------------------------------------------------------------------

void BM_spdlog(benchmark::State& state, const std::string& sink) {
    int producers = static_cast<int>(state.range(0));
    std::string directory;
    std::unique_ptr<SilencedStderr> silence;
    std::shared_ptr<spdlog::sinks::sink> inner;
    if (sink == "null") {
        inner = std::make_shared<spdlog::sinks::null_sink_st>();
    } else if (sink == "file") {
        directory = tempLogDirectory("spdlog");
        inner = std::make_shared<spdlog::sinks::basic_file_sink_st>(directory + "/bench.log");
        inner->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");
    } else {
        silence = std::make_unique<SilencedStderr>();
        inner = std::make_shared<spdlog::sinks::stderr_sink_st>();
    }
    auto counting = std::make_shared<CountingSink<spdlog::sinks::sink>>(inner);
    static auto pool = std::make_shared<spdlog::details::thread_pool>(1000, 1);
    auto logger = std::make_shared<spdlog::async_logger>("bench", counting, pool, spdlog::async_overflow_policy::block);
    std::vector<Result> runs;
    for (auto _ : state) {
        counting->count = 0;
        auto start = Clock::now();
        long expected = (kMessagesPerRun / producers) * producers;
        runs.push_back(runProducers(
            producers, kMessagesPerRun, [&](int i) { logger->info("message number {} from the benchmark", i); },
            [&] {
                while (counting->count.load(std::memory_order_acquire) < expected) std::this_thread::yield();
            }));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    logger.reset();
    silence.reset();
    report(state, "spdlog/" + sink + "/" + std::to_string(producers), runs, 0);
    if (!directory.empty()) std::filesystem::remove_all(directory);
}

// --- the file logger's write path -----------------------------------------------------------

const std::string kLine = "message number 12345 from the benchmark";

// One message straight into the logger on its queue: no dispatcher, no
// formatter; what is left is the logger's bookkeeping and its system calls.
void BM_FileLoggerWrite(benchmark::State& state) {
    std::string directory = tempLogDirectory("write");
    auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(directory));
    logger->setLogFormatter(nullptr);
    // Checked after every write, as with the default limit, but never reached here.
    logger->setMaximumFileSize(uint64_t{1} << 40);
    LGLog::flushLog();  // the setting has reached the logger's queue
    LGLogMessage message(kLine, LGLogLevelAll, LGLogFlagInfo, 0, __FILE__, __func__, __LINE__);
    logger->loggerQueue()->sync([&] {
        for (auto _ : state) logger->logMessage(message);
    });
    logger.reset();
    std::filesystem::remove_all(directory);
}

// The floor: the same line and newline by one writev to a file open for appending.
void BM_RawAppend(benchmark::State& state) {
    std::string directory = tempLogDirectory("raw");
    int fd = ::open((directory + "/raw.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    for (auto _ : state) {
        iovec pieces[2] = {{const_cast<char*>(kLine.data()), kLine.size()}, {const_cast<char*>("\n"), 1}};
        benchmark::DoNotOptimize(::writev(fd, pieces, 2));
    }
    ::close(fd);
    std::filesystem::remove_all(directory);
}

void registerAll() {
    benchmark::RegisterBenchmark("FileLoggerWrite", BM_FileLoggerWrite);
    benchmark::RegisterBenchmark("RawAppend", BM_RawAppend);
    for (const char* sink : {"null", "file", "stderr"}) {
        std::string s = sink;
        benchmark::RegisterBenchmark(("LGLog/" + s).c_str(), [s](benchmark::State& st) { BM_LGLog(st, s); })
            ->Arg(1)
            ->Arg(2)
            ->Arg(4)
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("spdlog/" + s).c_str(), [s](benchmark::State& st) { BM_spdlog(st, s); })
            ->Arg(1)
            ->Arg(2)
            ->Arg(4)
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

void printRatios() {
    std::printf("\nLGLog against spdlog async (bounded 1000, blocking), best of 3 runs of %d messages\n",
                kMessagesPerRun);
    std::printf("%-7s %4s %14s %14s %9s %11s %11s\n", "sink", "prod", "LGLog msg/s", "spdlog msg/s", "ratio",
                "p50 ratio", "p99 ratio");
    for (const char* sink : {"null", "file", "stderr"}) {
        for (int producers : {1, 2, 4}) {
            std::string suffix = std::string(sink) + "/" + std::to_string(producers);
            auto lg = gResults.find("LGLog/" + suffix);
            auto sp = gResults.find("spdlog/" + suffix);
            if (lg == gResults.end() || sp == gResults.end()) continue;
            std::printf("%-7s %4d %14.0f %14.0f %9.3f %11.2f %11.2f\n", sink, producers, lg->second.messagesPerSecond,
                        sp->second.messagesPerSecond, lg->second.messagesPerSecond / sp->second.messagesPerSecond,
                        lg->second.p50 / std::max(1.0, sp->second.p50), lg->second.p99 / std::max(1.0, sp->second.p99));
        }
    }
    std::printf("ratio = LGLog throughput / spdlog throughput (above 1: LGLog faster); "
                "latency ratios = LGLog / spdlog (below 1: LGLog faster)\n");
}

// --- alternating rounds ---------------------------------------------------------------------
// The figures the comparison rests on: both sides in one run, taking turns
// (the one that goes first changes every round), long enough that a busy
// machine's scheduling evens out; the ratio of each round, min/median/max.

// As many rounds as keep the medians steady on a shared machine.
int gRounds = 21;  // --rounds=N
constexpr int kRoundMessages = 200000;
constexpr int kRoundWrites = 200000;

struct Spread {
    std::vector<double> values;
    void print(const char* label) {
        if (values.empty()) return;
        std::sort(values.begin(), values.end());
        std::printf("ratio %-50s min %.2f  median %.2f  max %.2f  (%zu rounds)\n", label, values.front(),
                    values[values.size() / 2], values.back(), values.size());
    }
};

// One producer, null sinks: throughput and the caller's median latency.
void alternateNullSinks() {
    auto null = std::make_shared<NullLogger>();
    LGLog::addLogger(null);
    auto counting =
        std::make_shared<CountingSink<spdlog::sinks::sink>>(std::make_shared<spdlog::sinks::null_sink_st>());
    auto pool = std::make_shared<spdlog::details::thread_pool>(1000, 1);
    auto spd = std::make_shared<spdlog::async_logger>("rounds", counting, pool, spdlog::async_overflow_policy::block);
    // A round is several short turns of each side, taking turns, so that the
    // machine's ups and downs fall on both.
    constexpr int kTurns = 10;
    constexpr int kTurnMessages = kRoundMessages / kTurns;
    auto runLGLog = [] {
        return runProducers(
            1, kTurnMessages, [](int i) { LGLogInfo("message number %d from the benchmark", i); },
            [] { LGLog::flushLog(); });
    };
    auto runSpdlog = [&] {
        counting->count = 0;
        return runProducers(
            1, kTurnMessages, [&](int i) { spd->info("message number {} from the benchmark", i); },
            [&] {
                while (counting->count.load(std::memory_order_acquire) < kTurnMessages) std::this_thread::yield();
            });
    };
    runLGLog();  // warm both up
    runSpdlog();
    // Throughput over the round's turns; the median of the turns' medians.
    auto combine = [](const std::vector<Result>& turns) {
        Result r;
        double seconds = 0;
        std::vector<double> p50s;
        for (const Result& t : turns) {
            seconds += kTurnMessages / t.messagesPerSecond;
            p50s.push_back(t.p50);
        }
        std::sort(p50s.begin(), p50s.end());
        r.messagesPerSecond = kTurnMessages * static_cast<double>(turns.size()) / seconds;
        r.p50 = p50s[p50s.size() / 2];
        return r;
    };
    Spread throughput, p50;
    for (int round = 0; round < gRounds; ++round) {
        std::vector<Result> lgTurns, spTurns;
        for (int turn = 0; turn < kTurns; ++turn) {
            if ((round + turn) % 2 == 0) {
                lgTurns.push_back(runLGLog());
                spTurns.push_back(runSpdlog());
            } else {
                spTurns.push_back(runSpdlog());
                lgTurns.push_back(runLGLog());
            }
        }
        const Result lg = combine(lgTurns), sp = combine(spTurns);
        throughput.values.push_back(lg.messagesPerSecond / sp.messagesPerSecond);
        p50.values.push_back(lg.p50 / std::max(1.0, sp.p50));
    }
    LGLog::removeLogger(null);
    LGLog::flushLog();
    std::printf("\nLGLog / spdlog async, one producer, null sinks, %d messages a round:\n", kRoundMessages);
    throughput.print("throughput (above 1: LGLog faster):");
    p50.print("caller p50 latency (below 1: LGLog faster):");
}

// The file logger's write path against one gathering write of the same line.
void alternateFileWrites() {
    std::string directory = tempLogDirectory("rounds");
    auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(directory));
    logger->setLogFormatter(nullptr);
    logger->setMaximumFileSize(uint64_t{1} << 40);
    LGLog::flushLog();
    LGLogMessage message(kLine, LGLogLevelAll, LGLogFlagInfo, 0, __FILE__, __func__, __LINE__);
    int fd = ::open((directory + "/raw.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // Both files grow alike: a round is many short turns, so that whatever
    // the file system does meanwhile falls on both.
    constexpr int kTurns = 40;
    constexpr int kTurnWrites = kRoundWrites / kTurns;
    auto timeLogger = [&] {
        double seconds = 0;
        logger->loggerQueue()->sync([&] {
            auto start = Clock::now();
            for (int i = 0; i < kTurnWrites; ++i) logger->logMessage(message);
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        });
        return seconds;
    };
    auto timeRaw = [&] {
        auto start = Clock::now();
        for (int i = 0; i < kTurnWrites; ++i) {
            iovec pieces[2] = {{const_cast<char*>(kLine.data()), kLine.size()}, {const_cast<char*>("\n"), 1}};
            benchmark::DoNotOptimize(::writev(fd, pieces, 2));
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    Spread ratio;
    for (int round = 0; round < gRounds; ++round) {
        double ours = 0, raw = 0;
        for (int turn = 0; turn < kTurns; ++turn) {
            if ((round + turn) % 2 == 0) {
                ours += timeLogger();
                raw += timeRaw();
            } else {
                raw += timeRaw();
                ours += timeLogger();
            }
        }
        ratio.values.push_back(ours / raw);
    }
    ::close(fd);
    logger.reset();
    std::filesystem::remove_all(directory);
    std::printf("\nThe file logger's write path / a plain writev loop, %d lines a round:\n", kRoundWrites);
    ratio.print("time (below 1: the logger faster):");
}

}  // namespace

int main(int argc, char** argv) {
    // --rounds=N: the alternating rounds (0: none).
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) != 0) continue;
        gRounds = static_cast<int>(std::strtol(argv[i] + 9, nullptr, 10));
        std::copy(argv + i + 1, argv + argc, argv + i);
        --argc;
        break;
    }
    benchmark::Initialize(&argc, argv);
    registerAll();
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printRatios();
    reporter.printRatios({{"file logger write path / raw append", "FileLoggerWrite", "RawAppend"}});
    if (gRounds > 0) {
        alternateNullSinks();
        alternateFileWrites();
    }
    return 0;
}
