#pragma once
// The host's command delegate: turns plug-in results into calls of the page's
// callback dispatcher, evaluates scripts on the main thread and picks up the
// command batch every evaluation returns.
//
// Every evaluation is a message to the web process, so results are held back
// and delivered together: the callbacks produced by one run of the command
// queue (or, for results sent outside a run, by one main-loop turn) go to the
// page as one script, each callback in its own form and order, each guarded.
// The page's answer carries the calls it made meanwhile, in the callbacks and
// in the promise continuations they started: WebKit reads a script's result
// only after those have run. Scripts reach the page in the order they were
// sent: held callbacks go first whenever any other script is evaluated.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/WFCommandDelegate.h"
#include "platform/base/Regex.h"

namespace wharf {

class WFCommandQueue;
class WFViewControllerInterface;
class WFWebViewEngineProtocol;

class WFCommandDelegateImpl : public WFCommandDelegate, public std::enable_shared_from_this<WFCommandDelegateImpl> {
public:
    // Keeps the controller and its command queue weakly.
    explicit WFCommandDelegateImpl(std::weak_ptr<WFViewControllerInterface> viewController);

    std::optional<std::string> pathForResource(const std::string& path) override;
    // Runs the pending commands with every result deferred to the run loop.
    void flushCommandQueueWithDelayedJs();
    // Evaluates at once (behind any held callbacks) when called on the main
    // thread, else on a later main-loop turn; a returned string is a batch.
    void evalJsHelper2(const std::string& js);
    // Evaluates at once only while the queue runs on the main thread (and
    // responses are not delayed); otherwise on a later main-loop turn.
    void evalJsHelper(const std::string& js);
    // Evaluates everything held back, in order. The command queue calls it at
    // the end of each run and the engine before any other script. Main thread.
    void flushPendingScripts();
    bool isValidCallbackId(const std::optional<std::string>& callbackId) const;
    void sendPluginResult(const WFPluginResult& result, const std::optional<std::string>& callbackId) override;
    // Lets the result's message go once its text is made, before the text
    // is on its way.
    void sendPluginResult(WFPluginResult&& result, const std::optional<std::string>& callbackId) override;
    void evalJs(const std::string& js) override;
    void evalJs(const std::string& js, bool scheduledOnRunLoop) override;
    std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) override;
    void runInBackground(std::function<void()> block) override;
    std::string userAgent() override;
    platform::Value settings() override;
    WFUrlTransformer urlTransformer() const override;
    void setUrlTransformer(WFUrlTransformer transformer) override;

private:
    // A result for the page's callback dispatcher. Its text is the data the
    // page channel takes for it alone, [[id,status,arguments,keep]], which a
    // large result is sent as, uncopied; alone by script it goes as its own
    // call, with neighbours as data in one script.
    struct Callback {
        std::string id;
        int status = 0;
        bool keep = false;
        std::string text;
        std::size_t argumentsBegin = 0;
        std::size_t argumentsEnd = 0;
    };
    struct PendingScript {
        std::string script;
        std::optional<Callback> callback;  // instead of the script
    };

    // Holds a script for the next flush; `flushSoon` schedules one on the
    // main loop (otherwise the end of the current run flushes).
    void hold(PendingScript script, bool flushSoon);
    void scheduleFlush();
    void evaluate(const std::string& js, bool grouped);
    void evaluateCallbacks(std::vector<Callback>& callbacks);
    // Callbacks [first, last) as one delivery: through the page channel, else by script.
    void deliverCallbacks(WFWebViewEngineProtocol& engine, std::vector<Callback>& callbacks, std::size_t first,
                          std::size_t last);
    // The result as a callback held for delivery, where its id is valid.
    std::optional<Callback> callbackFor(const WFPluginResult& result, const std::optional<std::string>& callbackId);
    void holdCallback(Callback&& callback);
    bool inRunOnMainThread() const;

    std::weak_ptr<WFViewControllerInterface> viewController_;
    std::optional<platform::Regex> callbackIdPattern_;
    std::weak_ptr<WFCommandQueue> commandQueue_;
    std::atomic<bool> delayResponses_{false};
    std::mutex pendingMutex_;
    std::vector<PendingScript> pending_;  // guarded by pendingMutex_
    bool flushScheduled_ = false;  // guarded by pendingMutex_
    bool flushing_ = false;  // main thread
    bool runEndHooked_ = false;  // main thread
    mutable std::mutex transformerMutex_;
    WFUrlTransformer urlTransformer_;
};

}  // namespace wharf
