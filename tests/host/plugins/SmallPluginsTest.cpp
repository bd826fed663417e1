// Open-URL delivery, the console logger and the long-press preference.
#include <gtest/gtest.h>

#include "host/plugins/WFGestureHandler.h"
#include "host/plugins/WFHandleOpenURL.h"
#include "host/plugins/WFLogger.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf {
namespace {

using platform::LogCapture;
using platform::NotificationCenter;
using platform::Url;

class OpenURLTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller = testing::FakeViewController::create();
        plugin = std::make_shared<WFHandleOpenURL>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "handleopenurl");
    }
    void openURL(const std::string& text) {
        Url url = *Url::parse(text);
        NotificationCenter::defaultCenter().post(WFPluginHandleOpenURLNotification, &url);
    }
    void pageLoaded() { NotificationCenter::defaultCenter().post(WFPageDidLoadNotification, nullptr); }
    std::vector<std::string> deliveries() { return controller->engine()->scriptsContaining("handleOpenURL("); }

    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFHandleOpenURL> plugin;
};

TEST_F(OpenURLTest, UrlBeforeLoadDeliveredOnceAfterFirstLoad) {
    openURL("myapp://launch?x=1");
    EXPECT_TRUE(deliveries().empty());
    pageLoaded();
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_EQ(deliveries()[0],
              "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { "
              "handleOpenURL(\"myapp://launch?x=1\");}});");
    pageLoaded();  // a second load without a new URL delivers nothing
    EXPECT_EQ(deliveries().size(), 1u);
}

TEST_F(OpenURLTest, UrlAfterLoadDeliveredAtOnce) {
    pageLoaded();
    openURL("myapp://later");
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_NE(deliveries()[0].find("handleOpenURL(\"myapp://later\")"), std::string::npos);
}

TEST_F(OpenURLTest, QuotesInUrlCannotLeaveTheStringLiteral) {
    pageLoaded();
    openURL("myapp://x?a=\");alert(1);(\"&b=');alert(2);('\\");
    ASSERT_EQ(deliveries().size(), 1u);
    // The argument is exactly one string literal holding the whole URL.
    const std::string script = deliveries()[0];
    auto begin = script.find("handleOpenURL(") + 14;
    auto end = script.rfind(");}});");
    auto literal = platform::parseJSON(script.substr(begin, end - begin));
    ASSERT_TRUE(literal && literal->is_string()) << script;
    EXPECT_EQ(literal->get<std::string>().substr(0, 13), "myapp://x?a=%");
    EXPECT_NE(literal->get<std::string>().find("');alert(2);('"), std::string::npos);
}

TEST(LoggerTest, LevelAndMessage) {
    auto controller = testing::FakeViewController::create();
    auto logger = std::make_shared<WFLogger>();
    controller->registerPlugin(logger, "console");
    LogCapture log;
    logger->logLevel(WFInvokedUrlCommand(platform::Value::array({"WARN", "x"}), "cb1", "WFLogger", "logLevel"));
    logger->logLevel(WFInvokedUrlCommand(platform::Value::array({"LOG", "only this"}), "cb2", "WFLogger", "logLevel"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"WARN: x", "only this"}));
    platform::RunLoop::pumpFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(controller->engine()->scriptsContaining("nativeCallback").empty());  // no result
}

TEST(GestureHandlerTest, NoRecogniserWithoutThePreference) {
    auto controller = testing::FakeViewController::create();
    auto handler = std::make_shared<WFGestureHandler>();
    handler->initWithWebViewEngine(controller->engine());
    LogCapture log;
    controller->registerPlugin(handler, "gesture");
    EXPECT_EQ(handler->lpgr(), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST(GestureHandlerTest, WithoutAWebViewWidgetTheFixIsNotApplied) {
    auto controller = testing::FakeViewController::create();
    controller->mutableSettings()["suppresseslongpressgesture"] = "true";
    auto handler = std::make_shared<WFGestureHandler>();
    handler->initWithWebViewEngine(controller->engine());
    LogCapture log;
    controller->registerPlugin(handler, "gesture");
    EXPECT_EQ(handler->lpgr(), nullptr);
    EXPECT_TRUE(log.contains("No webview subviews found, not applying the longpress fix."));
}

}  // namespace
}  // namespace wharf
