#include "host/WFCommandDelegateImpl.h"

#include <exception>
#include <vector>

#include "host/WFCommandQueue.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "host/WFWebViewEngineProtocol.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace wharf {

using platform::Value;

namespace {

constexpr std::size_t kMaxCallbackIdLength = 100;

}  // namespace

WFCommandDelegateImpl::WFCommandDelegateImpl(std::weak_ptr<WFViewControllerInterface> viewController)
    : viewController_(std::move(viewController)) {
    if (auto controller = viewController_.lock()) commandQueue_ = controller->commandQueue();
    callbackIdPattern_ = platform::Regex::compile("[^A-Za-z0-9._-]");
    if (!callbackIdPattern_) platform::log("Error: Couldn't initialize regex");
}

std::optional<std::string> WFCommandDelegateImpl::pathForResource(const std::string& path) {
    auto controller = viewController_.lock();
    auto bundle = platform::Bundle::mainBundle();
    if (!controller || !bundle) return std::nullopt;
    std::vector<std::string> components = wf_split(path, '/');
    const std::string filename = components.back();
    components.pop_back();
    std::string subpath;
    for (std::size_t i = 0; i < components.size(); ++i) subpath += (i ? "/" : "") + components[i];
    std::string directory = controller->wwwFolderName();
    if (!subpath.empty()) directory += "/" + subpath;
    return bundle->pathForResource(filename, "", directory);
}

void WFCommandDelegateImpl::flushCommandQueueWithDelayedJs() {
    auto queue = commandQueue_.lock();
    if (!queue) return;
    delayResponses_ = true;
    try {
        queue->executePending();
    } catch (...) {
        delayResponses_ = false;
        throw;
    }
    delayResponses_ = false;
}

void WFCommandDelegateImpl::evalJsHelper2(const std::string& js) {
    auto controller = viewController_.lock();
    auto engine = controller ? controller->webViewEngine() : nullptr;
    if (!engine) return;
    std::weak_ptr<WFCommandQueue> weakQueue = commandQueue_;
    engine->evaluateJavaScript(js, [weakQueue](const std::string& result, const platform::Error*) {
        auto queue = weakQueue.lock();
        if (!queue) return;
        // Every evaluated script answers with the calls the page queued meanwhile.
        queue->enqueueCommandBatch(result);
        queue->executePendingFromRunLoop();
    });
}

void WFCommandDelegateImpl::evalJsHelper(const std::string& js) {
    if (!delayResponses_ && platform::RunLoop::isMainThread()) {
        auto queue = commandQueue_.lock();
        if (queue && queue->currentlyExecuting()) {
            evalJsHelper2(js);
            return;
        }
    }
    evalJsOnMainLater(js);
}

void WFCommandDelegateImpl::evalJsOnMainLater(const std::string& js) {
    std::weak_ptr<WFCommandDelegateImpl> weak = weak_from_this();
    platform::RunLoop::performOnMain([weak, js] {
        if (auto self = weak.lock()) self->evalJsHelper2(js);
    });
}

bool WFCommandDelegateImpl::isValidCallbackId(const std::optional<std::string>& callbackId) const {
    if (!callbackId || !callbackIdPattern_) return false;
    if (platform::utf16Length(*callbackId) > kMaxCallbackIdLength) return false;
    return !callbackIdPattern_->search(*callbackId);
}

void WFCommandDelegateImpl::sendPluginResult(const WFPluginResult& result,
                                             const std::optional<std::string>& callbackId) {
    if (callbackId && *callbackId == "INVALID") return;
    if (!isValidCallbackId(callbackId)) {
        platform::log("Invalid callback id received by sendPluginResult");
        return;
    }
    std::string js = "wharf.require('wharf/exec').nativeCallback('" + *callbackId + "'," +
                     std::to_string(result.status()) + "," + result.argumentsAsJSON() + "," +
                     (result.keepCallback() ? "1" : "0") + ", 0)";
    evalJsHelper(js);
}

void WFCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WFCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = "try{wharf.require('wharf/exec').nativeEvalAndFetch(function(){" + js +
                          "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
    if (scheduledOnRunLoop) {
        evalJsHelper(wrapped);
    } else if (platform::RunLoop::isMainThread()) {
        evalJsHelper2(wrapped);
    } else {
        evalJsOnMainLater(wrapped);  // the web view is only ever called on the main thread
    }
}

std::shared_ptr<WFPlugin> WFCommandDelegateImpl::getCommandInstance(const std::string& pluginName) {
    auto controller = viewController_.lock();
    return controller ? controller->getCommandInstance(pluginName) : nullptr;
}

void WFCommandDelegateImpl::runInBackground(std::function<void()> block) {
    platform::dispatch::globalQueue(platform::dispatch::Priority::Default)->async([block = std::move(block)] {
        try {
            block();
        } catch (const std::exception& e) {
            platform::log("ERROR: Exception in a plugin's background work: %s", e.what());
        } catch (...) {
            platform::log("ERROR: Unknown exception in a plugin's background work.");
        }
    });
}

std::string WFCommandDelegateImpl::userAgent() {
    auto controller = viewController_.lock();
    return controller ? controller->userAgent() : std::string();
}

Value WFCommandDelegateImpl::settings() {
    auto controller = viewController_.lock();
    return controller ? controller->settings() : Value::object();
}

WFUrlTransformer WFCommandDelegateImpl::urlTransformer() const {
    std::lock_guard lock(transformerMutex_);
    return urlTransformer_;
}

void WFCommandDelegateImpl::setUrlTransformer(WFUrlTransformer transformer) {
    std::lock_guard lock(transformerMutex_);
    urlTransformer_ = std::move(transformer);
}

}  // namespace wharf
