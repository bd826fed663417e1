#include "host/WFCommandDelegateImpl.h"

#include <exception>
#include <vector>

#include "host/WFCommandQueue.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "host/WFWebViewEngineProtocol.h"
#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"

namespace wharf {

using platform::Value;

namespace {

constexpr std::size_t kMaxCallbackIdLength = 100;
// A result whose text is this long or longer is delivered on its own.
constexpr std::size_t kLargeCallback = std::size_t{1} << 20;

// The characters of a callback id: those the pattern "[^A-Za-z0-9._-]" does
// not match.
constexpr bool isCallbackIdCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The script that delivers several results: the head, then the results as
// one array literal (JSON text, as each result's arguments are in a callback
// script of its own), then the tail.
constexpr const char* kCallbackGroupHead =
    "(function(d){var r=[],x=[];for(var i=0;i<d.length;i++){var c=d[i];"
    "try{r.push(wharf.require('wharf/exec').nativeCallback(c[0],c[1],c[2],c[3], 0));}"
    "catch(e){r.push(null);console.log('exception nativeCallback : '+e);}}\n"
    "Object.defineProperty(x,0,{enumerable:true,get:function(){"
    "try{r.push(wharf.require('wharf/exec').nativeFetchMessages());}"
    "catch(e){console.log('exception nativeFetchMessages : '+e);}"
    "return r.splice(0).filter(function(b){return typeof b==='string'&&b;}).join('\\x1e');}});"
    "return x;})(";
constexpr const char* kCallbackGroupTail = ")";

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

void WFCommandDelegateImpl::hold(PendingScript script, bool flushSoon) {
    {
        std::lock_guard lock(pendingMutex_);
        pending_.push_back(std::move(script));
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

    for (;;) {
        std::vector<PendingScript> scripts;
        {
            std::lock_guard lock(pendingMutex_);
            scripts.swap(pending_);
        }
        if (scripts.empty()) return;
        std::vector<Callback> callbacks;
        for (auto& pending : scripts) {
            if (pending.callback) {
                callbacks.push_back(std::move(*pending.callback));
                continue;
            }
            evaluateCallbacks(callbacks);
            evaluate(pending.script, false);
        }
        evaluateCallbacks(callbacks);
    }
}

void WFCommandDelegateImpl::evaluateCallbacks(std::vector<Callback>& callbacks) {
    if (callbacks.empty()) return;
    auto controller = viewController_.lock();
    auto engine = controller ? controller->webViewEngine() : nullptr;
    if (!engine) return callbacks.clear();
    // A large result goes on its own, as its text stands: joined with others
    // it would be copied. The others go together.
    std::size_t first = 0;
    while (first < callbacks.size()) {
        std::size_t last = first + 1;
        if (callbacks[first].text.size() < kLargeCallback)
            while (last < callbacks.size() && callbacks[last].text.size() < kLargeCallback) ++last;
        deliverCallbacks(*engine, callbacks, first, last);
        first = last;
    }
    callbacks.clear();
}

void WFCommandDelegateImpl::deliverCallbacks(WFWebViewEngineProtocol& engine, std::vector<Callback>& callbacks,
                                             std::size_t first, std::size_t last) {
    // The results as data, one array of them: through the page channel where
    // the engine has one, which costs the page no script to compile and the
    // host no evaluation result to read back; else in a script.
    std::string data;
    if (last - first == 1) {
        data = std::move(callbacks[first].text);
    } else {
        std::size_t size = 2;
        for (std::size_t i = first; i < last; ++i) size += callbacks[i].text.size();
        data.reserve(size);
        data += '[';
        for (std::size_t i = first; i < last; ++i) {
            if (i > first) data += ',';
            // Each text is an array of the one result: its element goes in.
            const std::string& text = callbacks[i].text;
            data.append(text, 1, text.size() - 2);
        }
        data += ']';
    }
    if (engine.deliverCallbacks(data)) return;
    if (last - first == 1) {
        const Callback& c = callbacks[first];
        evaluate("wharf.require('wharf/exec').nativeCallback('" + c.id + "'," + std::to_string(c.status) + "," +
                     data.substr(c.argumentsBegin, c.argumentsEnd - c.argumentsBegin) + "," + (c.keep ? "1" : "0") +
                     ", 0)",
                 false);
        return;
    }
    // By script, the same call of the dispatcher is made for each result, in
    // order: the page then compiles a few lines and a literal (a script of
    // one call per result was new code each time, and compiling it was most
    // of the page's work on a burst). One that throws is logged and the
    // others still run. WebKit reads the result only as it leaves the page,
    // after the promise continuations the callbacks started, and a fetch in
    // the getter then takes the calls those made too. The batches come back
    // joined by U+001E, which no JSON text contains.
    std::string group;
    group.reserve(data.size() + 640);
    group += kCallbackGroupHead;
    group += data;
    group += kCallbackGroupTail;
    evaluate(group, true);
}

void WFCommandDelegateImpl::evaluate(const std::string& js, bool grouped) {
    auto controller = viewController_.lock();
    auto engine = controller ? controller->webViewEngine() : nullptr;
    if (!engine) return;
    std::weak_ptr<WFCommandQueue> weakQueue = commandQueue_;
    auto sending = weakQueue.lock();
    // The answer is of the document the script was sent to.
    const uint64_t document = sending ? sending->document() : 0;
    engine->evaluateJavaScript(js, [weakQueue, grouped, document](const std::string& result, const platform::Error*) {
        auto queue = weakQueue.lock();
        if (!queue) return;
        // Every evaluated script answers with the calls the page queued meanwhile.
        if (!grouped) {
            queue->enqueueCommandBatch(result, document);
        } else {
            std::size_t from = 0;
            for (std::size_t at; (at = result.find('\x1e', from)) != std::string::npos; from = at + 1)
                queue->enqueueCommandBatch(result.substr(from, at - from), document);
            queue->enqueueCommandBatch(from ? result.substr(from) : result, document);
        }
        queue->executePendingFromRunLoop();
    });
}

void WFCommandDelegateImpl::evalJsHelper2(const std::string& js) {
    const bool onMain = platform::RunLoop::isMainThread();
    hold({js, std::nullopt}, !onMain);
    if (onMain) flushPendingScripts();
}

void WFCommandDelegateImpl::evalJsHelper(const std::string& js) {
    if (inRunOnMainThread()) {
        evalJsHelper2(js);
    } else {
        hold({js, std::nullopt}, true);
    }
}

bool WFCommandDelegateImpl::isValidCallbackId(const std::optional<std::string>& callbackId) const {
    if (!callbackId || !callbackIdPattern_) return false;
    // Every valid id is ASCII, where bytes and UTF-16 units are one: a longer
    // id is invalid whichever it holds. The characters are checked here
    // rather than by the compiled pattern, which costs more than the rest of
    // a call's delivery; the pattern still decides whether ids are accepted
    // at all.
    if (callbackId->size() > kMaxCallbackIdLength) return false;
    for (const char c : *callbackId) {
        if (!isCallbackIdCharacter(c)) return false;
    }
    return true;
}

std::optional<WFCommandDelegateImpl::Callback> WFCommandDelegateImpl::callbackFor(
    const WFPluginResult& result, const std::optional<std::string>& callbackId) {
    if (callbackId && *callbackId == "INVALID") return std::nullopt;
    if (!isValidCallbackId(callbackId)) {
        platform::log("Invalid callback id received by sendPluginResult");
        return std::nullopt;
    }
    Callback c;
    c.id = *callbackId;
    c.status = result.status();
    c.keep = result.keepCallback();
    // Callback ids are checked: nothing in them needs escaping.
    c.text = "[[\"" + c.id + "\"," + std::to_string(c.status) + ",";
    c.argumentsBegin = c.text.size();
    result.appendArgumentsAsJSON(c.text);
    c.argumentsEnd = c.text.size();
    c.text += c.keep ? ",1]]" : ",0]]";
    return c;
}

void WFCommandDelegateImpl::sendPluginResult(const WFPluginResult& result,
                                             const std::optional<std::string>& callbackId) {
    if (auto callback = callbackFor(result, callbackId)) holdCallback(std::move(*callback));
}

void WFCommandDelegateImpl::sendPluginResult(WFPluginResult&& result, const std::optional<std::string>& callbackId) {
    auto callback = callbackFor(result, callbackId);
    result = WFPluginResult();
    if (callback) holdCallback(std::move(*callback));
}

void WFCommandDelegateImpl::holdCallback(Callback&& callback) {
    PendingScript js{{}, std::move(callback)};
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
        hold(std::move(js), false);
    } else {
        hold(std::move(js), true);
    }
}

void WFCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WFCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = "try{wharf.require('wharf/exec').nativeEvalAndFetch(function(){" + js +
                          "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
    // Off the main thread this waits for the main loop: the web view is only
    // ever called there.
    if (scheduledOnRunLoop)
        evalJsHelper(wrapped);
    else
        evalJsHelper2(wrapped);
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
