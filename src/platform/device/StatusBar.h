#pragma once
// The application's status bar on a desktop: the top 20 px of the host
// window. It keeps what the phone's status bar had (hidden, style, frame),
// the coloured background strip a plug-in lays under it, and where the web
// view goes: below the status bar, or from the top of the window when it
// overlays the status bar. The window reports its bounds and the clicks on
// the status bar and draws what this says. Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/NotificationCenter.h"

namespace wharf::platform {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool isZero() const { return x == 0 && y == 0 && width == 0 && height == 0; }
    bool operator==(const Rect&) const = default;
};

struct RGBA {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const RGBA&) const = default;
};

// Values as the phone numbers them.
enum StatusBarStyle : int { StatusBarStyleDefault = 0, StatusBarStyleLightContent = 1 };
enum StatusBarOrientation : int { StatusBarOrientationPortrait = 1, StatusBarOrientationPortraitUpsideDown = 2 };

// Posted (object: the status bar) when the status bar's frame changes: it was
// hidden or shown, or the window's width changed.
inline constexpr const char* kUIApplicationDidChangeStatusBarFrameNotification =
    "UIApplicationDidChangeStatusBarFrameNotification";

class StatusBar {
public:
    static constexpr double kHeight = 20;

    static StatusBar& shared();

    // Where the web view goes in a window: from the top when it overlays the
    // status bar (a top safe-area inset no taller than the status bar leaves
    // the part of the status bar below the inset; one of 40, an in-call bar,
    // leaves 20), else just below the status bar. The x and width of the
    // window bounds are kept.
    static Rect webViewFrame(const Rect& windowBounds, const Rect& statusBarFrame, bool overlaysWebView,
                             double safeAreaTop = 0);

    bool isHidden() const { return hidden_; }
    // Observers of the hidden state hear the new value, then the frame change is posted.
    void setHidden(bool hidden);
    int style() const { return style_; }
    void setStyle(int style);
    // The window's top 20 px across its width; the zero rectangle when hidden.
    Rect frame() const;
    int orientation() const { return StatusBarOrientationPortrait; }

    const Rect& windowBounds() const { return windowBounds_; }
    // From the window. A new width resizes the strip with it and changes the frame.
    void setWindowBounds(const Rect& bounds);

    bool overlaysWebView() const { return overlaysWebView_; }
    void setOverlaysWebView(bool overlays);
    // The web view's frame for the current state.
    Rect webViewFrame() const { return webViewFrame(windowBounds_, frame(), overlaysWebView_); }
    // Asks the window to lay the web view out again.
    void layout() { changed(); }

    // The background strip: drawn only while it is in the window and not hidden.
    struct Strip {
        Rect frame;
        RGBA color;
        bool inWindow = false;
        bool hidden = false;
    };
    const Strip& strip() const { return strip_; }
    bool stripShown() const;
    // A new strip, not yet in the window (the previous one leaves it).
    void makeStrip(const Rect& frame, const RGBA& color);
    void addStrip();
    void removeStrip();
    void setStripHidden(bool hidden);
    void setStripColor(const RGBA& color);
    void setStripSize(double width, double height);

    // Called with the new value whenever the hidden state changes.
    [[nodiscard]] ObserverToken observeHidden(std::function<void(bool hidden)> observer);
    // Called on a tap on the status bar.
    [[nodiscard]] ObserverToken observeTaps(std::function<void()> observer);
    // The window: the user clicked the strip.
    void tap();

    // The window redraws and lays out again on every change (one handler).
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

    // Back to the state at start (tests).
    void reset();

private:
    StatusBar();
    void changed();

    bool hidden_ = false;
    int style_ = StatusBarStyleDefault;
    Rect windowBounds_{0, 0, 1024, 768};
    bool overlaysWebView_ = true;
    Strip strip_;
    std::shared_ptr<NotificationCenter> observers_;
    std::function<void()> changed_;
};

// The phone's named colours: "red" gives redColor. nullopt for a name it does
// not know (the name is compared exactly).
std::optional<RGBA> namedColor(const std::string& name);

}  // namespace wharf::platform
