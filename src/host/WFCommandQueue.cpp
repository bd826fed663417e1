#include "host/WFCommandQueue.h"

#include <algorithm>
#include <exception>

#include "host/WFCommandDelegate.h"
#include "host/WFInvokedUrlCommand.h"
#include "host/WFJSON.h"
#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "host/WFWebViewEngineProtocol.h"
#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf {

using platform::Value;

namespace {

constexpr const char* kFetchMessagesScript = "wharf.require('wharf/exec').nativeFetchMessages()";

double millisecondsBetween(platform::Clock::MonoTime from, platform::Clock::MonoTime to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

WFCommandQueue::WFCommandQueue(std::weak_ptr<WFViewControllerInterface> viewController,
                               std::shared_ptr<platform::Clock> clock)
    : viewController_(std::move(viewController)), clock_(clock ? std::move(clock) : platform::Clock::shared()) {}

WFCommandQueue::~WFCommandQueue() = default;

void WFCommandQueue::dispose() { viewController_.reset(); }

void WFCommandQueue::resetRequestId() { lastCommandQueueFlushRequestId_ = 0; }

void WFCommandQueue::documentCommitted() {
    ++document_;
    bridgeAsks_.clear();
}

bool WFCommandQueue::bridgeAsked(const std::string& feature) const {
    return std::find(bridgeAsks_.begin(), bridgeAsks_.end(), feature) != bridgeAsks_.end();
}

void WFCommandQueue::takeBridgeAsk(const WFInvokedUrlCommand& command) {
    // Answered as every call is, whoever asked.
    if (command.callbackId()) {
        auto controller = viewController_.lock();
        if (auto delegate = controller ? controller->commandDelegate() : nullptr)
            delegate->sendPluginResult(WFPluginResult::resultWithStatus(WFResultStatus::OK), command.callbackId());
    }
    // A page that went while its batch was on its way (a bridge's first call
    // made as its page goes, the next one loading) asks nothing of the next.
    if (runningDocument_.value_or(document_) != document_) return;
    // Each ask names everything the bridge wants: what it no longer names goes.
    bridgeAsks_.clear();
    for (const Value& feature : command.arguments())
        if (feature.is_string()) bridgeAsks_.push_back(feature.get<std::string>());
}

bool WFCommandQueue::currentlyExecuting() const { return startExecutionTime_.has_value(); }

// What is left are the shells of entries taken out.
WFCommandQueue::BatchHolder::~BatchHolder() { platform::clearArray(entries); }

void WFCommandQueue::fill(BatchHolder& holder, std::optional<Value> parsed) {
    std::lock_guard lock(holder.mutex);
    // A batch that does not parse, or is not an array, is dropped whole (the
    // parser has logged it); an empty holder would hold back every later batch.
    if (parsed && parsed->is_array()) {
        holder.entries = std::move(*parsed);
    } else if (parsed) {
        platform::log("ERROR: Command batch is not an array; dropped.");
    }
    holder.ready = true;
}

void WFCommandQueue::enqueueCommandBatch(const std::string& batchJSON, std::optional<uint64_t> document) {
    if (batchJSON.empty()) return;
    auto holder = std::make_shared<BatchHolder>();
    holder->document = document.value_or(document_);
    queue_.push_back(holder);
    // A text has no more UTF-16 units than bytes: a short one is not counted.
    if (batchJSON.size() >= kBackgroundParseThreshold &&
        platform::utf16Length(batchJSON) >= kBackgroundParseThreshold) {
        std::weak_ptr<WFCommandQueue> weak = weak_from_this();
        auto queue = parseQueue_ ? parseQueue_ : platform::dispatch::globalQueue(platform::dispatch::Priority::Default);
        queue->async([holder, weak, text = batchJSON] {
            fill(*holder, wf_JSONObject(text));
            platform::RunLoop::performOnMain([weak] {
                if (auto self = weak.lock()) self->executePendingFromRunLoop();
            });
        });
    } else {
        fill(*holder, wf_JSONObject(batchJSON));
    }
}

void WFCommandQueue::fetchCommandsFromJs() {
    auto controller = viewController_.lock();
    auto engine = controller ? controller->webViewEngine() : nullptr;
    if (!engine) return;
    std::weak_ptr<WFCommandQueue> weak = weak_from_this();
    engine->evaluateJavaScript(kFetchMessagesScript,
                               [weak, document = document_](const std::string& result, const platform::Error* error) {
                                   auto self = weak.lock();
                                   if (!self || error) return;
                                   self->enqueueCommandBatch(result, document);
                                   self->executePendingFromRunLoop();
                               });
}

double WFCommandQueue::secondsSinceStart() const {
    if (!startExecutionTime_) return 0;
    return std::chrono::duration<double>(clock_->monotonicNow() - *startExecutionTime_).count();
}

void WFCommandQueue::executePending() {
    if (startExecutionTime_) return;  // a nested call from inside a command
    // A command may drop the last other reference to the queue.
    auto keepAlive = weak_from_this().lock();
    startExecutionTime_ = clock_->monotonicNow();
    // The run ends however it ends: queue drained, head still parsing, slice
    // used up, or an exception from a plug-in on its way to the caller.
    struct RunEnd {
        WFCommandQueue& queue;
        ~RunEnd() {
            queue.startExecutionTime_.reset();
            queue.runningDocument_.reset();
            auto handler = queue.runEndHandler_;
            if (!handler) return;
            try {
                handler();
            } catch (const std::exception& e) {
                platform::log("ERROR: Exception at the end of a command run: %s", e.what());
            } catch (...) {
                platform::log("ERROR: Unknown exception at the end of a command run.");
            }
        }
    } runEnd{*this};

    while (!queue_.empty()) {
        auto holder = queue_.front();
        {
            std::lock_guard lock(holder->mutex);
            if (!holder->ready) return;  // still parsing: the parse's completion runs us again
        }
        if (holder->drained()) {
            queue_.pop_front();
            continue;
        }
        while (!holder->drained()) {
            Value entry = std::move(holder->entries[holder->next++]);
            runningDocument_ = holder->document;
            if (holder->drained()) queue_.pop_front();
            if (auto command = WFInvokedUrlCommand::commandFromJson(std::move(entry))) execute(*command);
            if (!queue_.empty() && secondsSinceStart() > std::chrono::duration<double>(kRunSlice).count()) {
                scheduleExecutePending();
                return;
            }
        }
    }
}

void WFCommandQueue::scheduleExecutePending() {
    std::weak_ptr<WFCommandQueue> weak = weak_from_this();
    platform::RunLoop::performAfter(std::chrono::milliseconds(0), [weak] {
        if (auto self = weak.lock()) self->executePendingFromRunLoop();
    });
}

void WFCommandQueue::executePendingFromRunLoop() {
    try {
        executePending();
    } catch (const std::exception& e) {
        platform::log("ERROR: Exception while running plugin commands: %s", e.what());
    } catch (...) {
        platform::log("ERROR: Unknown exception while running plugin commands.");
    }
}

bool WFCommandQueue::execute(const WFInvokedUrlCommand& command) {
    if (command.className().empty() || command.methodName().empty()) {
        platform::log("ERROR: Classname and/or methodName not found for command.");
        return false;
    }
    // The bridge's own service is the host's, whatever config.xml maps.
    if (wf_lowercase(command.className()) == wf_lowercase(kBridgeService) && command.methodName() == "ask") {
        takeBridgeAsk(command);
        return true;
    }
    auto controller = viewController_.lock();
    auto delegate = controller ? controller->commandDelegate() : nullptr;
    auto plugin = delegate ? delegate->getCommandInstance(command.className()) : nullptr;
    if (!plugin) {
        platform::log("ERROR: Plugin '%s' not found, or is not a WFPlugin. Check your plugin mapping in config.xml.",
                      command.className().c_str());
        return false;
    }
    const auto started = clock_->monotonicNow();
    const std::string selector = command.methodName() + ":";
    bool found = true;
    // A throwing action must neither end the run (the commands behind it would
    // wait for the page's next call) nor reach GLib: log it and go on.
    try {
        found = plugin->performAction(selector, command);
    } catch (const std::exception& e) {
        platform::log("ERROR: Exception in '%s' of Plugin '%s': %s", selector.c_str(), command.className().c_str(),
                      e.what());
    } catch (...) {
        platform::log("ERROR: Unknown exception in '%s' of Plugin '%s'", selector.c_str(), command.className().c_str());
    }
    if (!found) {
        platform::log("ERROR: Method '%s' not defined in Plugin '%s'", selector.c_str(), command.className().c_str());
    }
    const double elapsed = millisecondsBetween(started, clock_->monotonicNow());
    if (elapsed > std::chrono::duration<double, std::milli>(kThreadWarningLimit).count()) {
        platform::log("THREAD WARNING: ['%s'] took '%f' ms. Plugin should use a background thread.",
                      command.className().c_str(), elapsed);
    }
    return found;
}

}  // namespace wharf
