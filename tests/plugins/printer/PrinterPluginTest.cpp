// The printer plug-in in the real host (view controller, engine and command
// delegate over scripted web views) with a recording print controller: what
// the page's settings become, how content is loaded off screen and printed
// once loaded, where answers go, and loads that fail.
#include <gtest/gtest.h>

#include "PluginHost.h"
#include "RecordingPrinter.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFViewController.h"
#include "host/testing/FakeWebView.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "plugins/printer/APPPrinter.h"

namespace wharf {
namespace {

using namespace platform;

class PrinterPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerPrinterPlugin();
        WFUIWebViewEngine::registerClass();
        // The first view is the application's; later ones lay content out off screen.
        WFUIWebViewEngine::setWebViewFactory([this](WFRect) {
            views.push_back(std::make_shared<testing::FakeWebView>());
            return views.back();
        });
        controller = test::startPluginHost(bundle, "Printer", "APPPrinter");
        printer = std::dynamic_pointer_cast<APPPrinter>(controller->getCommandInstance("printer"));
        ASSERT_NE(printer, nullptr);
        Printer::setShared(recording);
    }
    void TearDown() override {
        printer.reset();
        controller.reset();
        Printer::setShared(nullptr);
        WFUIWebViewEngine::setWebViewFactory(nullptr);
        Bundle::setMainBundle(nullptr);
    }

    testing::FakeWebView& page() { return *views.front(); }
    testing::FakeWebView& offScreen() { return *views.back(); }

    std::string run(const std::string& action, Value arguments = Value::array()) {
        std::string callbackId = "Printer" + std::to_string(++calls);
        EXPECT_TRUE(printer->performAction(action + ":",
                                           WFInvokedUrlCommand(std::move(arguments), callbackId, "Printer", action)));
        return callbackId;
    }
    // The results sent so far, once `count` of them are there.
    std::vector<test::SentResult> answers(std::size_t count) { return test::waitForResults(page(), count); }

    test::TempHome home;
    test::TempDir bundle;
    std::vector<std::shared_ptr<testing::FakeWebView>> views;
    std::shared_ptr<WFViewController> controller;
    std::shared_ptr<APPPrinter> printer;
    std::shared_ptr<test::RecordingPrinter> recording = std::make_shared<test::RecordingPrinter>();
    std::size_t calls = 0;
};

TEST_F(PrinterPluginTest, CheckAnswersWhetherPrintingIsAvailable) {
    run("check");
    auto sent = answers(1);
    recording->available = false;
    run("check");
    sent = answers(2);
    Printer::setShared(nullptr);
    run("check");
    sent = answers(3);
    ASSERT_EQ(sent.size(), 3u);
    // A multipart message: the availability, then -1.
    EXPECT_EQ(sent[0].status, 1);
    EXPECT_EQ(sent[0].message, Value::parse(R"({"WFType":"MultiPart","messages":[true,-1]})"));
    EXPECT_EQ(sent[1].message["messages"], Value::parse("[false,-1]"));
    EXPECT_EQ(sent[2].message["messages"], Value::parse("[false,-1]"));
}

TEST_F(PrinterPluginTest, SettingsBecomeThePrintInfoAndTheDialogsOptions) {
    struct Case {
        const char* settings;
        int outputType, orientation, duplex;
    };
    // A missing key counts as NO: no "border" is a photo.
    const std::vector<Case> cases = {
        {R"({})", 1, 0, 0},
        {R"({"border": true})", 0, 0, 0},
        {R"({"graystyle": true, "border": true})", 2, 0, 0},
        {R"({"graystyle": true, "border": false})", 3, 0, 0},
        {R"({"landscape": true, "border": 1, "duplex": "long"})", 0, 1, 1},
        {R"({"duplex": "short"})", 1, 0, 2},
        {R"({"duplex": "LONG"})", 1, 0, 0},
        {R"({"landscape": "YES", "duplex": 1})", 1, 1, 0},
    };
    for (const auto& c : cases) {
        run("print", Value::array({"<p>x</p>", Value::parse(c.settings)}));
        offScreen().finish();
        ASSERT_FALSE(recording->requests.empty());
        const auto& info = recording->requests.back().info;
        EXPECT_EQ(info.outputType, c.outputType) << c.settings;
        EXPECT_EQ(info.orientation, c.orientation) << c.settings;
        EXPECT_EQ(info.duplex, c.duplex) << c.settings;
    }
    run("print", Value::array({"<p>x</p>", Value::parse(R"({"name": "Invoice 7", "hidePageRange": true,
                                                            "hideNumberOfCopies": true, "hidePaperFormat": false})")}));
    offScreen().finish();
    const auto& last = recording->requests.back();
    EXPECT_EQ(last.info.jobName, "Invoice 7");
    EXPECT_FALSE(last.showsPageRange);
    EXPECT_FALSE(last.showsNumberOfCopies);
    EXPECT_TRUE(last.showsPaperSelection);
}

TEST_F(PrinterPluginTest, ContentLoadsOffScreenAndPrintsOnceLoadedToTheDialogOrThePrinterNamed) {
    run("print", Value::array({"<h1>Hello</h1>", Value::object()}));
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(offScreen().loadedHTML(), std::vector<std::string>{"<h1>Hello</h1>"});
    EXPECT_TRUE(recording->requests.empty()) << "nothing prints before the content has loaded";
    offScreen().finish();
    ASSERT_EQ(recording->requests.size(), 1u);
    EXPECT_EQ(recording->requests[0].kind, "dialog");
    EXPECT_EQ(recording->requests[0].formatter.view, &offScreen());
    EXPECT_TRUE(page().loadedHTML().empty()) << "the page itself is left alone";

    // A URL is loaded; text that only looks like one is HTML. A null or empty
    // printer id shows the dialog, any other prints to that printer.
    run("print", Value::array({"https://example.invalid/report?id=7", Value::parse(R"({"printerId": null})")}));
    ASSERT_EQ(offScreen().loadedRequests().size(), 1u);
    EXPECT_EQ(offScreen().loadedRequests()[0].url.absoluteString(), "https://example.invalid/report?id=7");
    offScreen().finish();
    run("print", Value::array({"Total: 5 <b>euros</b>", Value::parse(R"({"printerId": ""})")}));
    EXPECT_EQ(offScreen().loadedHTML(), std::vector<std::string>{"Total: 5 <b>euros</b>"});
    offScreen().finish();
    run("print", Value::array({"<p>x</p>", Value::parse(R"({"printerId": "ipp://localhost/printers/Office"})")}));
    offScreen().finish();
    ASSERT_EQ(recording->requests.size(), 4u);
    EXPECT_EQ(recording->requests[1].kind, "dialog");
    EXPECT_EQ(recording->requests[2].kind, "dialog");
    EXPECT_EQ(recording->requests[3].kind, "printer");
    EXPECT_EQ(recording->requests[3].printerURL, "ipp://localhost/printers/Office");

    // Every job answers the call that asked for it, whatever came since.
    recording->requests[3].completion(false, nullptr);
    recording->requests[0].completion(true, nullptr);
    auto sent = answers(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].callbackId, "Printer4");
    EXPECT_EQ(sent[0].message, false);
    EXPECT_EQ(sent[1].callbackId, "Printer1");
    EXPECT_EQ(sent[1].message, true);
}

TEST_F(PrinterPluginTest, ContentThatFailsToLoadAnswersFalseInsteadOfNever) {
    run("print", Value::array({"https://example.invalid/gone", Value::object()}));
    offScreen().fail(-1004, "Could not connect to the server.");
    auto sent = answers(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].status, 1);
    EXPECT_EQ(sent[0].message, false);
    EXPECT_TRUE(recording->requests.empty());

    // A load the page replaced with another prints when that one finishes...
    run("print", Value::array({"https://example.invalid/a", Value::object()}));
    offScreen().fail(kURLErrorCancelled, "cancelled");
    ASSERT_TRUE(offScreen().navigate("https://example.invalid/b"));
    offScreen().finish();
    ASSERT_EQ(recording->requests.size(), 1u);
    // ...and one that nothing follows fails after all.
    run("print", Value::array({"https://example.invalid/c", Value::object()}));
    offScreen().fail(kURLErrorCancelled, "cancelled");
    sent = answers(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].callbackId, "Printer3");
    EXPECT_EQ(sent[1].message, false);
    EXPECT_EQ(recording->requests.size(), 1u);
}

TEST_F(PrinterPluginTest, ContentStillLoadingWhenTimeIsUpPrintsWhatArrivedOrAnswersFalse) {
    printer->setContentLoadTimeout(std::chrono::milliseconds(50));
    // A server that never answers: no page at all.
    run("print", Value::array({"http://127.0.0.1:9/never", Value::object()}));
    auto sent = answers(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, false);
    EXPECT_TRUE(recording->requests.empty());

    // A page that arrived but waits on a part that never does prints as it stands.
    run("print", Value::array({"http://127.0.0.1:9/slow-image", Value::object()}));
    ASSERT_TRUE(offScreen().navigate("http://127.0.0.1:9/slow-image"));
    offScreen().observer()->loadCommitted();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !recording->requests.empty(); }));
    recording->requests[0].completion(true, nullptr);
    sent = answers(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].message, true);
    // Its late finish prints nothing more.
    offScreen().finish();
    EXPECT_EQ(recording->requests.size(), 1u);
}

TEST_F(PrinterPluginTest, PickerAnswersThePrintersURLOrNoResultAndNothingAnswersWithoutPrinting) {
    run("pick", Value::array({Value::object()}));
    run("pick", Value::array({Value::object()}));
    ASSERT_EQ(recording->requests.size(), 2u);
    recording->requests[0].pickerCompletion(std::string("ipp://localhost/printers/Office"));
    recording->requests[1].pickerCompletion(std::nullopt);
    auto sent = answers(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].callbackId, "Printer1");
    EXPECT_EQ(sent[0].status, 1);
    EXPECT_EQ(sent[0].message, "ipp://localhost/printers/Office");
    EXPECT_EQ(sent[1].callbackId, "Printer2");
    EXPECT_EQ(sent[1].status, 0);
    EXPECT_TRUE(sent[1].message.is_null());

    // Without printing, pick and print do nothing at all.
    recording->available = false;
    run("pick", Value::array({Value::object()}));
    run("print", Value::array({"<p>x</p>", Value::object()}));
    while (RunLoop::iterate(false)) {}
    EXPECT_EQ(recording->requests.size(), 2u);
    EXPECT_EQ(views.size(), 1u) << "no content was loaded";
    EXPECT_EQ(test::sentResults(page()).size(), 2u);
}

}  // namespace
}  // namespace wharf
