// Fetch events through the manager and the plug-in: the combined result, the
// misuse warnings, an event displaced by the next one, the launch into the
// background with its boot buffer, and switching fetching off.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "SentResults.h"
#include "TestSupport.h"
#include "host/testing/FakeViewController.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "plugins/background-fetch/BackgroundFetchManager.h"
#include "plugins/background-fetch/WFBackgroundFetch.h"

namespace wharf {
namespace {

using namespace platform;
using namespace std::chrono_literals;

// The completion handler the platform hands out, recording each call.
struct Handler {
    std::vector<UIBackgroundFetchResult> calls;
    BackgroundFetchManager::CompletionHandler get() {
        return [this](UIBackgroundFetchResult result) { calls.push_back(result); };
    }
};

class BackgroundFetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application::shared().resetForTesting();
        UserDefaults::resetStandard();
    }
    void TearDown() override {
        Application::shared().resetForTesting();
        UserDefaults::resetStandard();
    }
    double interval() const { return Application::shared().minimumBackgroundFetchInterval(); }

    test::TempHome home;
};

TEST_F(BackgroundFetchTest, AnswersCombineFailedOverNewDataOverNoData) {
    struct Case {
        unsigned long a, b;
        UIBackgroundFetchResult combined;
    };
    for (const Case& c : {Case{0, 2, UIBackgroundFetchResult::Failed}, Case{2, 1, UIBackgroundFetchResult::Failed},
                          Case{0, 1, UIBackgroundFetchResult::NewData}, Case{1, 1, UIBackgroundFetchResult::NoData}}) {
        BackgroundFetchManager manager;
        int heardA = 0, heardB = 0;
        manager.addListener("a", [&] { ++heardA; });
        manager.addListener("b", [&] { ++heardB; });
        Handler handler;
        LogCapture log;
        manager.performFetchWithCompletionHandler(handler.get());
        EXPECT_EQ(heardA + heardB, 2);
        EXPECT_TRUE(manager.active());
        manager.finish("a", c.a);
        EXPECT_TRUE(handler.calls.empty()) << "waits for every listener";
        manager.finish("b", c.b);
        ASSERT_EQ(handler.calls.size(), 1u);
        EXPECT_EQ(handler.calls[0], c.combined);
        EXPECT_FALSE(manager.active());
        EXPECT_TRUE(log.contains("- BackgroundFetchManager Complete, UIBackgroundFetchResult: " +
                                 std::to_string(static_cast<unsigned long>(c.combined)) + ", responses: 2"));
    }
}

TEST_F(BackgroundFetchTest, MisusedFinishIsWarnedAndIgnored) {
    BackgroundFetchManager manager;
    LogCapture log;
    manager.finish("a", 0);
    EXPECT_TRUE(log.contains(
        "- BackgroundFetchManager WARNING: completionHandler is nil.  No fetch event to finish.  Ignored"));

    // In the foreground with nobody listening, an event is over at once.
    Handler none;
    manager.performFetchWithCompletionHandler(none.get());
    EXPECT_EQ(none.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NoData});
    EXPECT_FALSE(manager.active());

    manager.addListener("a", [] {});
    manager.addListener("b", [] {});
    Handler handler;
    manager.performFetchWithCompletionHandler(handler.get());
    manager.finish("a", 0);
    manager.finish("a", 2);
    EXPECT_TRUE(log.contains("- BackgroundFetchManager WARNING: finish already called for a.  Ignored"));
    manager.finish("stranger", 2);
    EXPECT_TRUE(log.contains("- BackgroundFetchManager WARNING: no listener found to finish for stranger.  Ignored"));
    manager.finish("b", 1);
    EXPECT_EQ(handler.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NewData});
}

TEST_F(BackgroundFetchTest, ANewEventCompletesTheOneItDisplacesWithWhatWasAnswered) {
    BackgroundFetchManager manager;
    manager.addListener("a", [] {});
    manager.addListener("b", [] {});
    Handler first, second;
    manager.performFetchWithCompletionHandler(first.get());
    manager.finish("a", 0);
    manager.performFetchWithCompletionHandler(second.get());
    EXPECT_EQ(first.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NewData});
    EXPECT_TRUE(second.calls.empty());
    // The new event starts with no answers: "a" may answer it again.
    manager.finish("a", 1);
    manager.finish("b", 1);
    EXPECT_EQ(second.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NoData});
    EXPECT_EQ(first.calls.size(), 1u);
}

TEST_F(BackgroundFetchTest, LaunchIntoTheBackgroundWaitsForTheListenerAndTheBootBuffer) {
    UserDefaults::standard().setObject(Value{{"stopOnTerminate", false}}, BackgroundFetchManager::kDefaultsKey);
    Application::shared().setState(ApplicationState::Background);
    // However long the platform gives the event, the others wait the boot
    // buffer only (a wait up to the limit would outlast the test's wait).
    Application::shared().setBackgroundFetchTimeLimit(std::chrono::hours(1));
    BackgroundFetchManager manager(30ms);
    EXPECT_TRUE(manager.launchedInBackground()) << "known at once, not a main-loop turn later";
    ASSERT_TRUE(manager.start());

    Handler handler;
    manager.performFetchWithCompletionHandler(handler.get());
    EXPECT_TRUE(handler.calls.empty()) << "no listener yet: the event stays open";
    EXPECT_FALSE(manager.stopOnTerminate()) << "the stored configuration applies before the page configures";

    // A listener that comes late is called once, off the main thread.
    std::atomic<int> calls{0};
    std::atomic<bool> onMain{true};
    manager.addListener("page", [&] {
        onMain = RunLoop::isMainThread();
        ++calls;
    });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return calls == 1; }));
    EXPECT_FALSE(onMain);

    manager.finish("page", 0);
    EXPECT_TRUE(handler.calls.empty()) << "the others get the boot buffer to answer";
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !handler.calls.empty(); }));
    EXPECT_EQ(handler.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NewData});
    EXPECT_FALSE(manager.launchedInBackground());
    EXPECT_EQ(interval(), UIApplicationBackgroundFetchIntervalMinimum) << "stopOnTerminate is off";

    // Later events are ordinary: answered at once, no buffer.
    Handler next;
    manager.performFetchWithCompletionHandler(next.get());
    manager.finish("page", 1);
    EXPECT_EQ(next.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NoData});
    RunLoop::pumpFor(10ms);
    EXPECT_EQ(calls, 2);
}

// Woken for a fetch, the page finishes 26 s into the 30 s the platform gives
// it (here a tenth of each, and of the boot buffer): the fetch completes with
// the page's result within the limit, as no failure.
TEST_F(BackgroundFetchTest, AFetchThePageFinishedInTimeCompletesWithItsResultWithinTheLimit) {
    Application::shared().setState(ApplicationState::Background);
    BackgroundFetchManager manager(500ms);
    struct Waking : ApplicationDelegate {
        explicit Waking(BackgroundFetchManager& m) : manager(m) {}
        bool respondsToPerformFetch() const override { return true; }
        void applicationPerformFetchWithCompletionHandler(BackgroundFetchCompletionHandler handler) override {
            manager.performFetchWithCompletionHandler(std::move(handler));
        }
        BackgroundFetchManager& manager;
    } waking(manager);
    Application::shared().setDelegate(&waking);
    Application::shared().setBackgroundFetchTimeLimit(3s);
    int expired = 0;
    Application::shared().setBackgroundFetchExpirationHandler([&] { ++expired; });
    manager.addListener("page", [] {});
    LogCapture log;

    const auto woken = std::chrono::steady_clock::now();
    Application::shared().performBackgroundFetch();
    RunLoop::pumpFor(2600ms);
    manager.finish("page", static_cast<unsigned long>(UIBackgroundFetchResult::NewData));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !manager.active(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - woken, 3s);
    RunLoop::pumpUntil([&] { return std::chrono::steady_clock::now() - woken > 3500ms; });  // past the limit
    EXPECT_TRUE(log.contains("- BackgroundFetchManager Complete, UIBackgroundFetchResult: 0, responses: 1"));
    EXPECT_FALSE(log.contains("Background fetch not completed"));
    EXPECT_EQ(expired, 0);
    Application::shared().setDelegate(nullptr);
}

TEST_F(BackgroundFetchTest, StopOnTerminateSwitchesFetchingOff) {
    Application::shared().setState(ApplicationState::Background);
    {
        BackgroundFetchManager manager(1ms);
        manager.start();
        manager.addListener("page", [] {});
        Handler handler;
        manager.performFetchWithCompletionHandler(handler.get());
        manager.finish("page", 0);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return !handler.calls.empty(); }));
        EXPECT_EQ(interval(), UIApplicationBackgroundFetchIntervalNever) << "after the event that launched it";
    }
    BackgroundFetchManager manager;
    manager.start();
    manager.configure(Value{{"stopOnTerminate", false}});
    manager.configure(Value{{"minimumFetchInterval", 15}});  // leaves stopOnTerminate as it was
    Application::shared().postWillTerminate();
    EXPECT_EQ(interval(), UIApplicationBackgroundFetchIntervalMinimum);
    manager.configure(Value{{"stopOnTerminate", true}});
    Application::shared().postWillTerminate();
    EXPECT_EQ(interval(), UIApplicationBackgroundFetchIntervalNever);
}

class BackgroundFetchPluginTest : public BackgroundFetchTest {
protected:
    void SetUp() override {
        BackgroundFetchTest::SetUp();
        controller = testing::FakeViewController::create();
        plugin = std::make_shared<WFBackgroundFetch>();
        plugin->initWithWebViewEngine(controller->engine());
        plugin->setManager(&manager);
        controller->registerPlugin(plugin, "BackgroundFetch");
    }
    void call(void (WFBackgroundFetch::*action)(const WFInvokedUrlCommand&), const std::string& callbackId,
              Value arguments = Value::array()) {
        ((*plugin).*action)(WFInvokedUrlCommand(std::move(arguments), callbackId, "WFBackgroundFetch", "x"));
    }
    std::vector<test::SentResult> results(std::size_t count) {
        return test::waitForResults(*controller->engine(), count);
    }

    BackgroundFetchManager manager;
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFBackgroundFetch> plugin;
};

TEST_F(BackgroundFetchPluginTest, ConfigureTwiceLeavesOneListenerOnTheSecondCallback) {
    call(&WFBackgroundFetch::configure, "bad", Value::array({"not an object"}));
    call(&WFBackgroundFetch::configure, "first", Value::array({Value{{"stopOnTerminate", true}}}));
    call(&WFBackgroundFetch::configure, "second", Value::array({Value{{"stopOnTerminate", true}}}));
    EXPECT_TRUE(plugin->configured());
    EXPECT_EQ(interval(), UIApplicationBackgroundFetchIntervalMinimum);
    auto sent = results(1);
    ASSERT_EQ(sent.size(), 1u) << "configure answers nothing at once";
    EXPECT_EQ(sent[0].callbackId, "bad");
    EXPECT_EQ(sent[0].status, 9);

    Handler handler;
    LogCapture log;
    manager.performFetchWithCompletionHandler(handler.get());
    EXPECT_TRUE(log.contains("- WFBackgroundFetch Rx Fetch Event"));
    call(&WFBackgroundFetch::finish, "fin");
    EXPECT_EQ(handler.calls, std::vector<UIBackgroundFetchResult>{UIBackgroundFetchResult::NewData});
    sent = results(3);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].callbackId, "second");
    EXPECT_EQ(sent[1].status, 1);
    EXPECT_TRUE(sent[1].keepCallback);
    EXPECT_TRUE(sent[1].message.is_null());
    EXPECT_EQ(sent[2].callbackId, "fin");

    call(&WFBackgroundFetch::finish, "late");  // no event: warned, still OK
    sent = results(4);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3].status, 1);
}

}  // namespace
}  // namespace wharf
