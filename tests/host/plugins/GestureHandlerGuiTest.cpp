// The long-press fix on a real WebKitGTK web view.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>

#include "host/plugins/WFGestureHandler.h"
#include "host/testing/FakeViewController.h"
#include "platform/Log.h"
#include "platform/gui/WebView.h"

namespace wharf {
namespace {

class GestureHandlerGuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "needs a display";
        view = platform::createWebKitWebView();
        controller = testing::FakeViewController::create();
        controller->engine()->setEngineWebView(view.get());
    }
    std::shared_ptr<WFGestureHandler> install() {
        auto handler = std::make_shared<WFGestureHandler>();
        handler->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(handler, "gesturehandler");
        return handler;
    }

    std::shared_ptr<platform::WebView> view;
    std::shared_ptr<testing::FakeViewController> controller;
};

double delayFactor(GtkGesture* gesture) {
    double factor = 0;
    g_object_get(gesture, "delay-factor", &factor, nullptr);
    return factor;
}

TEST_F(GestureHandlerGuiTest, RecogniserOnTheWebViewForTouchPresses) {
    controller->mutableSettings()["suppresseslongpressgesture"] = "true";
    platform::LogCapture log;
    auto handler = install();
    ASSERT_NE(handler->lpgr(), nullptr);
    EXPECT_EQ(gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(handler->lpgr())), view->widget());
    EXPECT_TRUE(gtk_gesture_single_get_touch_only(GTK_GESTURE_SINGLE(handler->lpgr())));
    EXPECT_FLOAT_EQ(handler->minimumPressDuration(), 0.45f);
    gint longPressTime = 500;
    g_object_get(gtk_widget_get_settings(view->widget()), "gtk-long-press-time", &longPressTime, nullptr);
    EXPECT_NEAR(delayFactor(handler->lpgr()) * longPressTime, 450.0, 0.5);
    EXPECT_FALSE(log.contains("No webview subviews found"));

    handler->handleLongPressGestures(handler->lpgr());
    EXPECT_TRUE(log.contains("Ignoring a longpress in order to suppress the magnifying glass."));
}

TEST_F(GestureHandlerGuiTest, ThreeDTouchPreferenceShortensThePress) {
    controller->mutableSettings()["suppresseslongpressgesture"] = "YES";
    controller->mutableSettings()["suppresses3dtouchgesture"] = "1";
    auto handler = install();
    ASSERT_NE(handler->lpgr(), nullptr);
    EXPECT_FLOAT_EQ(handler->minimumPressDuration(), 0.05f);
}

TEST_F(GestureHandlerGuiTest, PreferenceOffLeavesTheWebViewAlone) {
    controller->mutableSettings()["suppresseslongpressgesture"] = "false";
    auto handler = install();
    EXPECT_EQ(handler->lpgr(), nullptr);
}

}  // namespace
}  // namespace wharf
