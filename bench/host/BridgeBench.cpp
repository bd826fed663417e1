// The bridge's own cost: commands per second through executePending with a
// no-op plug-in (against parsing the same batch and calling the action
// directly), and a 1 MB batch
// through enqueueCommandBatch (against a bare nlohmann::json::parse of the
// same text). The summary prints the ratios.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cstdio>
#include <map>
#include <string>

#include "host/WFPlugin.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"

namespace {

using namespace wharf;
using platform::RunLoop;

class NoopPlugin : public WFPlugin {
public:
    static const WFActionTable& actions() {
        static const WFActionTable table = WFMakeActionTable<NoopPlugin>({{"noop", &NoopPlugin::noop}});
        return table;
    }
    const WFActionTable& actionTable() const override { return actions(); }
    void noop(const WFInvokedUrlCommand&) { ++calls; }
    long calls = 0;
};

struct Bridge {
    Bridge() {
        // A clock that never moves: runs are never sliced, only counted.
        controller = testing::FakeViewController::create(std::make_shared<platform::ManualClock>());
        plugin = std::make_shared<NoopPlugin>();
        controller->registerPlugin(plugin, "Noop");
    }
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<NoopPlugin> plugin;
};

// Small batches (parsed on the calling thread) of 40 commands each.
constexpr int kBatchCommands = 40;

std::string smallBatch() {
    std::string text = "[";
    for (int i = 0; i < kBatchCommands; ++i)
        text += std::string(i ? "," : "") + "[\"Noop" + std::to_string(i) + "\",\"Noop\",\"noop\",[" +
                std::to_string(i) + ",\"a\"]]";
    return text + "]";
}

void BM_Commands_ExecutePending(benchmark::State& state) {
    Bridge bridge;
    const std::string text = smallBatch();
    auto& queue = *bridge.controller->queue();
    for (auto _ : state) {
        queue.enqueueCommandBatch(text);
        queue.executePending();
    }
    if (bridge.plugin->calls != static_cast<long>(state.iterations()) * kBatchCommands)
        state.SkipWithError("commands were lost");
    state.SetItemsProcessed(state.iterations() * kBatchCommands);
}
BENCHMARK(BM_Commands_ExecutePending);

void BM_Commands_Direct(benchmark::State& state) {
    Bridge bridge;
    const std::string text = smallBatch();
    for (auto _ : state) {
        for (const auto& entry : nlohmann::json::parse(text)) {
            WFInvokedUrlCommand command(entry[3], entry[0].get<std::string>(), entry[1], entry[2]);
            bridge.plugin->noop(command);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatchCommands);
}
BENCHMARK(BM_Commands_Direct);

// About 1 MB: 1000 commands with a 1 KB string argument each.
std::string largeBatch() {
    std::string text = "[";
    const std::string payload(1000, 'x');
    for (int i = 0; i < 1000; ++i)
        text += std::string(i ? "," : "") + "[\"Noop" + std::to_string(i) + "\",\"Noop\",\"noop\",[\"" + payload +
                "\"," + std::to_string(i) + "]]";
    return text + "]";
}

void BM_LargeBatch_Enqueue(benchmark::State& state) {
    Bridge bridge;
    const std::string text = largeBatch();
    auto& queue = *bridge.controller->queue();
    for (auto _ : state) {
        queue.enqueueCommandBatch(text);  // parsed in the background, then run
        if (!RunLoop::pumpUntil([&] { return queue.pendingBatchCount() == 0; })) {
            state.SkipWithError("batch never ran");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LargeBatch_Enqueue)->UseRealTime();

void BM_LargeBatch_BareParse(benchmark::State& state) {
    const std::string text = largeBatch();
    for (auto _ : state) {
        auto parsed = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LargeBatch_BareParse)->UseRealTime();

// The queue's route also runs the 1000 commands: the same work done directly,
// so the second ratio isolates what the queue adds (background parse, hop).
void BM_LargeBatch_ParseAndRunDirect(benchmark::State& state) {
    Bridge bridge;
    const std::string text = largeBatch();
    for (auto _ : state) {
        for (const auto& entry : nlohmann::json::parse(text)) {
            WFInvokedUrlCommand command(entry[3], entry[0].get<std::string>(), entry[1], entry[2]);
            bridge.plugin->noop(command);
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LargeBatch_ParseAndRunDirect)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    RunLoop::initMainThread();
    platform::setLogToStderr(false);
    return bench::runWithRatios(
        argc, argv,
        {{"commands: executePending/direct time", "BM_Commands_ExecutePending", "BM_Commands_Direct"},
         {"1 MB batch: enqueueCommandBatch/json::parse time", "BM_LargeBatch_Enqueue/real_time",
          "BM_LargeBatch_BareParse/real_time"},
         {"1 MB batch: enqueue and run/parse and direct run time", "BM_LargeBatch_Enqueue/real_time",
          "BM_LargeBatch_ParseAndRunDirect/real_time"}});
}
