#pragma once
// The status-bar plug-in: lets the page show and hide the status bar, choose
// its style, choose whether the web view runs under it or starts below it on
// a coloured strip, and hear when it is tapped or changes visibility.
#include <cstdint>
#include <optional>
#include <string>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/device/StatusBar.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

// Registers "WFStatusBar".
void registerStatusBarPlugin();

class WFStatusBar : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFStatusBar"; }

    void pluginInitialize() override;
    // The page is loaded again: its event callback is gone.
    void onReset() override;

    // --- Actions ------------------------------------------------------------
    void _ready(const WFInvokedUrlCommand& command);
    void overlaysWebView(const WFInvokedUrlCommand& command);
    void styleDefault(const WFInvokedUrlCommand& command);
    void styleLightContent(const WFInvokedUrlCommand& command);
    void styleBlackTranslucent(const WFInvokedUrlCommand& command);
    void styleBlackOpaque(const WFInvokedUrlCommand& command);
    void backgroundColorByName(const WFInvokedUrlCommand& command);
    void backgroundColorByHexString(const WFInvokedUrlCommand& command);
    void hide(const WFInvokedUrlCommand& command);
    void show(const WFInvokedUrlCommand& command);

    // --- Operations ---------------------------------------------------------
    std::optional<platform::Value> settingForKey(const std::string& key) const;
    void setStyleForStatusBar(int style);
    // A "StatusBarStyle" name, compared in lower case; others are ignored.
    void setStatusBarStyle(const std::string& name);
    void hideStatusBar();
    void showStatusBar();
    void refreshStatusBarAppearance();
    void initializeStatusBarBackgroundView();
    void resizeStatusBarBackgroundView();
    void resizeWebView();
    void updateIsVisible(bool visible);
    void fireTappedEvent();
    void statusBarDidChangeFrame();
    void wharfViewWillAppear();
    // The tap catcher's answer: sends the tap event and lets nothing scroll.
    bool scrollViewShouldScrollToTop();

    bool statusBarOverlaysWebView() const { return statusBarOverlaysWebView_; }
    void setStatusBarOverlaysWebView(bool overlays);
    bool statusBarVisible() const { return statusBarVisible_; }

    // "#" and six hexadecimal digits read as the phone's scanner reads them:
    // the hexadecimal number after the "#" (digits past the first eight make
    // it saturate; none at all read as 0), its low 24 bits as red, green, blue.
    static platform::RGBA colorFromHexString(const std::string& text);
    // Text of at least 7 characters beginning with "#" becomes the strip's
    // colour and the one a strip made later takes; other text changes nothing.
    void setBackgroundColorByHexString(const std::string& text);

    // What the root view controller answers when the platform asks it for
    // the status bar's appearance (kept here: the plug-in lives as long as
    // the controller).
    bool prefersStatusBarHidden() const { return sb_hideStatusBar_.value_or(false); }
    int preferredStatusBarStyle() const { return sb_statusBarStyle_.value_or(platform::StatusBarStyleDefault); }

private:
    void sendEvent(WFPluginResult result);
    // Through the root view controller's answers, or straight to the status bar.
    void setStatusBarHidden(bool hidden);
    platform::StatusBar& bar() const { return platform::StatusBar::shared(); }

    bool uiviewControllerBasedStatusBarAppearance_ = true;
    bool statusBarOverlaysWebView_ = true;
    bool statusBarVisible_ = true;
    bool scrollsToTop_ = false;
    std::optional<platform::RGBA> statusBarBackgroundColor_;
    std::optional<std::string> eventsCallbackId_;
    std::optional<bool> sb_hideStatusBar_;
    std::optional<int> sb_statusBarStyle_;
    platform::ObserverToken hiddenObservation_;
    platform::ObserverToken tapObservation_;
    platform::ObserverToken frameObservation_;
    platform::ObserverToken appearObservation_;
};

}  // namespace wharf
