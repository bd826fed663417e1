#include "nimbus/network/NBNetworkURLSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include <glib.h>

#include "nimbus/core/NBLogger.h"
#include "platform/base/Clock.h"
#include "platform/base/Error.h"
#include "platform/storage/Container.h"
#include "platform/storage/Xattr.h"

namespace wharf {

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelWarning = 4;
constexpr int kLevelDebug = 7;

platform::Error posixError(int code, const std::string& path) {
    platform::Value info = platform::Value::object();
    info[platform::kLocalizedDescriptionKey] = platform::errnoText(code);
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

// The steps from the container's home down to the temporary directory.
const char* const kTemporaryDirectorySteps[] = {"Library", "Application Support", "Nimbus", "Network",
                                                "NBNetworkTemporaryDirectory"};

std::string temporaryDirectory() {
    std::string path = platform::Container::home();
    for (const char* step : kTemporaryDirectorySteps) path += std::string("/") + step;
    return path;
}

// Opens the temporary directory without following a link at any step below
// the home, creating missing steps when asked. -1 with errno set when a step
// is missing, a link or not a directory: whatever sits there is not ours.
int openTemporaryDirectory(bool create) {
    int fd = ::open(platform::Container::home().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const char* step : kTemporaryDirectorySteps) {
        if (fd < 0) return -1;
        int next = ::openat(fd, step, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(fd, step, 0700) != 0 && errno != EEXIST) {
                const int e = errno;
                ::close(fd);
                errno = e;
                return -1;
            }
            next = ::openat(fd, step, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        const int e = errno;
        ::close(fd);
        errno = e;
        fd = next;
    }
    return fd;
}

// Writes through a temporary file and a rename inside the directory, so that
// a reader never sees half a body and no link is followed.
std::optional<platform::Error> writeAtomically(int dirfd, const std::string& path, const platform::Bytes& bytes) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string temp = name + ".partial";
    int fd = ::openat(dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return posixError(errno, path);
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            ::unlinkat(dirfd, temp.c_str(), 0);
            return posixError(e, path);
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::renameat(dirfd, temp.c_str(), dirfd, name.c_str()) != 0) {
        int e = errno;
        ::unlinkat(dirfd, temp.c_str(), 0);
        return posixError(e, path);
    }
    return std::nullopt;
}

// The creation time of an entry where the file system keeps one, else its
// last modification.
std::optional<std::chrono::system_clock::time_point> creationDate(int dirfd, const char* name) {
    struct statx sx {};
    if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME | STATX_TYPE, &sx) != 0)
        return std::nullopt;
    const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

bool endsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    session->networkDirectoryURL_ = temporaryDirectory();
    return session;
}

void NBNetworkURLSession::setSessionID(const std::string& identifier) { sessionID_ = identifier; }

std::optional<std::string> NBNetworkURLSession::sessionIDFromAsyncPOSTRequest(platform::http::Request request,
                                                                              CompletionHandler handler) {
    uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
    requestURL_ = request.url;
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNBNetworkTempFileExpiringTime);

    platform::http::Request config;
    populateSessionConfig(config, request);
    config.collectBody = false;  // an upload task keeps no response body
    uploadTask_ = true;
    if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
        int dirfd = openTemporaryDirectory(false);
        auto error = dirfd < 0 ? std::optional(posixError(errno, uploadingFileURL_))
                               : writeAtomically(dirfd, uploadingFileURL_, request.body);
        if (dirfd >= 0) ::close(dirfd);
        if (error) {
            log(kLevelError, 901000, "Failed to write request data to file", {error->description()});
        } else {
            excludeFromBackupForURL(uploadingFileURL_);
            config.bodyFile = uploadingFileURL_;
            uploadFromFile_ = true;
            backgroundSession_ = true;
            completionHandler_ = std::move(handler);
            taskOutstanding_ = true;
            sessionIDToFetcherMap().set(sessionID_, weak_from_this());
            platform::http::TaskId id = 0;
            // Recorded beside its file, the upload outlives this process.
            if (platform::http::startBackgroundUpload(sessionID_, config, completionFor(),
                                                      platform::dispatch::mainQueue(), redirectRule(), &id)) {
                taskID_ = id;
                return sessionID_;
            }
            handler = std::exchange(completionHandler_, nullptr);
            taskOutstanding_ = false;
            uploadFromFile_ = false;
            backgroundSession_ = false;
            config.bodyFile.clear();
            removeTempItemAtURL(uploadingFileURL_);
        }
    }
    config.body = std::move(request.body);  // an upload from memory
    return startTask(std::move(config), std::move(handler));
}

std::optional<std::string> NBNetworkURLSession::sessionIDFromAsyncGETRequest(const platform::http::Request& request,
                                                                             CompletionHandler handler) {
    requestURL_ = request.url;
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
    config.maxBodySize = request.maxBodySize;
}

platform::http::Completion NBNetworkURLSession::completionFor() {
    // The transfer holds the session until its completion has been handled.
    return [self = shared_from_this()](platform::http::Result result) { self->taskDidComplete(std::move(result)); };
}

platform::http::RedirectHandler NBNetworkURLSession::redirectRule() {
    return [](const platform::http::Response& response, platform::http::Request&) {
        return willPerformHTTPRedirection(response);
    };
}

std::optional<std::string> NBNetworkURLSession::startTask(platform::http::Request request, CompletionHandler handler) {
    completionHandler_ = std::move(handler);
    taskOutstanding_ = true;
    sessionIDToFetcherMap().set(sessionID_, weak_from_this());
    taskID_ =
        platform::http::startTask(std::move(request), completionFor(), platform::dispatch::mainQueue(), redirectRule());
    return sessionID_;
}

bool NBNetworkURLSession::willPerformHTTPRedirection(const platform::http::Response& response) {
    const long s = response.statusCode;
    return !(s == 300 || s == 301 || s == 302 || s == 307);
}

void NBNetworkURLSession::taskDidComplete(platform::http::Result result) {
    if (result.serverTrust) logServerTrust(*result.serverTrust);
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
    std::optional<platform::Bytes> data;
    if (!error) data = std::exchange(downloadedData_, std::nullopt);
    callCompletionHandler(result.response, std::move(data), error ? &*error : nullptr);
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
                                                std::optional<platform::Bytes> data, const platform::Error* error) {
    if (error) log(kLevelError, 901017, "Encounter network error. Code, error", {error->code, error->description()});
    CompletionHandler handler = std::exchange(completionHandler_, nullptr);
    if (!handler) return;
    std::optional<platform::Error> errorCopy;
    if (error) errorCopy = *error;
    platform::dispatch::mainQueue()->async([handler = std::move(handler), response, data = std::move(data),
                                            id = sessionID_, errorCopy = std::move(errorCopy)]() mutable {
        handler(response, std::move(data), id, errorCopy ? &*errorCopy : nullptr);
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
    // A session made for a relaunch ran no task here: the upload it stands
    // for was sent again at launch, and its staged body is done with.
    if (!taskID_) {
        const std::string staged = temporaryFilePathWithSessionID(sessionID_);
        struct stat record {};
        if (::lstat((staged + platform::http::kBackgroundUploadRecordSuffix).c_str(), &record) != 0)
            removeTempItemAtURL(staged);
    }
    callSystemCompletionHandler(sessionID_);
}

// --- temporary files -------------------------------------------------------------------

std::string NBNetworkURLSession::temporaryFilePathWithSessionID(const std::string& identifier) const {
    return networkDirectoryURL_ + "/" + kNBNetworkTemporaryFilePrefix + identifier;
}

bool NBNetworkURLSession::ensureTemporaryDirectoryExists() {
    // Anything at a step on the way that is not a real directory (a link
    // above all) is refused, never followed or replaced.
    if (int fd = openTemporaryDirectory(false); fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno != ENOENT)
        log(kLevelWarning, 901014, "Error while trying to access Network temp folder. Error",
            {posixError(errno, networkDirectoryURL_).description()});
    int fd = openTemporaryDirectory(true);
    if (fd < 0) {
        log(kLevelError, 901015, "Cannot create temporary directory. Error",
            {posixError(errno ? errno : EIO, networkDirectoryURL_).description()});
        return false;
    }
    ::close(fd);
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
    // Only our own directory is ever cleaned, reached without following links.
    if (directory != networkDirectoryURL_) return;
    int dirfd = openTemporaryDirectory(false);
    if (dirfd < 0) {
        if (errno != ENOENT)
            log(kLevelDebug, 901012, "Cannot get files from the temporary network folder. Error",
                {posixError(errno, directory).description()});
        return;
    }
    DIR* dir = ::fdopendir(::dup(dirfd));
    if (!dir) {
        log(kLevelDebug, 901012, "Cannot get files from the temporary network folder. Error",
            {posixError(errno, directory).description()});
        ::close(dirfd);
        return;
    }
    std::vector<std::string> expired;
    const auto now = platform::Clock::shared()->now();
    const std::string_view recordSuffix = platform::http::kBackgroundUploadRecordSuffix;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
        // An upload still to be sent keeps its record and its body.
        if (endsWith(name, recordSuffix)) continue;
        struct stat record {};
        if (::fstatat(dirfd, (name + std::string(recordSuffix)).c_str(), &record, AT_SYMLINK_NOFOLLOW) == 0) continue;
        auto created = creationDate(dirfd, name.c_str());
        if (!created) continue;
        auto age = now > *created ? now - *created : *created - now;
        if (age > expiringTime) expired.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : expired) {
        // unlinkat removes a link itself, never what it points to.
        if (::unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT)
            log(kLevelError, 901013, "Failed to remove temporary uploading data file. Error",
                {posixError(errno, directory + "/" + name).localizedDescription()});
    }
    ::close(dirfd);
}

void NBNetworkURLSession::removeTempItemAtURL(const std::string& path) {
    if (path.empty()) return;
    // Never recursive: nothing of ours is a directory, and a link is removed
    // as a link.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        log(kLevelError, 901013, "Failed to remove temporary uploading data file. Error",
            {posixError(errno, path).localizedDescription()});
}

std::string NBNetworkURLSession::temporaryDirectoryPath() { return temporaryDirectory(); }

std::size_t NBNetworkURLSession::resumeBackgroundUploads() {
    int fd = openTemporaryDirectory(false);
    if (fd < 0) return 0;
    ::close(fd);
    return platform::http::resumeBackgroundUploads(
        temporaryDirectory(),
        [](const std::string& identifier, std::function<void()> completionHandler) {
            handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
        },
        redirectRule());
}

void NBNetworkURLSession::logServerTrust(const platform::http::ServerTrust& trust) {
    using Outcome = platform::http::ServerTrust::Outcome;
    const platform::Value host(requestURL_);
    switch (trust.outcome) {
    case Outcome::NoCertificate: log(kLevelDebug, 901004, "Received empty server trust for host. Host", {host}); return;
    // A certificate for another host gives no credential for this one.
    case Outcome::NotForHost: log(kLevelWarning, 901005, "Unable to verify server identity. Host", {host}); return;
    case Outcome::Trusted: log(kLevelDebug, 901006, "Received SSL challenge for host. Host", {host}); return;
    // Without usable authorities the certificate cannot be judged at all.
    case Outcome::NoTrustStore:
    case Outcome::Unevaluated:
        log(kLevelDebug, 901006, "Received SSL challenge for host. Host", {host});
        log(kLevelError, 901008, "Cannot evaluate server trust. Error, host", {trust.status, host});
        log(kLevelDebug, 901007, "Cancelling authentication challenge for host. Host", {host});
        return;
    case Outcome::Untrusted:
        log(kLevelDebug, 901006, "Received SSL challenge for host. Host", {host});
        log(kLevelDebug, 901007, "Cancelling authentication challenge for host. Host", {host});
        return;
    }
}

void NBNetworkURLSession::log(int level, int64_t code, const std::string& message,
                              const std::vector<platform::Value>& contexts) {
    if (auto logger = loggerDelegate_.lock())
        logger->nbNetwork_logWithLevelMessageCodeMessageContexts(level, code, message, contexts);
}

}  // namespace wharf
