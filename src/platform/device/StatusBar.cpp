#include "platform/device/StatusBar.h"

#include <map>
#include <string>

namespace wharf::platform {

namespace {
constexpr const char* kHiddenChanged = "statusBarHidden";
constexpr const char* kTapped = "statusBarTapped";
}  // namespace

StatusBar& StatusBar::shared() {
    static StatusBar* bar = new StatusBar;  // lives as long as the process
    return *bar;
}

StatusBar::StatusBar() : observers_(NotificationCenter::create()) {}

Rect StatusBar::webViewFrame(const Rect& bounds, const Rect& statusBarFrame, bool overlaysWebView, double safeAreaTop) {
    const double h = statusBarFrame.height;
    double top = h;
    if (overlaysWebView) {
        top = 0;
        // The inset is measured in single precision, as the phone reports it.
        const float t = static_cast<float>(safeAreaTop);
        if (t > 0 && h >= t) top = t == 40 ? 20 : h - t;
    }
    return Rect{bounds.x, top, bounds.width, bounds.height - top};
}

void StatusBar::setHidden(bool hidden) {
    if (hidden == hidden_) return;
    hidden_ = hidden;
    Value info = Value::object();
    info["new"] = hidden;
    observers_->post(kHiddenChanged, this, info);
    NotificationCenter::defaultCenter().post(kUIApplicationDidChangeStatusBarFrameNotification, this);
    changed();
}

void StatusBar::setStyle(int style) {
    if (style == style_) return;
    style_ = style;
    changed();
}

Rect StatusBar::frame() const {
    if (hidden_) return Rect{};
    return Rect{0, 0, windowBounds_.width, kHeight};
}

void StatusBar::setWindowBounds(const Rect& bounds) {
    if (bounds == windowBounds_) return;
    const double widthChange = bounds.width - windowBounds_.width;
    windowBounds_ = bounds;
    // The strip has a flexible width and a flexible bottom margin.
    strip_.frame.width += widthChange;
    if (widthChange != 0 && !hidden_)
        NotificationCenter::defaultCenter().post(kUIApplicationDidChangeStatusBarFrameNotification, this);
    changed();
}

void StatusBar::setOverlaysWebView(bool overlays) {
    if (overlays == overlaysWebView_) return;
    overlaysWebView_ = overlays;
    changed();
}

bool StatusBar::stripShown() const {
    return strip_.inWindow && !strip_.hidden && strip_.frame.width > 0 && strip_.frame.height > 0;
}

void StatusBar::makeStrip(const Rect& frame, const RGBA& color) {
    strip_ = Strip{frame, color, false, false};
    changed();
}

void StatusBar::addStrip() {
    strip_.inWindow = true;
    changed();
}

void StatusBar::removeStrip() {
    strip_.inWindow = false;
    changed();
}

void StatusBar::setStripHidden(bool hidden) {
    strip_.hidden = hidden;
    changed();
}

void StatusBar::setStripColor(const RGBA& color) {
    strip_.color = color;
    changed();
}

void StatusBar::setStripSize(double width, double height) {
    strip_.frame.width = width;
    strip_.frame.height = height;
    changed();
}

ObserverToken StatusBar::observeHidden(std::function<void(bool)> observer) {
    return observers_->addObserver(kHiddenChanged, this, [observer = std::move(observer)](const Notification& n) {
        observer(n.userInfo["new"].get<bool>());
    });
}

ObserverToken StatusBar::observeTaps(std::function<void()> observer) {
    return observers_->addObserver(kTapped, this,
                                   [observer = std::move(observer)](const Notification&) { observer(); });
}

void StatusBar::tap() { observers_->post(kTapped, this); }

void StatusBar::reset() {
    hidden_ = false;
    style_ = StatusBarStyleDefault;
    windowBounds_ = Rect{0, 0, 1024, 768};
    overlaysWebView_ = true;
    strip_ = Strip{};
    changed();
}

void StatusBar::changed() {
    if (changed_) changed_();
}

std::optional<RGBA> namedColor(const std::string& name) {
    static const std::map<std::string, RGBA, std::less<>> colors = {
        {"black", {0, 0, 0, 1}},
        {"darkGray", {1.0 / 3, 1.0 / 3, 1.0 / 3, 1}},
        {"lightGray", {2.0 / 3, 2.0 / 3, 2.0 / 3, 1}},
        {"white", {1, 1, 1, 1}},
        {"gray", {0.5, 0.5, 0.5, 1}},
        {"red", {1, 0, 0, 1}},
        {"green", {0, 1, 0, 1}},
        {"blue", {0, 0, 1, 1}},
        {"cyan", {0, 1, 1, 1}},
        {"yellow", {1, 1, 0, 1}},
        {"magenta", {1, 0, 1, 1}},
        {"orange", {1, 0.5, 0, 1}},
        {"purple", {0.5, 0, 0.5, 1}},
        {"brown", {0.6, 0.4, 0.2, 1}},
        {"clear", {0, 0, 0, 0}},
        {"darkText", {0, 0, 0, 1}},
        {"lightText", {1, 1, 1, 0.6}},
    };
    auto it = colors.find(name);
    if (it == colors.end()) return std::nullopt;
    return it->second;
}

}  // namespace wharf::platform
