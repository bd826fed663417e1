// The long-press fix on a real WebKitGTK web view in a window, driven by
// synthesized touch and mouse presses.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>

#include "TestSupport.h"
#include "host/plugins/WFGestureHandler.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/WebView.h"

namespace wharf {
namespace {

using namespace std::chrono_literals;

constexpr const char* kIgnored = "Ignoring a longpress in order to suppress the magnifying glass.";

class GestureHandlerGuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        WHARF_REQUIRE_COMPONENT(display && *display && gtk_init_check(nullptr, nullptr),
                                "a display (run under xvfb-run)");
        view = platform::createWebKitWebView();
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 200, 200);
        gtk_container_add(GTK_CONTAINER(window), view->widget());
        gtk_widget_show_all(window);
        controller = testing::FakeViewController::create();
        controller->engine()->setEngineWebView(view.get());
    }
    void TearDown() override {
        if (window) gtk_widget_destroy(window);
    }

    std::shared_ptr<WFGestureHandler> install(bool threeDTouch) {
        controller->mutableSettings()["suppresseslongpressgesture"] = "true";
        controller->mutableSettings()["suppresses3dtouchgesture"] = threeDTouch ? "YES" : "0";
        auto handler = std::make_shared<WFGestureHandler>();
        handler->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(handler, "gesturehandler");
        return handler;
    }

    // A press on the web view as the window system delivers it: a touch or
    // the mouse's first button, at (20, 20).
    void press(bool touch, bool down) {
        GdkWindow* target = gtk_widget_get_window(view->widget());
        GdkEventType type =
            touch ? (down ? GDK_TOUCH_BEGIN : GDK_TOUCH_END) : (down ? GDK_BUTTON_PRESS : GDK_BUTTON_RELEASE);
        GdkEvent* event = gdk_event_new(type);
        GdkDevice* device = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(target)));
        gdk_event_set_device(event, device);
        gdk_event_set_source_device(event, device);
        if (touch) {
            event->touch.window = GDK_WINDOW(g_object_ref(target));
            event->touch.time = gtk_get_current_event_time();
            event->touch.x = event->touch.x_root = 20;
            event->touch.y = event->touch.y_root = 20;
            event->touch.sequence = reinterpret_cast<GdkEventSequence*>(7);
            event->touch.emulating_pointer = TRUE;
        } else {
            event->button.window = GDK_WINDOW(g_object_ref(target));
            event->button.time = gtk_get_current_event_time();
            event->button.x = event->button.x_root = 20;
            event->button.y = event->button.y_root = 20;
            event->button.button = 1;
        }
        gtk_main_do_event(event);
        gdk_event_free(event);
    }

    // Pumps the main loop until the press is recognised or `limit` passes.
    bool recognisedWithin(const platform::LogCapture& log, std::chrono::milliseconds limit) {
        return platform::RunLoop::pumpUntil([&] { return log.contains(kIgnored); }, limit);
    }

    std::shared_ptr<platform::WebView> view;
    GtkWidget* window = nullptr;
    std::shared_ptr<testing::FakeViewController> controller;
};

// A touch held past 0.45 s is claimed; a shorter one and a held mouse button
// (text selection) are left to the web view.
TEST_F(GestureHandlerGuiTest, TouchHeldPastTheMinimumDurationIsClaimed) {
    auto handler = install(false);
    ASSERT_NE(handler->lpgr(), nullptr);
    EXPECT_EQ(gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(handler->lpgr())), view->widget());
    platform::LogCapture log;

    press(false, true);
    EXPECT_FALSE(recognisedWithin(log, 700ms));
    press(false, false);

    press(true, true);
    EXPECT_FALSE(recognisedWithin(log, 250ms));
    EXPECT_TRUE(recognisedWithin(log, 2000ms));
    EXPECT_EQ(log.count(kIgnored), 1u);
    press(true, false);
}

TEST_F(GestureHandlerGuiTest, ThreeDTouchPreferenceShortensThePress) {
    auto handler = install(true);
    ASSERT_NE(handler->lpgr(), nullptr);
    platform::LogCapture log;
    press(true, true);
    EXPECT_TRUE(recognisedWithin(log, 250ms));
    press(true, false);
}

TEST_F(GestureHandlerGuiTest, PreferenceOffLeavesTheWebViewAlone) {
    controller->mutableSettings()["suppresseslongpressgesture"] = "false";
    auto handler = std::make_shared<WFGestureHandler>();
    handler->initWithWebViewEngine(controller->engine());
    controller->registerPlugin(handler, "gesturehandler");
    EXPECT_EQ(handler->lpgr(), nullptr);
}

}  // namespace
}  // namespace wharf
