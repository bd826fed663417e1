#include "app/WFAppDelegate.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <system_error>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf {

namespace {

platform::WebContextOptions& contextOptions() {
    static platform::WebContextOptions options;
    return options;
}

WFURLCacheSettings& urlCache() {
    static WFURLCacheSettings cache;
    return cache;
}

// What the application's pages may read as files: its bundle and its home,
// as the phone's application sandbox allowed.
std::vector<std::string> applicationDirectories() {
    std::vector<std::string> roots;
    auto add = [&](const std::string& path) {
        std::error_code ec;
        auto real = std::filesystem::canonical(path, ec);
        if (!ec && !real.empty()) roots.push_back(real.string());
    };
    if (auto bundle = platform::Bundle::mainBundle()) add(bundle->bundlePath());
    add(platform::Container::home());
    return roots;
}

}  // namespace

// Forwards the window's view events to the root view controller.
class WFAppDelegate::ViewEventsForwarder : public platform::ViewEvents {
public:
    explicit ViewEventsForwarder(std::weak_ptr<WFViewController> controller) : controller_(std::move(controller)) {}
    void viewWillAppear() override {
        with([](auto& c) { c.viewWillAppear(false); });
    }
    void viewDidAppear() override {
        with([](auto& c) { c.viewDidAppear(false); });
    }
    void viewWillDisappear() override {
        with([](auto& c) { c.viewWillDisappear(false); });
    }
    void viewDidDisappear() override {
        with([](auto& c) { c.viewDidDisappear(false); });
    }
    void viewWillLayoutSubviews() override {
        with([](auto& c) { c.viewWillLayoutSubviews(); });
    }
    void viewDidLayoutSubviews() override {
        with([](auto& c) { c.viewDidLayoutSubviews(); });
    }
    void viewWillTransitionToSize(int width, int height) override {
        with([&](auto& c) { c.viewWillTransitionToSize(WFSize{double(width), double(height)}); });
    }

private:
    template <class F>
    void with(F&& f) {
        if (auto c = controller_.lock()) f(*c);
    }
    std::weak_ptr<WFViewController> controller_;
};

WFAppDelegate::WFAppDelegate() {
    // Cookies: always accept. URL cache: 8 MiB in memory, 32 MiB on disk under "nsurlcache".
    auto& options = contextOptions();
    options.acceptAllCookies = true;
    options.acceptThirdPartyCookies = true;
    auto& cache = urlCache();
    cache.memoryCapacity = kURLCacheMemoryCapacity;
    cache.diskCapacity = kURLCacheDiskCapacity;
    cache.diskPath = "nsurlcache";
    options.cacheDirectory = platform::Container::cachesPath() + "/" + cache.diskPath;
    options.dataDirectory = platform::Container::libraryPath() + "/WebKit";
    // Cookies outlive the process, as the phone's shared cookie storage did.
    const std::string cookies = platform::Container::libraryPath() + "/Cookies";
    platform::Container::ensureDirectory(cookies);
    options.cookieFile = cookies + "/cookies.sqlite";
    options.fileAccessRoots = applicationDirectories();
}

WFAppDelegate::~WFAppDelegate() = default;

const platform::WebContextOptions& WFAppDelegate::webContextOptions() { return contextOptions(); }
const WFURLCacheSettings& WFAppDelegate::sharedURLCache() { return urlCache(); }

bool WFAppDelegate::applicationDidFinishLaunchingWithOptions(const platform::Value&) {
    if (!viewController_) {
        viewController_ = std::make_shared<WFViewController>();
        viewController_->init();
    }
    if (window_ && window_->window()) {
        int width = 0, height = 0;
        gtk_window_get_default_size(GTK_WINDOW(window_->window()), &width, &height);
        if (width > 0 && height > 0) viewController_->setViewBounds(WFRect{0, 0, double(width), double(height)});
    }
    // Making the controller the window's root loads its view.
    viewController_->viewDidLoad();
    if (window_) {
        viewEvents_ = std::make_unique<ViewEventsForwarder>(viewController_);
        window_->setViewEvents(viewEvents_.get());
        if (auto* view = viewController_->webView()) window_->setContent(view->widget());
    }
    return true;
}

bool WFAppDelegate::applicationOpenURL(const std::optional<platform::Url>& url,
                                       const std::optional<std::string>& sourceApplication,
                                       const std::optional<platform::Value>& annotation) {
    if (!url) return false;
    platform::Value dictionary = platform::Value::object();
    dictionary["url"] = url->absoluteString();
    if (sourceApplication) dictionary["sourceApplication"] = *sourceApplication;
    if (annotation) dictionary["annotation"] = *annotation;
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(WFPluginHandleOpenURLNotification, &*url);
    center.post(WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification, &dictionary, dictionary);
    return true;
}

void WFAppDelegate::applicationDidReceiveMemoryWarning() { platform::clearWebKitCache(); }

bool WFAppDelegate::didFinishLaunching() {
    try {
        return applicationDidFinishLaunchingWithOptions(nullptr);
    } catch (const platform::FatalConfigurationError& e) {
        // A configuration fault ends the application with its message.
        platform::log("%s", e.what());
        return false;
    }
}

bool WFAppDelegate::openURL(const std::string& text) {
    auto url = platform::Url::parse(text);
    if (!url) platform::log("Ignoring an open-URL request for a malformed URL: %s", text.c_str());
    return applicationOpenURL(url, std::nullopt, std::nullopt);
}

void WFAppDelegate::didReceiveMemoryWarning() {
    applicationDidReceiveMemoryWarning();
    if (viewController_) viewController_->didReceiveMemoryWarning();
}

}  // namespace wharf
