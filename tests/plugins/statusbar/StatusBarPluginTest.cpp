// The status-bar plug-in in the real host (view controller, engine and
// command delegate over a scripted web view) driving the application's
// status bar: the preferences at start and at _ready, hide and show with the
// strip and the web view's frame, the colours by name and by hexadecimal
// text, the styles, and the events on the page's channel.
#include <gtest/gtest.h>

#include <algorithm>

#include "PluginHost.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFViewController.h"
#include "host/testing/FakeWebView.h"
#include "platform/device/StatusBar.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "plugins/statusbar/WFStatusBar.h"

namespace wharf {
namespace {

using namespace platform;

constexpr RGBA kRed{1, 0, 0, 1};
constexpr RGBA kClear{0, 0, 0, 0};

class StatusBarPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        bar().reset();
        bar().setWindowBounds(Rect{0, 0, 800, 600});
        registerStatusBarPlugin();
        WFUIWebViewEngine::registerClass();
        WFUIWebViewEngine::setWebViewFactory([this](WFRect) {
            view = std::make_shared<testing::FakeWebView>();
            return view;
        });
    }
    void TearDown() override {
        plugin.reset();
        controller.reset();
        WFUIWebViewEngine::setWebViewFactory(nullptr);
        Bundle::setMainBundle(nullptr);
        bar().reset();
    }

    static StatusBar& bar() { return StatusBar::shared(); }

    // Starts the host on a bundle with these preferences (and Info.plist entries).
    void start(const std::string& preferences, const std::string& info = "") {
        controller = test::startPluginHost(bundle, "StatusBar", "WFStatusBar", true, preferences, info);
        plugin = std::dynamic_pointer_cast<WFStatusBar>(controller->getCommandInstance("statusbar"));
        ASSERT_NE(plugin, nullptr);
    }

    void run(const std::string& action, Value arguments = Value::array(), const std::string& callbackId = "") {
        const std::string id = callbackId.empty() ? "StatusBar" + std::to_string(++calls) : callbackId;
        EXPECT_TRUE(
            plugin->performAction(action + ":", WFInvokedUrlCommand(std::move(arguments), id, "StatusBar", action)));
    }
    // The events sent to the page so far (after `count` have arrived).
    std::vector<test::SentResult> events(std::size_t count) { return test::waitForResults(*view, count); }

    test::TempHome home;
    test::TempDir bundle;
    std::shared_ptr<testing::FakeWebView> view;
    std::shared_ptr<WFViewController> controller;
    std::shared_ptr<WFStatusBar> plugin;
    std::size_t calls = 0;
};

TEST_F(StatusBarPluginTest, AStripBelowTheStatusBarComesAndGoesWithHideAndShow) {
    start("<preference name=\"StatusBarOverlaysWebView\" value=\"false\" />"
          "<preference name=\"StatusBarBackgroundColor\" value=\"#FF0000\" />");
    // Until the page is ready the web view runs under the status bar.
    EXPECT_FALSE(bar().stripShown());
    EXPECT_EQ(bar().webViewFrame(), (Rect{0, 0, 800, 600}));

    run("_ready", Value::array(), "ready");
    EXPECT_TRUE(bar().stripShown());
    EXPECT_EQ(bar().strip().frame, (Rect{0, 0, 800, 20}));
    EXPECT_EQ(bar().strip().color, kRed);
    EXPECT_EQ(bar().webViewFrame(), (Rect{0, 20, 800, 580}));

    run("hide");
    EXPECT_TRUE(bar().isHidden());
    EXPECT_FALSE(bar().stripShown());
    EXPECT_EQ(bar().webViewFrame(), (Rect{0, 0, 800, 600}));
    run("hide");  // already hidden: nothing more
    run("show");
    EXPECT_FALSE(bar().isHidden());
    EXPECT_TRUE(bar().stripShown());
    EXPECT_EQ(bar().strip().color, kRed);
    EXPECT_EQ(bar().webViewFrame(), (Rect{0, 20, 800, 580}));

    // Every event went to _ready's callback and kept it: visible, hidden, visible.
    auto sent = events(3);
    ASSERT_EQ(sent.size(), 3u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].callbackId, "ready");
        EXPECT_EQ(sent[i].status, 1);
        EXPECT_TRUE(sent[i].keepCallback);
        EXPECT_EQ(sent[i].message, i != 1) << i;
    }

    // A wider window: the strip follows at once; it takes the status bar's
    // size again once the frame has settled.
    // A tap is reported; without the preference nothing scrolls.
    bar().tap();
    sent = events(4);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3].message, Value::parse(R"({"type": "tap"})"));
    for (const auto& script : view->scripts()) EXPECT_EQ(script.find("scrollTo"), std::string::npos);

    bar().setWindowBounds(Rect{0, 0, 1000, 600});
    EXPECT_EQ(bar().strip().frame.width, 1000);
    bar().setStripSize(5, 5);
    EXPECT_TRUE(RunLoop::pumpUntil([] { return bar().strip().frame == Rect{0, 0, 1000, 20}; }));
}

TEST_F(StatusBarPluginTest, ColoursByNameLastOnlyOnTheStripAndHexadecimalOnesAreKept) {
    start("<preference name=\"StatusBarOverlaysWebView\" value=\"false\" />");
    run("_ready");
    EXPECT_EQ(bar().strip().color, kClear) << "no colour of its own";

    const std::vector<std::pair<Value, RGBA>> names = {
        {"red", kRed},
        {"darkGray", {1.0 / 3, 1.0 / 3, 1.0 / 3, 1}},
        {"orange", {1, 0.5, 0, 1}},
        {"Red", {1, 0.5, 0, 1}},  // names are exact: nothing changes
        {"fuchsia", {1, 0.5, 0, 1}},
        {42, {0, 0, 0, 1}},  // not text: "black"
    };
    for (const auto& [name, color] : names) {
        run("backgroundColorByName", Value::array({name}));
        EXPECT_EQ(bar().strip().color, color) << name.dump();
    }

    const std::vector<std::pair<Value, RGBA>> hexes = {
        {"#00FF00", {0, 1, 0, 1}},
        {"#F00", {0, 1, 0, 1}},  // too short: nothing changes
        {"00FF00FF", {0, 1, 0, 1}},  // no "#": nothing changes
        {"#0000ffzz", {0, 0, 1, 1}},  // the digits up to the first non-digit
        {"#12345678", {0x34 / 255.0, 0x56 / 255.0, 0x78 / 255.0, 1}},
        {"#123456789A", {1, 1, 1, 1}},  // too large: every bit set
        {"#zzzzzz", {0, 0, 0, 1}},  // no digits read as 0
        {Value::object(), {0, 0, 0, 1}},
        {"#FF0000", kRed},
    };
    for (const auto& [text, color] : hexes) {
        run("backgroundColorByHexString", Value::array({text}));
        EXPECT_EQ(bar().strip().color, color) << text.dump();
    }

    // A strip made again takes the last hexadecimal colour, not a name's.
    run("backgroundColorByName", Value::array({"blue"}));
    run("overlaysWebView", Value::array({true}));
    EXPECT_FALSE(bar().stripShown());
    EXPECT_EQ(bar().webViewFrame().y, 0);
    run("overlaysWebView", Value::array({false}));
    EXPECT_TRUE(bar().stripShown());
    EXPECT_EQ(bar().strip().color, kRed);
    // Anything but a number turns overlaying on.
    run("overlaysWebView", Value::array({"no"}));
    EXPECT_TRUE(bar().overlaysWebView());
}

TEST_F(StatusBarPluginTest, StylesAndVisibilityTakeEitherRouteAndTheChannelEndsWithThePage) {
    for (const char* based : {"", "<key>UIViewControllerBasedStatusBarAppearance</key><false/>"}) {
        SCOPED_TRACE(based);
        bar().reset();
        start("<preference name=\"StatusBarStyle\" value=\"LightContent\" />", based);
        EXPECT_EQ(bar().style(), StatusBarStyleLightContent);
        for (const auto& [action, style] : std::vector<std::pair<const char*, int>>{{"styleDefault", 0},
                                                                                    {"styleBlackOpaque", 1},
                                                                                    {"styleDefault", 0},
                                                                                    {"styleBlackTranslucent", 1},
                                                                                    {"styleDefault", 0},
                                                                                    {"styleLightContent", 1}}) {
            run(action);
            EXPECT_EQ(bar().style(), style) << action;
        }
        run("hide");
        EXPECT_TRUE(bar().isHidden());
        EXPECT_FALSE(plugin->statusBarVisible());
        run("show");
        EXPECT_FALSE(bar().isHidden());
        plugin.reset();
        controller.reset();
    }

    start("<preference name=\"StatusBarDefaultScrollToTop\" value=\"true\" />");
    bar().setHidden(true);
    run("_ready", Value::array(), "events");
    auto sent = events(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, false) << "_ready while hidden";
    bar().tap();
    sent = events(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].message, Value::parse(R"({"type": "tap"})"));
    EXPECT_TRUE(sent[1].keepCallback);
    const auto& scripts = view->scripts();
    EXPECT_NE(std::find(scripts.begin(), scripts.end(), "window.scrollTo(0, 0)"), scripts.end())
        << "the preference asks for the page to scroll to the top";

    // A new page has no channel: nothing more is sent.
    plugin->onReset();
    bar().tap();
    bar().setHidden(false);
    while (RunLoop::iterate(false)) {}
    EXPECT_EQ(test::sentResults(*view).size(), 2u);
}

}  // namespace
}  // namespace wharf
