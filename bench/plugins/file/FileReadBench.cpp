// A page reading a 10 MB file: readAsArrayBuffer through the bridge against
// fetch() of the same file over the "wffile" scheme, in the same page of the
// real host in WebKitGTK. The two alternate over several rounds; the ratio
// of each round is quoted as min/median/max. First, what a readAsArrayBuffer
// of a 256 MiB file costs in memory: the peak resident size of the host and
// of WebKit's web process during the read, above what each held before it,
// as a multiple of the file's size.
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchDisplay.h"
#include "host/WFPlugin.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/WebView.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "plugins/file/WFFile.h"

namespace {

using namespace wharf;
namespace fs = std::filesystem;

constexpr std::size_t kFileSize = 10 * 1000 * 1000;
constexpr std::size_t kLargeFileSize = std::size_t{256} << 20;
constexpr int kRounds = 9;
constexpr auto kWait = std::chrono::seconds(60);

// What the page reported last: the byte count it received (-1: none yet).
long gReceived = -1;

class BenchDone : public WFPlugin {
public:
    static const WFActionTable& actions() {
        static const WFActionTable table = WFMakeActionTable<BenchDone>({{"done", &BenchDone::done}});
        return table;
    }
    const WFActionTable& actionTable() const override { return actions(); }
    void done(const WFInvokedUrlCommand& command) { gReceived = platform::integerValue(command.argumentAtIndex(0)); }
};

const char* kPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8">
<script src="wharf.js"></script><script src="wharf-file.js"></script></head><body>
<script>
var exec = wharf.require('wharf/exec');
var URL = 'wffile://localhost/persistent/big.bin';
function done(buffer) { exec(null, null, 'BenchDone', 'done', [buffer.byteLength]); }
function fail() { exec(null, null, 'BenchDone', 'done', [-2]); }
function viaBridge() { wharfFile.readAsArrayBuffer(URL).then(done, fail); }
function large() { wharfFile.readAsArrayBuffer('wffile://localhost/persistent/large.bin').then(done, fail); }
function viaFetch() { fetch(URL).then(function (r) { return r.arrayBuffer(); }).then(done, fail); }
</script></body></html>)";

std::shared_ptr<WFViewController> gController;
GtkWidget* gWindow = nullptr;

// Runs one read in the page; its time in seconds (negative when it failed).
double timed(const char* script, std::size_t size = kFileSize) {
    gReceived = -1;
    const auto t0 = std::chrono::steady_clock::now();
    gController->webViewEngine()->evaluateJavaScript(script, nullptr);
    platform::RunLoop::pumpUntil([] { return gReceived != -1; }, kWait);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (gReceived != static_cast<long>(size)) {
        std::fprintf(stderr, "bench: %s received %ld bytes\n", script, gReceived);
        return -1;
    }
    return seconds;
}

// A field ("VmRSS", "VmHWM") of a process's status, in bytes; 0 when unknown.
std::size_t statusBytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
    return 0;
}

// The web processes below this one (under bubblewrap, a sandbox's child).
std::vector<pid_t> webProcesses() {
    std::map<pid_t, std::pair<pid_t, std::string>> processes;  // pid → parent, name
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream status(entry.path() / "status");
        auto& [parent, name] = processes[static_cast<pid_t>(std::stol(pid))];
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("PPid:", 0) == 0) parent = static_cast<pid_t>(std::stol(line.substr(5)));
        }
    }
    std::vector<pid_t> found;
    for (const auto& [pid, process] : processes) {
        if (process.second.rfind("WebKitWebProces", 0) != 0) continue;
        pid_t up = process.first;
        while (up > 1 && up != getpid() && processes.count(up)) up = processes[up].first;
        if (up == getpid()) found.push_back(pid);
    }
    return found;
}

// A process's peak resident size from now on starts again at its current size
// (where the kernel lets us); its current size.
std::size_t startPeak(pid_t pid) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
    return statusBytes(pid, "VmRSS");
}

void ReadAsArrayBuffer_Memory256MiB(benchmark::State& state) {
    for (auto _ : state) {
        const auto web = webProcesses();
        if (web.size() != 1) {
            state.SkipWithError("not one web process");
            break;
        }
        const std::size_t hostBefore = startPeak(getpid());
        const std::size_t webBefore = startPeak(web.front());
        if (timed("large()", kLargeFileSize) < 0) state.SkipWithError("the page did not get the file");
        const double size = static_cast<double>(kLargeFileSize);
        state.counters["host_x"] = static_cast<double>(statusBytes(getpid(), "VmHWM") - hostBefore) / size;
        state.counters["web_x"] = static_cast<double>(statusBytes(web.front(), "VmHWM") - webBefore) / size;
        std::printf("memory of readAsArrayBuffer, 256 MiB: host peak +%.2fx, web process peak +%.2fx the file\n",
                    state.counters["host_x"].value, state.counters["web_x"].value);
    }
}

void measure(benchmark::State& state, const char* script) {
    for (auto _ : state) {
        const double seconds = timed(script);
        if (seconds < 0) state.SkipWithError("the page did not get the file");
        state.SetIterationTime(std::max(seconds, 0.0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void ReadAsArrayBuffer_Bridge(benchmark::State& state) { measure(state, "viaBridge()"); }
void Fetch_Wffile(benchmark::State& state) { measure(state, "viaFetch()"); }
BENCHMARK(ReadAsArrayBuffer_Memory256MiB)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadAsArrayBuffer_Bridge)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Fetch_Wffile)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string prepare() {
    char tmpl[] = "/tmp/wharf-file-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/bundle/www");
    fs::create_directories(dir + "/home/Documents");
    write(dir + "/bundle/Info.plist",
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
          "<string>org.wharf.bench.file</string></dict></plist>");
    write(dir + "/bundle/config.xml",
          "<widget><content src=\"index.html\"/>"
          "<feature name=\"File\"><param name=\"ios-package\" value=\"WFFile\"/><param name=\"onload\" value=\"true\"/>"
          "</feature><feature name=\"BenchDone\"><param name=\"ios-package\" value=\"BenchDone\"/></feature></widget>");
    write(dir + "/bundle/www/index.html", kPage);
    for (const char* script : {"wharf.js", "wharf-file.js"})
        fs::copy_file(fs::path(WHARF_DEMO_WWW) / script, fs::path(dir) / "bundle/www" / script);
    std::string data(kFileSize, '\0');
    std::mt19937 random(7);
    for (char& c : data) c = static_cast<char>(random());
    write(dir + "/home/Documents/big.bin", data);
    data.resize(kLargeFileSize);
    for (std::size_t i = kFileSize; i < kLargeFileSize; ++i) data[i] = static_cast<char>(random());
    write(dir + "/home/Documents/large.bin", data);
    return dir;
}

void launch() {
    bool loaded = false;
    gController = std::make_shared<WFViewController>();
    gController->init();
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [&](const platform::Notification&) { loaded = true; });
    gController->viewDidLoad();
    gtk_container_add(GTK_CONTAINER(gWindow), gController->webView()->widget());
    gtk_widget_show_all(gWindow);
    platform::RunLoop::pumpUntil([&] { return loaded; }, kWait);
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::initDisplay(argc, argv)) return 0;
    platform::RunLoop::initMainThread();
    platform::setLogToStderr(false);
    const std::string dir = prepare();
    platform::Container::setHome(dir + "/home");
    platform::Bundle::setMainBundle(platform::Bundle::open(dir + "/bundle"));
    registerFilePlugin();
    WFRegisterPluginClass<BenchDone>("BenchDone");
    WFUIWebViewEngine::registerClass();
    WFUIWebViewEngine::setWebViewFactory([](WFRect) { return platform::createWebKitWebView(); });
    WFUserAgentUtil::setUserAgentProvider([] { return platform::webKitDefaultUserAgent(); });
    gWindow = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(gWindow), 800, 600);
    launch();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Alternating rounds, the side that goes first changing every round.
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        double bridge, fetch;
        if (round % 2 == 0) {
            bridge = timed("viaBridge()");
            fetch = timed("viaFetch()");
        } else {
            fetch = timed("viaFetch()");
            bridge = timed("viaBridge()");
        }
        if (bridge > 0 && fetch > 0) ratios.push_back(bridge / fetch);
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("ratio readAsArrayBuffer (bridge) / fetch (wffile), 10 MB, %zu rounds: "
                    "min %.2f median %.2f max %.2f\n",
                    ratios.size(), ratios.front(), ratios[ratios.size() / 2], ratios.back());
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
