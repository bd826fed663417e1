// The core logger against a bare syslog(3)-style write: the line formatted
// with a priority and time stamp into a buffer and written to /dev/null on the
// calling thread. Two measures: a debug line dropped at the default threshold,
// and a notice line that is formatted and handed to the logging queue (its
// system-log write switched off, so both sides end in a null sink). A summary
// line gives each ratio to the anchor.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "platform/storage/Container.h"

namespace {

int gNullFd = -1;

void syslogStyleWrite(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void syslogStyleWrite(int priority, const char* format, ...) {
    char line[1024];
    const time_t now = time(nullptr);
    struct tm parts;
    localtime_r(&now, &parts);
    int n = std::snprintf(line, sizeof line, "<%d>", priority);
    n += static_cast<int>(std::strftime(line + n, sizeof line - static_cast<std::size_t>(n), "%h %e %T ", &parts));
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "wharf[%d]: ", getpid());
    va_list args;
    va_start(args, format);
    n += std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, args);
    va_end(args);
    if (n > static_cast<int>(sizeof line) - 1) n = static_cast<int>(sizeof line) - 1;
    benchmark::DoNotOptimize(write(gNullFd, line, static_cast<std::size_t>(n)));
}

void BM_SyslogStyleNullWrite(benchmark::State& state) {
    long i = 0;
    for (auto _ : state) syslogStyleWrite(5, "[Nimbus/Core][I-COR000001] request %ld of %s", ++i, "the app");
}

void BM_CoreLoggerDroppedDebugLine(benchmark::State& state) {
    long i = 0;
    for (auto _ : state) wharf::NBLogDebug(wharf::kNBLoggerCore, "I-COR000001", "request %ld of %s", ++i, "the app");
}

void BM_CoreLoggerLoggedLine(benchmark::State& state) {
    long i = 0;
    for (auto _ : state) wharf::NBLogNotice(wharf::kNBLoggerCore, "I-COR000001", "request %ld of %s", ++i, "the app");
    wharf::NBLoggerFlush();  // outside the timed loop
}

BENCHMARK(BM_SyslogStyleNullWrite);
BENCHMARK(BM_CoreLoggerDroppedDebugLine);
BENCHMARK(BM_CoreLoggerLoggedLine);

}  // namespace

int main(int argc, char** argv) {
    // A home of its own: the logger reads its debug switch from the user defaults.
    char home[] = "/tmp/nimbus-logger-bench-XXXXXX";
    if (!mkdtemp(home)) return 1;
    wharf::platform::Container::setHome(home);
    gNullFd = open("/dev/null", O_WRONLY);
    wharf::NBLoggerSetSystemLogEnabled(false);
    wharf::NBLoggerFlush();

    const int rc = wharf::bench::runWithRatios(
        argc, argv,
        {{"dropped debug line / syslog-style null write", "BM_CoreLoggerDroppedDebugLine", "BM_SyslogStyleNullWrite"},
         {"logged line / syslog-style null write", "BM_CoreLoggerLoggedLine", "BM_SyslogStyleNullWrite"}});

    close(gNullFd);
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return rc;
}
