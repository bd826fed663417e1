#pragma once
// What the two bridge benchmarks share: the plug-in the pages call, the pages,
// their bundle, and the summary of the alternating rounds.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "AppBenchLines.h"
#include "host/WFCommandDelegate.h"
#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/base/Value.h"

namespace wharf::bench {

// `echo` answers its argument at once; `done` hands the page's verdict (or its
// report) to the benchmark.
class BenchEcho : public WFPlugin {
public:
    // What `done` was called with; set before the page runs.
    static std::function<void(const platform::Value&)>& onDone() {
        static std::function<void(const platform::Value&)> hook;
        return hook;
    }
    static void registerClass() { WFRegisterPluginClass<BenchEcho>("BenchEcho"); }
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
        if (onDone()) onDone()(command.argumentAtIndex(0));
    }
};

// The same cases on both pages. Each page defines `call(v, answer)`, its route
// to the echo, and `finish(ok)`.
inline constexpr const char* kCases = R"(
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

// The Wharf page's route: the bundle's own bridge script (wharf.js).
inline constexpr const char* kWharfRoute = R"(
var exec = wharf.require('wharf/exec');
function call(v, answer) { exec(answer, null, 'BenchEcho', 'echo', [v]); }
function report(v) { exec(null, null, 'BenchEcho', 'done', [v]); }
)";

// The plain route any WebKitGTK application can take: a script message
// handler for the call, one evaluated script `answer(id, v)` for the answer.
inline constexpr const char* kPlainRoute = R"(
var pending = {}, nextId = 0;
function call(v, answer) { var id = nextId++; pending[id] = answer; window.webkit.messageHandlers.echo.postMessage(JSON.stringify([id, v])); }
function answer(id, v) { var cb = pending[id]; delete pending[id]; cb(v); }
function report(v) { window.webkit.messageHandlers.done.postMessage(v); }
)";

// A page of `head` (scripts it loads), the route and the cases, plus `tail`.
inline std::string benchPage(const std::string& head, const char* route, const std::string& tail) {
    return R"(<!DOCTYPE html><html><head><meta charset="utf-8">)" + head + "</head><body>\n<script>\n" + route +
           kCases + tail + "</script></body></html>";
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory holding the Wharf side's bundle (`bundle/`, whose page
// loads the bridge script `wharfJs`) and the plain side's page
// (`plain/index.html`).
inline std::string writeBenchBundles(const std::string& wharfPage, const std::string& plainPage,
                                     const std::string& wharfJs) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/wharf-bench-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) return {};
    std::string dir = made;
    fs::create_directories(dir + "/bundle/www");
    fs::create_directories(dir + "/plain");
    writeText(dir + "/bundle/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
              "<string>org.wharf.bench</string></dict></plist>");
    writeText(dir + "/bundle/config.xml", "<widget><content src=\"index.html\"/><feature name=\"BenchEcho\">"
                                          "<param name=\"ios-package\" value=\"BenchEcho\"/></feature></widget>");
    writeText(dir + "/bundle/www/index.html", wharfPage);
    fs::copy_file(wharfJs, dir + "/bundle/www/wharf.js");
    writeText(dir + "/plain/index.html", plainPage);
    return dir;
}

// The ratio of Wharf's time to the plain route's, one per round.
struct Ratios {
    const char* label;
    std::vector<double> values;
    void add(double wharf, double plain) {
        if (wharf > 0 && plain > 0) values.push_back(wharf / plain);
    }
    void print() {
        if (values.empty()) {
            std::printf("ratio %-36s no complete round\n", label);
            return;
        }
        std::sort(values.begin(), values.end());
        std::printf("ratio %-36s min %.2f  median %.2f  max %.2f  (%zu rounds)\n", label, values.front(),
                    values[values.size() / 2], values.back(), values.size());
    }
};

}  // namespace wharf::bench
