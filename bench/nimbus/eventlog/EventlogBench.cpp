// Appending 100,000 events through the event logger against a raw write()
// loop of the same record bytes into files of the same size.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "BenchRatio.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/NBEventlogLogger.h"
#include "nimbus/eventlog/NBEventlogWriter.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf;
using platform::Bytes;

namespace {

constexpr int kEvents = 100000;

// A diagnostics-sized event, already stamped, so both sides write the same bytes.
std::shared_ptr<EVLPBLogEvent> sampleEvent() {
    auto event = EVLPBLogEvent::create();
    NANOSetInt64(event.get(), EVLPBLogEvent::event_time_ms, 1700000000123);
    NANOSetInt64(event.get(), EVLPBLogEvent::event_uptime_ms, 123456);
    NANOSetBytes(event.get(), EVLPBLogEvent::source_payload, Bytes(180, 0x5a));
    return event;
}

std::string scratch(const char* side, int round) {
    auto dir = std::filesystem::temp_directory_path() / ("wharf-eventlog-bench-" + std::to_string(::getpid()));
    return (dir / side / std::to_string(round)).string();
}

void Logger(benchmark::State& state) {
    auto event = sampleEvent();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string dir = scratch("logger", round++);
        auto logger = NBEventlogLogger::create(dir, nullptr);
        logger->waitUntilIdle();
        state.ResumeTiming();
        for (int i = 0; i < kEvents; ++i) logger->logEvent(event, 137, "greenhouse");
        logger->waitUntilIdle();
        state.PauseTiming();
        logger.reset();
        std::filesystem::remove_all(dir);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

void RawWrite(benchmark::State& state) {
    Bytes record;
    const Bytes encoded = *sampleEvent()->protoBuffer();
    NBEventlogWriter::appendVarint(record, encoded.size());
    record.insert(record.end(), encoded.begin(), encoded.end());
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string dir = scratch("raw", round++);
        std::filesystem::create_directories(dir);
        state.ResumeTiming();
        int fd = -1;
        uint64_t inFile = 0;
        long long name = 0;
        for (int i = 0; i < kEvents; ++i) {
            if (fd < 0)
                fd = ::open((dir + "/" + std::to_string(name++)).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0600);
            if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
                state.SkipWithError("write");
            inFile += record.size();
            if (inFile > NBEventlogLogger::kDefaultMaxRequestNumBytes) {
                ::close(fd);
                fd = -1;
                inFile = 0;
            }
        }
        if (fd >= 0) ::close(fd);
        state.PauseTiming();
        std::filesystem::remove_all(dir);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

}  // namespace

BENCHMARK(Logger)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    platform::RunLoop::initMainThread();
    NBLoggerSetSystemLogEnabled(false);
    return bench::runWithRatios(argc, argv,
                                {{"append 100,000 events / raw write()", "Logger/real_time", "RawWrite/real_time"}});
}
