#include "host/WFViewController.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "host/WFConfigParser.h"
#include "host/WFLocalStorage.h"
#include "host/WFPreferences.h"
#include "host/WFStrings.h"
#include "host/WFTimer.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFXMLParser.h"
#include "platform/base/ClassRegistry.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/base/Regex.h"
#include "platform/device/Device.h"
#include "platform/gui/Pasteboard.h"
#include "platform/gui/WebView.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf {

using platform::Notification;
using platform::Url;
using platform::Value;

namespace {

constexpr const char* kDefaultEngineClass = "WFUIWebViewEngine";
constexpr double kStartPageTimeout = 20.0;
constexpr std::size_t kMaxCachedServiceNames = 64;

std::string format(const char* fmt, const std::string& a, const std::string& b = {}) {
    int n = std::snprintf(nullptr, 0, fmt, a.c_str(), b.c_str());
    std::string out(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::snprintf(out.data(), out.size(), fmt, a.c_str(), b.c_str());
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

std::optional<std::string> stringSetting(const Value& settings, const std::string& key) {
    auto value = wharfSettingForKey(settings, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// "dir/page.html?x=1#top" → "dir/page.html" (percent-decoded).
std::string pathPart(const std::string& reference) {
    std::string path = reference.substr(0, reference.find_first_of("?#"));
    if (auto decoded = platform::percentDecode(path)) return *decoded;
    return path;
}

// Numeric comparison of dotted versions ("12" against "8.0").
bool versionBelow(const std::string& version, const std::string& minimum) {
    auto parts = [](const std::string& text) {
        std::vector<long> out;
        std::size_t start = 0;
        while (start <= text.size()) {
            auto dot = text.find('.', start);
            out.push_back(std::strtol(text.substr(start, dot - start).c_str(), nullptr, 10));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        return out;
    };
    auto a = parts(version), b = parts(minimum);
    a.resize(std::max(a.size(), b.size()), 0);
    b.resize(a.size(), 0);
    return a < b;
}

}  // namespace

WFViewController::~WFViewController() {
    observations_.clear();
    try {
        WFUserAgentUtil::releaseLock(&userAgentLockToken_);
    } catch (const std::exception& e) {
        platform::log("%s", e.what());
    }
    if (commandQueue_) commandQueue_->dispose();
    for (auto& [name, plugin] : pluginObjects_) plugin->dispose();
}

void WFViewController::init() {
    if (initialized_) return;
    // The delegate reads the queue from the controller: the queue comes first.
    commandQueue_ = std::make_shared<WFCommandQueue>(weak_from_this());
    commandDelegate_ = std::make_shared<WFCommandDelegateImpl>(weak_from_this());

    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<WFViewController> weak = weak_from_this();
    auto observe = [&](const char* name, void (WFViewController::*handler)(const Notification&)) {
        observations_.push_back(center.addObserver(name, nullptr, [weak, handler](const Notification& n) {
            if (auto self = weak.lock()) ((*self).*handler)(n);
        }));
    };
    observe(platform::kUIApplicationWillTerminateNotification, &WFViewController::onAppWillTerminate);
    observe(platform::kUIApplicationWillResignActiveNotification, &WFViewController::onAppWillResignActive);
    observe(platform::kUIApplicationDidBecomeActiveNotification, &WFViewController::onAppDidBecomeActive);
    observe(platform::kUIApplicationWillEnterForegroundNotification, &WFViewController::onAppWillEnterForeground);
    observe(platform::kUIApplicationDidEnterBackgroundNotification, &WFViewController::onAppDidEnterBackground);

    auto bundle = platform::Bundle::mainBundle();
    supportedOrientations_ = parseInterfaceOrientations(
        bundle ? bundle->objectForInfoDictionaryKey("UISupportedInterfaceOrientations") : Value());
    printVersion();
    printMultitaskingInfo();
    printPlatformVersionWarning();
    initialized_ = true;
}

void WFViewController::printVersion() const { platform::log("Wharf native platform version %s is starting.", "4.5.5"); }

void WFViewController::printPlatformVersionWarning() const {
    const std::string version = platform::Device::systemVersion();
    if (versionBelow(version, "8.0"))
        platform::log("CRITICAL: For Wharf 4.0.0 and above, you will need to upgrade to at least iOS 8.0 or greater. "
                      "Your current version of iOS is %s.",
                      version.c_str());
}

void WFViewController::printMultitaskingInfo() const {
    auto bundle = platform::Bundle::mainBundle();
    bool exitsOnSuspend =
        bundle && platform::boolValue(bundle->objectForInfoDictionaryKey("UIApplicationExitsOnSuspend"));
    // A desktop always multitasks.
    platform::log("Multi-tasking -> Device: %s, App: %s", "YES", exitsOnSuspend ? "NO" : "YES");
}

std::string WFViewController::configFilePath() const {
    const std::string name = configFile_.empty() ? "config.xml" : configFile_;
    std::string path = name;
    if (name.empty() || name[0] != '/') {
        auto bundle = platform::Bundle::mainBundle();
        auto found = bundle ? bundle->pathForResource(name) : std::nullopt;
        if (!found) throw platform::FatalConfigurationError(format("ERROR: %s not found in the main bundle!", name));
        path = *found;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw platform::FatalConfigurationError(format(
            "ERROR: %s does not exist. Please run wharf-ios/bin/wharf_plist_to_config_xml path/to/project.", path));
    return path;
}

void WFViewController::parseSettingsWithParser(WFXMLParserDelegate& delegate) {
    auto parser = WFXMLParser::fromFile(configFilePath());
    if (!parser) {
        platform::log("Failed to initialize XML parser.");
        return;
    }
    parser->setDelegate(&delegate);
    parser->parse();
}

void WFViewController::loadSettings() {
    WFConfigParser delegate;
    parseSettingsWithParser(delegate);
    pluginsMap_ = delegate.pluginsDict().is_object() ? delegate.pluginsDict() : Value::object();
    startupPluginNames_ = delegate.startupPluginNames();
    settings_ = delegate.settings().is_object() ? delegate.settings() : Value::object();
    if (wwwFolderName_.empty()) wwwFolderName_ = "www";
    if (delegate.startPage() && startPage_.empty()) startPage_ = *delegate.startPage();
    if (startPage_.empty()) startPage_ = "index.html";
    pluginObjects_.clear();
    commandInstances_.clear();
}

std::optional<Url> WFViewController::appUrl() {
    if (startPage_.find("://") != std::string::npos) return Url::parse(startPage_);
    if (wwwFolderName_.find("://") != std::string::npos) return Url::parse(wwwFolderName_ + "/" + startPage_);
    if (wwwFolderName_.find(".bundle") != std::string::npos || wwwFolderName_.find(".framework") != std::string::npos) {
        auto bundle = platform::Bundle::open(wwwFolderName_);
        auto path = bundle ? bundle->pathForResource(startPage_) : std::nullopt;
        if (!path) return std::nullopt;
        return Url::fileURL(*path);
    }
    auto path = commandDelegate_ ? commandDelegate_->pathForResource(pathPart(startPage_)) : std::nullopt;
    if (!path) return std::nullopt;
    Url url = Url::fileURL(*path);
    auto suffix = startPage_.find_first_of("?#");
    if (suffix != std::string::npos) {
        if (auto resolved = Url::resolve(url, std::string_view(startPage_).substr(suffix))) return resolved;
    }
    return url;
}

std::optional<Url> WFViewController::errorURL() {
    auto value = stringSetting(settings_, "ErrorUrl");
    if (!value) return std::nullopt;
    if (value->find("://") != std::string::npos) return Url::parse(*value);
    auto path = commandDelegate_ ? commandDelegate_->pathForResource(pathPart(*value)) : std::nullopt;
    if (!path) return std::nullopt;
    return Url::fileURL(*path);
}

platform::WebView* WFViewController::webView() const {
    return webViewEngine_ ? webViewEngine_->engineWebView() : nullptr;
}

void WFViewController::viewDidLoad() {
    loadSettings();

    std::string backupType = stringSetting(settings_, "BackupWebStorage").value_or("cloud");
    setWharfSetting(settings_, backupType, "BackupWebStorage");
    WFLocalStorage::fixupDatabaseLocationsWithBackupType(backupType);

    if (!webViewEngine_) createGapView();

    if (backupType == "local" && pluginsMap_.contains("localstorage")) startupPluginNames_.push_back("localstorage");
    if (!startupPluginNames_.empty()) {
        WFTimer::start("TotalPluginStartup");
        for (const auto& name : startupPluginNames_) {
            WFTimer::start(name);
            getCommandInstance(name);
            WFTimer::stop(name);
        }
        WFTimer::stop("TotalPluginStartup");
    }

    std::optional<Url> startURL = appUrl();
    std::weak_ptr<WFViewController> weak = weak_from_this();
    WFUserAgentUtil::acquireLock([weak, startURL](int64_t lockToken) {
        auto self = weak.lock();
        if (!self) return;
        self->setLockToken(lockToken);
        auto engine = self->webViewEngine_;
        if (startURL) {
            if (engine) engine->loadRequest(WFURLRequest{*startURL, 0, kStartPageTimeout});
            return;
        }
        std::string message =
            format("ERROR: Start Page at '%s/%s' was not found.", self->wwwFolderName_, self->startPage_);
        platform::log("%s", message.c_str());
        if (auto error = self->errorURL()) {
            auto url = Url::resolve(*error, "?error=" + platform::percentEncode(message));
            if (url) {
                platform::log("%s", url->absoluteString().c_str());
                if (engine) engine->loadRequest(WFURLRequest{*url});
                return;
            }
        }
        if (engine) engine->loadHTMLString("<html><body> " + message + " </body></html>", std::nullopt);
    });

    if (auto color = colorFromColorString(stringSetting(settings_, "BackgroundColor"))) {
        if (auto* view = webView()) view->setBackgroundColor(color->red, color->green, color->blue, color->alpha);
    }
}

void WFViewController::setLockToken(int64_t lockToken) {
    userAgentLockToken_ = lockToken;
    // The engine's web view takes the registered agent when it loads the page.
    WFUserAgentUtil::setUserAgent(userAgent(), lockToken);
}

namespace {
void postViewEvent(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }
}  // namespace

void WFViewController::viewWillAppear(bool) { postViewEvent(WFViewWillAppearNotification); }
void WFViewController::viewDidAppear(bool) { postViewEvent(WFViewDidAppearNotification); }
void WFViewController::viewWillDisappear(bool) { postViewEvent(WFViewWillDisappearNotification); }
void WFViewController::viewDidDisappear(bool) { postViewEvent(WFViewDidDisappearNotification); }
void WFViewController::viewWillLayoutSubviews() { postViewEvent(WFViewWillLayoutSubviewsNotification); }
void WFViewController::viewDidLayoutSubviews() { postViewEvent(WFViewDidLayoutSubviewsNotification); }

void WFViewController::viewWillTransitionToSize(WFSize size) {
    viewBounds_.width = size.width;
    viewBounds_.height = size.height;
    Value info = Value::object();
    info["width"] = size.width;
    info["height"] = size.height;
    platform::NotificationCenter::defaultCenter().post(WFViewWillTransitionToSizeNotification, &size, info);
}

std::optional<WFColor> WFViewController::colorFromColorString(const std::optional<std::string>& colorString) {
    if (!colorString) return std::nullopt;
    static const auto pattern =
        platform::Regex::compile("^(#[0-9A-F]{3}|(0x|#)([0-9A-F]{2})?[0-9A-F]{6})$", platform::Regex::CaseInsensitive);
    if (!pattern || !pattern->search(*colorString)) return std::nullopt;
    std::string text = *colorString;
    if (text.size() == 4 && text[0] == '#')
        text = std::string("#") + text[1] + text[1] + text[2] + text[2] + text[3] + text[3];
    std::string converted;
    for (char c : text) converted += (c == '#') ? std::string("0x") : std::string(1, c);
    if (converted.size() == 8) converted = "0xFF" + converted.substr(2);
    uint32_t value = static_cast<uint32_t>(std::stoul(converted.substr(2), nullptr, 16));
    WFColor color;
    color.alpha = ((value >> 24) & 0xFF) / 255.0;
    color.red = ((value >> 16) & 0xFF) / 255.0;
    color.green = ((value >> 8) & 0xFF) / 255.0;
    color.blue = (value & 0xFF) / 255.0;
    return color;
}

std::vector<int> WFViewController::parseInterfaceOrientations(const Value& orientations) {
    std::vector<int> result;
    if (orientations.is_array()) {
        for (const auto& item : orientations) {
            if (!item.is_string()) continue;
            const std::string name = item.get<std::string>();
            if (name == "UIInterfaceOrientationPortrait")
                result.push_back(UIInterfaceOrientationPortrait);
            else if (name == "UIInterfaceOrientationPortraitUpsideDown")
                result.push_back(UIInterfaceOrientationPortraitUpsideDown);
            else if (name == "UIInterfaceOrientationLandscapeLeft")
                result.push_back(UIInterfaceOrientationLandscapeLeft);
            else if (name == "UIInterfaceOrientationLandscapeRight")
                result.push_back(UIInterfaceOrientationLandscapeRight);
        }
    }
    if (result.empty()) result.push_back(UIInterfaceOrientationPortrait);
    return result;
}

unsigned WFViewController::supportedInterfaceOrientations() const {
    unsigned mask = 0;
    for (int orientation = 1; orientation <= 4; ++orientation)
        if (supportsOrientation(orientation)) mask |= 1u << orientation;
    return mask;
}

bool WFViewController::supportsOrientation(int orientation) const {
    return std::find(supportedOrientations_.begin(), supportedOrientations_.end(), orientation) !=
           supportedOrientations_.end();
}

platform::WebView* WFViewController::newWharfViewWithFrame(WFRect bounds) {
    const std::string defaultClass =
        stringSetting(settings_, "WharfDefaultWebViewEngine").value_or(kDefaultEngineClass);
    const std::string wanted = stringSetting(settings_, "WharfWebViewEngine").value_or(defaultClass);
    auto& registry = platform::ClassRegistry::shared();
    auto create = [&](const std::string& name) {
        return registry.create<WFWebViewEngineProtocol, WFRect>(name, bounds);
    };

    std::shared_ptr<WFWebViewEngineProtocol> engine;
    if (registry.hasClass(wanted)) {
        engine = create(wanted);
        WFURLRequest request;
        if (auto url = appUrl()) request.url = *url;
        if (!engine || !engine->canLoadRequest(request)) engine = create(defaultClass);
    } else {
        engine = create(defaultClass);
    }
    webViewEngine_ = engine;
    if (!engine) {
        platform::log("No web-view engine class %s.", defaultClass.c_str());
        return nullptr;
    }
    if (auto plugin = std::dynamic_pointer_cast<WFPlugin>(engine)) {
        plugin->setWebViewEngine(engine);
        registerPluginWithClassName(plugin, wanted);
    }
    return engine->engineWebView();
}

std::string WFViewController::userAgent() {
    if (!userAgent_) {
        std::string base = baseUserAgent_;
        if (base.empty()) base = stringSetting(settings_, "OverrideUserAgent").value_or("");
        if (base.empty()) base = WFUserAgentUtil::originalUserAgent();
        if (auto append = stringSetting(settings_, "AppendUserAgent")) base += " " + *append;
        userAgent_ = base;
    }
    return *userAgent_;
}

void WFViewController::createGapView() { newWharfViewWithFrame(viewBounds_); }

bool WFViewController::didReceiveMemoryWarning() {
    bool pending = false;
    for (const auto& [name, plugin] : pluginObjects_) {
        if (plugin->hasPendingOperation()) {
            platform::log("Plugin '%s' has a pending operation, memory purge is delayed for didReceiveMemoryWarning.",
                          plugin->className().c_str());
            pending = true;
        }
    }
    // The purge itself: nothing is cached by the controller's view on a desktop.
    return !pending;
}

void WFViewController::viewDidUnload() { WFUserAgentUtil::releaseLock(&userAgentLockToken_); }

void WFViewController::registerPluginWithClassName(const std::shared_ptr<WFPlugin>& plugin,
                                                   const std::string& className) {
    if (!plugin) return;
    plugin->setViewController(weak_from_this());
    plugin->setCommandDelegate(commandDelegate_);
    pluginObjects_[className] = plugin;
    commandInstances_.clear();
    try {
        plugin->pluginInitialize();
    } catch (const std::exception& e) {
        platform::log("Plugin %s failed to initialize: %s", className.c_str(), e.what());
    }
}

void WFViewController::registerPluginWithPluginName(const std::shared_ptr<WFPlugin>& plugin,
                                                    const std::string& pluginName) {
    if (!plugin) return;
    const std::string className = plugin->className();
    pluginsMap_[wf_lowercase(pluginName)] = className;
    registerPluginWithClassName(plugin, className);
}

std::shared_ptr<WFPlugin> WFViewController::getCommandInstance(const std::string& pluginName) {
    if (auto known = commandInstances_.find(pluginName); known != commandInstances_.end()) return known->second;
    auto mapped = pluginsMap_.find(wf_lowercase(pluginName));
    if (mapped == pluginsMap_.end() || !mapped->is_string()) return nullptr;
    const std::string className = mapped->get<std::string>();
    std::shared_ptr<WFPlugin> plugin;
    if (auto it = pluginObjects_.find(className); it != pluginObjects_.end()) {
        plugin = it->second;
    } else {
        plugin = WFPlugin::createInstance(className, webViewEngine_);
        if (!plugin) {
            platform::log("WFPlugin class %s (pluginName: %s) does not exist.", className.c_str(), pluginName.c_str());
            return nullptr;
        }
        registerPluginWithClassName(plugin, className);
    }
    // Spellings differ only in case; a page that tries many stays bounded.
    if (commandInstances_.size() >= kMaxCachedServiceNames) commandInstances_.clear();
    commandInstances_.emplace(pluginName, plugin);
    return plugin;
}

std::optional<std::string> WFViewController::appURLScheme() const {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return std::nullopt;
    Value types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types.is_array() || types.empty() || !types[0].is_object()) return std::nullopt;
    auto schemes = types[0].find("CFBundleURLSchemes");
    if (schemes == types[0].end() || !schemes->is_array() || schemes->empty() || !(*schemes)[0].is_string())
        return std::nullopt;
    return (*schemes)[0].get<std::string>();
}

void WFViewController::onAppWillTerminate(const Notification&) {
    namespace fs = std::filesystem;
    // Only the application's own tmp inside its container is emptied; a tmp
    // that resolves anywhere else (a symlink to /tmp, a home of "/") is left alone.
    std::error_code ec;
    const fs::path home = fs::weakly_canonical(platform::Container::home(), ec);
    const fs::path tmp = fs::path(platform::Container::tmpPath());
    if (ec || home.empty() || home == home.root_path() || fs::is_symlink(tmp, ec)) {
        platform::log("Not emptying %s: it is not the application's own tmp.", tmp.c_str());
        return;
    }
    const fs::path canonicalTmp = fs::weakly_canonical(tmp, ec);
    auto rel = canonicalTmp.lexically_relative(home);
    if (ec || rel.empty() || *rel.begin() == "..") {
        platform::log("Not emptying %s: it is not the application's own tmp.", tmp.c_str());
        return;
    }
    // Deepest entries first, each on its own, so that one failure does not stop the walk.
    std::vector<fs::path> paths;
    for (auto it = fs::recursive_directory_iterator(canonicalTmp, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        paths.push_back(it->path());
    for (auto p = paths.rbegin(); p != paths.rend(); ++p) {
        std::error_code removeError;
        if (!fs::remove(*p, removeError) && removeError)
            platform::log("Failed to delete: %s (error: %s)", p->c_str(), removeError.message().c_str());
    }
}

void WFViewController::fireAppEvent(const char* script, std::optional<bool> scheduledOnRunLoop) {
    if (!commandDelegate_) return;
    if (scheduledOnRunLoop)
        commandDelegate_->evalJs(script, *scheduledOnRunLoop);
    else
        commandDelegate_->evalJs(script);
}

void WFViewController::onAppWillResignActive(const Notification&) {
    fireAppEvent("wharf.fireDocumentEvent('resign');", false);
}

void WFViewController::onAppDidEnterBackground(const Notification&) {
    fireAppEvent("wharf.fireDocumentEvent('pause', null, true);", false);
}

void WFViewController::onAppWillEnterForeground(const Notification&) {
    fireAppEvent("wharf.fireDocumentEvent('resume');", std::nullopt);
    // The text on the pasteboard is put back as plain text, owned by us.
    if (auto* pasteboard = platform::Pasteboard::general())
        pasteboard->requestString([](std::optional<std::string> text) {
            if (auto* general = platform::Pasteboard::general(); general && text) general->setString(*text);
        });
}

void WFViewController::onAppDidBecomeActive(const Notification&) {
    fireAppEvent("wharf.fireDocumentEvent('active');", std::nullopt);
}

}  // namespace wharf
