#include "nimbus/eventlog/NBEventlogLogger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/eventlog/EVLPBClientInfo.h"
#include "nimbus/eventlog/EVLPBIosClientInfo.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "platform/base/Clock.h"
#include "platform/base/Log.h"
#include "platform/base/Url.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf {

namespace {

constexpr int kClientTypeIos = 3;

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The names of the entries of `directory` that are of the wanted kind (links
// are never followed), sorted.
std::vector<std::string> entries(const std::string& directory, bool directories) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::lstat((directory + "/" + name).c_str(), &st) != 0) continue;
        if (directories ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A client error of the server: the request itself is refused, and sending
// it again would be refused again. A time-out (408) and a request too many
// (429) say nothing of the file.
bool refusedForGood(long status) { return status >= 400 && status < 500 && status != 408 && status != 429; }

// The leading integer of a name, as intValue reads it (0 when there is none).
int intValueOf(const std::string& name) { return static_cast<int>(std::strtol(name.c_str(), nullptr, 10)); }

std::optional<platform::Bytes> readWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    platform::Bytes bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    return bytes;
}

}  // namespace

// --- life -----------------------------------------------------------------------------

std::shared_ptr<NBEventlogLogger> NBEventlogLogger::sharedInstance() {
    static std::shared_ptr<NBEventlogLogger> shared = [] {
        // The server is known before the logger starts: it decides how the
        // files are bounded.
        std::shared_ptr<NBEventlogLogger> logger(
            new NBEventlogLogger(platform::Container::cachesPath() + "/NBEventlogLogger", NBNetwork::create()));
        logger->setServerURL(defaultServerURL());
        logger->start();
        return logger;
    }();
    return shared;
}

std::string NBEventlogLogger::defaultServerURL() {
    auto bundle = platform::Bundle::mainBundle();
    const platform::Value host = bundle ? bundle->objectForInfoDictionaryKey(kServerHostInfoKey) : platform::Value();
    if (host.is_null()) return "";
    // A host name or address, with a port or not: nothing that could carry
    // a path, a user or a query of its own.
    const std::string text = host.is_string() ? host.get<std::string>() : "";
    const bool plausible =
        !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789.-:[]") == std::string::npos;
    std::string url = "https://" + text + kServerPath;
    auto parsed = plausible ? platform::Url::parse(url) : std::nullopt;
    if (!parsed || parsed->host().empty() || parsed->path() != kServerPath) {
        platform::log("NBEventlogLogger: the Info.plist value %s is not a host name (%s); event files are kept, "
                      "not sent",
                      kServerHostInfoKey, host.dump().c_str());
        return "";
    }
    return url;
}

std::shared_ptr<NBEventlogLogger> NBEventlogLogger::create(std::string logDirectory,
                                                           std::shared_ptr<NBNetwork> network) {
    std::shared_ptr<NBEventlogLogger> logger(new NBEventlogLogger(std::move(logDirectory), std::move(network)));
    logger->start();
    return logger;
}

NBEventlogLogger::NBEventlogLogger(std::string logDirectory, std::shared_ptr<NBNetwork> network)
    : logDirectory_(std::move(logDirectory)),
      network_(std::move(network)),
      queue_(platform::dispatch::createSerialQueue("eventlog")) {}

void NBEventlogLogger::start() {
    std::weak_ptr<NBEventlogLogger> weak = weak_from_this();
    backgroundObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kUIApplicationDidEnterBackgroundNotification, nullptr, [weak](const platform::Notification&) {
            if (auto self = weak.lock()) self->applicationDidEnterBackground();
        });
    queue_->async([self = shared_from_this()] {
        self->trimUnsentFiles();
        self->scheduleNextSend();
    });
}

NBEventlogLogger::~NBEventlogLogger() {
    backgroundObserver_.reset();
    setBackgroundTaskId(platform::kInvalidBackgroundTask);
}

// --- logging --------------------------------------------------------------------------

int64_t NBEventlogLogger::currentTimeMillis() {
    return static_cast<int64_t>(platform::Clock::shared()->secondsSince1970() * 1000.0);
}

int64_t NBEventlogLogger::uptimeMillis() {
    timespec ts{};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string NBEventlogLogger::escapedAccount(const std::string& account) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    for (unsigned char c : account) {
        if (isUnreserved(c)) {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += kHex[c >> 4];
            name += kHex[c & 0xf];
        }
    }
    return name;
}

std::string NBEventlogLogger::unescapedAccount(const std::string& name) {
    std::string account;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() + 0 && hexValue(name[i + 1]) >= 0 && hexValue(name[i + 2]) >= 0) {
            account += static_cast<char>(hexValue(name[i + 1]) * 16 + hexValue(name[i + 2]));
            i += 2;
        } else {
            account += name[i];
        }
    }
    return account;
}

void NBEventlogLogger::logEvent(const std::shared_ptr<EVLPBLogEvent>& event, int logSource,
                                const std::string& account) {
    if (!event) return;
    if (!NANOHasField(event.get(), EVLPBLogEvent::event_time_ms))
        NANOSetInt64(event.get(), EVLPBLogEvent::event_time_ms, currentTimeMillis());
    if (!NANOHasField(event.get(), EVLPBLogEvent::event_uptime_ms))
        NANOSetInt64(event.get(), EVLPBLogEvent::event_uptime_ms, uptimeMillis());
    // Encoded here, so that the message never crosses to the queue's thread;
    // one that cannot be encoded is kept as an empty record.
    platform::Bytes record = event->protoBuffer().value_or(platform::Bytes{});
    bool schedule = false;
    {
        std::lock_guard lock(incomingMutex_);
        incoming_.push_back({std::move(record), logSource, account});
        schedule = !std::exchange(drainScheduled_, true);
    }
    if (schedule) queue_->async([self = shared_from_this()] { self->drainIncoming(); });
}

void NBEventlogLogger::drainIncoming() {
    std::vector<Incoming> batch;
    {
        std::lock_guard lock(incomingMutex_);
        batch.swap(incoming_);
        drainScheduled_ = false;
    }
    for (const Incoming& item : batch) appendRecord(item.record, item.logSource, item.account);
}

void NBEventlogLogger::appendRecord(const platform::Bytes& record, int logSource, const std::string& account) {
    if (account.empty()) {
        NBLogError(kNBLoggerCore, "I-COR000017", "Failure to write data for account %s, logSource %d. Discarding.",
                   account.c_str(), logSource);
        return;
    }
    NBEventlogAccountData& data = accountDataForAccount(account);
    if (data.writerForLogSource(logSource).fileIsGone()) data.removeWriterForLogSource(logSource);
    NBEventlogWriter& writer = data.writerForLogSource(logSource);
    if (!writer.writeRecord(record)) {
        NBLogError(kNBLoggerCore, "I-COR000017", "Failure to write data for account %s, logSource %d. Discarding.",
                   account.c_str(), logSource);
        data.removeWriterForLogSource(logSource);
        return;
    }
    if (writer.numBytes() > maxRequestNumBytes_) {
        data.removeWriterForLogSource(logSource);
        // A file is complete: the files stay within their bound while events
        // pour in, not only when they are next sent.
        trimUnsentFiles();
    }
}

NBEventlogAccountData& NBEventlogLogger::accountDataForAccount(const std::string& account) {
    auto& data = accounts_[account];
    if (!data) data = std::make_unique<NBEventlogAccountData>(logDirectory_ + "/" + escapedAccount(account));
    return *data;
}

void NBEventlogLogger::flushWriters() {
    for (auto& [account, data] : accounts_) data->flushWriters();
}

// --- sending --------------------------------------------------------------------------

void NBEventlogLogger::flushWithCompletionHandler(std::function<void()> completionHandler) {
    queue_->async([self = shared_from_this(), completionHandler = std::move(completionHandler)]() mutable {
        self->sendLogsWithCompletionHandler(std::move(completionHandler));
    });
}

void NBEventlogLogger::applicationDidEnterBackground() { flushWithCompletionHandler(nullptr); }

void NBEventlogLogger::reachabilityDidChange() {
    queue_->async([self = shared_from_this()] {
        self->trimUnsentFiles();
        self->scheduleNextSend();
    });
}

void NBEventlogLogger::scheduleNextSend() {
    if (sendScheduled_) return;
    if (!network_) return;
    if (!network_->isNetworkConnected()) {
        network_->setReachabilityDelegate(weak_from_this());
        return;
    }
    network_->setReachabilityDelegate({});
    sendScheduled_ = true;
    std::weak_ptr<NBEventlogLogger> weak = weak_from_this();
    queue_->after(std::chrono::milliseconds(sendDelayMillis_.load()), [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->sendScheduled_ = false;
        self->sendLogsWithCompletionHandler(nullptr);
    });
}

void NBEventlogLogger::sendLogsWithCompletionHandler(std::function<void()> completionHandler) {
    if (backgroundTaskId_ == platform::kInvalidBackgroundTask) {
        std::weak_ptr<NBEventlogLogger> weak = weak_from_this();
        setBackgroundTaskId(platform::Application::shared().beginBackgroundTask(kBackgroundTaskName, [weak] {
            if (auto self = weak.lock()) self->setBackgroundTaskId(platform::kInvalidBackgroundTask);
        }));
    }
    std::shared_ptr<NBEventlogLoggerDelegate> delegate;
    {
        std::lock_guard lock(propertiesMutex_);
        delegate = delegate_.lock();
    }
    if (delegate) delegate->eventlogLoggerWillSendLogs(*this);
    // No file is sent while it is still being appended to.
    flushWriters();
    trimUnsentFiles();
    updatePendingRequests();
    sendNextPendingRequestWithCompletionHandler(std::move(completionHandler));
}

void NBEventlogLogger::updatePendingRequests() {
    std::vector<NBEventlogRequest> found;
    for (const std::string& accountName : entries(logDirectory_, true)) {
        const std::string accountDirectory = logDirectory_ + "/" + accountName;
        for (const std::string& sourceName : entries(accountDirectory, true)) {
            const std::string sourceDirectory = accountDirectory + "/" + sourceName;
            for (const std::string& file : entries(sourceDirectory, false))
                found.push_back({intValueOf(sourceName), unescapedAccount(accountName), sourceDirectory + "/" + file});
        }
    }
    std::lock_guard lock(pendingMutex_);
    for (auto& request : found) {
        // A file already waiting, or being posted, is not listed twice.
        if (request.path == inFlightPath_) continue;
        if (std::any_of(pendingRequests_.begin(), pendingRequests_.end(),
                        [&](const NBEventlogRequest& r) { return r.path == request.path; }))
            continue;
        pendingRequests_.push_back(std::move(request));
    }
}

void NBEventlogLogger::trimUnsentFiles() {
    struct File {
        int64_t writtenMillis;
        uint64_t size;
        std::string path;
    };
    std::vector<File> files;
    for (const std::string& accountName : entries(logDirectory_, true)) {
        const std::string accountDirectory = logDirectory_ + "/" + accountName;
        for (const std::string& sourceName : entries(accountDirectory, true)) {
            const std::string sourceDirectory = accountDirectory + "/" + sourceName;
            for (const std::string& name : entries(sourceDirectory, false)) {
                const std::string path = sourceDirectory + "/" + name;
                struct stat st {};
                if (::lstat(path.c_str(), &st) != 0) continue;
                // A file's age is that of its last event, as the file system
                // stamped it: the time in its name is only the clock's word
                // when it was made, a year off if the clock was.
                const int64_t written = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
                files.push_back({written, static_cast<uint64_t>(st.st_size), path});
            }
        }
    }
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) {
        return a.writtenMillis != b.writtenMillis ? a.writtenMillis < b.writtenMillis : a.path < b.path;
    });
    uint64_t total = 0;
    for (const File& file : files) total += file.size;
    // With a server the files wait for it, within a larger bound: a server
    // that is down for good must not fill the device. Without one they also
    // go with age.
    const bool sending = !serverURL().empty();
    const uint64_t maxBytes = sending ? maxUnsentBytesWithServer_.load() : maxUnsentBytes_.load();
    const int64_t oldestKept =
        sending ? std::numeric_limits<int64_t>::min() : currentTimeMillis() - maxUnsentAgeMillis_.load();
    std::vector<std::string> removed;
    std::size_t aged = 0;
    uint64_t trimmedBytes = 0;  // of the files that went for the size bound
    for (const File& file : files) {
        const bool old = file.writtenMillis < oldestKept;
        if (!old && total <= maxBytes) break;
        if (::unlink(file.path.c_str()) == 0 || errno == ENOENT) {
            removed.push_back(file.path);
            aged += old;
            trimmedBytes += old ? 0 : file.size;
        }
        total -= file.size;
    }
    if (removed.empty()) return;
    if (aged)
        platform::log("NBEventlogLogger: deleted %zu unsent event files last written more than %lld days ago", aged,
                      static_cast<long long>(maxUnsentAgeMillis_.load() / (24 * 3600 * 1000LL)));
    if (removed.size() > aged)
        platform::log("NBEventlogLogger: deleted the %zu oldest unsent event files (%llu bytes in all) to keep the "
                      "files within %llu bytes",
                      removed.size() - aged, static_cast<unsigned long long>(trimmedBytes),
                      static_cast<unsigned long long>(maxBytes));
    std::lock_guard lock(pendingMutex_);
    std::erase_if(pendingRequests_, [&](const NBEventlogRequest& r) {
        return std::find(removed.begin(), removed.end(), r.path) != removed.end();
    });
}

std::optional<NBEventlogRequest> NBEventlogLogger::nextPendingRequest() {
    std::lock_guard lock(pendingMutex_);
    if (pendingRequests_.empty()) return std::nullopt;
    NBEventlogRequest request = std::move(pendingRequests_.back());
    pendingRequests_.pop_back();
    return request;
}

void NBEventlogLogger::sendNextPendingRequestWithCompletionHandler(std::function<void()> completionHandler) {
    if (!network_ || network_->hasUploadInProgress() || uploadRetriesRemaining_ < 1) return;
    const std::string server = serverURL();
    std::optional<NBEventlogRequest> request;
    if (!server.empty()) request = nextPendingRequest();
    if (!request) {
        // Nothing left, or nowhere to send it.
        scheduleNextSend();
        setBackgroundTaskId(platform::kInvalidBackgroundTask);
        if (completionHandler) completionHandler();
        return;
    }
    auto logRequest = logRequestFromPath(request->path, request->logSource);
    if (!logRequest) {
        ::unlink(request->path.c_str());
        queue_->async([self = shared_from_this(), completionHandler = std::move(completionHandler)]() mutable {
            self->sendNextPendingRequestWithCompletionHandler(std::move(completionHandler));
        });
        return;
    }
    NANOSetInt64(logRequest.get(), EVLPBLogRequest::request_time_ms, currentTimeMillis());
    NANOSetInt64(logRequest.get(), EVLPBLogRequest::request_uptime_ms, uptimeMillis());
    platform::Bytes payload = logRequest->protoBuffer().value_or(platform::Bytes{});
    inFlightPath_ = request->path;
    network_->postURL(server, payload, queue_, false,
                      [self = shared_from_this(), request = *request, completionHandler = std::move(completionHandler)](
                          const std::optional<platform::http::Response>& response,
                          const std::optional<platform::Bytes>&, const platform::Error* error) mutable {
                          self->finishPost(request, response, error, std::move(completionHandler));
                      });
}

void NBEventlogLogger::finishPost(const NBEventlogRequest& request,
                                  const std::optional<platform::http::Response>& response, const platform::Error* error,
                                  std::function<void()> completionHandler) {
    inFlightPath_.clear();
    const long status = response ? response->statusCode : 0;
    if (!error && status == 200) {
        ::unlink(request.path.c_str());
        uploadRetriesRemaining_ = kUploadRetries;
        sendNextPendingRequestWithCompletionHandler(std::move(completionHandler));
        return;
    }
    NBLogError(kNBLoggerCore, "I-COR000020", "Error posting to Rivuzeru: %s, with Status Code: %ld",
               error ? error->description().c_str() : "(null)", status);
    if (!error && refusedForGood(status)) {
        // The server will never take this file, however often it is sent:
        // it goes, and the files behind it are sent as if it never was.
        platform::log("NBEventlogLogger: the server refused the event file %s with status %ld; the file is deleted",
                      request.path.c_str(), status);
        ::unlink(request.path.c_str());
        sendNextPendingRequestWithCompletionHandler(std::move(completionHandler));
        return;
    }
    --uploadRetriesRemaining_;
    // The file stays; the list keeps it for the next send.
    {
        std::lock_guard lock(pendingMutex_);
        if (std::none_of(pendingRequests_.begin(), pendingRequests_.end(),
                         [&](const NBEventlogRequest& r) { return r.path == request.path; }))
            pendingRequests_.push_back(request);
    }
    scheduleNextSend();
}

std::shared_ptr<EVLPBLogRequest> NBEventlogLogger::logRequestFromPath(const std::string& path, int logSource) {
    auto bytes = readWholeFile(path);
    // Only whole records go: part of one would spoil the request for the service.
    if (bytes) bytes->resize(NBEventlogWriter::wholeRecordsLength(*bytes));
    if (!bytes || bytes->empty()) return nullptr;  // unreadable, or no whole event in it
    auto request = EVLPBLogRequest::create();
    NANOSetInt32(request.get(), EVLPBLogRequest::log_source, logSource);
    NANOSetArray(request.get(), EVLPBLogRequest::serialized_log_events,
                 std::vector<NANOObject>{platform::bytesValue(std::move(*bytes))});
    auto ios = EVLPBIosClientInfo::create();
    NANOSetString(ios.get(), EVLPBIosClientInfo::application_build, applicationBuild());
    NANOSetString(ios.get(), EVLPBIosClientInfo::system_version, NBAppEnvironmentUtil::systemVersion());
    if (auto identifier = installIdentifier(); identifier && !identifier->empty())
        NANOSetString(ios.get(), EVLPBIosClientInfo::install_identifier, *identifier);
    auto client = EVLPBClientInfo::create();
    NANOSetInt32(client.get(), EVLPBClientInfo::client_type, kClientTypeIos);
    NANOSetMessage(client.get(), EVLPBClientInfo::ios_client_info, ios.get());
    NANOSetMessage(request.get(), EVLPBLogRequest::client_info, client.get());
    if (auto cookie = zwiebackCookie()) NANOSetString(request.get(), EVLPBLogRequest::zwieback_cookie, *cookie);
    return request;
}

void NBEventlogLogger::waitUntilIdle() {
    queue_->sync([] {});
}

// --- properties -----------------------------------------------------------------------

std::vector<NBEventlogRequest> NBEventlogLogger::pendingRequests() const {
    std::lock_guard lock(pendingMutex_);
    return pendingRequests_;
}

void NBEventlogLogger::setBackgroundTaskId(platform::BackgroundTaskIdentifier id) {
    const auto old = backgroundTaskId_.exchange(id);
    if (old != platform::kInvalidBackgroundTask) platform::Application::shared().endBackgroundTask(old);
}

std::string NBEventlogLogger::applicationBuild() const {
    std::lock_guard lock(propertiesMutex_);
    return applicationBuild_;
}
void NBEventlogLogger::setApplicationBuild(std::string build) {
    std::lock_guard lock(propertiesMutex_);
    applicationBuild_ = std::move(build);
}
std::optional<std::string> NBEventlogLogger::installIdentifier() const {
    std::lock_guard lock(propertiesMutex_);
    return installIdentifier_;
}
void NBEventlogLogger::setInstallIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(propertiesMutex_);
    installIdentifier_ = std::move(identifier);
}
std::string NBEventlogLogger::serverURL() const {
    std::lock_guard lock(propertiesMutex_);
    return serverURL_;
}
void NBEventlogLogger::setServerURL(std::string url) {
    std::lock_guard lock(propertiesMutex_);
    serverURL_ = std::move(url);
}
std::optional<std::string> NBEventlogLogger::zwiebackCookie() const {
    std::lock_guard lock(propertiesMutex_);
    return zwiebackCookie_;
}
void NBEventlogLogger::setZwiebackCookie(std::optional<std::string> cookie) {
    std::lock_guard lock(propertiesMutex_);
    zwiebackCookie_ = std::move(cookie);
}
void NBEventlogLogger::setDelegate(std::weak_ptr<NBEventlogLoggerDelegate> delegate) {
    std::lock_guard lock(propertiesMutex_);
    delegate_ = std::move(delegate);
}

}  // namespace wharf
