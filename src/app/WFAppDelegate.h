#pragma once
// The application delegate: sets the process-wide URL cache and cookie policy,
// puts the web-view host at the root of the window and turns open-URL events
// into the two notifications plug-ins hear.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/WFViewController.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"
#include "platform/device/Application.h"
#include "platform/gui/AppShell.h"
#include "platform/gui/WebView.h"

namespace wharf {

// The shared URL cache as the application configures it. WebKit sizes its own
// caches; the capacities are recorded, the path places the disk cache.
struct WFURLCacheSettings {
    uint64_t memoryCapacity = 0;
    uint64_t diskCapacity = 0;
    std::string diskPath;
};

class WFAppDelegate : public platform::ApplicationDelegate, public platform::AppShellDelegate {
public:
    static constexpr uint64_t kURLCacheMemoryCapacity = 8 * 1024 * 1024;
    static constexpr uint64_t kURLCacheDiskCapacity = 32 * 1024 * 1024;
    // All four orientations.
    static constexpr unsigned kAllOrientations = 30;

    WFAppDelegate();
    ~WFAppDelegate() override;

    virtual bool applicationDidFinishLaunchingWithOptions(const platform::Value& launchOptions);
    // Posts "WFPluginHandleOpenURLNotification" (object: the `const platform::Url*`)
    // then "WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification" (userInfo:
    // {"url", "sourceApplication", "annotation"}). False, posting nothing, for no URL.
    bool applicationOpenURL(const std::optional<platform::Url>& url,
                            const std::optional<std::string>& sourceApplication,
                            const std::optional<platform::Value>& annotation);
    unsigned applicationSupportedInterfaceOrientationsForWindow() const { return kAllOrientations; }
    void applicationDidReceiveMemoryWarning();

    platform::AppShell* window() const { return window_; }
    void setWindow(platform::AppShell* window) { window_ = window; }
    const std::shared_ptr<WFViewController>& viewController() const { return viewController_; }
    void setViewController(std::shared_ptr<WFViewController> controller) { viewController_ = std::move(controller); }

    // What the web engine's context is created with: cookie policy, cache place.
    static const platform::WebContextOptions& webContextOptions();
    static const WFURLCacheSettings& sharedURLCache();

    // platform::AppShellDelegate
    bool didFinishLaunching() override;
    bool openURL(const std::string& url) override;
    void didReceiveMemoryWarning() override;

private:
    class ViewEventsForwarder;
    platform::AppShell* window_ = nullptr;
    std::shared_ptr<WFViewController> viewController_;
    std::unique_ptr<ViewEventsForwarder> viewEvents_;
};

}  // namespace wharf
