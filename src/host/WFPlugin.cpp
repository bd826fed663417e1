#include "host/WFPlugin.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "host/WFStringsTable.h"
#include "platform/storage/Bundle.h"

namespace wharf {

using platform::Notification;
using platform::NotificationCenter;

WFPlugin::~WFPlugin() {
    // Tokens remove their observations; done first so that no notification
    // reaches a half-destroyed plug-in.
    observations_.clear();
}

std::shared_ptr<WFPlugin> WFPlugin::createInstance(const std::string& className,
                                                   std::shared_ptr<WFWebViewEngineProtocol> engine) {
    return platform::ClassRegistry::shared().create<WFPlugin, std::shared_ptr<WFWebViewEngineProtocol>>(
        className, std::move(engine));
}

void WFPlugin::observe(const std::string& name, const void* object, void (*handler)(WFPlugin&, const Notification&)) {
    // A weak reference: a notification posted on another thread while the
    // plug-in goes away must not reach it.
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    WFPlugin* self = this;
    const bool shared = !weak.expired();
    observations_.push_back(NotificationCenter::defaultCenter().addObserver(
        name, object, [weak, self, shared, handler](const Notification& notification) {
            if (!shared) return handler(*self, notification);
            if (auto plugin = weak.lock()) handler(*plugin, notification);
        }));
}

void WFPlugin::initWithWebViewEngine(const std::shared_ptr<WFWebViewEngineProtocol>& engine) {
    observations_.clear();
    observe(platform::kUIApplicationWillTerminateNotification, nullptr,
            [](WFPlugin& p, const Notification&) { p.onAppTerminate(); });
    observe(platform::kUIApplicationDidReceiveMemoryWarningNotification, nullptr,
            [](WFPlugin& p, const Notification&) { p.onMemoryWarning(); });
    observe(WFPluginHandleOpenURLNotification, nullptr, [](WFPlugin& p, const Notification& n) { p.handleOpenURL(n); });
    observe(WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification, nullptr,
            [](WFPlugin& p, const Notification& n) { p.handleOpenURLWithApplicationSourceAndAnnotation(n); });
    observe(WFPluginResetNotification, engine ? engine->engineWebView() : nullptr,
            [](WFPlugin& p, const Notification&) { p.onReset(); });
    webViewEngine_ = engine;
}

std::string WFPlugin::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : mangled;
    std::free(demangled);
    // Drop namespaces ("wharf::WFLogger" → "WFLogger"), not template arguments.
    auto cut = name.find('<');
    auto colons = name.rfind("::", cut == std::string::npos ? std::string::npos : cut);
    if (colons != std::string::npos) name = name.substr(colons + 2);
    return name;
}

std::string WFPlugin::pluginLocalizedString(const std::string& key) const {
    auto main = platform::Bundle::mainBundle();
    if (!main) return key;
    auto bundlePath = main->pathForResource(className(), "bundle");
    if (!bundlePath) return key;
    auto bundle = platform::Bundle::open(*bundlePath);
    return bundle ? wf_localizedString(*bundle, key) : key;
}

std::optional<std::string> WFPlugin::pluginImageResource(const std::string& name) const {
    auto main = platform::Bundle::mainBundle();
    if (!main) return std::nullopt;
    const std::string folder = className() + ".bundle";
    if (auto path = main->pathForResource(name, "", folder)) return path;
    return main->pathForResource(name, "png", folder);
}

void WFPlugin::dispose() {
    viewController_.reset();
    commandDelegate_.reset();
}

platform::WebView* WFPlugin::webView() const {
    auto engine = webViewEngine();
    return engine ? engine->engineWebView() : nullptr;
}

void WFPlugin::handleOpenURL(const Notification&) {}

void WFPlugin::handleOpenURLWithApplicationSourceAndAnnotation(const Notification&) {}

bool WFPlugin::shouldOverrideLoadWithRequest(const WFURLRequest&, int) { return true; }

platform::ApplicationDelegate* WFPlugin::appDelegate() { return platform::Application::shared().delegate(); }

const WFActionTable& WFPlugin::actionTable() const {
    static const WFActionTable empty;
    return empty;
}

bool WFPlugin::respondsToSelector(const std::string& selector) const { return actionTable().contains(selector); }

bool WFPlugin::performAction(const std::string& selector, const WFInvokedUrlCommand& command) {
    const auto& table = actionTable();
    auto it = table.find(selector);
    if (it == table.end()) return false;
    it->second(*this, command);
    return true;
}

}  // namespace wharf
