// What pages do through the bridge, in the Wharf host on WebKitGTK, against
// the plain route any WebKitGTK application can take: a script message
// handler for the call and one evaluated script for the answer.
//   awaited   1000 calls in a row, each awaited as a promise
//   chained   1000 calls in a row, each made from the previous one's callback
//   burst     1000 calls made at once
//   launch    from process start (the real `wharf`, and a minimal WebKitGTK
//             program) to the page's load event
// Both sides run in windows of the same size, both shown side by side, in
// the same process (launch: in processes of their own). The sides alternate
// over several rounds (the one that goes first changes every round); the
// summary quotes the ratio of each round as min/median/max.
// Needs a display; re-runs itself under xvfb-run when there is none.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchDisplay.h"
#include "host/WFCommandDelegate.h"
#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFViewController.h"
#include "platform/Bundle.h"
#include "platform/Container.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"
#include "platform/gui/WebView.h"

extern char** environ;

namespace {

using namespace wharf;
namespace fs = std::filesystem;

constexpr int kCalls = 1000;
// Medians of fewer rounds moved by several percent from run to run on a
// shared machine.
int gRounds = 21;  // --rounds=N
std::string gCases = "awaited,chained,burst,launch";  // --cases=a,b,...
constexpr int kWindowWidth = 600, kWindowHeight = 400;
constexpr auto kWait = std::chrono::seconds(60);
constexpr const char* kLoadedLine = "Finished load of: ";

// Set by the page when a case is over: 1 when every answer was right.
int gOutcome = 0;

class BenchEcho : public WFPlugin {
public:
    static const WFActionTable& actions() {
        static const WFActionTable table =
            WFMakeActionTable<BenchEcho>({{"echo", &BenchEcho::echo}, {"done", &BenchEcho::done}});
        return table;
    }
    const WFActionTable& actionTable() const override { return actions(); }
    void echo(const WFInvokedUrlCommand& command) {
        if (auto d = commandDelegate())
            d->sendPluginResult(WFPluginResult(static_cast<int>(WFResultStatus::OK), command.argumentAtIndex(0)),
                                command.callbackId());
    }
    void done(const WFInvokedUrlCommand& command) {
        gOutcome = platform::boolValue(command.argumentAtIndex(0)) ? 1 : -1;
    }
};

// The same three cases on both pages; `call(i, answer)` is each page's route.
const char* kCases = R"(
function awaited(n) {
  var i = 0;
  (async function () {
    for (; i < n; i++) {
      var v = await new Promise(function (ok) { call(i, ok); });
      if (v !== i) break;
    }
    finish(i === n);
  })();
}
function chained(n) {
  var i = 0;
  function next() {
    if (i === n) { finish(true); return; }
    call(i, function (v) { if (v !== i) { finish(false); return; } i++; next(); });
  }
  next();
}
function burst(n) {
  var got = 0, right = true;
  for (var i = 0; i < n; i++) (function (i) {
    call(i, function (v) { if (v !== i) right = false; if (++got === n) finish(right); });
  })(i);
}
)";

std::string wharfPage() {
    return std::string(R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script src="wharf.js"></script></head><body>
<script>
var exec = wharf.require('wharf/exec');
function call(v, answer) { exec(answer, null, 'BenchEcho', 'echo', [v]); }
function finish(ok) { exec(null, null, 'BenchEcho', 'done', [ok]); }
)") + kCases +
           "</script></body></html>";
}

std::string baselinePage() {
    return std::string(R"(<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>
<script>
var pending = {}, nextId = 0;
function call(v, answer) { var id = nextId++; pending[id] = answer; window.webkit.messageHandlers.echo.postMessage(JSON.stringify([id, v])); }
function answer(id, v) { var cb = pending[id]; delete pending[id]; cb(v); }
function finish(ok) { window.webkit.messageHandlers.done.postMessage(ok); }
)") + kCases +
           "</script></body></html>";
}

struct Fixture {
    std::string dir;
    std::shared_ptr<WFViewController> controller;
    WebKitWebView* baseline = nullptr;
};
Fixture gFix;

GtkWidget* newWindow(int x) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), kWindowWidth, kWindowHeight);
    gtk_window_move(GTK_WINDOW(window), x, 0);
    return window;
}

bool pump(const std::function<bool()>& done) { return platform::RunLoop::pumpUntil(done, kWait); }

// --- The plain route ---

void onEcho(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
    platform::Value call = platform::Value::parse(text ? text : "", nullptr, false);
    g_free(text);
    if (!call.is_array() || call.size() != 2) return;
    const std::string script = "answer(" + call[0].dump() + "," + call[1].dump() + ")";
    webkit_web_view_evaluate_javascript(gFix.baseline, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
}

void onDone(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    gOutcome = jsc_value_to_boolean(webkit_javascript_result_get_js_value(result)) ? 1 : -1;
}

WebKitWebView* newBaselineView(GCallback echo, GCallback done) {
    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(manager, "echo");
    webkit_user_content_manager_register_script_message_handler(manager, "done");
    if (echo) g_signal_connect(manager, "script-message-received::echo", echo, nullptr);
    if (done) g_signal_connect(manager, "script-message-received::done", done, nullptr);
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(manager));
    g_object_unref(manager);
    return view;
}

void loadBaseline(GtkWidget* window) {
    gFix.baseline = newBaselineView(G_CALLBACK(onEcho), G_CALLBACK(onDone));
    bool loaded = false;
    g_signal_connect(gFix.baseline, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer flag) {
                         if (e == WEBKIT_LOAD_FINISHED) *static_cast<bool*>(flag) = true;
                     }),
                     &loaded);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(gFix.baseline));
    gtk_widget_show_all(window);
    const std::string uri = "file://" + gFix.dir + "/baseline/index.html";
    webkit_web_view_load_uri(gFix.baseline, uri.c_str());
    pump([&] { return loaded; });
    g_signal_handlers_disconnect_matched(gFix.baseline, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, &loaded);
}

void loadWharf(GtkWidget* window) {
    bool loaded = false;
    gFix.controller = std::make_shared<WFViewController>();
    gFix.controller->init();
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [&](const platform::Notification&) { loaded = true; });
    gFix.controller->viewDidLoad();
    gtk_container_add(GTK_CONTAINER(window), gFix.controller->webView()->widget());
    gtk_widget_show_all(window);
    pump([&] { return loaded; });
}

// Runs `script` in one page; seconds until the page reported, negative when
// an answer was wrong or missing.
double timed(bool wharf, const std::string& script) {
    gOutcome = 0;
    const auto t0 = std::chrono::steady_clock::now();
    if (wharf)
        gFix.controller->webView()->evaluateJavaScript(script, nullptr);
    else
        webkit_web_view_evaluate_javascript(gFix.baseline, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                            nullptr);
    pump([] { return gOutcome != 0; });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (gOutcome != 1) {
        std::fprintf(stderr, "bench: %s on the %s page: %s\n", script.c_str(), wharf ? "wharf" : "baseline",
                     gOutcome == 0 ? "no answer in time" : "wrong answers");
        return -1;
    }
    return seconds;
}

// --- Launch: a process of its own, from start to the page's load event ---

// Spawns `args` with its standard error on a pipe; seconds until it writes
// the loaded line (negative on failure). The process is ended afterwards.
double launch(std::vector<std::string> args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
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
    double seconds = -1;
    std::string seen;
    const auto deadline = t0 + kWait;
    while (spawned && std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(n));
        if (seen.find(kLoadedLine) != std::string::npos) {
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
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
    if (seconds < 0) std::fprintf(stderr, "bench: %s never loaded its page:\n%s\n", args[0].c_str(), seen.c_str());
    return seconds;
}

double launchWharf() {
    std::error_code ec;
    fs::remove_all(gFix.dir + "/launch-home", ec);
    return launch({WHARF_APP, "--bundle", gFix.dir + "/bundle", "--home", gFix.dir + "/launch-home"});
}

double launchBaseline() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = '\0';
    return launch({self, "--baseline-launch", "file://" + gFix.dir + "/baseline/index.html"});
}

// The plain program: a window of the host's size with one web view, which says
// when its page has loaded.
int baselineLaunchChild(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
    WebKitWebView* view = newBaselineView(nullptr, nullptr);
    g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView* v, WebKitLoadEvent e, gpointer) {
                         if (e != WEBKIT_LOAD_FINISHED) return;
                         std::fprintf(stderr, "%s%s\n", kLoadedLine, webkit_web_view_get_uri(v));
                         std::fflush(stderr);
                     }),
                     nullptr);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(view, argv[2]);
    g_unix_signal_add(
        SIGTERM,
        +[](gpointer) -> gboolean {
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
    return 0;
}

// --- Google Benchmark: the time of each side on its own ---

void measure(benchmark::State& state, bool wharf, const std::string& script) {
    for (auto _ : state) {
        const double seconds = timed(wharf, script);
        if (seconds < 0) state.SkipWithError("the page did not get its answers");
        state.SetIterationTime(std::max(seconds, 0.0));
    }
}

void measureLaunch(benchmark::State& state, double (*run)()) {
    for (auto _ : state) {
        const double seconds = run();
        if (seconds < 0) state.SkipWithError("the page did not load");
        state.SetIterationTime(std::max(seconds, 0.0));
    }
}

const std::string kAwaited = "awaited(" + std::to_string(kCalls) + ")";
const std::string kChained = "chained(" + std::to_string(kCalls) + ")";
const std::string kBurst = "burst(" + std::to_string(kCalls) + ")";

void Awaited_Wharf(benchmark::State& s) { measure(s, true, kAwaited); }
void Awaited_MessageHandler(benchmark::State& s) { measure(s, false, kAwaited); }
void Chained_Wharf(benchmark::State& s) { measure(s, true, kChained); }
void Chained_MessageHandler(benchmark::State& s) { measure(s, false, kChained); }
void Burst_Wharf(benchmark::State& s) { measure(s, true, kBurst); }
void Burst_MessageHandler(benchmark::State& s) { measure(s, false, kBurst); }
void Launch_Wharf(benchmark::State& s) { measureLaunch(s, launchWharf); }
void Launch_MessageHandler(benchmark::State& s) { measureLaunch(s, launchBaseline); }

#define WHARF_CASE(fn, n) BENCHMARK(fn)->Iterations(n)->UseManualTime()->Unit(benchmark::kMillisecond)
WHARF_CASE(Awaited_Wharf, 3);
WHARF_CASE(Awaited_MessageHandler, 3);
WHARF_CASE(Chained_Wharf, 3);
WHARF_CASE(Chained_MessageHandler, 3);
WHARF_CASE(Burst_Wharf, 5);
WHARF_CASE(Burst_MessageHandler, 5);
WHARF_CASE(Launch_Wharf, 2);
WHARF_CASE(Launch_MessageHandler, 2);

// --- Setup and the alternating rounds ---

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void writeBundles() {
    char tmpl[] = "/tmp/wharf-bench-XXXXXX";
    gFix.dir = mkdtemp(tmpl);
    fs::create_directories(gFix.dir + "/bundle/www");
    fs::create_directories(gFix.dir + "/baseline");
    fs::create_directories(gFix.dir + "/home");
    write(gFix.dir + "/bundle/Info.plist",
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
          "<string>org.wharf.bench</string></dict></plist>");
    write(gFix.dir + "/bundle/config.xml", "<widget><content src=\"index.html\"/><feature name=\"BenchEcho\">"
                                           "<param name=\"ios-package\" value=\"BenchEcho\"/></feature></widget>");
    write(gFix.dir + "/bundle/www/index.html", wharfPage());
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", gFix.dir + "/bundle/www/wharf.js");
    write(gFix.dir + "/baseline/index.html", baselinePage());
}

struct Ratios {
    const char* label;
    std::vector<double> values;
    void print() {
        if (values.empty()) {
            std::printf("ratio %-34s no complete round\n", label);
            return;
        }
        std::sort(values.begin(), values.end());
        std::printf("ratio %-34s min %.2f  median %.2f  max %.2f  (%zu rounds)\n", label, values.front(),
                    values[values.size() / 2], values.back(), values.size());
    }
};

void round(int index, Ratios& ratios, const std::function<double(bool wharf)>& run) {
    const bool wharfFirst = index % 2 == 0;
    const double first = run(wharfFirst);
    const double second = run(!wharfFirst);
    const double wharf = wharfFirst ? first : second, plain = wharfFirst ? second : first;
    if (wharf > 0 && plain > 0) ratios.values.push_back(wharf / plain);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--baseline-launch") == 0) return baselineLaunchChild(argc, argv);
    if (!bench::initDisplay(argc, argv)) return 0;
    // Each launched `wharf` runs on its own, not handed to a running instance.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");  // NOLINT(concurrency-mt-unsafe): before any thread starts
    platform::RunLoop::initMainThread();
    platform::setLogToStderr(false);
    writeBundles();
    platform::Container::setHome(gFix.dir + "/home");
    platform::Bundle::setMainBundle(platform::Bundle::open(gFix.dir + "/bundle"));
    WFRegisterPluginClass<BenchEcho>("BenchEcho");
    WFUIWebViewEngine::registerClass();
    WFUIWebViewEngine::setWebViewFactory([](WFRect) { return platform::createWebKitWebView(); });
    WFUserAgentUtil::setUserAgentProvider([] { return platform::webKitDefaultUserAgent(); });

    loadWharf(newWindow(0));
    loadBaseline(newWindow(kWindowWidth + 20));

    // --rounds=N: the number of alternating rounds (0: none); --cases=...:
    // the cases they run.
    for (int i = 1; i < argc;) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
            gRounds = static_cast<int>(std::strtol(argv[i] + 9, nullptr, 10));
        } else if (std::strncmp(argv[i], "--cases=", 8) == 0) {
            gCases = argv[i] + 8;
        } else {
            ++i;
            continue;
        }
        std::copy(argv + i + 1, argv + argc, argv + i);
        --argc;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    Ratios awaited{"awaited calls (1000 in a row):", {}};
    Ratios chained{"chained calls (1000 in a row):", {}};
    Ratios burst{"burst of 1000 calls:", {}};
    Ratios launched{"launch to the page's load event:", {}};
    const std::string cases = "," + gCases + ",";
    auto wanted = [&](const std::string& name) { return cases.find(name + ",") != std::string::npos; };
    for (int i = 0; i < gRounds; ++i) {
        if (wanted(",awaited")) round(i, awaited, [](bool wharf) { return timed(wharf, kAwaited); });
        if (wanted(",chained")) round(i, chained, [](bool wharf) { return timed(wharf, kChained); });
        if (wanted(",burst")) round(i, burst, [](bool wharf) { return timed(wharf, kBurst); });
        if (wanted(",launch")) round(i, launched, [](bool wharf) { return wharf ? launchWharf() : launchBaseline(); });
    }
    std::printf("Wharf / WebKitGTK message handler, same run, same window conditions:\n");
    for (Ratios* r : {&awaited, &chained, &burst, &launched})
        if (!r->values.empty()) r->print();
    std::error_code ec;
    fs::remove_all(gFix.dir, ec);
    return 0;
}
