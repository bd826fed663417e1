#pragma once
// The host's command delegate: turns plug-in results into calls of the page's
// callback dispatcher, evaluates scripts on the main thread and picks up the
// command batch every evaluation returns.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/WFCommandDelegate.h"
#include "platform/Regex.h"

namespace wharf {

class WFCommandQueue;
class WFViewControllerInterface;

class WFCommandDelegateImpl : public WFCommandDelegate, public std::enable_shared_from_this<WFCommandDelegateImpl> {
public:
    // Keeps the controller and its command queue weakly.
    explicit WFCommandDelegateImpl(std::weak_ptr<WFViewControllerInterface> viewController);

    std::optional<std::string> pathForResource(const std::string& path) override;
    // Runs the pending commands with every result deferred to the run loop.
    void flushCommandQueueWithDelayedJs();
    // Evaluates at once on the calling thread; a returned string is a batch.
    void evalJsHelper2(const std::string& js);
    // Evaluates at once only while the queue runs on the main thread (and
    // responses are not delayed); otherwise on a later main-loop turn.
    void evalJsHelper(const std::string& js);
    bool isValidCallbackId(const std::optional<std::string>& callbackId) const;
    void sendPluginResult(const WFPluginResult& result, const std::optional<std::string>& callbackId) override;
    void evalJs(const std::string& js) override;
    void evalJs(const std::string& js, bool scheduledOnRunLoop) override;
    std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) override;
    void runInBackground(std::function<void()> block) override;
    std::string userAgent() override;
    platform::Value settings() override;
    WFUrlTransformer urlTransformer() const override;
    void setUrlTransformer(WFUrlTransformer transformer) override;

private:
    void evalJsOnMainLater(const std::string& js);

    std::weak_ptr<WFViewControllerInterface> viewController_;
    std::optional<platform::Regex> callbackIdPattern_;
    std::weak_ptr<WFCommandQueue> commandQueue_;
    std::atomic<bool> delayResponses_{false};
    mutable std::mutex transformerMutex_;
    WFUrlTransformer urlTransformer_;
};

}  // namespace wharf
