// The utility plug-in in the real host (view controller, engine and command
// delegate over a scripted web view): its answers, the orientations it sets,
// background tasks named by their text, and what it hands to other
// applications or shows itself.
#include <gtest/gtest.h>

#include "PluginHost.h"
#include "RecordingPrinter.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFViewController.h"
#include "host/plugins/WFURLOpener.h"
#include "host/testing/FakeWebView.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/gui/DocumentInteractionController.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "plugins/utility/Utility.h"

namespace wharf {
namespace {

using namespace platform;
using namespace std::chrono_literals;

// Remembers what it was asked to show instead of opening a window.
class RecordingPreview : public DocumentInteractionController {
public:
    RecordingPreview(Url url, std::vector<std::string>* log)
        : DocumentInteractionController(std::move(url)), log_(log) {}
    ~RecordingPreview() override { log_->push_back("closed " + URL().absoluteString()); }
    bool presentPreviewAnimated(bool) override {
        log_->push_back("shown " + URL().absoluteString());
        return presented_ = true;
    }
    void dismissPreviewAnimated(bool) override { presented_ = false; }
    bool isPreviewPresented() const override { return presented_; }

private:
    std::vector<std::string>* log_;
    bool presented_ = false;
};

class UtilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application::shared().resetForTesting();
        registerUtilityPlugin();
        WFUIWebViewEngine::registerClass();
        WFUIWebViewEngine::setWebViewFactory([this](WFRect) {
            view = std::make_shared<testing::FakeWebView>();
            return view;
        });
        controller = test::startPluginHost(bundle, "Utility", "Utility");
        utility = std::dynamic_pointer_cast<Utility>(controller->getCommandInstance("utility"));
        ASSERT_NE(utility, nullptr);
        WFURLOpener::setShared(opener);
        DocumentInteractionController::setFactory(
            [this](const Url& url) { return std::make_shared<RecordingPreview>(url, &previews); });
    }
    void TearDown() override {
        utility.reset();
        controller.reset();
        DocumentInteractionController::setFactory(nullptr);
        Printer::setShared(nullptr);
        WFURLOpener::setShared(nullptr);
        WFUIWebViewEngine::setWebViewFactory(nullptr);
        Bundle::setMainBundle(nullptr);
        Application::shared().resetForTesting();
    }

    // Runs the action as the command queue does and answers what it sent back.
    test::SentResult call(const std::string& action, Value arguments = Value::array()) {
        const std::string callbackId = "Utility" + std::to_string(++calls);
        EXPECT_TRUE(utility->performAction(action + ":",
                                           WFInvokedUrlCommand(std::move(arguments), callbackId, "Utility", action)));
        auto sent = test::waitForResults(*view, calls);
        EXPECT_EQ(sent.size(), calls) << action << " answers exactly once";
        if (sent.size() != calls) return {};
        EXPECT_EQ(sent.back().callbackId, callbackId);
        EXPECT_FALSE(sent.back().keepCallback);
        return sent.back();
    }

    test::TempHome home;
    test::TempDir bundle;
    std::shared_ptr<testing::FakeWebView> view;
    std::shared_ptr<WFViewController> controller;
    std::shared_ptr<Utility> utility;
    std::shared_ptr<WFRecordingURLOpener> opener = std::make_shared<WFRecordingURLOpener>();
    std::vector<std::string> previews;
    std::size_t calls = 0;
};

TEST_F(UtilityTest, EchoAndEveryTextActionRefuseMissingEmptyOrNonTextArguments) {
    auto echoed = call("echo", Value::array({"héllo \"there\""}));
    EXPECT_EQ(echoed.status, 1);
    EXPECT_EQ(echoed.message, "héllo \"there\"");
    for (const char* action :
         {"echo", "setOrientation", "startBackgroundTask", "finishBackgroundTask", "openUrl", "openMap"}) {
        for (const Value& arguments :
             {Value::array(), Value::array({""}), Value::array({nullptr}), Value::array({42}),
              Value::array({Value::array({"x"})}), Value::array({Value{{"url", "https://example.invalid"}}})}) {
            auto answer = call(action, arguments);
            EXPECT_EQ(answer.status, 9) << action << " " << arguments.dump();
            EXPECT_TRUE(answer.message.is_null());
        }
    }
    EXPECT_TRUE(opener->openedURLs().empty());
    EXPECT_TRUE(previews.empty());
    EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);
}

TEST_F(UtilityTest, OrientationModesAndTheAnswersOfTheQuietActionsInCallOrder) {
    const std::vector<std::pair<std::string, std::vector<int>>> modes = {
        {"portrait", {1, 2}},          {"landscape", {4, 3}}, {"user", {1, 2, 4, 3}},
        {"unspecified", {1, 2, 4, 3}}, {"Portrait", {}},      {"sideways", {}}};
    for (const auto& [mode, orientations] : modes) {
        EXPECT_EQ(call("setOrientation", Value::array({mode})).status, 1);
        EXPECT_EQ(controller->supportedOrientations(), orientations) << mode;
    }
    for (const char* action : {"stayAwake", "debug", "clearCache", "sendNotification", "clearNotifications"}) {
        auto answer = call(action, Value::array({"ignored", 1}));
        EXPECT_EQ(answer.status, 1) << action;
        EXPECT_TRUE(answer.message.is_null());
    }
    // Every answer went to its own call, in the order of the calls.
    auto sent = test::sentResults(*view);
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].callbackId, "Utility" + std::to_string(i + 1));
}

TEST_F(UtilityTest, BackgroundTaskIdentifiersRoundTripThroughTheirText) {
    auto& app = Application::shared();
    auto first = call("startBackgroundTask", Value::array({"upload"}));
    auto second = call("startBackgroundTask", Value::array({"sync"}));
    ASSERT_EQ(first.status, 1);
    ASSERT_TRUE(first.message.is_string());
    const std::string id = first.message.get<std::string>();
    EXPECT_EQ(id, std::to_string(std::stoull(id))) << "a plain decimal";
    EXPECT_NE(second.message, first.message);
    EXPECT_EQ(app.backgroundTaskCount(), 2u);

    EXPECT_EQ(call("finishBackgroundTask", Value::array({id})).status, 1);
    EXPECT_EQ(app.backgroundTaskCount(), 1u) << "only the task named";
    EXPECT_EQ(call("finishBackgroundTask", Value::array({"not a number"})).status, 1);
    EXPECT_EQ(app.backgroundTaskCount(), 1u);

    // A task the page forgets ends when the background time runs out.
    LogCapture log;
    app.setBackgroundTimeAllowance(0ms);
    app.setState(ApplicationState::Background);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return app.backgroundTaskCount() == 0; }));
    EXPECT_TRUE(log.contains("BACKGROUND ID " + second.message.get<std::string>() + " EXPIRED"));

    // Once the time is over, no task begins, and the page is told so.
    auto refused = call("startBackgroundTask", Value::array({"late"}));
    EXPECT_EQ(refused.status, 9);
    EXPECT_EQ(app.backgroundTaskCount(), 0u);
}

TEST_F(UtilityTest, UrlsGoToOtherApplicationsAndDocumentsToAPreviewThatTheNextReplaces) {
    EXPECT_EQ(call("openUrl", Value::array({"https://example.invalid/page?q=1"})).status, 1);
    EXPECT_EQ(call("openMap", Value::array({"geo:52.37,4.89"})).status, 1);
    LogCapture log;
    EXPECT_EQ(call("openUrl", Value::array({"no scheme at all"})).status, 1);
    EXPECT_TRUE(log.contains("PLUGIN: UTILITY: CANNOT OPEN no scheme at all: not a URL"));
    EXPECT_EQ(opener->openedURLs(), (std::vector<std::string>{"https://example.invalid/page?q=1", "geo:52.37,4.89"}));

    const std::string a = Url::fileURL(home.path() + "/Documents/a.pdf").absoluteString();
    const std::string b = Url::fileURL(home.path() + "/Documents/b.html").absoluteString();
    EXPECT_EQ(call("openUrl", Value::array({a})).status, 1);
    EXPECT_EQ(call("openUrl", Value::array({b})).status, 1);
    EXPECT_EQ(previews, (std::vector<std::string>{"shown " + a, "closed " + a, "shown " + b}));
    ASSERT_NE(utility->viewer(), nullptr);
    EXPECT_EQ(utility->viewer()->URL().absoluteString(), b);
    EXPECT_EQ(opener->openedURLs().size(), 2u) << "a document is not handed to another application";
}

TEST_F(UtilityTest, PrintAnswersAtOnceAndReportsTheJobThroughThePagesCallback) {
    auto printer = std::make_shared<test::RecordingPrinter>();
    Printer::setShared(printer);
    view->setURL(Url::parse("file:///app/www/index.html"));
    auto progress = [&] {
        std::vector<std::string> scripts;
        for (const auto& script : view->scripts())
            if (script.rfind("window.plugins.utility._callback", 0) == 0) scripts.push_back(script);
        return scripts;
    };

    EXPECT_EQ(call("print", Value::array({612, 792, 7})).status, 1);
    ASSERT_EQ(printer->requests.size(), 1u);
    const auto& request = printer->requests[0];
    EXPECT_EQ(request.kind, "dialog");
    EXPECT_EQ(request.formatter.view, view.get()) << "the page itself prints";
    EXPECT_EQ(request.formatter.maximumContentWidth, 612);
    EXPECT_EQ(request.formatter.maximumContentHeight, 792);
    EXPECT_EQ(request.info.jobName, "file:///app/www/index.html");
    EXPECT_EQ(request.info.duplex, PrintInfoDuplexLongEdge);
    EXPECT_TRUE(progress().empty()) << "nothing is reported before the user acts";
    printer->dismissOptions();
    const Error jammed = Error::withDescription("WharfPrintErrorDomain", 5, "Paper jam");
    printer->complete(false, &jammed);
    EXPECT_EQ(progress(), (std::vector<std::string>{"window.plugins.utility._callback(7, false, [ 'start' ])",
                                                    "window.plugins.utility._callback(7, true, [ 'error' ])"}));
    // The job is over: its identifier is gone, and so is the plug-in as the
    // controller's delegate, so another print's dialog reports nothing here.
    EXPECT_TRUE(utility->printCallbackId().is_null());
    EXPECT_EQ(printer->delegate(), nullptr);
    printer->dismissOptions();
    EXPECT_EQ(progress().size(), 2u);

    // Two jobs at once: each reports to its own identifier, the first's end
    // leaves the second's in place.
    call("print", Value::array({0, 0, 11}));
    call("print", Value::array({0, 0, 12}));
    printer->requests[printer->requests.size() - 2].completion(false, nullptr);
    EXPECT_EQ(progress().back(), "window.plugins.utility._callback(11, true, [ 'cancel' ])");
    EXPECT_EQ(utility->printCallbackId(), 12);
    printer->complete(true);
    EXPECT_EQ(progress().back(), "window.plugins.utility._callback(12, true, [ 'finish' ])");
    EXPECT_TRUE(utility->printCallbackId().is_null());

    // The page's identifier goes in as it wrote it; without one nothing is reported.
    call("print", Value::array({0, 0, "jobs[2]"}));
    printer->complete(true);
    EXPECT_EQ(progress().back(), "window.plugins.utility._callback(jobs[2], true, [ 'finish' ])");
    call("print", Value::array({0, 0}));
    printer->dismissOptions();
    printer->complete(false);
    EXPECT_EQ(progress().size(), 5u);

    // No print controller at all: the job errs.
    Printer::setShared(nullptr);
    EXPECT_EQ(call("print", Value::array({0, 0, 9})).status, 1);
    EXPECT_EQ(progress().back(), "window.plugins.utility._callback(9, true, [ 'error' ])");
}

}  // namespace
}  // namespace wharf
