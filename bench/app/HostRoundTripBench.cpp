// What pages do through the bridge, in the Wharf host on WebKitGTK, against
// the plain route any WebKitGTK application can take: a script message
// handler for the call and one evaluated script for the answer.
//   awaited   1000 calls in a row, each awaited as a promise
//   chained   1000 calls in a row, each made from the previous one's callback
//   burst     1000 calls made at once
// Both sides run in windows of the same size, both shown side by side, in
// the same process (AppProcessBench measures the application as it is
// launched, each side a process of its own). The sides alternate
// over several rounds (the one that goes first changes every round); the
// summary quotes the ratio of each round as min/median/max.
// Needs a display; re-runs itself under xvfb-run when there is none.
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
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

#include "AppBenchSupport.h"
#include "BenchDisplay.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFViewController.h"
#include "platform/base/Log.h"
#include "platform/base/Value.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/WebView.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace {

using namespace wharf;
namespace fs = std::filesystem;

constexpr int kCalls = 1000;
// Medians of fewer rounds moved by several percent from run to run on a
// shared machine.
int gRounds = 21;  // --rounds=N
std::string gCases = "awaited,chained,burst";  // --cases=a,b,...
constexpr int kWindowWidth = 600, kWindowHeight = 400;
constexpr auto kWait = std::chrono::seconds(60);

// Set by the page when a case is over: 1 when every answer was right.
int gOutcome = 0;

using bench::BenchEcho;

std::string wharfPage() {
    return bench::benchPage(R"(<script src="wharf.js"></script>)", bench::kWharfRoute,
                            "function finish(ok) { report(ok); }\n");
}

std::string baselinePage() { return bench::benchPage("", bench::kPlainRoute, "function finish(ok) { report(ok); }\n"); }

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
    const std::string uri = "file://" + gFix.dir + "/plain/index.html";
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

// --- Google Benchmark: the time of each side on its own ---

void measure(benchmark::State& state, bool wharf, const std::string& script) {
    for (auto _ : state) {
        const double seconds = timed(wharf, script);
        if (seconds < 0) state.SkipWithError("the page did not get its answers");
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

#define WHARF_CASE(fn, n) BENCHMARK(fn)->Iterations(n)->UseManualTime()->Unit(benchmark::kMillisecond)
WHARF_CASE(Awaited_Wharf, 3);
WHARF_CASE(Awaited_MessageHandler, 3);
WHARF_CASE(Chained_Wharf, 3);
WHARF_CASE(Chained_MessageHandler, 3);
WHARF_CASE(Burst_Wharf, 5);
WHARF_CASE(Burst_MessageHandler, 5);

// --- Setup and the alternating rounds ---

void writeBundles() {
    gFix.dir = bench::writeBenchBundles(wharfPage(), baselinePage(), WHARF_DEMO_WWW "/wharf.js");
    std::filesystem::create_directories(gFix.dir + "/home");
}

using bench::Ratios;

void round(int index, Ratios& ratios, const std::function<double(bool wharf)>& run) {
    const bool wharfFirst = index % 2 == 0;
    const double first = run(wharfFirst);
    const double second = run(!wharfFirst);
    const double wharf = wharfFirst ? first : second, plain = wharfFirst ? second : first;
    ratios.add(wharf, plain);
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::initDisplay(argc, argv)) return 0;
    platform::RunLoop::initMainThread();
    platform::setLogToStderr(false);
    writeBundles();
    platform::Container::setHome(gFix.dir + "/home");
    platform::Bundle::setMainBundle(platform::Bundle::open(gFix.dir + "/bundle"));
    BenchEcho::registerClass();
    BenchEcho::onDone() = [](const platform::Value& ok) { gOutcome = platform::boolValue(ok) ? 1 : -1; };
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
    const std::string cases = "," + gCases + ",";
    auto wanted = [&](const std::string& name) { return cases.find(name + ",") != std::string::npos; };
    for (int i = 0; i < gRounds; ++i) {
        if (wanted(",awaited")) round(i, awaited, [](bool wharf) { return timed(wharf, kAwaited); });
        if (wanted(",chained")) round(i, chained, [](bool wharf) { return timed(wharf, kChained); });
        if (wanted(",burst")) round(i, burst, [](bool wharf) { return timed(wharf, kBurst); });
    }
    std::printf("Wharf / WebKitGTK message handler, same run, same window conditions:\n");
    for (Ratios* r : {&awaited, &chained, &burst})
        if (!r->values.empty()) r->print();
    std::error_code ec;
    fs::remove_all(gFix.dir, ec);
    return 0;
}
