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

bool WFCommandDelegateImpl::inRunOnMainThread() const {
    if (delayResponses_ || !platform::RunLoop::isMainThread()) return false;
    auto queue = commandQueue_.lock();
    return queue && queue->currentlyExecuting();
}

void WFCommandDelegateImpl::hold(std::string script, bool callback, bool flushSoon) {
    {
        std::lock_guard lock(pendingMutex_);
        pending_.push_back({std::move(script), callback});
    }
    if (flushSoon) scheduleFlush();
}

void WFCommandDelegateImpl::scheduleFlush() {
    {
        std::lock_guard lock(pendingMutex_);
        if (flushScheduled_) return;
        flushScheduled_ = true;
    }
    std::weak_ptr<WFCommandDelegateImpl> weak = weak_from_this();
    platform::RunLoop::performOnMain([weak] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->pendingMutex_);
            self->flushScheduled_ = false;
        }
        self->flushPendingScripts();
    });
}

void WFCommandDelegateImpl::flushPendingScripts() {
    if (!platform::RunLoop::isMainThread()) {
        scheduleFlush();
        return;
    }
    // A nested call (from an evaluation whose completion runs at once) leaves
    // the scripts to the loop below, which keeps them in order.
    if (flushing_) return;
    flushing_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{flushing_};

    // Calls the page makes in the continuations of delivered callbacks are
    // picked up by the next script that returns a batch: any script of ours,
    // or, when callbacks went last, a fetch sent right behind them.
    bool fetchOwed = false;
    for (;;) {
        std::vector<PendingScript> scripts;
        {
            std::lock_guard lock(pendingMutex_);
            scripts.swap(pending_);
        }
        if (scripts.empty()) {
            if (!fetchOwed) return;
            fetchOwed = false;
            if (auto queue = commandQueue_.lock()) queue->fetchCommandsFromJs();
            continue;
        }
        std::vector<std::string> callbacks;
        for (auto& pending : scripts) {
            if (pending.callback) {
                callbacks.push_back(std::move(pending.script));
                continue;
            }
            evaluateCallbacks(callbacks);
            evaluate(pending.script, false);
            fetchOwed = false;
        }
        if (!callbacks.empty()) {
            evaluateCallbacks(callbacks);
            fetchOwed = true;
        }
    }
}

void WFCommandDelegateImpl::evaluateCallbacks(std::vector<std::string>& callbacks) {
    if (callbacks.empty()) return;
    if (callbacks.size() == 1) {
        evaluate(callbacks.front(), false);
    } else {
        // Each callback in its own guard, so one that throws does not stop the
        // rest; the batches they return come back joined by U+001E, which no
        // JSON text contains, and are queued one by one as before.
        std::size_t size = 0;
        for (const auto& js : callbacks) size += js.size() + 24;
        std::string group;
        group.reserve(size + 256);
        group += "(function(){var r=[];function d(f){try{var b=f();if(typeof b==='string'&&b)r.push(b);}"
                 "catch(e){console.log('exception nativeCallback : '+e);}}\n";
        for (const auto& js : callbacks) {
            group += "d(function(){return ";
            group += js;
            group += "});\n";
        }
        group += "return r.join('\\x1e');})()";
        evaluate(group, true);
    }
    callbacks.clear();
}

void WFCommandDelegateImpl::evaluate(const std::string& js, bool grouped) {
    auto controller = viewController_.lock();
    auto engine = controller ? controller->webViewEngine() : nullptr;
    if (!engine) return;
    std::weak_ptr<WFCommandQueue> weakQueue = commandQueue_;
    engine->evaluateJavaScript(js, [weakQueue, grouped](const std::string& result, const platform::Error*) {
        auto queue = weakQueue.lock();
        if (!queue) return;
        // Every evaluated script answers with the calls the page queued meanwhile.
        if (!grouped) {
            queue->enqueueCommandBatch(result);
        } else {
            std::size_t from = 0;
            for (std::size_t at; (at = result.find('\x1e', from)) != std::string::npos; from = at + 1)
                queue->enqueueCommandBatch(result.substr(from, at - from));
            queue->enqueueCommandBatch(from ? result.substr(from) : result);
        }
        queue->executePendingFromRunLoop();
    });
}

void WFCommandDelegateImpl::evalJsHelper2(const std::string& js) {
    const bool onMain = platform::RunLoop::isMainThread();
    hold(js, false, !onMain);
    if (onMain) flushPendingScripts();
}

void WFCommandDelegateImpl::evalJsHelper(const std::string& js) {
    if (inRunOnMainThread()) {
        evalJsHelper2(js);
    } else {
        hold(js, false, true);
    }
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
    if (inRunOnMainThread()) {
        // Delivered with the rest of the run's results when the run ends.
        if (!runEndHooked_) {
            runEndHooked_ = true;
            std::weak_ptr<WFCommandDelegateImpl> weak = weak_from_this();
            commandQueue_.lock()->setRunEndHandler([weak] {
                auto self = weak.lock();
                // Delayed responses wait for the main loop, as they were sent.
                if (self && !self->delayResponses_) self->flushPendingScripts();
            });
        }
        hold(std::move(js), true, false);
    } else {
        hold(std::move(js), true, true);
    }
}

void WFCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WFCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = "try{wharf.require('wharf/exec').nativeEvalAndFetch(function(){" + js +
                          "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
    // Off the main thread this waits for the main loop: the web view is only
    // ever called there.
    if (scheduledOnRunLoop) evalJsHelper(wrapped);
    else evalJsHelper2(wrapped);
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
