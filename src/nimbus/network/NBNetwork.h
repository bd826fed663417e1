#pragma once
// The HTTP client of the Nimbus components: a POST of a gzip-compressed form
// body and a GET with the caller's header fields, each answered once through
// a completion handler on the caller's queue (the main queue when none). It
// also watches the reachability of one host and funnels every log line of the
// network components through one function.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nimbus/core/NBMutableDictionary.h"
#include "nimbus/network/NBNetworkLoggerDelegate.h"
#include "nimbus/network/NBNetworkURLSession.h"
#include "nimbus/network/NBReachabilityChecker.h"
#include "platform/base/Error.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/net/Http.h"

namespace wharf {

inline constexpr const char* kNBNetworkErrorDomain = "com.rovude.nimbus.network.ErrorDomain";
inline constexpr const char* kNBNetworkErrorContextKey = "Context";
// The host of the analytics upload service, whose reachability `create()` watches.
inline constexpr const char* kNBNetworkDefaultReachabilityHost = "app-measurement.rovude.com";
// The largest answer body (after decoding) a request keeps; past it the
// request fails with URLErrorDataLengthExceedsMaximum.
inline constexpr std::size_t kNBNetworkMaximumResponseLength = 64u << 20;

enum NBNetworkErrorCode : int64_t {
    NBNetworkErrorCodeInvalidURL = 1,  // the URL's absolute string is empty
    NBNetworkErrorCodeSessionCreationFailed = 2,  // the session or its task could not be made
    NBNetworkErrorCodeCompressionFailed = 3,  // gzip of the body failed
    NBNetworkErrorCodeRequestCreationFailed = 4,  // the request or the session identifier failed
    NBNetworkErrorCodeEmptyResponse = 5,  // a task ended without a response or an error
};

class NBNetworkReachabilityDelegate {
public:
    virtual ~NBNetworkReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

class NBNetwork : public NBReachabilityDelegate,
                  public NBNetworkLoggerDelegate,
                  public std::enable_shared_from_this<NBNetwork> {
public:
    using CompletionHandler =
        std::function<void(const std::optional<platform::http::Response>& response,
                           const std::optional<platform::Bytes>& data, const platform::Error* error)>;

    // nullptr when the reachability checker cannot start.
    static std::shared_ptr<NBNetwork> create();
    static std::shared_ptr<NBNetwork> initWithReachabilityHost(const std::string& host);
    ~NBNetwork() override;

    // Answers the session identifier, or nullopt after the handler was told
    // (asynchronously) of the failure.
    std::optional<std::string> postURL(const std::string& url, const platform::Bytes& payload,
                                       const platform::dispatch::QueuePtr& queue, bool usingBackgroundSession,
                                       CompletionHandler completionHandler);
    std::optional<std::string> getURL(const std::string& url, const platform::http::Headers& headers,
                                      const platform::dispatch::QueuePtr& queue, bool usingBackgroundSession,
                                      CompletionHandler completionHandler);

    static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                      NBNetworkURLSession::SystemCompletionHandler completionHandler);
    // At launch: the background uploads of an earlier process that ended
    // before their answer are sent again; each relaunches its session (and
    // calls the system's completion handler) when it is done.
    static std::size_t resumeBackgroundUploads();

    bool hasUploadInProgress() const { return requests_.count() > 0; }
    bool isNetworkConnected() const { return networkConnected_; }
    std::weak_ptr<NBNetworkReachabilityDelegate> reachabilityDelegate() const;
    void setReachabilityDelegate(std::weak_ptr<NBNetworkReachabilityDelegate> delegate);
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate() const;
    // Refuses an expired (nil) delegate with the 900002 error and keeps the old one.
    void setLoggerDelegate(std::weak_ptr<NBNetworkLoggerDelegate> delegate);
    bool isDebugModeEnabled() const { return debugModeEnabled_; }
    void setDebugModeEnabled(bool enabled) { debugModeEnabled_ = enabled; }
    // Seconds; 0 means 60.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    NBReachabilityChecker* reachabilityChecker() const { return reachability_.get(); }

    // NBReachabilityDelegate
    void reachability(NBReachabilityChecker& reachability, NBReachabilityStatus status) override;
    // NBNetworkLoggerDelegate: the funnel.
    void nbNetwork_logWithLevelMessageCodeMessageContexts(int level, int64_t messageCode,
                                                          const std::optional<std::string>& message,
                                                          const std::vector<platform::Value>& contexts) override;
    void nbNetwork_logWithLevelMessageCodeMessageContext(int level, int64_t messageCode,
                                                         const std::optional<std::string>& message,
                                                         const platform::Value& context) override;
    void nbNetwork_logWithLevel(int level, int64_t messageCode, const std::optional<std::string>& message) override;

    void handleErrorWithCode(int64_t code, const platform::dispatch::QueuePtr& queue, CompletionHandler handler);

private:
    NBNetwork() = default;
    // The request for `url`; nullopt once the handler has been told why there is none.
    std::optional<platform::http::Request> makeRequest(const std::string& url,
                                                       const platform::dispatch::QueuePtr& queue,
                                                       CompletionHandler& completionHandler);
    std::optional<std::string> startSession(platform::http::Request request, bool post, const std::string& url,
                                            const platform::dispatch::QueuePtr& queue, bool background,
                                            CompletionHandler completionHandler);

    std::unique_ptr<NBReachabilityChecker> reachability_;
    NBMutableDictionary<std::shared_ptr<NBNetworkURLSession>> requests_;
    std::atomic<bool> networkConnected_{false};
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<double> timeoutInterval_{60.0};
    mutable std::mutex delegatesMutex_;
    std::weak_ptr<NBNetworkReachabilityDelegate> reachabilityDelegate_;
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate_;
};

}  // namespace wharf
