#include "nimbus/network/NBNetwork.h"

#include <cinttypes>

#include "nimbus/core/NBLogger.h"
#include "nimbus/toolbox/TBZLibAdditions.h"
#include "platform/base/Log.h"

namespace wharf {

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelWarning = 4;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;

const char* levelName(int level) {
    switch (level) {
    case 3: return "ERROR";
    case 4: return "WARNING";
    case 6: return "INFO";
    case 7: return "DEBUG";
    default: return "";
    }
}

std::string describe(const platform::Value& v) {
    if (v.is_null()) return "(nil)";
    if (v.is_string()) return v.get<std::string>();
    return platform::toJSONString(v);
}

std::string messageCodeText(int64_t code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "I-NET%06" PRId64, code);
    return buf;
}

void writeToCoreLogger(int level, const std::string& code, const std::string& line) {
    switch (level) {
    case 3: NBLogError(kNBLoggerCore, code, "%s", line.c_str()); break;
    case 4: NBLogWarning(kNBLoggerCore, code, "%s", line.c_str()); break;
    case 5: NBLogNotice(kNBLoggerCore, code, "%s", line.c_str()); break;
    case 6: NBLogInfo(kNBLoggerCore, code, "%s", line.c_str()); break;
    default: NBLogDebug(kNBLoggerCore, code, "%s", line.c_str()); break;
    }
}

platform::dispatch::QueuePtr queueOrMain(const platform::dispatch::QueuePtr& queue) {
    return queue ? queue : platform::dispatch::mainQueue();
}

}  // namespace

std::shared_ptr<NBNetwork> NBNetwork::create() { return initWithReachabilityHost(kNBNetworkDefaultReachabilityHost); }

std::shared_ptr<NBNetwork> NBNetwork::initWithReachabilityHost(const std::string& host) {
    std::shared_ptr<NBNetwork> network(new NBNetwork());
    network->reachability_ = NBReachabilityChecker::initWithReachabilityDelegate(network, network, host);
    if (!network->reachability_ || !network->reachability_->start()) return nullptr;
    return network;
}

NBNetwork::~NBNetwork() {
    if (reachability_) {
        // Stopped first: a stop waits out a status change being delivered on
        // the main thread, which reads the delegate.
        reachability_->stop();
        reachability_->setReachabilityDelegate({});
    }
}

std::optional<platform::http::Request> NBNetwork::makeRequest(const std::string& url,
                                                              const platform::dispatch::QueuePtr& queue,
                                                              CompletionHandler& completionHandler) {
    if (url.empty()) {
        handleErrorWithCode(NBNetworkErrorCodeInvalidURL, queue, std::move(completionHandler));
        return std::nullopt;
    }
    platform::http::Request request;
    request.url = url;
    double seconds = timeoutInterval_;
    if (!(seconds > 0)) seconds = 60.0;  // 0 (or nonsense) means the default
    request.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::min(seconds, 1e9) * 1000.0));
    request.maxBodySize = kNBNetworkMaximumResponseLength;
    return request;
}

std::optional<std::string> NBNetwork::postURL(const std::string& url, const platform::Bytes& payload,
                                              const platform::dispatch::QueuePtr& queue, bool usingBackgroundSession,
                                              CompletionHandler completionHandler) {
    auto request = makeRequest(url, queue, completionHandler);
    if (!request) return std::nullopt;
    platform::Error error;
    error.code = 0;
    platform::Bytes body;
    if (!payload.empty()) {
        auto compressed = tb_dataByGzippingData(payload, &error);
        if (!compressed) {
            handleErrorWithCode(NBNetworkErrorCodeCompressionFailed, queue, std::move(completionHandler));
            return std::nullopt;
        }
        body = std::move(*compressed);
    }
    request->headers = {{"Content-Length", std::to_string(body.size())},
                        {"Content-Type", "application/x-www-form-urlencoded"},
                        {"Content-Encoding", "gzip"}};
    request->body = std::move(body);
    request->method = "POST";
    return startSession(std::move(*request), true, url, queue, usingBackgroundSession, std::move(completionHandler));
}

std::optional<std::string> NBNetwork::getURL(const std::string& url, const platform::http::Headers& headers,
                                             const platform::dispatch::QueuePtr& queue, bool usingBackgroundSession,
                                             CompletionHandler completionHandler) {
    auto request = makeRequest(url, queue, completionHandler);
    if (!request) return std::nullopt;
    request->method = "GET";
    request->headers = headers;
    return startSession(std::move(*request), false, url, queue, usingBackgroundSession, std::move(completionHandler));
}

std::optional<std::string> NBNetwork::startSession(platform::http::Request request, bool post, const std::string& url,
                                                   const platform::dispatch::QueuePtr& queue, bool background,
                                                   CompletionHandler completionHandler) {
    auto session = NBNetworkURLSession::initWithNetworkLoggerDelegate(weak_from_this());
    session->setBackgroundNetworkEnabled(background);
    // In flight before the transfer can possibly finish, so that the removal
    // on completion always comes after this insertion.
    const std::string identifier = session->sessionID();
    requests_.setObject(session, identifier);

    auto onDone = [weakSelf = weak_from_this(), queue, handler = std::move(completionHandler)](
                      const std::optional<platform::http::Response>& response, std::optional<platform::Bytes> data,
                      const std::string& sessionID, const platform::Error* error) {
        auto self = weakSelf.lock();
        if (!self) return;  // the client is gone: its callers asked for nothing more
        std::optional<platform::Error> errorCopy;
        if (error) errorCopy = *error;
        // The body is moved along, never copied: it may be large.
        queueOrMain(queue)->async(
            [weakSelf, handler, response, data = std::move(data), sessionID, errorCopy = std::move(errorCopy)] {
                if (auto self = weakSelf.lock()) {
                    if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
                }
                if (handler) handler(response, data, errorCopy ? &*errorCopy : nullptr);
            });
    };
    std::optional<std::string> id = post ? session->sessionIDFromAsyncPOSTRequest(std::move(request), std::move(onDone))
                                         : session->sessionIDFromAsyncGETRequest(request, std::move(onDone));
    if (!id) {
        requests_.removeObjectForKey(identifier);
        handleErrorWithCode(NBNetworkErrorCodeRequestCreationFailed, queue, nullptr);
        return std::nullopt;
    }
    nbNetwork_logWithLevelMessageCodeMessageContext(
        kLevelDebug, post ? 900000 : 900001, std::string(post ? "Uploading data. Host" : "Downloading data. Host"),
        platform::Value(url));
    return id;
}

void NBNetwork::handleErrorWithCode(int64_t code, const platform::dispatch::QueuePtr& queue,
                                    CompletionHandler handler) {
    platform::Value info = platform::Value::object();
    info[kNBNetworkErrorContextKey] = "Failed to create network request";
    platform::Error error(kNBNetworkErrorDomain, code, std::move(info));
    nbNetwork_logWithLevelMessageCodeMessageContexts(kLevelWarning, 900002,
                                                     std::string("Failed to create network request. Code, error"),
                                                     {code, error.description()});
    if (!handler) return;
    queueOrMain(queue)->async([handler = std::move(handler), error] { handler(std::nullopt, std::nullopt, &error); });
}

std::size_t NBNetwork::resumeBackgroundUploads() { return NBNetworkURLSession::resumeBackgroundUploads(); }

void NBNetwork::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                      NBNetworkURLSession::SystemCompletionHandler completionHandler) {
    NBNetworkURLSession::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

std::weak_ptr<NBNetworkReachabilityDelegate> NBNetwork::reachabilityDelegate() const {
    std::lock_guard lock(delegatesMutex_);
    return reachabilityDelegate_;
}

void NBNetwork::setReachabilityDelegate(std::weak_ptr<NBNetworkReachabilityDelegate> delegate) {
    std::lock_guard lock(delegatesMutex_);
    reachabilityDelegate_ = std::move(delegate);
}

std::weak_ptr<NBNetworkLoggerDelegate> NBNetwork::loggerDelegate() const {
    std::lock_guard lock(delegatesMutex_);
    return loggerDelegate_;
}

void NBNetwork::setLoggerDelegate(std::weak_ptr<NBNetworkLoggerDelegate> delegate) {
    if (delegate.expired()) {
        NBLogError(kNBLoggerAnalytics, "I-NET900002", "%s",
                   "Cannot set the network logger delegate: delegate does not conform to the network logger protocol.");
        return;
    }
    std::lock_guard lock(delegatesMutex_);
    loggerDelegate_ = std::move(delegate);
}

void NBNetwork::reachability(NBReachabilityChecker&, NBReachabilityStatus status) {
    networkConnected_ =
        status == NBReachabilityStatusReachableViaWifi || status == NBReachabilityStatusReachableViaWWAN;
    if (auto delegate = reachabilityDelegate().lock()) delegate->reachabilityDidChange();
}

void NBNetwork::nbNetwork_logWithLevelMessageCodeMessageContexts(int level, int64_t messageCode,
                                                                 const std::optional<std::string>& message,
                                                                 const std::vector<platform::Value>& contexts) {
    if (auto delegate = loggerDelegate().lock()) {
        delegate->nbNetwork_logWithLevelMessageCodeMessageContexts(level, messageCode, message, contexts);
        return;
    }
    if (!debugModeEnabled_ && level != kLevelError && level != kLevelWarning && level != kLevelInfo) return;
    if (level < 3 || level > 7) return;
    std::string text = !message ? "(Message was nil)" : message->empty() ? "(Message was empty)" : *message;
    std::string line = std::string("<Nimbus/Network/") + levelName(level) + "> " + text;
    if (!contexts.empty()) {
        line += ": ";
        for (std::size_t i = 0; i < contexts.size(); ++i) {
            if (i) line += ", ";
            line += describe(contexts[i]);
        }
    }
    platform::log("%s", line.c_str());
    writeToCoreLogger(level, messageCodeText(messageCode), line);
}

void NBNetwork::nbNetwork_logWithLevelMessageCodeMessageContext(int level, int64_t messageCode,
                                                                const std::optional<std::string>& message,
                                                                const platform::Value& context) {
    if (auto delegate = loggerDelegate().lock()) {
        delegate->nbNetwork_logWithLevelMessageCodeMessageContext(level, messageCode, message, context);
        return;
    }
    std::vector<platform::Value> contexts;
    if (!context.is_null()) contexts.push_back(context);
    nbNetwork_logWithLevelMessageCodeMessageContexts(level, messageCode, message, contexts);
}

void NBNetwork::nbNetwork_logWithLevel(int level, int64_t messageCode, const std::optional<std::string>& message) {
    if (auto delegate = loggerDelegate().lock()) {
        delegate->nbNetwork_logWithLevel(level, messageCode, message);
        return;
    }
    nbNetwork_logWithLevelMessageCodeMessageContexts(level, messageCode, message, {});
}

}  // namespace wharf
