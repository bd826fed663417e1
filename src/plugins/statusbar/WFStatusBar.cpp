#include "plugins/statusbar/WFStatusBar.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <limits>

#include "host/WFCommandDelegate.h"
#include "host/WFPreferences.h"
#include "host/WFStrings.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"

namespace wharf {

using platform::Value;

namespace {
// The phone lets the status bar's frame settle before laying out again.
constexpr std::chrono::milliseconds kFrameChangeDelay{100};
}  // namespace

void registerStatusBarPlugin() { WFRegisterPluginClass<WFStatusBar>("WFStatusBar"); }

const WFActionTable& WFStatusBar::actions() {
    static const WFActionTable table = WFMakeActionTable<WFStatusBar>({
        {"_ready", &WFStatusBar::_ready},
        {"overlaysWebView", &WFStatusBar::overlaysWebView},
        {"styleDefault", &WFStatusBar::styleDefault},
        {"styleLightContent", &WFStatusBar::styleLightContent},
        {"styleBlackTranslucent", &WFStatusBar::styleBlackTranslucent},
        {"styleBlackOpaque", &WFStatusBar::styleBlackOpaque},
        {"backgroundColorByName", &WFStatusBar::backgroundColorByName},
        {"backgroundColorByHexString", &WFStatusBar::backgroundColorByHexString},
        {"hide", &WFStatusBar::hide},
        {"show", &WFStatusBar::show},
    });
    return table;
}

void WFStatusBar::pluginInitialize() {
    if (auto bundle = platform::Bundle::mainBundle()) {
        Value based = bundle->objectForInfoDictionaryKey("UIViewControllerBasedStatusBarAppearance");
        if (!based.is_null()) uiviewControllerBasedStatusBarAppearance_ = platform::boolValue(based);
    }
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    auto with = [weak](auto f) {
        return [weak, f](auto&&...) {
            if (auto self = std::static_pointer_cast<WFStatusBar>(weak.lock())) f(*self);
        };
    };
    hiddenObservation_ = bar().observeHidden([weak](bool hidden) {
        if (auto self = std::static_pointer_cast<WFStatusBar>(weak.lock())) self->updateIsVisible(!hidden);
    });
    auto& center = platform::NotificationCenter::defaultCenter();
    frameObservation_ = center.addObserver(platform::kUIApplicationDidChangeStatusBarFrameNotification, nullptr,
                                           with([](WFStatusBar& self) { self.statusBarDidChangeFrame(); }));
    appearObservation_ = center.addObserver(WFViewWillAppearNotification, nullptr,
                                            with([](WFStatusBar& self) { self.wharfViewWillAppear(); }));

    statusBarOverlaysWebView_ = true;
    initializeStatusBarBackgroundView();

    if (auto color = settingForKey("StatusBarBackgroundColor"); color && color->is_string())
        setBackgroundColorByHexString(color->get<std::string>());
    if (auto style = settingForKey("StatusBarStyle"); style && style->is_string())
        setStatusBarStyle(style->get<std::string>());
    if (auto delegate = commandDelegate())
        scrollsToTop_ = wharfBoolSettingForKey(delegate->settings(), "StatusBarDefaultScrollToTop", false);

    // A tap on the status bar reaches the catcher, which reports it.
    tapObservation_ = bar().observeTaps(with([](WFStatusBar& self) { self.scrollViewShouldScrollToTop(); }));

    statusBarVisible_ = !bar().isHidden();
}

void WFStatusBar::onReset() { eventsCallbackId_.reset(); }

std::optional<Value> WFStatusBar::settingForKey(const std::string& key) const {
    auto delegate = commandDelegate();
    if (!delegate) return std::nullopt;
    return wharfSettingForKey(delegate->settings(), key);
}

// --- Events ----------------------------------------------------------------

void WFStatusBar::sendEvent(WFPluginResult result) {
    if (!eventsCallbackId_) return;
    result.setKeepCallbackAsBool(true);
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, eventsCallbackId_);
}

void WFStatusBar::updateIsVisible(bool visible) {
    sendEvent(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, visible));
}

void WFStatusBar::fireTappedEvent() {
    sendEvent(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, Value{{"type", "tap"}}));
}

bool WFStatusBar::scrollViewShouldScrollToTop() {
    fireTappedEvent();
    // The web view scrolls itself to the top only when the preference asks for it.
    if (scrollsToTop_) {
        if (auto engine = webViewEngine()) engine->evaluateJavaScript("window.scrollTo(0, 0)", nullptr);
    }
    return false;
}

// --- Actions ---------------------------------------------------------------

void WFStatusBar::_ready(const WFInvokedUrlCommand& command) {
    eventsCallbackId_ = command.callbackId();
    updateIsVisible(!bar().isHidden());
    if (auto overlays = settingForKey("StatusBarOverlaysWebView")) {
        setStatusBarOverlaysWebView(platform::boolValue(*overlays));
        if (statusBarOverlaysWebView_) resizeWebView();
    }
}

void WFStatusBar::overlaysWebView(const WFInvokedUrlCommand& command) {
    setStatusBarOverlaysWebView(platform::boolValue(command.argumentAtIndex(0, true, WFValueClass::Number)));
}

void WFStatusBar::styleDefault(const WFInvokedUrlCommand&) { setStyleForStatusBar(platform::StatusBarStyleDefault); }
void WFStatusBar::styleLightContent(const WFInvokedUrlCommand&) {
    setStyleForStatusBar(platform::StatusBarStyleLightContent);
}
void WFStatusBar::styleBlackTranslucent(const WFInvokedUrlCommand&) {
    setStyleForStatusBar(platform::StatusBarStyleLightContent);
}
void WFStatusBar::styleBlackOpaque(const WFInvokedUrlCommand&) {
    setStyleForStatusBar(platform::StatusBarStyleLightContent);
}

void WFStatusBar::backgroundColorByName(const WFInvokedUrlCommand& command) {
    const std::string name = command.argumentAtIndex(0, "black", WFValueClass::String).get<std::string>();
    // The strip takes it; a strip made later takes the last hexadecimal colour.
    if (auto color = platform::namedColor(name)) bar().setStripColor(*color);
}

void WFStatusBar::backgroundColorByHexString(const WFInvokedUrlCommand& command) {
    setBackgroundColorByHexString(command.argumentAtIndex(0, "#000000", WFValueClass::String).get<std::string>());
}

void WFStatusBar::setBackgroundColorByHexString(const std::string& text) {
    if (text.size() < 7 || text[0] != '#') return;
    statusBarBackgroundColor_ = colorFromHexString(text);
    bar().setStripColor(*statusBarBackgroundColor_);
}

void WFStatusBar::hide(const WFInvokedUrlCommand&) {
    statusBarVisible_ = false;
    if (bar().isHidden()) return;
    hideStatusBar();
    bar().removeStrip();
    resizeWebView();
    bar().setStripHidden(true);
}

void WFStatusBar::show(const WFInvokedUrlCommand&) {
    statusBarVisible_ = true;
    if (!bar().isHidden()) return;
    showStatusBar();
    resizeWebView();
    if (!statusBarOverlaysWebView_) {
        resizeStatusBarBackgroundView();
        bar().addStrip();
    }
    bar().setStripHidden(false);
}

// --- Operations ------------------------------------------------------------

void WFStatusBar::setStyleForStatusBar(int style) {
    if (uiviewControllerBasedStatusBarAppearance_) {
        sb_statusBarStyle_ = style;
        refreshStatusBarAppearance();
    } else {
        bar().setStyle(style);
    }
}

void WFStatusBar::setStatusBarStyle(const std::string& name) {
    const std::string lower = wf_lowercase(name);
    if (lower == "default")
        setStyleForStatusBar(platform::StatusBarStyleDefault);
    else if (lower == "lightcontent" || lower == "blacktranslucent" || lower == "blackopaque")
        setStyleForStatusBar(platform::StatusBarStyleLightContent);
}

void WFStatusBar::hideStatusBar() { setStatusBarHidden(true); }

void WFStatusBar::showStatusBar() { setStatusBarHidden(false); }

void WFStatusBar::setStatusBarHidden(bool hidden) {
    if (uiviewControllerBasedStatusBarAppearance_) {
        sb_hideStatusBar_ = hidden;
        refreshStatusBarAppearance();
    } else {
        bar().setHidden(hidden);
    }
}

void WFStatusBar::refreshStatusBarAppearance() {
    // The platform asks the root view controller for both answers again.
    bar().setStyle(preferredStatusBarStyle());
    bar().setHidden(prefersStatusBarHidden());
}

void WFStatusBar::initializeStatusBarBackgroundView() {
    // Without a colour of its own the strip is clear.
    bar().makeStrip(bar().frame(), statusBarBackgroundColor_.value_or(platform::RGBA{0, 0, 0, 0}));
}

void WFStatusBar::resizeStatusBarBackgroundView() {
    const platform::Rect frame = bar().frame();
    bar().setStripSize(frame.width, frame.height);
}

void WFStatusBar::resizeWebView() {
    bar().setOverlaysWebView(statusBarOverlaysWebView_);
    bar().layout();
}

void WFStatusBar::setStatusBarOverlaysWebView(bool overlays) {
    if (overlays == statusBarOverlaysWebView_) return;
    statusBarOverlaysWebView_ = overlays;
    resizeWebView();
    if (!overlays) {
        initializeStatusBarBackgroundView();
        bar().addStrip();
    } else {
        bar().removeStrip();
    }
}

void WFStatusBar::statusBarDidChangeFrame() {
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    platform::RunLoop::performAfter(kFrameChangeDelay, [weak] {
        auto self = std::static_pointer_cast<WFStatusBar>(weak.lock());
        if (!self) return;
        self->resizeStatusBarBackgroundView();
        self->resizeWebView();
    });
}

void WFStatusBar::wharfViewWillAppear() { resizeWebView(); }

platform::RGBA WFStatusBar::colorFromHexString(const std::string& text) {
    std::size_t i = 1;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2])))
        i += 2;
    uint64_t v = 0;
    for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (v > std::numeric_limits<uint32_t>::max()) v = std::numeric_limits<uint32_t>::max();
    }
    return platform::RGBA{double((v >> 16) & 255) / 255, double((v >> 8) & 255) / 255, double(v & 255) / 255, 1};
}

}  // namespace wharf
