#pragma once
// The process's event logger: encoded EVLPBLogEvent messages are appended to
// files under Caches/NBEventlogLogger/<account>/<log source>/<milliseconds>
// and each file is uploaded as one EVLPBLogRequest (gzip, through NBNetwork)
// to the server's "/log" path: some time after the network is first reported
// connected, whenever the application enters the background, and on a flush.
// A file goes once the server has answered 200 for it, when the server
// refuses it for good (a client error other than 408 and 429), or when it
// cannot be read. The server is "https://<host>/log", the host being the
// application's Info.plist value NBEventlogServerHost. With no server nothing
// is sent, and the files are kept within maxUnsentBytes and
// maxUnsentAgeMillis instead: past either the oldest go. With a server they
// are kept within maxUnsentBytesWithServer, so that a server down for good
// does not fill the device. A file's age is that of its last write.
//
// All file work, scheduling and sending run on the serial queue "eventlog";
// the answers of the server come back there too.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nimbus/eventlog/NBEventlogAccountData.h"
#include "nimbus/eventlog/NBEventlogRequest.h"
#include "nimbus/network/NBNetwork.h"
#include "platform/device/Application.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

class EVLPBLogEvent;
class EVLPBLogRequest;
class NBEventlogLogger;

class NBEventlogLoggerDelegate {
public:
    virtual ~NBEventlogLoggerDelegate() = default;
    virtual void eventlogLoggerWillSendLogs(NBEventlogLogger& logger) = 0;
};

class NBEventlogLogger : public NBNetworkReachabilityDelegate, public std::enable_shared_from_this<NBEventlogLogger> {
public:
    static constexpr int64_t kDefaultSendDelayMillis = 900000;
    static constexpr int kUploadRetries = 6;
    static constexpr uint64_t kDefaultMaxRequestNumBytes = 1048576;
    static constexpr const char* kBackgroundTaskName = "NBEventlogLogger.sendLogs";
    // The Info.plist key naming the host (and port) of the event-logging service.
    static constexpr const char* kServerHostInfoKey = "NBEventlogServerHost";
    static constexpr const char* kServerPath = "/log";
    // What waits while no server is set: at most this many bytes of event
    // files, none older than this.
    static constexpr uint64_t kDefaultMaxUnsentBytes = 4 * 1048576;
    static constexpr int64_t kDefaultMaxUnsentAgeMillis = 7 * 24 * 3600 * 1000LL;
    // What waits for a server that does not take it.
    static constexpr uint64_t kDefaultMaxUnsentBytesWithServer = 16 * 1048576;

    // The process's logger, made on first use (files under the container's
    // Caches, its own NBNetwork, the server of defaultServerURL()).
    static std::shared_ptr<NBEventlogLogger> sharedInstance();
    // "https://<host>/log" for the main bundle's NBEventlogServerHost; "" when
    // it has none, or one that is not a host (said in the log).
    static std::string defaultServerURL();
    // A logger over another directory and client (tests, benchmarks). A null
    // network sends nothing.
    static std::shared_ptr<NBEventlogLogger> create(std::string logDirectory, std::shared_ptr<NBNetwork> network);
    ~NBEventlogLogger() override;
    NBEventlogLogger(const NBEventlogLogger&) = delete;
    NBEventlogLogger& operator=(const NBEventlogLogger&) = delete;

    // Any thread. Stamps the event's missing times here, then appends it on
    // the queue. The caller must not change the event afterwards.
    void logEvent(const std::shared_ptr<EVLPBLogEvent>& event, int logSource, const std::string& account);
    // Sends every stored file now; the handler (on the queue) once the list
    // has been worked through.
    void flushWithCompletionHandler(std::function<void()> completionHandler);
    void applicationDidEnterBackground();
    // NBNetworkReachabilityDelegate
    void reachabilityDidChange() override;

    // --- properties ---------------------------------------------------------------------
    const std::string& logDirectory() const { return logDirectory_; }
    int64_t sendDelayMillis() const { return sendDelayMillis_; }
    void setSendDelayMillis(int64_t millis) { sendDelayMillis_ = millis; }
    int uploadRetriesRemaining() const { return uploadRetriesRemaining_; }
    bool sendScheduled() const { return sendScheduled_; }
    const std::shared_ptr<NBNetwork>& network() const { return network_; }
    std::vector<NBEventlogRequest> pendingRequests() const;
    platform::BackgroundTaskIdentifier backgroundTaskId() const { return backgroundTaskId_; }
    // Setting it ends the task it replaces, unless that was invalid.
    void setBackgroundTaskId(platform::BackgroundTaskIdentifier id);
    std::string applicationBuild() const;
    void setApplicationBuild(std::string build);
    uint64_t maxRequestNumBytes() const { return maxRequestNumBytes_; }
    void setMaxRequestNumBytes(uint64_t bytes) { maxRequestNumBytes_ = bytes; }
    std::optional<std::string> installIdentifier() const;
    void setInstallIdentifier(std::optional<std::string> identifier);
    uint64_t maxUnsentBytes() const { return maxUnsentBytes_; }
    void setMaxUnsentBytes(uint64_t bytes) { maxUnsentBytes_ = bytes; }
    int64_t maxUnsentAgeMillis() const { return maxUnsentAgeMillis_; }
    void setMaxUnsentAgeMillis(int64_t millis) { maxUnsentAgeMillis_ = millis; }
    uint64_t maxUnsentBytesWithServer() const { return maxUnsentBytesWithServer_; }
    void setMaxUnsentBytesWithServer(uint64_t bytes) { maxUnsentBytesWithServer_ = bytes; }
    // Empty: no server, nothing is sent.
    std::string serverURL() const;
    void setServerURL(std::string url);
    std::optional<std::string> zwiebackCookie() const;
    void setZwiebackCookie(std::optional<std::string> cookie);
    int64_t fetcherCookieStorageMethod() const { return fetcherCookieStorageMethod_; }
    void setFetcherCookieStorageMethod(int64_t method) { fetcherCookieStorageMethod_ = method; }
    void setDelegate(std::weak_ptr<NBEventlogLoggerDelegate> delegate);

    // --- the steps (on the queue) ------------------------------------------------------
    NBEventlogAccountData& accountDataForAccount(const std::string& account);
    void flushWriters();
    void updatePendingRequests();
    // Deletes the oldest files until the rest fit the size bound (with no
    // server, first those past the age bound), logged (on the queue). Runs
    // at start, before each send, on a change of the network and whenever a
    // file is complete.
    void trimUnsentFiles();
    void sendLogsWithCompletionHandler(std::function<void()> completionHandler);
    std::optional<NBEventlogRequest> nextPendingRequest();
    void scheduleNextSend();
    void sendNextPendingRequestWithCompletionHandler(std::function<void()> completionHandler);
    std::shared_ptr<EVLPBLogRequest> logRequestFromPath(const std::string& path, int logSource);

    // Waits until the work queued so far has run (tests, benchmarks).
    void waitUntilIdle();
    const platform::dispatch::QueuePtr& queue() const { return queue_; }

    // The directory name of an account: percent-escaped so that no name can
    // leave the layout ("/", ".", a leading "." are escaped too); "" for an
    // empty account, which is refused. And back.
    static std::string escapedAccount(const std::string& account);
    static std::string unescapedAccount(const std::string& name);
    // Milliseconds since 1970 (the shared clock) and since boot.
    static int64_t currentTimeMillis();
    static int64_t uptimeMillis();

private:
    NBEventlogLogger(std::string logDirectory, std::shared_ptr<NBNetwork> network);
    void start();
    void appendRecord(const platform::Bytes& record, int logSource, const std::string& account);
    // Writes every record handed over since the last drain (on the queue).
    void drainIncoming();
    void finishPost(const NBEventlogRequest& request, const std::optional<platform::http::Response>& response,
                    const platform::Error* error, std::function<void()> completionHandler);

    const std::string logDirectory_;
    const std::shared_ptr<NBNetwork> network_;
    const platform::dispatch::QueuePtr queue_;
    std::map<std::string, std::unique_ptr<NBEventlogAccountData>> accounts_;  // queue only
    // Records logged and not yet written: one block on the queue writes all
    // that arrived before it ran, instead of one block per event.
    struct Incoming {
        platform::Bytes record;
        int logSource;
        std::string account;
    };
    std::mutex incomingMutex_;
    std::vector<Incoming> incoming_;
    bool drainScheduled_ = false;
    std::atomic<int64_t> sendDelayMillis_{kDefaultSendDelayMillis};
    std::atomic<int> uploadRetriesRemaining_{kUploadRetries};
    std::atomic<bool> sendScheduled_{false};
    std::atomic<platform::BackgroundTaskIdentifier> backgroundTaskId_{platform::kInvalidBackgroundTask};
    std::atomic<uint64_t> maxRequestNumBytes_{kDefaultMaxRequestNumBytes};
    std::atomic<uint64_t> maxUnsentBytes_{kDefaultMaxUnsentBytes};
    std::atomic<int64_t> maxUnsentAgeMillis_{kDefaultMaxUnsentAgeMillis};
    std::atomic<uint64_t> maxUnsentBytesWithServer_{kDefaultMaxUnsentBytesWithServer};
    std::atomic<int64_t> fetcherCookieStorageMethod_{0};
    mutable std::mutex pendingMutex_;
    std::vector<NBEventlogRequest> pendingRequests_;
    std::string inFlightPath_;  // queue only: the file being posted
    mutable std::mutex propertiesMutex_;
    std::string applicationBuild_ = "0";
    std::optional<std::string> installIdentifier_;
    std::string serverURL_;
    std::optional<std::string> zwiebackCookie_;
    std::weak_ptr<NBEventlogLoggerDelegate> delegate_;
    platform::ObserverToken backgroundObserver_;
};

}  // namespace wharf
