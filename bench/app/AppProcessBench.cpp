// The Wharf application as a user runs it, against a plain WebKitGTK
// application doing the same page work: each side is a process of its own,
// started afresh every round (which side goes first changes every round).
// In each process the page, once loaded, warms up, then times in itself
//   awaited   1000 echo calls in a row, each awaited as a promise
//   burst     1000 echo calls made at once
// and reports. Outside, the benchmark times the launch (process start to the
// page's load event) and reads the proportional set size of the process and
// the web engine's processes it started, once the page has reported.
// The Wharf side is the shipped application with one echo plug-in registered
// and the demo's bridge script; the plain side posts each call to a script
// message handler and is answered by one evaluated script.
// Needs a display and a session bus; runs itself again under xvfb-run and
// dbus-run-session when either is missing.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AppBenchSupport.h"
#include "BenchDisplay.h"

extern char** environ;

namespace {

using namespace wharf;
namespace fs = std::filesystem;

int gRounds = 21;  // --rounds=N
constexpr auto kWait = std::chrono::seconds(60);

// Both pages: a short warm-up of each case, then each case timed by the page
// itself; the report is "<awaited ms> <burst ms>" (-1 for a wrong answer).
constexpr const char* kDriver = R"(
var finishHook = null;
function finish(ok) { var hook = finishHook; finishHook = null; hook(ok); }
function timedCase(name, n) {
  return new Promise(function (done) {
    var t0 = performance.now();
    finishHook = function (ok) { done(ok ? performance.now() - t0 : -1); };
    window[name](n);
  });
}
window.addEventListener('load', function () {
  setTimeout(async function () {
    await timedCase('awaited', 200);
    await timedCase('burst', 200);
    var awaitedMs = await timedCase('awaited', 1000);
    var burstMs = await timedCase('burst', 1000);
    report(awaitedMs + ' ' + burstMs);
  }, 200);
});
)";

struct Outcome {
    double launch = -1;  // seconds to the load event
    double awaited = -1, burst = -1;  // milliseconds for 1000 calls
    double pss = -1;  // KiB, the process and its descendants
    bool complete() const { return launch > 0 && awaited > 0 && burst > 0 && pss > 0; }
};

// The Pss line of /proc/<pid>/smaps_rollup, in KiB; 0 when unreadable.
double pssOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Pss:", 0) == 0) return std::strtod(line.c_str() + 4, nullptr);
    return 0;
}

pid_t parentOf(pid_t pid) {
    // Read through the stream, which fails quietly where the process has
    // just gone (a stream iterator throws).
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name may hold spaces and parentheses: the fields resume after the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    return parent;
}

// The process's PSS plus that of every process below it (the web engine's
// web and network processes, and any sandbox launcher between).
double treePss(pid_t root) {
    std::vector<pid_t> tree{root};
    std::vector<std::pair<pid_t, pid_t>> all;  // (pid, parent)
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (*end || pid <= 0) continue;
            all.emplace_back(static_cast<pid_t>(pid), parentOf(static_cast<pid_t>(pid)));
        }
        closedir(proc);
    }
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const auto& [pid, parent] : all)
            if (parent == tree[i]) tree.push_back(pid);
    double total = 0;
    for (pid_t pid : tree) total += pssOf(pid);
    return total;
}

// Starts `args` with its standard error on a pipe and follows what it says:
// the load, then the page's report; then reads its memory and ends it.
Outcome runProcess(std::vector<std::string> args) {
    Outcome outcome;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return outcome;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string seen;
    const auto deadline = t0 + kWait;
    while (spawned && std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(n));
        if (outcome.launch < 0 && seen.find(bench::kLoadedLine) != std::string::npos)
            outcome.launch = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const std::size_t report = seen.find(bench::kReportLine);
        if (report != std::string::npos && seen.find('\n', report) != std::string::npos) {
            std::istringstream numbers(seen.substr(report + std::strlen(bench::kReportLine)));
            numbers >> outcome.awaited >> outcome.burst;
            outcome.pss = treePss(pid);
            break;
        }
    }
    if (spawned) {
        kill(pid, SIGTERM);
        // Drain its output so that it never blocks on a full pipe while ending.
        char buffer[4096];
        while (read(pipeFds[0], buffer, sizeof buffer) > 0) {}
        waitpid(pid, nullptr, 0);
    }
    close(pipeFds[0]);
    if (!outcome.complete()) std::fprintf(stderr, "bench: %s did not report:\n%s\n", args[0].c_str(), seen.c_str());
    return outcome;
}

std::string gDir;

Outcome runWharf() { return runProcess({WHARF_BENCH_APP, "--bundle", gDir + "/bundle", "--home", gDir + "/home"}); }
Outcome runPlain() { return runProcess({WHARF_BENCH_PLAIN, "file://" + gDir + "/plain/index.html"}); }

// Google Benchmark: the launch of each side on its own, with the page's
// times and the memory as counters.
void measure(benchmark::State& state, Outcome (*run)()) {
    for (auto _ : state) {
        const Outcome o = run();
        if (!o.complete()) state.SkipWithError("the page did not report");
        state.SetIterationTime(o.complete() ? o.launch : 0);
        state.counters["awaited_ms"] = o.awaited;
        state.counters["burst_ms"] = o.burst;
        state.counters["pss_MiB"] = o.pss / 1024;
    }
}
void Process_Wharf(benchmark::State& s) { measure(s, runWharf); }
void Process_Plain(benchmark::State& s) { measure(s, runPlain); }
BENCHMARK(Process_Wharf)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Process_Plain)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// A session bus, as on a desktop: without one, GLib would start one for the
// first process that asks and leave it running.
void ensureSessionBus(char** argv) {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") || std::getenv("WHARF_BENCH_NO_DBUS")) return;
    setenv("WHARF_BENCH_NO_DBUS", "1", 1);  // NOLINT(concurrency-mt-unsafe): from main, before any thread
    std::vector<char*> args{const_cast<char*>("dbus-run-session"), const_cast<char*>("--")};
    for (char** a = argv; *a; ++a) args.push_back(*a);
    args.push_back(nullptr);
    execvp("dbus-run-session", args.data());
    std::fprintf(stderr, "bench: no session bus and no dbus-run-session; the application runs without one\n");
}

}  // namespace

int main(int argc, char** argv) {
    ensureSessionBus(argv);
    if (!bench::initDisplay(argc, argv)) return 0;
    for (int i = 1; i < argc;) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
            gRounds = static_cast<int>(std::strtol(argv[i] + 9, nullptr, 10));
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
        } else {
            ++i;
        }
    }
    gDir =
        bench::writeBenchBundles(bench::benchPage(R"(<script src="wharf.js"></script>)", bench::kWharfRoute, kDriver),
                                 bench::benchPage("", bench::kPlainRoute, kDriver), WHARF_DEMO_WWW "/wharf.js");
    if (gDir.empty()) return 1;
    // The home is kept across launches, as a user's is; a first launch of
    // each side, not counted, makes it and warms the file cache.
    runWharf();
    runPlain();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bench::Ratios awaited{"awaited calls (1000 in a row):", {}};
    bench::Ratios burst{"burst of 1000 calls:", {}};
    bench::Ratios launch{"launch to the page's load event:", {}};
    bench::Ratios pss{"PSS once the page has run:", {}};
    for (int i = 0; i < gRounds; ++i) {
        const bool wharfFirst = i % 2 == 0;
        const Outcome first = wharfFirst ? runWharf() : runPlain();
        const Outcome second = wharfFirst ? runPlain() : runWharf();
        const Outcome& wharf = wharfFirst ? first : second;
        const Outcome& plain = wharfFirst ? second : first;
        if (!wharf.complete() || !plain.complete()) continue;
        awaited.add(wharf.awaited, plain.awaited);
        burst.add(wharf.burst, plain.burst);
        launch.add(wharf.launch, plain.launch);
        pss.add(wharf.pss, plain.pss);
    }
    std::printf("Wharf application / plain WebKitGTK application, each a process of its own, same run:\n");
    for (bench::Ratios* r : {&awaited, &burst, &launch, &pss}) r->print();
    std::error_code ec;
    fs::remove_all(gDir, ec);
    return 0;
}
