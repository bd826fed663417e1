// Bridge round trips and launch-to-page-loaded time of the Wharf host in
// WebKitGTK, against the direct route any WebKitGTK application takes: a
// script message handler for the call and an evaluated script for the answer.
// Needs a display; re-runs itself under xvfb-run when there is none.
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
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
#include "platform/gui/WebView.h"

namespace {

using namespace wharf;
namespace fs = std::filesystem;

bool gDone = false;
constexpr int kCalls = 1000;
constexpr auto kWait = std::chrono::seconds(60);

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
    void done(const WFInvokedUrlCommand&) { gDone = true; }
};

const char* kWharfPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script src="wharf.js"></script></head><body>
<script>
var exec = wharf.require('wharf/exec');
function finish() { exec(null, null, 'BenchEcho', 'done', []); }
function seq(n) {
  var i = 0;
  function next() { if (i === n) { finish(); return; } exec(function () { i++; next(); }, null, 'BenchEcho', 'echo', [i]); }
  next();
}
function burst(n) {
  var got = 0;
  for (var i = 0; i < n; i++) exec(function () { if (++got === n) finish(); }, null, 'BenchEcho', 'echo', [i]);
}
</script></body></html>)";

const char* kBaselinePage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>
<script>
var pending = {}, nextId = 0;
function call(v, cb) { var id = nextId++; pending[id] = cb; window.webkit.messageHandlers.echo.postMessage(JSON.stringify([id, v])); }
function answer(id, v) { var cb = pending[id]; delete pending[id]; cb(v); }
function finish() { window.webkit.messageHandlers.done.postMessage(''); }
function seq(n) {
  var i = 0;
  function next() { if (i === n) { finish(); return; } call(i, function () { i++; next(); }); }
  next();
}
function burst(n) {
  var got = 0;
  for (var i = 0; i < n; i++) call(i, function () { if (++got === n) finish(); });
}
</script></body></html>)";

struct Fixture {
    std::string dir;
    GtkWidget* window = nullptr;
    std::shared_ptr<WFViewController> controller;
    WebKitWebView* baseline = nullptr;
};
Fixture gFix;

void wait() {
    platform::RunLoop::pumpUntil([] { return gDone; }, kWait);
    if (!gDone) std::fprintf(stderr, "bench: the page did not answer in time\n");
}

void show(GtkWidget* widget) {
    if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(gFix.window))) gtk_container_remove(GTK_CONTAINER(gFix.window), old);
    gtk_container_add(GTK_CONTAINER(gFix.window), widget);
    gtk_widget_show_all(gFix.window);
}

// --- Wharf host ---

std::shared_ptr<WFViewController> launchWharf() {
    gDone = false;
    auto controller = std::make_shared<WFViewController>();
    controller->init();
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [](const platform::Notification&) { gDone = true; });
    controller->viewDidLoad();
    show(controller->webView()->widget());
    wait();
    return controller;
}

void runWharf(const char* script) {
    gDone = false;
    gFix.controller->webViewEngine()->evaluateJavaScript(script, nullptr);
    wait();
}

// --- Baseline ---

void onEcho(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    char* text = jsc_value_to_string(value);
    // [id, value]: answer with answer(id, value).
    std::string json = text ? text : "[]";
    g_free(text);
    std::string inner = json.substr(1, json.size() - 2);
    auto comma = inner.find(',');
    std::string script = "answer(" + inner.substr(0, comma) + "," + inner.substr(comma + 1) + ")";
    webkit_web_view_evaluate_javascript(gFix.baseline, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void onDone(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer) { gDone = true; }

WebKitWebView* launchBaseline() {
    gDone = false;
    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(manager, "echo");
    webkit_user_content_manager_register_script_message_handler(manager, "done");
    g_signal_connect(manager, "script-message-received::echo", G_CALLBACK(onEcho), nullptr);
    g_signal_connect(manager, "script-message-received::done", G_CALLBACK(onDone), nullptr);
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(manager));
    g_object_unref(manager);
    g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer) {
                         if (e == WEBKIT_LOAD_FINISHED) gDone = true;
                     }),
                     nullptr);
    show(GTK_WIDGET(view));
    std::string uri = "file://" + gFix.dir + "/baseline/index.html";
    webkit_web_view_load_uri(view, uri.c_str());
    wait();
    return view;
}

void runBaseline(const char* script) {
    gDone = false;
    webkit_web_view_evaluate_javascript(gFix.baseline, script, -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    wait();
}

// --- Benchmarks ---

std::map<std::string, double> gMean;

template <class F>
void measure(benchmark::State& state, const std::string& name, F&& body) {
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        body();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    gMean[name] = total / static_cast<double>(state.iterations());
}

void BM_Sequential_Wharf(benchmark::State& s) { measure(s, "seq/wharf", [] { runWharf("seq(1000)"); }); }
void BM_Sequential_Baseline(benchmark::State& s) { measure(s, "seq/base", [] { runBaseline("seq(1000)"); }); }
void BM_Burst_Wharf(benchmark::State& s) { measure(s, "burst/wharf", [] { runWharf("burst(1000)"); }); }
void BM_Burst_Baseline(benchmark::State& s) { measure(s, "burst/base", [] { runBaseline("burst(1000)"); }); }
void BM_Launch_Wharf(benchmark::State& s) {
    measure(s, "launch/wharf", [] { launchWharf(); });
}
void BM_Launch_Baseline(benchmark::State& s) {
    measure(s, "launch/base", [] {
        WebKitWebView* view = launchBaseline();
        (void)view;
    });
}

BENCHMARK(BM_Sequential_Wharf)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sequential_Baseline)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Burst_Wharf)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Burst_Baseline)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Launch_Wharf)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Launch_Baseline)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void writeBundle() {
    char tmpl[] = "/tmp/wharf-bench-XXXXXX";
    gFix.dir = mkdtemp(tmpl);
    fs::create_directories(gFix.dir + "/bundle/www");
    fs::create_directories(gFix.dir + "/baseline");
    fs::create_directories(gFix.dir + "/home");
    auto write = [](const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    write(gFix.dir + "/bundle/Info.plist",
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
          "<string>org.wharf.bench</string></dict></plist>");
    write(gFix.dir + "/bundle/config.xml",
          "<widget><content src=\"index.html\"/><feature name=\"BenchEcho\">"
          "<param name=\"ios-package\" value=\"BenchEcho\"/></feature></widget>");
    write(gFix.dir + "/bundle/www/index.html", kWharfPage);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", gFix.dir + "/bundle/www/wharf.js");
    write(gFix.dir + "/baseline/index.html", kBaselinePage);
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::initDisplay(argc, argv)) return 0;
    platform::RunLoop::initMainThread();
    platform::setLogToStderr(false);
    writeBundle();
    platform::Container::setHome(gFix.dir + "/home");
    platform::Bundle::setMainBundle(platform::Bundle::open(gFix.dir + "/bundle"));
    WFRegisterPluginClass<BenchEcho>("BenchEcho");
    WFUIWebViewEngine::registerClass();
    WFUIWebViewEngine::setWebViewFactory([](WFRect) { return platform::createWebKitWebView(); });
    WFUserAgentUtil::setUserAgentProvider([] { return platform::webKitDefaultUserAgent(); });
    gFix.window = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(gFix.window), 800, 600);

    // Round trips run on one loaded page of each kind.
    gFix.controller = launchWharf();
    GtkWidget* wharfWidget = gFix.controller->webView()->widget();
    g_object_ref(wharfWidget);
    gFix.baseline = launchBaseline();
    g_object_ref(gFix.baseline);
    show(wharfWidget);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto ratio = [](const char* what, const std::string& key) {
        double w = gMean[key + "/wharf"], b = gMean[key + "/base"];
        if (w > 0 && b > 0)
            std::printf("ratio %-38s wharf %.1f ms / baseline %.1f ms = %.2f\n", what, w * 1e3, b * 1e3, w / b);
    };
    ratio("1,000 sequential calls:", "seq");
    ratio("burst of 1,000 calls:", "burst");
    ratio("launch to page loaded:", "launch");
    std::error_code ec;
    fs::remove_all(gFix.dir, ec);
    return 0;
}
