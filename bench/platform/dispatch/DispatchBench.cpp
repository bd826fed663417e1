// Dispatch queues against the plain alternative: a mutex-and-condition-variable
// queue with one worker thread. Two measures: async throughput onto a serial
// queue, and the round trip from a thread to the main queue and back.
//
// The main thread runs the GLib main loop (as in the application); the
// benchmarks run on a second thread. A summary line per pair gives the ratio
// of Wharf's time to the plain queue's.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf::platform;

namespace {

constexpr int kBatch = 1000;

// The anchor: what one would write without a dispatch library.
class PlainQueue {
public:
    PlainQueue() : worker_([this] { run(); }) {}
    ~PlainQueue() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        worker_.join();
    }
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(fn));
        }
        cv_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !items_.empty(); });
            if (items_.empty()) return;
            auto fn = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> items_;
    bool stop_ = false;
    std::thread worker_;
};

// The same completion signal for both sides.
class Done {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        done_ = true;
        cv_.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return done_; });
        done_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

template <typename Post>
void serialBatch(benchmark::State& state, Post post) {
    Done done;
    long counter = 0;  // touched by the worker only
    for (auto _ : state) {
        for (int i = 0; i < kBatch - 1; ++i) post([&counter] { ++counter; });
        post([&] {
            ++counter;
            done.signal();
        });
        done.wait();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_SerialAsync_Wharf(benchmark::State& state) {
    auto q = dispatch::createSerialQueue("bench.serial");
    serialBatch(state, [&](std::function<void()> fn) { q->async(std::move(fn)); });
}
BENCHMARK(BM_SerialAsync_Wharf)->UseRealTime();

void BM_SerialAsync_Plain(benchmark::State& state) {
    PlainQueue q;
    serialBatch(state, [&](std::function<void()> fn) { q.post(std::move(fn)); });
}
BENCHMARK(BM_SerialAsync_Plain)->UseRealTime();

template <typename Post>
void hop(benchmark::State& state, Post post) {
    Done done;
    for (auto _ : state) {
        post([&] { done.signal(); });
        done.wait();
    }
}

void BM_MainHop_Wharf(benchmark::State& state) {
    auto main = dispatch::mainQueue();
    hop(state, [&](std::function<void()> fn) { main->async(std::move(fn)); });
}
BENCHMARK(BM_MainHop_Wharf)->UseRealTime();

void BM_MainHop_Plain(benchmark::State& state) {
    PlainQueue q;
    hop(state, [&](std::function<void()> fn) { q.post(std::move(fn)); });
}
BENCHMARK(BM_MainHop_Plain)->UseRealTime();

// Keeps each benchmark's time per iteration for the summary.

}  // namespace

int main(int argc, char** argv) {
    RunLoop::initMainThread();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    wharf::bench::RatioReporter reporter;
    std::thread runner([&] {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        RunLoop::performOnMain([] { RunLoop::quit(); });
    });
    RunLoop::run();
    runner.join();
    benchmark::Shutdown();
    reporter.printRatios(
        {{"SerialAsync: wharf/plain time", "BM_SerialAsync_Wharf/real_time", "BM_SerialAsync_Plain/real_time"},
         {"MainHop: wharf/plain time", "BM_MainHop_Wharf/real_time", "BM_MainHop_Plain/real_time"}});
    return 0;
}
