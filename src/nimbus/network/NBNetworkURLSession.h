#pragma once
// One request of NBNetwork: its transfer, and for background sessions the body
// staged in a temporary file. A session can be found again by its identifier
// when the application is relaunched for a background session.
//
// The temporary directory must be a real directory inside the container:
// every step from the container's home down to it is opened without following
// links, and the clean-up only ever unlinks entries of that directory itself.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "nimbus/network/NBNetworkLoggerDelegate.h"
#include "platform/base/Error.h"
#include "platform/net/Http.h"

namespace wharf {

inline constexpr const char* kNBNetworkBackgroundSessionPrefix = "com.rovude.nimbus.network.background-upload";
inline constexpr const char* kNBNetworkTemporaryFilePrefix = "NBUpload_temp_";
// Staged files older (or newer) than this are left-overs of a killed process.
inline constexpr std::chrono::seconds kNBNetworkTempFileExpiringTime{3600};

class NBNetworkURLSession : public std::enable_shared_from_this<NBNetworkURLSession> {
public:
    using SystemCompletionHandler = std::function<void()>;
    // (response, data, session identifier, error); the data is handed over.
    using CompletionHandler =
        std::function<void(const std::optional<platform::http::Response>& response, std::optional<platform::Bytes> data,
                           const std::string& sessionID, const platform::Error* error)>;

    static std::shared_ptr<NBNetworkURLSession> initWithNetworkLoggerDelegate(
        std::weak_ptr<NBNetworkLoggerDelegate> delegate);

    // Start the request; answer the session identifier, or nullopt after the
    // handler was told of the failure (code 2).
    std::optional<std::string> sessionIDFromAsyncPOSTRequest(platform::http::Request request,
                                                             CompletionHandler handler);
    std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::http::Request& request,
                                                            CompletionHandler handler);

    // The application was relaunched (or woken) for a background session.
    static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                      SystemCompletionHandler completionHandler);
    static std::shared_ptr<NBNetworkURLSession> fetcherWithSessionIdentifier(const std::string& identifier);
    // At launch: sends again the background uploads a process ended before
    // their answer; each relaunches its session when it is done. Answers how
    // many were resent.
    static std::size_t resumeBackgroundUploads();
    // Where background uploads stage their bodies.
    static std::string temporaryDirectoryPath();

    // The process-wide map of live sessions (weak values), guarded.
    class SessionMap {
    public:
        void set(const std::string& identifier, const std::weak_ptr<NBNetworkURLSession>& session);
        std::shared_ptr<NBNetworkURLSession> get(const std::string& identifier);
        void remove(const std::string& identifier);
        std::size_t liveCount();

    private:
        std::mutex mutex_;
        std::map<std::string, std::weak_ptr<NBNetworkURLSession>> sessions_;
    };
    static SessionMap& sessionIDToFetcherMap();
    // The system handlers waiting for the end of their background session.
    static std::map<std::string, SystemCompletionHandler> sessionIDToSystemCompletionHandlerDictionary();

    void addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& identifier);
    void callSystemCompletionHandler(const std::string& identifier);
    void setSessionID(const std::string& identifier);
    const std::string& sessionID() const { return sessionID_; }

    void maybeRemoveTempFilesAtURL(const std::string& directory, std::chrono::seconds expiringTime);
    void removeTempItemAtURL(const std::string& path);
    std::string temporaryFilePathWithSessionID(const std::string& identifier) const;
    bool ensureTemporaryDirectoryExists();
    void excludeFromBackupForURL(const std::string& path);
    void populateSessionConfig(platform::http::Request& config, const platform::http::Request& request) const;
    void callCompletionHandler(const std::optional<platform::http::Response>& response,
                               std::optional<platform::Bytes> data, const platform::Error* error);

    // Session events.
    void taskDidComplete(platform::http::Result result);
    // Calls the system handler waiting for this session and lets a session
    // made for a relaunch go. Follows the completion of a background
    // session's task, and a relaunch for a session with no task in flight.
    void URLSessionDidFinishEventsForBackgroundURLSession();
    // Statuses 300, 301, 302 and 307 are not followed; the others are.
    static bool willPerformHTTPRedirection(const platform::http::Response& response);

    bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
    void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate() const { return loggerDelegate_; }
    const std::string& networkDirectoryURL() const { return networkDirectoryURL_; }
    const std::string& uploadingFileURL() const { return uploadingFileURL_; }
    std::optional<platform::http::TaskId> taskID() const { return taskID_; }

private:
    NBNetworkURLSession() = default;
    std::optional<std::string> startTask(platform::http::Request request, CompletionHandler handler);
    platform::http::Completion completionFor();
    static platform::http::RedirectHandler redirectRule();
    // Queues URLSessionDidFinishEventsForBackgroundURLSession on the main queue.
    void finishEventsLater();
    void log(int level, int64_t code, const std::string& message, const std::vector<platform::Value>& contexts = {});
    // The lines of the server-trust challenge, from what the transfer learnt.
    void logServerTrust(const platform::http::ServerTrust& trust);

    CompletionHandler completionHandler_;
    std::string sessionID_;
    std::string networkDirectoryURL_;
    std::optional<platform::Bytes> downloadedData_;
    std::string uploadingFileURL_;
    std::string requestURL_;
    bool uploadTask_ = false;  // uploads collect no response body
    bool uploadFromFile_ = false;
    bool backgroundNetworkEnabled_ = false;
    bool backgroundSession_ = false;  // the task runs in a background configuration
    // From the start of the task until its completion has been handed on; a
    // relaunch may read it from another thread.
    std::atomic<bool> taskOutstanding_{false};
    std::optional<platform::http::TaskId> taskID_;
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate_;
};

}  // namespace wharf
