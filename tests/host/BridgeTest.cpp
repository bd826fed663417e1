// The whole bridge: the page's real bridge script, run by JavaScriptCore,
// calling plug-ins through the host's view controller, engine, navigation
// delegate, command queue and command delegate.
#include <gtest/gtest.h>

#include <semaphore>
#include <thread>

#include "JSPageWebView.h"
#include "ViewControllerFixture.h"
#include "host/WFCommandDelegate.h"
#include "host/WFCommandQueue.h"
#include "platform/base/Clock.h"

namespace wharf::test {
namespace {

using platform::Value;

JSPageWebView* gPage = nullptr;
// The command queue's clock: it ends a run of commands after a slice of time,
// which each call here takes a tenth of a millisecond of, however busy the machine.
std::shared_ptr<platform::ManualClock> gClock;

// Actions: "echo" answers with its argument and notes whether it ran inside
// the completion of an evaluation (a batch parsed at once) or not; "ordered"
// answers, then has the page run a script through the engine and one through
// the command delegate; "fromThread" sends a result, a script and a result
// from another thread.
class Probe : public WFPlugin {
public:
    static const WFActionTable& actions() {
        static const WFActionTable table = WFMakeActionTable<Probe>(
            {{"echo", &Probe::echo}, {"ordered", &Probe::ordered}, {"fromThread", &Probe::fromThread}});
        return table;
    }
    const WFActionTable& actionTable() const override { return actions(); }

    void echo(const WFInvokedUrlCommand& command) {
        gClock->advance(std::chrono::microseconds(100));
        const Value argument = command.argumentAtIndex(0);
        calls.push_back(argument.is_string() ? argument.get<std::string>() : argument.dump());
        ranInsideCompletion.push_back(gPage && gPage->insideCompletion());
        commandDelegate()->sendPluginResult(WFPluginResult(static_cast<int>(WFResultStatus::OK), argument),
                                            command.callbackId());
    }
    void ordered(const WFInvokedUrlCommand& command) {
        commandDelegate()->sendPluginResult(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, "cb"),
                                            command.callbackId());
        webViewEngine()->evaluateJavaScript("report.order.push('engine')", nullptr);
        commandDelegate()->evalJs("report.order.push('evalJs')");
    }
    void fromThread(const WFInvokedUrlCommand& command) {
        auto delegate = commandDelegate();
        const auto& id = command.callbackId();
        std::thread([delegate, id] {
            auto result = [&](const char* text) {
                auto r = WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, text);
                r.setKeepCallbackAsBool(true);
                delegate->sendPluginResult(r, id);
            };
            result("first");
            delegate->evalJs("report.order.push('script')");
            result("second");
        }).join();
    }

    static inline std::vector<std::string> calls;
    static inline std::vector<bool> ranInsideCompletion;
};

// The page's own code: cases the tests start, results in `report`.
constexpr const char* kPageScript = R"(
var exec = wharf.require('wharf/exec');
var report = { order: [] };
function call(v) { return new Promise(function (ok, no) { exec(ok, no, 'Probe', 'echo', [v]); }); }

function awaited(n) {
  (async function () {
    var got = [];
    for (var i = 0; i < n; i++) got.push(await call('a' + i));
    report.awaited = got.join(',');
  })();
}

function chained(n) {
  var got = [];
  (function next(i) {
    if (i === n) { report.chained = got.join(','); return; }
    exec(function (v) { got.push(v); next(i + 1); }, null, 'Probe', 'echo', ['c' + i]);
  })(0);
}

function burst(n) {
  var order = [], right = 0;
  for (var i = 0; i < n; i++) (function (i) {
    exec(function (v) {
      order.push(i);
      if (v === 'b' + i) right++;
      if (order.length === n) report.burst = { order: order.join(','), right: right };
    }, null, 'Probe', 'echo', ['b' + i]);
  })(i);
}

// Four answers in one delivery: the second callback throws, the third breaks
// the bridge's dispatcher itself, the fourth calls again from inside.
function throwing() {
  var seen = report.seen = [];
  var dispatch = exec.nativeCallback;
  exec.nativeCallback = function (id, status, message) {
    if (message === 'boom') throw new Error('dispatcher broken');
    return dispatch.apply(this, arguments);
  };
  exec(function (v) { seen.push(v); }, null, 'Probe', 'echo', ['one']);
  exec(function (v) { seen.push(v); throw new Error('page bug'); }, null, 'Probe', 'echo', ['two']);
  exec(function (v) { seen.push(v); }, null, 'Probe', 'echo', ['boom']);
  exec(function (v) {
    seen.push(v);
    exec(function (w) { seen.push(w); exec.nativeCallback = dispatch; }, null, 'Probe', 'echo', ['again']);
  }, null, 'Probe', 'echo', ['four']);
}

// Three answers in one delivery; each callback and each promise continuation
// notes itself, the second callback calls from inside, the first continuation too.
function interleave() {
  var log = report.order;
  ['x', 'y', 'z'].forEach(function (v) {
    new Promise(function (ok) {
      exec(function (r) {
        log.push('cb ' + r);
        if (r === 'y') exec(function (w) { log.push('cb ' + w); }, null, 'Probe', 'echo', ['from callback']);
        ok(r);
      }, null, 'Probe', 'echo', [v]);
    }).then(function (r) {
      log.push('then ' + r);
      if (r === 'x') exec(function (w) { log.push('cb ' + w); }, null, 'Probe', 'echo', ['from continuation']);
    });
  });
}
)";

class BridgeTest : public ViewControllerFixture {
protected:
    void SetUp() override {
        ViewControllerFixture::SetUp();
        gClock = std::make_shared<platform::ManualClock>();
        platform::Clock::setShared(gClock);
        WFRegisterPluginClass<Probe>("Probe");
        Probe::calls.clear();
        Probe::ranInsideCompletion.clear();
        WFUIWebViewEngine::setWebViewFactory([this](WFRect) {
            auto view = std::make_shared<JSPageWebView>(
                std::vector<std::string>{readFile(std::string(WHARF_DEMO_WWW) + "/wharf.js"), kPageScript});
            page = view.get();
            gPage = page;
            return view;
        });
        writeBundle(R"(<feature name="Probe"><param name="ios-package" value="Probe" /></feature>)");
        controller = loaded();
        ASSERT_TRUE(platform::RunLoop::pumpUntil([&] { return page->run("typeof report") == "object"; }));
    }
    void TearDown() override {
        controller.reset();
        gPage = nullptr;
        platform::Clock::setShared(nullptr);
        ViewControllerFixture::TearDown();
    }

    // Runs `script` in the page and waits until `until` (a page expression) is true.
    bool runUntil(const std::string& script, const std::string& until) {
        page->run(script);
        return platform::RunLoop::pumpUntil([&] { return page->run("!!(" + until + ")") == "true"; },
                                            std::chrono::seconds(30));
    }
    std::size_t evaluationsWith(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& script : page->evaluated()) n += script.find(text) != std::string::npos;
        return n;
    }
    static std::string sequence(const char* prefix, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += (i ? "," : "") + std::string(prefix) + std::to_string(i);
        return text;
    }

    JSPageWebView* page = nullptr;
    std::shared_ptr<WFViewController> controller;
};

// A call made in a callback goes back with that callback's evaluation, and so
// does one made in its promise continuation (an awaited call): one navigation
// for the first call, then one evaluation per call.
TEST_F(BridgeTest, CallsInARowTakeOneEvaluationEach) {
    ASSERT_TRUE(runUntil("awaited(1000)", "report.awaited")) << page->run("report.awaited");
    EXPECT_EQ(page->run("report.awaited"), sequence("a", 1000));
    EXPECT_EQ(Probe::calls.size(), 1000u);
    EXPECT_EQ(Probe::calls.back(), "a999");
    EXPECT_EQ(page->signals(), 1);
    EXPECT_EQ(page->evaluated().size(), 1001u);
    // Small batches are parsed at once, in the completion that brought them.
    EXPECT_EQ(std::count(Probe::ranInsideCompletion.begin(), Probe::ranInsideCompletion.end(), true), 1000);

    ASSERT_TRUE(runUntil("chained(1000)", "report.chained"));
    EXPECT_EQ(page->run("report.chained"), sequence("c", 1000));
    EXPECT_EQ(page->signals(), 2);
    EXPECT_EQ(page->evaluated().size(), 2002u);
}

// The page's own code may call the dispatcher or read its answer. A call is
// then neither stranded (the answer never read: a navigation once the wait
// for the host is over) nor taken from the host (the answer read first by the
// page, after the promise continuations).
TEST_F(BridgeTest, PageCodeHandlingTheAnswerLosesNoCall) {
    page->run("exec.nativeCallback('none', 1, 0, 0, 0); 0");
    ASSERT_TRUE(runUntil("exec(function (v) { report.late = v; }, null, 'Probe', 'echo', ['late'])", "report.late"));
    EXPECT_EQ(page->signals(), 1);

    page->run(R"(var dispatch = exec.nativeCallback;
      exec.nativeCallback = function () {
        var answer = dispatch.apply(this, arguments);
        Promise.resolve().then(function () { report.peeked = report.peeked || String(answer); });
        return answer;
      })");
    ASSERT_TRUE(runUntil("(async function () { report.both = await call('first') + ',' + await call('second'); })()",
                         "report.both"));
    EXPECT_EQ(page->run("report.both"), "first,second");
    EXPECT_NE(page->run("report.peeked").find("second"), std::string::npos);
}

// A burst is one batch (over 4096 characters: parsed in the background), run
// in slices that let the main loop go on, and its answers go back in a
// handful of evaluations, in order.
TEST_F(BridgeTest, ABurstOfAThousandArrivesInOrderInAFewEvaluations) {
    // The parse is held back: the main loop goes on, and nothing runs until it is done.
    auto parse = platform::dispatch::createSerialQueue("test.parse");
    std::binary_semaphore gate{0};
    parse->async([&gate] { gate.acquire(); });
    controller->commandQueue()->setParseQueue(parse);
    page->run("burst(1000)");
    ASSERT_TRUE(platform::RunLoop::pumpUntil([&] { return evaluationsWith("nativeFetchMessages") > 0; }));
    platform::RunLoop::pumpFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(Probe::calls.empty()) << "a call ran before its batch was parsed";
    gate.release();
    ASSERT_TRUE(runUntil("0", "report.burst"));
    EXPECT_EQ(page->run("report.burst.order"), sequence("", 1000));
    EXPECT_EQ(page->run("report.burst.right"), "1000");
    EXPECT_EQ(page->signals(), 1);
    EXPECT_GT(evaluationsWith("nativeCallback("), 1u);
    EXPECT_LT(evaluationsWith("nativeCallback("), 100u);
    ASSERT_FALSE(Probe::ranInsideCompletion.empty());
    EXPECT_FALSE(Probe::ranInsideCompletion.front());
}

// Results delivered together travel as data inside one script: quotes,
// backslashes, the line and paragraph separators and text that looks like the
// script's own end all arrive as they were sent.
TEST_F(BridgeTest, ResultsDeliveredTogetherArriveAsSent) {
    page->run(R"js((function () {
      var values = ["it's", "back\\slash \\' \\\\", "line\u2028para\u2029end", 'quote " and \n newline',
                    "caf\u00e9 \ud83d\ude00", {"a'": ["\\", 1.5, -3, true, null]}, "'))", "\\u2028"];
      var got = new Array(values.length), left = values.length;
      values.forEach(function (v, i) {
        exec(function (r) {
          got[i] = r;
          if (--left === 0) report.tricky = JSON.stringify(got) === JSON.stringify(values) ? 'same' : JSON.stringify(got);
        }, null, 'Probe', 'echo', [v]);
      });
    })())js");
    ASSERT_TRUE(runUntil("0", "report.tricky"));
    EXPECT_EQ(page->run("report.tricky"), "same");
    EXPECT_EQ(evaluationsWith("nativeCallback("), 1u) << "the results did not go together";
}

TEST_F(BridgeTest, ACallbackThatThrowsDoesNotStopTheOthers) {
    ASSERT_TRUE(runUntil("throwing()", "report.seen.length === 4"));
    // The call made inside the fourth callback came back with that delivery.
    EXPECT_EQ(page->run("report.seen.join(',')"), "one,two,four,again");
    EXPECT_EQ(Probe::calls, (std::vector<std::string>{"one", "two", "boom", "four", "again"}));
    auto logged = [&](const std::string& text) {
        for (const auto& line : page->console())
            if (line.find(text) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(logged("Error: page bug"));
    EXPECT_TRUE(logged("exception nativeCallback : Error: dispatcher broken"));
}

// The callbacks of one delivery run in order, then their promise
// continuations, in order (as for callbacks delivered in one task). Calls
// reach the host in the order the page made them, and all are answered.
TEST_F(BridgeTest, GroupedCallbacksRunBeforeTheirContinuationsAndCallsFromEitherAreAnswered) {
    ASSERT_TRUE(runUntil("interleave()", "report.order.length === 8"));
    EXPECT_EQ(page->run("report.order.join('|')"),
              "cb x|cb y|cb z|then x|then y|then z|cb from callback|cb from continuation");
    EXPECT_EQ(Probe::calls, (std::vector<std::string>{"x", "y", "z", "from callback", "from continuation"}));
    EXPECT_EQ(page->signals(), 1);
}

// Scripts reach the page in the order they were sent: a result held for the
// end of the run goes before a script sent after it, whether the script goes
// straight to the engine or through the command delegate, and results and
// scripts sent from another thread keep their order.
TEST_F(BridgeTest, ScriptsReachThePageInTheOrderTheyWereSent) {
    ASSERT_TRUE(runUntil("exec(function (v) { report.order.push(v); }, null, 'Probe', 'ordered', [])",
                         "report.order.length === 3"));
    EXPECT_EQ(page->run("report.order.join('|')"), "cb|engine|evalJs");

    page->run("report.order = []");
    ASSERT_TRUE(runUntil("exec(function (v) { report.order.push(v); }, null, 'Probe', 'fromThread', [])",
                         "report.order.length === 3"));
    EXPECT_EQ(page->run("report.order.join('|')"), "first|script|second");
}

}  // namespace
}  // namespace wharf::test
