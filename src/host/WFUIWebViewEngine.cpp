#include "host/WFUIWebViewEngine.h"

#include <mutex>

#include "host/WFCommandDelegate.h"
#include "host/WFCommandDelegateImpl.h"
#include "host/WFCommandQueue.h"
#include "host/WFPreferences.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "platform/base/ClassRegistry.h"
#include "platform/base/Log.h"
#include "platform/storage/UserDefaults.h"

namespace wharf {

using platform::Value;

namespace {

std::mutex gFactoryMutex;
WFUIWebViewEngine::WebViewFactory& factory() {
    static WFUIWebViewEngine::WebViewFactory f;
    return f;
}

// The preference's index in `names` (lower-case); 0 when absent or unknown. A
// list value is read by its first entry.
int indexSetting(const Value& settings, const std::string& key, std::initializer_list<const char*> names) {
    auto value = wharfSettingForKey(settings, key);
    if (!value) return 0;
    const Value* item = &*value;
    if (item->is_array()) {
        if (item->empty()) return 0;
        item = &(*item)[0];
    }
    if (!item->is_string()) return 0;
    const std::string wanted = wf_lowercase(item->get<std::string>());
    int index = 0;
    for (const char* name : names) {
        if (wanted == name) return index;
        ++index;
    }
    return 0;
}

}  // namespace

void WFUIWebViewEngine::registerClass() {
    std::function<std::shared_ptr<WFWebViewEngineProtocol>(WFRect)> create =
        [](WFRect frame) -> std::shared_ptr<WFWebViewEngineProtocol> {
        return std::make_shared<WFUIWebViewEngine>(frame);
    };
    platform::ClassRegistry::shared().registerClass<WFWebViewEngineProtocol, WFRect>("WFUIWebViewEngine",
                                                                                     std::move(create));
}

void WFUIWebViewEngine::setWebViewFactory(WebViewFactory f) {
    std::lock_guard lock(gFactoryMutex);
    factory() = std::move(f);
}

std::shared_ptr<platform::WebView> WFUIWebViewEngine::makeWebView(WFRect frame) {
    WebViewFactory make;
    {
        std::lock_guard lock(gFactoryMutex);
        make = factory();
    }
    return make ? make(frame) : nullptr;
}

WFUIWebViewEngine::WFUIWebViewEngine(WFRect frame) {
    engineWebView_ = makeWebView(frame);
    if (!engineWebView_) platform::log("No web view: the web-view factory is not set.");
    platform::log("Using UIWebView");
}

WFUIWebViewEngine::~WFUIWebViewEngine() {
    if (engineWebView_) engineWebView_->setObserver(nullptr);
}

void WFUIWebViewEngine::installDelegate(std::weak_ptr<UIWebViewDelegate> wrapped) {
    uiWebViewDelegate_ = std::make_shared<WFUIWebViewDelegate>(wrapped);
    if (!engineWebView_) return;
    engineWebView_->setObserver(nullptr);
    adapter_ = std::make_unique<WFWebViewEventAdapter>(engineWebView_.get(), uiWebViewDelegate_, std::move(wrapped));
    // The calls a page sends through its channel join the command queue as a
    // fetched batch does, and run at once.
    adapter_->setCommandsHandler([weak = weak_from_this()](const std::string& batch) {
        auto self = weak.lock();
        auto controller = self ? self->viewController() : nullptr;
        auto queue = controller ? controller->commandQueue() : nullptr;
        if (!queue) return;
        queue->enqueueCommandBatch(batch);
        queue->executePendingFromRunLoop();
    });
    adapter_->setCommitHandler([weak = weak_from_this()] {
        auto self = weak.lock();
        auto controller = self ? self->viewController() : nullptr;
        if (auto queue = controller ? controller->commandQueue() : nullptr) queue->documentCommitted();
    });
    engineWebView_->setObserver(adapter_.get());
}

void WFUIWebViewEngine::pluginInitialize() {
    auto controller = viewController();
    if (auto asDelegate = std::dynamic_pointer_cast<UIWebViewDelegate>(controller)) {
        installDelegate(asDelegate);
    } else {
        navWebViewDelegate_ = std::make_shared<WFUIWebViewNavigationDelegate>(weak_from_this());
        installDelegate(navWebViewDelegate_);
    }
    if (auto delegate = commandDelegate()) updateSettings(delegate->settings());
}

void WFUIWebViewEngine::evaluateJavaScript(const std::string& script, WFJavaScriptCompletion completion) {
    if (!engineWebView_) return;
    // Results held back for delivery together were sent before this script.
    if (auto delegate = std::dynamic_pointer_cast<WFCommandDelegateImpl>(commandDelegate()))
        delegate->flushPendingScripts();
    engineWebView_->evaluateJavaScript(script, std::move(completion));
}

bool WFUIWebViewEngine::deliverCallbacks(std::string& results) {
    return engineWebView_ && engineWebView_->deliverCallbacks(results);
}

void WFUIWebViewEngine::takeUserAgentFromDefaults() {
    // The agent the holder of the user-agent lock registered, unless the
    // application's own defaults name one.
    const std::string agent = platform::UserDefaults::standard().stringForKey("UserAgent");
    if (!agent.empty()) engineWebView_->setCustomUserAgent(agent);
}

void WFUIWebViewEngine::loadRequest(const WFURLRequest& request) {
    if (!engineWebView_) return;
    takeUserAgentFromDefaults();
    platform::URLRequest r;
    r.url = request.url;
    r.mainDocumentURL = request.url;
    r.timeoutInterval = request.timeoutInterval;
    engineWebView_->loadRequest(r);
}

void WFUIWebViewEngine::loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) {
    if (!engineWebView_) return;
    takeUserAgentFromDefaults();
    engineWebView_->loadHTMLString(html, baseURL);
}

std::optional<platform::Url> WFUIWebViewEngine::URL() const {
    return engineWebView_ ? engineWebView_->url() : std::nullopt;
}

bool WFUIWebViewEngine::canLoadRequest(const WFURLRequest&) const { return true; }

void WFUIWebViewEngine::updateSettings(const Value& settings) {
    if (!engineWebView_) return;
    platform::WebViewSettings s = engineWebView_->settings();
    s.scalesPageToFit = wharfBoolSettingForKey(settings, "EnableViewportScale", false);
    s.allowsInlineMediaPlayback = wharfBoolSettingForKey(settings, "AllowInlineMediaPlayback", false);
    s.mediaPlaybackRequiresUserAction = wharfBoolSettingForKey(settings, "MediaPlaybackRequiresUserAction", true);
    s.mediaPlaybackAllowsAirPlay = wharfBoolSettingForKey(settings, "MediaPlaybackAllowsAirPlay", true);
    s.keyboardDisplayRequiresUserAction = wharfBoolSettingForKey(settings, "KeyboardDisplayRequiresUserAction", true);
    s.suppressesIncrementalRendering = wharfBoolSettingForKey(settings, "SuppressesIncrementalRendering", false);
    s.gapBetweenPages = wharfFloatSettingForKey(settings, "GapBetweenPages", 0.0);
    s.pageLength = wharfFloatSettingForKey(settings, "PageLength", 0.0);
    if (wharfBoolSettingForKey(settings, "DisallowOverscroll", false)) s.bounces = false;
    auto speed = wharfSettingForKey(settings, "UIWebViewDecelerationSpeed");
    if (!(speed && speed->is_string() && speed->get<std::string>() == "fast")) s.normalDecelerationRate = true;
    s.paginationBreakingMode = indexSetting(settings, "PaginationBreakingMode", {"page", "column"});
    s.paginationMode = indexSetting(settings, "PaginationMode",
                                    {"unpaginated", "lefttoright", "toptobottom", "bottomtotop", "righttoleft"});
    engineWebView_->applySettings(s);
}

void WFUIWebViewEngine::updateWithInfo(const Value& info) {
    if (!info.is_object()) return;
    auto controller = viewController();
    auto delegateEntry = info.find(kWFWebViewEngineUIWebViewDelegate);
    if (delegateEntry != info.end() && platform::boolValue(*delegateEntry)) {
        if (auto asDelegate = std::dynamic_pointer_cast<UIWebViewDelegate>(controller)) installDelegate(asDelegate);
    }
    auto prefs = info.find(kWFWebViewEngineWebViewPreferences);
    if (prefs != info.end() && prefs->is_object()) updateSettings(*prefs);
}

}  // namespace wharf
