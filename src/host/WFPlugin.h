#pragma once
// The base class of every native plug-in.
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/WFInvokedUrlCommand.h"
#include "host/WFWebViewEngineProtocol.h"
#include "platform/base/ClassRegistry.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

class WFCommandDelegate;
class WFViewControllerInterface;

// Notifications a plug-in hears (who posts them is the host's business).
inline constexpr const char* WFPluginHandleOpenURLNotification = "WFPluginHandleOpenURLNotification";
inline constexpr const char* WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification =
    "WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification";
inline constexpr const char* WFPluginResetNotification = "WFPluginResetNotification";
inline constexpr const char* WFPageDidLoadNotification = "WFPageDidLoadNotification";
inline constexpr const char* WFViewWillAppearNotification = "WFViewWillAppearNotification";
inline constexpr const char* WFViewDidAppearNotification = "WFViewDidAppearNotification";
inline constexpr const char* WFViewWillDisappearNotification = "WFViewWillDisappearNotification";
inline constexpr const char* WFViewDidDisappearNotification = "WFViewDidDisappearNotification";
inline constexpr const char* WFViewWillLayoutSubviewsNotification = "WFViewWillLayoutSubviewsNotification";
inline constexpr const char* WFViewDidLayoutSubviewsNotification = "WFViewDidLayoutSubviewsNotification";
inline constexpr const char* WFViewWillTransitionToSizeNotification = "WFViewWillTransitionToSizeNotification";

class WFPlugin;

// A plug-in action takes the command and answers only through the delegate.
using WFPluginAction = std::function<void(WFPlugin&, const WFInvokedUrlCommand&)>;
// Selector text ("echo:", the action name with a colon) → action.
using WFActionTable = std::map<std::string, WFPluginAction, std::less<>>;

// Builds a class's action table from member functions:
//   WFMakeActionTable<Echo>({{"echo", &Echo::echo}, {"echoAsync", &Echo::echoAsync}})
template <class T>
WFActionTable WFMakeActionTable(
    std::initializer_list<std::pair<const char*, void (T::*)(const WFInvokedUrlCommand&)>> actions) {
    WFActionTable table;
    for (const auto& action : actions) {
        // Captured by name: clang 14 cannot capture a structured binding.
        auto member = action.second;
        table.emplace(std::string(action.first) + ":", [member](WFPlugin& plugin, const WFInvokedUrlCommand& command) {
            (static_cast<T&>(plugin).*member)(command);
        });
    }
    return table;
}

class WFPlugin : public std::enable_shared_from_this<WFPlugin> {
public:
    WFPlugin() = default;
    virtual ~WFPlugin();
    WFPlugin(const WFPlugin&) = delete;
    WFPlugin& operator=(const WFPlugin&) = delete;

    // Creates an instance of a registered plug-in class with its engine, or
    // null when no such plug-in class is registered.
    static std::shared_ptr<WFPlugin> createInstance(const std::string& className,
                                                    std::shared_ptr<WFWebViewEngineProtocol> engine);

    // Subscribes to the application and host notifications and keeps the
    // engine. A separate step from construction so that an engine, itself a
    // plug-in, can skip it. Call once the instance is owned by a shared_ptr.
    void initWithWebViewEngine(const std::shared_ptr<WFWebViewEngineProtocol>& engine);

    // The class name the plug-in class is known by (its C++ class name).
    virtual std::string className() const;

    // Looked up in the main bundle's "<ClassName>.bundle" (Localizable.strings);
    // the key itself when absent.
    std::string pluginLocalizedString(const std::string& key) const;
    // The path of the image "<ClassName>.bundle/<name>" (or with ".png"), if present.
    std::optional<std::string> pluginImageResource(const std::string& name) const;

    // Called by the host right after registration.
    virtual void pluginInitialize() {}
    // Clears viewController and commandDelegate (not the engine).
    virtual void dispose();

    platform::WebView* webView() const;

    // Hooks. The open-URL notification's object is the opened `const platform::Url*`;
    // the other's userInfo is {"url", "sourceApplication", "annotation"}.
    virtual void handleOpenURL(const platform::Notification& notification);
    virtual void handleOpenURLWithApplicationSourceAndAnnotation(const platform::Notification& notification);
    virtual void onAppTerminate() {}
    virtual void onMemoryWarning() {}
    // Runs when the plug-in's own web view starts loading a page.
    virtual void onReset() {}

    // Navigation veto asked by the web view's navigation delegate, only of
    // plug-ins that answer true from respondsToShouldOverrideLoad().
    virtual bool respondsToShouldOverrideLoad() const { return false; }
    virtual bool shouldOverrideLoadWithRequest(const WFURLRequest& request, int navigationType);

    // The application's delegate.
    static platform::ApplicationDelegate* appDelegate();

    // Actions, found by selector text ("name:").
    virtual const WFActionTable& actionTable() const;
    bool respondsToSelector(const std::string& selector) const;
    // Runs the action; false when there is none for the selector.
    bool performAction(const std::string& selector, const WFInvokedUrlCommand& command);

    std::shared_ptr<WFWebViewEngineProtocol> webViewEngine() const { return webViewEngine_.lock(); }
    void setWebViewEngine(std::weak_ptr<WFWebViewEngineProtocol> engine) { webViewEngine_ = std::move(engine); }
    std::shared_ptr<WFViewControllerInterface> viewController() const { return viewController_.lock(); }
    void setViewController(std::weak_ptr<WFViewControllerInterface> controller) {
        viewController_ = std::move(controller);
    }
    std::shared_ptr<WFCommandDelegate> commandDelegate() const { return commandDelegate_.lock(); }
    void setCommandDelegate(std::weak_ptr<WFCommandDelegate> delegate) { commandDelegate_ = std::move(delegate); }
    bool hasPendingOperation() const { return hasPendingOperation_; }
    void setHasPendingOperation(bool pending) { hasPendingOperation_ = pending; }

private:
    void observe(const std::string& name, const void* object,
                 void (*handler)(WFPlugin&, const platform::Notification&));

    bool hasPendingOperation_ = false;
    std::weak_ptr<WFWebViewEngineProtocol> webViewEngine_;
    std::weak_ptr<WFViewControllerInterface> viewController_;
    std::weak_ptr<WFCommandDelegate> commandDelegate_;
    std::vector<platform::ObserverToken> observations_;
};

// Registers a plug-in class in the class registry under `className`, created
// with initWithWebViewEngine:. T provides `static const WFActionTable& actions()`
// and returns it from actionTable().
template <class T>
void WFRegisterPluginClass(const std::string& className) {
    std::set<std::string> selectors;
    for (const auto& entry : T::actions()) selectors.insert(entry.first);
    std::function<std::shared_ptr<WFPlugin>(std::shared_ptr<WFWebViewEngineProtocol>)> factory =
        [](std::shared_ptr<WFWebViewEngineProtocol> engine) -> std::shared_ptr<WFPlugin> {
        auto plugin = std::make_shared<T>();
        plugin->initWithWebViewEngine(engine);
        return plugin;
    };
    platform::ClassRegistry::shared().registerClass<WFPlugin, std::shared_ptr<WFWebViewEngineProtocol>>(
        className, std::move(factory), std::move(selectors));
}

}  // namespace wharf
