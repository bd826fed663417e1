// Results go back to the page as callback scripts, on the main thread. (The
// page's side of delivery and ordering is in BridgeTest.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "HostTestSupport.h"
#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"

namespace wharf::test {
namespace {

using platform::RunLoop;
using testing::FakeViewController;
using testing::FakeWebViewEngine;

class CommandDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller = FakeViewController::create();
        plugin = std::make_shared<RecordingPlugin>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "Rec");
    }
    WFCommandDelegateImpl& delegate() { return *controller->delegate(); }
    FakeWebViewEngine& engine() { return *controller->engine(); }
    std::vector<std::string> callbacks() { return engine().callbackScripts(); }

    std::shared_ptr<FakeViewController> controller;
    std::shared_ptr<RecordingPlugin> plugin;
};

TEST_F(CommandDelegateTest, CallbackScriptHasExactForm) {
    delegate().sendPluginResult(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, "ok"), "Dev1");
    EXPECT_TRUE(callbacks().empty());  // not on the run loop yet
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !callbacks().empty(); }));
    EXPECT_EQ(callbacks(),
              std::vector<std::string>{"wharf.require('wharf/exec').nativeCallback('Dev1',1,\"ok\",0, 0)"});

    auto keep = WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::Error, true);
    keep.setKeepCallbackAsBool(true);
    delegate().sendPluginResult(keep, "x.y_z-1");
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return callbacks().size() == 2; }));
    EXPECT_EQ(callbacks()[1], "wharf.require('wharf/exec').nativeCallback('x.y_z-1',9,true,1, 0)");
}

TEST_F(CommandDelegateTest, CallbackIdValidation) {
    EXPECT_TRUE(delegate().isValidCallbackId(std::string(100, 'a')));
    EXPECT_FALSE(delegate().isValidCallbackId(std::string(101, 'a')));
    EXPECT_FALSE(delegate().isValidCallbackId(std::string("a b")));
    EXPECT_FALSE(delegate().isValidCallbackId(std::string("a'b")));
    EXPECT_FALSE(delegate().isValidCallbackId(std::string("a\"b")));
    EXPECT_FALSE(delegate().isValidCallbackId(std::string("caf\xC3\xA9")));
    EXPECT_TRUE(delegate().isValidCallbackId(std::string()));
    EXPECT_FALSE(delegate().isValidCallbackId(std::nullopt));

    platform::LogCapture log;
    const auto ok = WFPluginResult::resultWithStatus(WFResultStatus::OK);
    for (const std::optional<std::string>& id :
         {std::optional<std::string>(std::string(101, 'a')), std::optional<std::string>("a b"),
          std::optional<std::string>("');alert(1);('"), std::optional<std::string>()})
        delegate().sendPluginResult(ok, id);
    delegate().sendPluginResult(ok, std::string("INVALID"));  // dropped silently
    delegate().sendPluginResult(ok, std::string());  // delivered
    delegate().sendPluginResult(ok, std::string(100, 'a'));  // delivered
    RunLoop::pumpUntil([&] { return callbacks().size() == 2; });
    EXPECT_EQ(log.count("Invalid callback id received by sendPluginResult"), 4u);
    ASSERT_EQ(callbacks().size(), 2u);
    EXPECT_EQ(callbacks()[0], "wharf.require('wharf/exec').nativeCallback('',1,null,0, 0)");
}

TEST_F(CommandDelegateTest, ResultFromBackgroundThreadIsEvaluatedOnMainThreadLater) {
    std::thread worker([&] {
        delegate().sendPluginResult(WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, 42), "bg1");
    });
    worker.join();
    EXPECT_TRUE(callbacks().empty());
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !callbacks().empty(); }));
    EXPECT_EQ(callbacks()[0], "wharf.require('wharf/exec').nativeCallback('bg1',1,42,0, 0)");
    EXPECT_TRUE(engine().allEvaluationsOnMainThread());
}

TEST_F(CommandDelegateTest, DelayedFlushDefersResultsToRunLoop) {
    auto& queue = *controller->queue();
    queue.enqueueCommandBatch(batch({entry("e1", "Rec", "echo", "[\"one\"]")}));
    delegate().flushCommandQueueWithDelayedJs();
    EXPECT_EQ(plugin->calls.size(), 1u);
    EXPECT_TRUE(callbacks().empty());
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return callbacks().size() == 1; }));
}

TEST_F(CommandDelegateTest, StringReturnedByEvaluationIsExecutedAsBatch) {
    engine().queueAnswer(batch({entry("n", "Rec", "record", "[\"next\"]")}));
    delegate().evalJs("doSomething()");
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !plugin->calls.empty(); }));
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"next"});
    EXPECT_EQ(engine().evaluatedScripts()[0],
              "try{wharf.require('wharf/exec').nativeEvalAndFetch(function(){doSomething()})}catch(e){console.log("
              "'exception nativeEvalAndFetch : '+e);};");
}

TEST_F(CommandDelegateTest, UnscheduledEvalRunsAtOnceWithImmediateEngine) {
    engine().setCompletion(FakeWebViewEngine::Completion::Immediate);
    engine().queueAnswer(batch({entry("n", "Rec", "record", "[\"now\"]")}));
    delegate().evalJs("x()", false);
    EXPECT_EQ(engine().evaluatedScripts().size(), 1u);
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"now"});
}

TEST_F(CommandDelegateTest, UnscheduledEvalFromABackgroundThreadReachesTheEngineOnTheMainThread) {
    std::thread worker([&] { delegate().evalJs("fromWorker()", false); });
    worker.join();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return engine().evaluatedScripts().size() == 1; }));
    EXPECT_NE(engine().evaluatedScripts()[0].find("fromWorker()"), std::string::npos);
    EXPECT_TRUE(engine().allEvaluationsOnMainThread());
}

TEST_F(CommandDelegateTest, ForwardsLookupsAndRunsBackgroundWork) {
    controller->mutableSettings()["errorurl"] = "e.html";
    EXPECT_EQ(delegate().settings()["errorurl"], "e.html");
    EXPECT_EQ(delegate().userAgent(), "FakeAgent/1.0");
    EXPECT_EQ(delegate().getCommandInstance("rEc"), plugin);
    EXPECT_FALSE(delegate().getCommandInstance("nope"));

    std::atomic<bool> ran{false};
    std::atomic<bool> onMain{true};
    delegate().runInBackground([&] {
        onMain = RunLoop::isMainThread();
        ran = true;
    });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return ran.load(); }));
    EXPECT_FALSE(onMain.load());
}

TEST_F(CommandDelegateTest, PathForResourceInsideWebFolder) {
    TempDir bundleDir;
    writeFile(bundleDir.file("Info.plist"), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict></dict></plist>");
    std::filesystem::create_directories(bundleDir.file("www/sub"));
    writeFile(bundleDir.file("www/index.html"), "x");
    writeFile(bundleDir.file("www/sub/page.html"), "y");
    writeFile(bundleDir.file("secret.txt"), "z");
    auto previous = platform::Bundle::mainBundle();
    platform::Bundle::setMainBundle(platform::Bundle::open(bundleDir.path()));

    EXPECT_EQ(delegate().pathForResource("index.html"), bundleDir.file("www/index.html"));
    auto sub = delegate().pathForResource("sub/page.html");
    ASSERT_TRUE(sub);
    EXPECT_EQ(std::filesystem::canonical(*sub), std::filesystem::canonical(bundleDir.file("www/sub/page.html")));
    EXPECT_FALSE(delegate().pathForResource("missing.html"));
    EXPECT_FALSE(delegate().pathForResource("../secret.txt"));

    platform::Bundle::setMainBundle(previous);
}

}  // namespace
}  // namespace wharf::test
