#pragma once
// The root view controller that hosts the web application: reads config.xml,
// creates the web-view engine, keeps the plug-in registry, composes the user
// agent, loads the start page (or an error page), tells the page about
// application life-cycle events and posts the view life-cycle notifications.
//
// Owned by a shared_ptr (the queue, the delegate and the plug-ins point back
// weakly): create it with make_shared and call init() before anything else.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/WFCommandDelegateImpl.h"
#include "host/WFCommandQueue.h"
#include "host/WFPlugin.h"
#include "host/WFViewControllerInterface.h"
#include "host/WFWebViewEngineProtocol.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

class WFXMLParserDelegate;

// Orientation values of the platform.
enum UIInterfaceOrientation : int {
    UIInterfaceOrientationPortrait = 1,
    UIInterfaceOrientationPortraitUpsideDown = 2,
    UIInterfaceOrientationLandscapeRight = 3,
    UIInterfaceOrientationLandscapeLeft = 4,
};

struct WFColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
};

struct WFSize {
    double width = 0, height = 0;
};

class WFScreenOrientationDelegate {
public:
    virtual ~WFScreenOrientationDelegate() = default;
    virtual unsigned supportedInterfaceOrientations() const = 0;
    virtual bool shouldAutorotateToInterfaceOrientation(int orientation) const = 0;
    virtual bool shouldAutorotate() const = 0;
};

class WFViewController : public WFViewControllerInterface,
                         public WFScreenOrientationDelegate,
                         public std::enable_shared_from_this<WFViewController> {
public:
    WFViewController() = default;
    ~WFViewController() override;
    WFViewController(const WFViewController&) = delete;
    WFViewController& operator=(const WFViewController&) = delete;

    // The one-time set-up (queue, delegate, observers, orientations, banner).
    void init();
    void printVersion() const;
    void printPlatformVersionWarning() const;
    void printMultitaskingInfo() const;

    // Throws platform::FatalConfigurationError when the file is missing.
    std::string configFilePath() const;
    void parseSettingsWithParser(WFXMLParserDelegate& delegate);
    void loadSettings();
    std::optional<platform::Url> appUrl();
    std::optional<platform::Url> errorURL();

    // The engine's web view (null without an engine).
    platform::WebView* webView() const;
    virtual void viewDidLoad();
    void setLockToken(int64_t lockToken);

    virtual void viewWillAppear(bool animated);
    virtual void viewDidAppear(bool animated);
    virtual void viewWillDisappear(bool animated);
    virtual void viewDidDisappear(bool animated);
    virtual void viewWillLayoutSubviews();
    virtual void viewDidLayoutSubviews();
    virtual void viewWillTransitionToSize(WFSize size);

    static std::optional<WFColor> colorFromColorString(const std::optional<std::string>& colorString);
    static std::vector<int> parseInterfaceOrientations(const platform::Value& orientations);
    bool shouldAutorotate() const override { return true; }
    unsigned supportedInterfaceOrientations() const override;
    bool shouldAutorotateToInterfaceOrientation(int orientation) const override {
        return supportsOrientation(orientation);
    }
    bool supportsOrientation(int orientation) const;

    // Creates the engine and answers its view (owned by the engine).
    platform::WebView* newWharfViewWithFrame(WFRect bounds);
    std::string userAgent() override;
    void createGapView();
    // Answers whether the purge ran (no plug-in had a pending operation).
    virtual bool didReceiveMemoryWarning();
    virtual void viewDidUnload();

    void registerPluginWithClassName(const std::shared_ptr<WFPlugin>& plugin, const std::string& className);
    void registerPluginWithPluginName(const std::shared_ptr<WFPlugin>& plugin, const std::string& pluginName);
    std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) override;
    std::optional<std::string> appURLScheme() const;

    void onAppWillTerminate(const platform::Notification& notification);
    void onAppWillResignActive(const platform::Notification& notification);
    void onAppWillEnterForeground(const platform::Notification& notification);
    void onAppDidBecomeActive(const platform::Notification& notification);
    void onAppDidEnterBackground(const platform::Notification& notification);

    // Accessors.
    std::shared_ptr<WFWebViewEngineProtocol> webViewEngine() const override { return webViewEngine_; }
    std::shared_ptr<WFCommandDelegate> commandDelegate() const override { return commandDelegate_; }
    std::shared_ptr<WFCommandQueue> commandQueue() const override { return commandQueue_; }
    int64_t* userAgentLockToken() { return &userAgentLockToken_; }
    bool initialized() const { return initialized_; }
    const std::vector<int>& supportedOrientations() const { return supportedOrientations_; }
    void setSupportedOrientations(std::vector<int> orientations) { supportedOrientations_ = std::move(orientations); }
    const std::map<std::string, std::shared_ptr<WFPlugin>>& pluginObjects() const { return pluginObjects_; }
    const platform::Value& pluginsMap() const { return pluginsMap_; }
    const std::vector<std::string>& startupPluginNames() const { return startupPluginNames_; }
    const platform::Value& settings() const override { return settings_; }
    platform::Value& mutableSettings() { return settings_; }
    const std::string& wwwFolderName() const override { return wwwFolderName_; }
    void setWwwFolderName(std::string name) { wwwFolderName_ = std::move(name); }
    const std::string& startPage() const { return startPage_; }
    void setStartPage(std::string page) { startPage_ = std::move(page); }
    const std::optional<platform::Url>& openURL() const { return openURL_; }
    void setOpenURL(std::optional<platform::Url> url) { openURL_ = std::move(url); }
    const std::string& baseUserAgent() const { return baseUserAgent_; }
    void setBaseUserAgent(std::string agent) { baseUserAgent_ = std::move(agent); }
    const std::string& configFile() const { return configFile_; }
    void setConfigFile(std::string file) { configFile_ = std::move(file); }
    // The size of the controller's own view (the frame the web view gets).
    WFRect viewBounds() const { return viewBounds_; }
    void setViewBounds(WFRect bounds) { viewBounds_ = bounds; }

private:
    void fireAppEvent(const char* script, std::optional<bool> scheduledOnRunLoop);

    std::shared_ptr<WFWebViewEngineProtocol> webViewEngine_;
    std::shared_ptr<WFCommandDelegateImpl> commandDelegate_;
    std::shared_ptr<WFCommandQueue> commandQueue_;
    std::optional<std::string> userAgent_;
    int64_t userAgentLockToken_ = 0;
    bool initialized_ = false;
    std::vector<int> supportedOrientations_;
    std::map<std::string, std::shared_ptr<WFPlugin>> pluginObjects_;
    platform::Value pluginsMap_ = platform::Value::object();
    // Service name as the page spells it → its plug-in, for names already
    // looked up: every call names its service, and the lower-casing and two
    // look-ups cost more than the rest of a call's dispatch. Emptied whenever
    // the map or the plug-ins change.
    std::unordered_map<std::string, std::shared_ptr<WFPlugin>> commandInstances_;
    std::vector<std::string> startupPluginNames_;
    platform::Value settings_ = platform::Value::object();
    std::string wwwFolderName_;
    std::string startPage_;
    std::optional<platform::Url> openURL_;
    std::string baseUserAgent_;
    std::string configFile_;
    WFRect viewBounds_{0, 0, 1024, 768};
    std::vector<platform::ObserverToken> observations_;
};

}  // namespace wharf
