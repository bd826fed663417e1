#pragma once
// Carries calls from the page to plug-ins: pulls batches of commands out of
// the page, parses them (large ones off the main thread) and runs them in
// order on the main thread, yielding to the run loop every 8 ms.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Clock.h"
#include "platform/base/Value.h"
#include "platform/dispatch/Dispatch.h"

namespace wharf {

class WFInvokedUrlCommand;
class WFViewControllerInterface;

class WFCommandQueue : public std::enable_shared_from_this<WFCommandQueue> {
public:
    // Batch texts of this many UTF-16 units or more are parsed in the background.
    static constexpr std::size_t kBackgroundParseThreshold = 4096;
    // A run yields to the run loop once it has taken longer than this.
    static constexpr std::chrono::milliseconds kRunSlice{8};
    // An action that blocks the main thread longer than this is logged.
    static constexpr std::chrono::milliseconds kThreadWarningLimit{10};
    // The service through which the page's bridge asks the host, for the
    // page's document, for what the host does only for a bridge that knows
    // it: the command [null, "WharfBridge", "ask", [<feature>, ...]] names
    // them all (one with a callback is answered OK).
    static constexpr const char* kBridgeService = "WharfBridge";
    // Large readAsArrayBuffer answers as a URL to fetch the bytes from.
    static constexpr const char* kArrayBufferURLFeature = "arrayBufferURL";

    // The clock measures runs and actions (tests inject a manual one).
    explicit WFCommandQueue(std::weak_ptr<WFViewControllerInterface> viewController,
                            std::shared_ptr<platform::Clock> clock = nullptr);
    ~WFCommandQueue();
    WFCommandQueue(const WFCommandQueue&) = delete;
    WFCommandQueue& operator=(const WFCommandQueue&) = delete;

    void dispose();
    void resetRequestId();
    // A new document is in the page (its load committed): what the last
    // one's bridge asked for goes with it. Main thread.
    void documentCommitted();
    // The document in the page: it changes with each documentCommitted().
    uint64_t document() const { return document_; }
    // Whether the bridge of the document in the page has asked for
    // `feature`. Main thread.
    bool bridgeAsked(const std::string& feature) const;
    bool currentlyExecuting() const;

    // Adds a batch: a JSON array of [callbackId, service, action, arguments]
    // entries, from `document` (the one in the page when the script that
    // answered it was sent; the one in the page now where not given): an
    // ask in a batch of a document gone holds for nothing. Main thread.
    void enqueueCommandBatch(const std::string& batchJSON, std::optional<uint64_t> document = std::nullopt);
    // Asks the page for its waiting calls, queues them and runs them.
    void fetchCommandsFromJs();
    // Runs queued commands. Does nothing when a run is already in progress.
    void executePending();
    // executePending for run-loop and engine callbacks: an exception thrown
    // by a plug-in is logged there instead of escaping into the main loop.
    void executePendingFromRunLoop();
    // Runs one command; false when its plug-in or action was not found.
    bool execute(const WFInvokedUrlCommand& command);

    // Batches still queued (parsing, or holding commands not yet run).
    std::size_t pendingBatchCount() const { return queue_.size(); }

    // Runs on the main thread whenever a run ends (queue drained, head batch
    // still parsing, or slice used up); the command delegate evaluates the
    // results the run produced there. Main thread.
    void setRunEndHandler(std::function<void()> handler) { runEndHandler_ = std::move(handler); }

    // Where large batches are parsed: the default global queue unless set
    // (tests hold a suspended queue here to see the main thread go on).
    void setParseQueue(platform::dispatch::QueuePtr queue) { parseQueue_ = std::move(queue); }

private:
    // A batch being parsed (not ready) or parsed. The background parse writes
    // it under the lock; once ready only the main thread touches it.
    struct BatchHolder {
        std::mutex mutex;
        bool ready = false;
        uint64_t document = 0;  // whose batch it is
        // The parsed array itself; its entries are taken out in turn.
        platform::Value entries;
        std::size_t next = 0;

        bool drained() const { return next >= entries.size(); }
        ~BatchHolder();
    };

    static void fill(BatchHolder& holder, std::optional<platform::Value> parsed);
    void scheduleExecutePending();
    double secondsSinceStart() const;

    // Answers the bridge's ask, and takes it where its document is the page's.
    void takeBridgeAsk(const WFInvokedUrlCommand& command);

    int64_t lastCommandQueueFlushRequestId_ = 0;
    std::vector<std::string> bridgeAsks_;
    uint64_t document_ = 0;
    // The document of the batch whose command runs.
    std::optional<uint64_t> runningDocument_;
    std::weak_ptr<WFViewControllerInterface> viewController_;
    std::deque<std::shared_ptr<BatchHolder>> queue_;
    std::optional<platform::Clock::MonoTime> startExecutionTime_;
    std::shared_ptr<platform::Clock> clock_;
    std::function<void()> runEndHandler_;
    platform::dispatch::QueuePtr parseQueue_;
};

}  // namespace wharf
