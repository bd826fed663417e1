// The status bar's geometry: where the web view goes for every combination of
// window, status bar and overlay setting, and what a resized window does to
// the frame and the strip.
#include <gtest/gtest.h>

#include "platform/device/StatusBar.h"

namespace wharf::platform {
namespace {

TEST(StatusBarLayout, TheWebViewStartsBelowTheStatusBarOrUnderItWhenOverlaying) {
    const Rect window{0, 0, 1024, 768};
    const Rect bar{0, 0, 1024, 20};
    EXPECT_EQ(StatusBar::webViewFrame(window, bar, false), (Rect{0, 20, 1024, 748}));
    EXPECT_EQ(StatusBar::webViewFrame(window, bar, true), window);
    // A hidden status bar has a zero frame: the web view fills the window either way.
    EXPECT_EQ(StatusBar::webViewFrame(window, Rect{}, false), window);
    EXPECT_EQ(StatusBar::webViewFrame(window, Rect{}, true), window);
    // The window's x and width are kept.
    EXPECT_EQ(StatusBar::webViewFrame(Rect{10, 0, 300, 200}, Rect{0, 0, 300, 20}, false), (Rect{10, 20, 300, 180}));

    // A top inset as tall as the status bar leaves the web view at the top;
    // the in-call bar of 40 leaves 20; an inset taller than the bar counts for nothing.
    EXPECT_EQ(StatusBar::webViewFrame(window, bar, true, 20).y, 0);
    EXPECT_EQ(StatusBar::webViewFrame(window, Rect{0, 0, 1024, 40}, true, 40).y, 20);
    EXPECT_EQ(StatusBar::webViewFrame(window, Rect{0, 0, 1024, 44}, true, 24).y, 20);
    EXPECT_EQ(StatusBar::webViewFrame(window, bar, true, 44).y, 0);
    EXPECT_EQ(StatusBar::webViewFrame(window, bar, false, 20).y, 20) << "the inset matters only when overlaying";
}

TEST(StatusBarLayout, HidingAndResizingTheWindowChangeTheFrameAndTheStripFollowsTheWidth) {
    StatusBar& bar = StatusBar::shared();
    bar.reset();
    int frameChanges = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(kUIApplicationDidChangeStatusBarFrameNotification,
                                                                 &bar, [&](const Notification&) { ++frameChanges; });
    std::vector<bool> hidden;
    auto observation = bar.observeHidden([&](bool h) { hidden.push_back(h); });

    bar.setWindowBounds(Rect{0, 0, 800, 600});
    bar.makeStrip(bar.frame(), RGBA{1, 0, 0, 1});
    bar.addStrip();
    bar.setOverlaysWebView(false);
    EXPECT_EQ(bar.webViewFrame(), (Rect{0, 20, 800, 580}));
    EXPECT_TRUE(bar.stripShown());

    bar.setWindowBounds(Rect{0, 0, 1000, 700});
    EXPECT_EQ(bar.frame(), (Rect{0, 0, 1000, 20}));
    EXPECT_EQ(bar.strip().frame, (Rect{0, 0, 1000, 20})) << "a flexible width";
    EXPECT_EQ(bar.webViewFrame(), (Rect{0, 20, 1000, 680}));

    bar.setHidden(true);
    bar.setHidden(true);
    EXPECT_TRUE(bar.frame().isZero());
    EXPECT_EQ(bar.webViewFrame(), (Rect{0, 0, 1000, 700}));
    bar.setWindowBounds(Rect{0, 0, 1000, 500});  // a new height moves no status bar
    bar.setHidden(false);
    EXPECT_EQ(hidden, (std::vector<bool>{true, false}));
    EXPECT_EQ(frameChanges, 4) << "two widths, then hidden, then shown";
    bar.reset();
}

}  // namespace
}  // namespace wharf::platform
