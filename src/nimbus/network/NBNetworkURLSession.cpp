#include "nimbus/network/NBNetworkURLSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <glib.h>

#include "nimbus/core/NBLogger.h"
#include "platform/Clock.h"
#include "platform/Container.h"
#include "platform/Xattr.h"

namespace wharf {

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelWarning = 4;
constexpr int kLevelDebug = 7;

platform::Error posixError(int code, const std::string& path) {
    platform::Value info = platform::Value::object();
    info[platform::kLocalizedDescriptionKey] = std::string(std::strerror(code));
    info["NSFilePath"] = path;
    return platform::Error("NSPOSIXErrorDomain", code, std::move(info));
}

std::string newUUIDString() {
    gchar* uuid = g_uuid_string_random();
    std::string s(uuid);
    g_free(uuid);
    for (char& c : s) c = static_cast<char>(g_ascii_toupper(c));
    return s;
}

// Writes through a temporary file and a rename, so that a reader never sees
// half a body.
std::optional<platform::Error> writeAtomically(const std::string& path, const platform::Bytes& bytes) {
    std::string temp = path + ".partial";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return posixError(errno, path);
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return posixError(e, path);
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        return posixError(e, path);
    }
    return std::nullopt;
}

// The creation time of a file where the file system keeps one, else its
// last modification.
std::optional<std::chrono::system_clock::time_point> creationDate(const std::string& path) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0) return std::nullopt;
    const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

std::mutex& systemHandlersMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, NBNetworkURLSession::SystemCompletionHandler>& systemHandlers() {
    static std::map<std::string, NBNetworkURLSession::SystemCompletionHandler> handlers;
    return handlers;
}
// Sessions made on relaunch have no owner: they live until their background
// events are done.
std::map<std::string, std::shared_ptr<NBNetworkURLSession>>& relaunchedSessions() {
    static std::map<std::string, std::shared_ptr<NBNetworkURLSession>> sessions;
    return sessions;
}

}  // namespace

// --- the session map ------------------------------------------------------------------

void NBNetworkURLSession::SessionMap::set(const std::string& identifier,
                                          const std::weak_ptr<NBNetworkURLSession>& session) {
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.expired() ? sessions_.erase(it) : std::next(it);
    sessions_[identifier] = session;
}
std::shared_ptr<NBNetworkURLSession> NBNetworkURLSession::SessionMap::get(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(identifier);
    return it == sessions_.end() ? nullptr : it->second.lock();
}
void NBNetworkURLSession::SessionMap::remove(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    sessions_.erase(identifier);
}
std::size_t NBNetworkURLSession::SessionMap::liveCount() {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (auto& [id, weak] : sessions_) n += !weak.expired();
    return n;
}

NBNetworkURLSession::SessionMap& NBNetworkURLSession::sessionIDToFetcherMap() {
    static SessionMap* map = new SessionMap();
    return *map;
}

std::map<std::string, NBNetworkURLSession::SystemCompletionHandler>
NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary() {
    std::lock_guard lock(systemHandlersMutex());
    return systemHandlers();
}

// --- life ------------------------------------------------------------------------------

std::shared_ptr<NBNetworkURLSession> NBNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<NBNetworkLoggerDelegate> delegate) {
    std::shared_ptr<NBNetworkURLSession> session(new NBNetworkURLSession());
    session->loggerDelegate_ = std::move(delegate);
    session->sessionID_ = std::string(kNBNetworkBackgroundSessionPrefix) + "-" + newUUIDString();
    session->networkDirectoryURL_ =
        platform::Container::applicationSupportPath() + "/Nimbus/Network/NBNetworkTemporaryDirectory";
    return session;
}

void NBNetworkURLSession::setSessionID(const std::string& identifier) { sessionID_ = identifier; }

std::optional<std::string> NBNetworkURLSession::sessionIDFromAsyncPOSTRequest(platform::http::Request request,
                                                                              CompletionHandler handler) {
    uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNBNetworkTempFileExpiringTime);

    platform::http::Request config;
    populateSessionConfig(config, request);
    config.collectBody = false;  // an upload task keeps no response body
    bool staged = false;
    if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
        if (auto error = writeAtomically(uploadingFileURL_, request.body)) {
            log(kLevelError, 901000, "Failed to write request data to file", {error->description()});
        } else {
            excludeFromBackupForURL(uploadingFileURL_);
            config.bodyFile = uploadingFileURL_;
            staged = true;
            backgroundSession_ = true;
        }
    }
    if (!staged) config.body = std::move(request.body);  // falls back to an upload from memory
    uploadFromFile_ = staged;
    uploadTask_ = true;
    return startTask(std::move(config), std::move(handler));
}

std::optional<std::string> NBNetworkURLSession::sessionIDFromAsyncGETRequest(platform::http::Request request,
                                                                             CompletionHandler handler) {
    platform::http::Request config;
    populateSessionConfig(config, request);
    config.collectBody = true;
    backgroundSession_ = backgroundNetworkEnabled_;
    return startTask(std::move(config), std::move(handler));
}

void NBNetworkURLSession::populateSessionConfig(platform::http::Request& config,
                                                const platform::http::Request& request) const {
    config.url = request.url;
    config.method = request.method;
    config.headers = request.headers;
    config.timeout = request.timeout;
    config.resourceTimeout = request.timeout;
}

std::optional<std::string> NBNetworkURLSession::startTask(platform::http::Request request, CompletionHandler handler) {
    completionHandler_ = std::move(handler);
    taskOutstanding_ = true;
    sessionIDToFetcherMap().set(sessionID_, weak_from_this());
    // The transfer holds the session until its completion has been handled.
    taskID_ = platform::http::startTask(
        std::move(request),
        [self = shared_from_this()](platform::http::Result result) { self->taskDidComplete(std::move(result)); },
        platform::dispatch::mainQueue(),
        [](const platform::http::Response& response, platform::http::Request&) {
            return willPerformHTTPRedirection(response);
        });
    return sessionID_;
}

bool NBNetworkURLSession::willPerformHTTPRedirection(const platform::http::Response& response) {
    const long s = response.statusCode;
    return !(s == 300 || s == 301 || s == 302 || s == 307);
}

void NBNetworkURLSession::taskDidComplete(platform::http::Result result) {
    if (!uploadTask_ && result.response && !result.error) downloadedData_ = std::move(result.body);
    std::optional<platform::Error> error = std::move(result.error);
    // An answer that broke off (a cut body, a timeout after the headers) is
    // a failure even though a response came: the caller must not take the
    // partial data for the whole.
    if (!error && !result.response) {
        platform::Value info = platform::Value::object();
        info["Context"] = "Network Error: Empty network response";
        error = platform::Error("com.rovude.nimbus.network.ErrorDomain", 5, std::move(info));
    }
    callCompletionHandler(result.response, error ? std::nullopt : downloadedData_, error ? &*error : nullptr);
    if (uploadFromFile_) removeTempItemAtURL(uploadingFileURL_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNBNetworkTempFileExpiringTime);
    sessionIDToFetcherMap().remove(sessionID_);
    // A session runs one task: with its completion handed on, a background
    // session has no events left. Its end is an event of its own, queued
    // behind the completion, so that whoever waits for it hears of it after
    // the caller heard of the answer.
    taskOutstanding_ = false;
    if (backgroundSession_) finishEventsLater();
}

void NBNetworkURLSession::callCompletionHandler(const std::optional<platform::http::Response>& response,
                                                const std::optional<platform::Bytes>& data,
                                                const platform::Error* error) {
    if (error) log(kLevelError, 901017, "Encounter network error. Code, error", {error->code, error->description()});
    CompletionHandler handler = std::exchange(completionHandler_, nullptr);
    if (!handler) return;
    std::optional<platform::Error> errorCopy;
    if (error) errorCopy = *error;
    platform::dispatch::mainQueue()->async([handler = std::move(handler), response, data, id = sessionID_,
                                            errorCopy = std::move(errorCopy)] {
        handler(response, data, id, errorCopy ? &*errorCopy : nullptr);
    });
}

// --- background sessions ---------------------------------------------------------------

void NBNetworkURLSession::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                                SystemCompletionHandler completionHandler) {
    if (identifier.rfind(kNBNetworkBackgroundSessionPrefix, 0) != 0) return;
    std::shared_ptr<NBNetworkURLSession> session = fetcherWithSessionIdentifier(identifier);
    if (!session) {
        session = initWithNetworkLoggerDelegate({});
        if (session) {
            session->setSessionID(identifier);
            sessionIDToFetcherMap().set(identifier, session);
            std::lock_guard lock(systemHandlersMutex());
            relaunchedSessions()[identifier] = session;
        }
    }
    if (!session) {
        NBLogError(kNBLoggerCore, "I-NET900003",
                   "Failed to retrieve background session with ID %s after app is relaunched.", identifier.c_str());
        return;
    }
    session->addSystemCompletionHandler(std::move(completionHandler), identifier);
    // A session with no task in flight has nothing more to deliver: one made
    // for a relaunch (transfers never outlive the process that started them),
    // or one whose task completed before its handler arrived.
    if (!session->taskOutstanding_) session->finishEventsLater();
}

void NBNetworkURLSession::finishEventsLater() {
    platform::dispatch::mainQueue()->async(
        [self = shared_from_this()] { self->URLSessionDidFinishEventsForBackgroundURLSession(); });
}

std::shared_ptr<NBNetworkURLSession> NBNetworkURLSession::fetcherWithSessionIdentifier(const std::string& identifier) {
    return sessionIDToFetcherMap().get(identifier);
}

void NBNetworkURLSession::addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& identifier) {
    if (!handler) {
        log(kLevelError, 901009, "Cannot store nil system completion handler in network");
        return;
    }
    if (identifier.empty()) {
        log(kLevelError, 901010, "Cannot store system completion handler with empty network session identifier");
        return;
    }
    bool replaced;
    {
        std::lock_guard lock(systemHandlersMutex());
        replaced = systemHandlers().count(identifier) > 0;
        systemHandlers()[identifier] = std::move(handler);
    }
    if (replaced) log(kLevelWarning, 901011, "Got multiple system handlers for a single session ID", {identifier});
}

void NBNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
    SystemCompletionHandler handler;
    std::shared_ptr<NBNetworkURLSession> relaunched;
    {
        std::lock_guard lock(systemHandlersMutex());
        auto it = systemHandlers().find(identifier);
        if (it != systemHandlers().end()) {
            handler = std::move(it->second);
            systemHandlers().erase(it);
        }
        auto r = relaunchedSessions().find(identifier);
        if (r != relaunchedSessions().end()) {
            relaunched = std::move(r->second);  // released once this call is done
            relaunchedSessions().erase(r);
        }
    }
    if (handler) platform::dispatch::mainQueue()->async(std::move(handler));
}

void NBNetworkURLSession::URLSessionDidFinishEventsForBackgroundURLSession() {
    log(kLevelDebug, 901003, "Background session finished", {sessionID_});
    callSystemCompletionHandler(sessionID_);
}

// --- temporary files -------------------------------------------------------------------

std::string NBNetworkURLSession::temporaryFilePathWithSessionID(const std::string& identifier) const {
    return networkDirectoryURL_ + "/" + kNBNetworkTemporaryFilePrefix + identifier;
}

bool NBNetworkURLSession::ensureTemporaryDirectoryExists() {
    struct stat st {};
    if (::stat(networkDirectoryURL_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (errno != ENOENT)
        log(kLevelWarning, 901014, "Error while trying to access Network temp folder. Error",
            {posixError(errno, networkDirectoryURL_).description()});
    if (!platform::Container::ensureDirectory(networkDirectoryURL_)) {
        log(kLevelError, 901015, "Cannot create temporary directory. Error",
            {posixError(errno ? errno : EIO, networkDirectoryURL_).description()});
        return false;
    }
    excludeFromBackupForURL(networkDirectoryURL_);
    return true;
}

void NBNetworkURLSession::excludeFromBackupForURL(const std::string& path) {
    if (path.empty()) return;
    // A file system without user attributes simply keeps no marker.
    if (platform::xattr::setExcludedFromBackup(path, true) == platform::xattr::Result::Error)
        log(kLevelError, 901016, "Cannot exclude temporary folder from iTunes backup");
}

void NBNetworkURLSession::maybeRemoveTempFilesAtURL(const std::string& directory, std::chrono::seconds expiringTime) {
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) {
        if (ec != std::errc::no_such_file_or_directory)
            log(kLevelDebug, 901012, "Cannot get files from the temporary network folder. Error",
                {posixError(ec.value(), directory).description()});
        return;
    }
    const auto now = platform::Clock::shared()->now();
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::string path = it->path().string();
        auto created = creationDate(path);
        if (!created) continue;
        auto age = now > *created ? now - *created : *created - now;
        if (age > expiringTime) removeTempItemAtURL(path);
    }
}

void NBNetworkURLSession::removeTempItemAtURL(const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        log(kLevelError, 901013, "Failed to remove temporary uploading data file. Error",
            {posixError(ec.value(), path).localizedDescription()});
}

void NBNetworkURLSession::log(int level, int64_t code, const std::string& message,
                              std::vector<platform::Value> contexts) {
    if (auto logger = loggerDelegate_.lock())
        logger->nbNetwork_logWithLevelMessageCodeMessageContexts(level, code, message, contexts);
}

}  // namespace wharf
