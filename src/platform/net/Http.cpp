#include "platform/net/Http.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <strings.h>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

#include "platform/base/Clock.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/net/HttpTransfer.h"

namespace wharf::platform::http {

std::optional<std::string> headerValue(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    return std::nullopt;
}

namespace {

using namespace transfer;

// --- background upload records ------------------------------------------------------
// A record is held with an exclusive flock for as long as its upload runs, by
// the process that runs it: another process on the same container (a second
// launch) sees the lock and leaves the upload alone. The kernel lets go of
// the lock when the process ends, however it ends, so the next launch may
// send the upload again.

struct LiveRecords {
    std::mutex mutex;
    std::map<std::string, int> locks;  // record path -> the descriptor holding its lock
};
LiveRecords& liveRecords() {
    static LiveRecords* records = new LiveRecords();  // never destroyed: tasks outlive exit
    return *records;
}

// The upload is over (answered or failed for good): nothing is left to resend.
// The record goes before its lock, so that whoever waits for the lock finds
// the record gone.
void finishBackgroundUpload(const std::string& record) {
    if (record.empty()) return;
    ::unlink(record.c_str());
    std::lock_guard lock(liveRecords().mutex);
    if (auto it = liveRecords().locks.find(record); it != liveRecords().locks.end()) {
        ::close(it->second);
        liveRecords().locks.erase(it);
    }
}

// The upload stays staged for a later launch: the record is kept and its lock
// let go, so that another process (or this one) may send it again.
void releaseBackgroundUpload(const std::string& record) {
    std::lock_guard lock(liveRecords().mutex);
    if (auto it = liveRecords().locks.find(record); it != liveRecords().locks.end()) {
        ::close(it->second);
        liveRecords().locks.erase(it);
    }
}

// Whether a resent upload ended without reaching a server that answered,
// for a reason the network may mend (refused, unreachable, cut off, timed
// out): it is then sent again at a later launch. A request that can never be
// sent, and any answer at all, end it.
bool reachedNoServer(const Result& result) {
    if (result.response || !result.error || result.error->domain != kURLErrorDomain) return false;
    switch (result.error->code) {
    case URLErrorBadURL:
    case URLErrorUnsupportedURL:
    case URLErrorFileDoesNotExist:
    case URLErrorCancelled: return false;
    default: return true;
    }
}

// Takes the lock of the record at `path` for this process: the descriptor
// that holds it, or -1 when the record is gone, not ours, or held by another
// process (or by this one).
int lockRecord(const std::string& path) {
    {
        std::lock_guard lock(liveRecords().mutex);
        if (liveRecords().locks.count(path)) return -1;  // under way here
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat held {};
    struct stat named {};
    // A record finished while we waited was unlinked first: the lock is then
    // on a file that is no longer the one of that name.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 || ::lstat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        ::close(fd);
        return -1;
    }
    std::lock_guard lock(liveRecords().mutex);
    if (!liveRecords().locks.emplace(path, fd).second) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes the record and keeps it locked: the lock is taken before the record
// appears under its name, so that no other process can take it in between.
bool writeRecord(const std::string& path, const std::string& text) {
    const std::string temp = path + ".partial";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const bool ok = written == text.size() && ::fsync(fd) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    std::lock_guard lock(liveRecords().mutex);
    if (auto [it, added] = liveRecords().locks.emplace(path, fd); !added) {
        ::close(it->second);  // a record of this name that went before without finishing
        it->second = fd;
    }
    return true;
}

std::string recordText(const std::string& sessionIdentifier, const Request& r) {
    Value headers = Value::array();
    for (const auto& [name, value] : r.headers) headers.push_back(Value::array({name, value}));
    Value record{{"session", sessionIdentifier},
                 {"url", r.url},
                 {"method", r.method},
                 {"headers", std::move(headers)},
                 {"body", baseName(r.bodyFile)},
                 {"timeoutMs", r.timeout.count()},
                 {"resourceTimeoutMs", r.resourceTimeout.count()},
                 {"maxBodySize", r.maxBodySize},
                 {"maxRedirects", r.maxRedirects},
                 {"collectBody", r.collectBody}};
    return toJSONString(record);
}

// The session and request of a record read from `fd`, or nothing for a record
// that is not one of ours or whose body file is not a plain file beside it.
std::optional<std::pair<std::string, Request>> readRecord(int fd, const std::string& directory,
                                                          const std::string& name) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0 && text.size() < (1u << 20))
        text.append(buffer, n);
    auto value = parseJSON(text);
    if (!value || !value->is_object()) return std::nullopt;
    try {
        const Value& v = *value;
        Request r;
        const std::string body = v.at("body").get<std::string>();
        const std::string expected = name.substr(0, name.size() - std::strlen(kBackgroundUploadRecordSuffix));
        if (body != expected) return std::nullopt;
        r.bodyFile = directory + "/" + body;
        struct stat st {};
        if (::lstat(r.bodyFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        r.url = v.at("url").get<std::string>();
        r.method = v.at("method").get<std::string>();
        for (const auto& h : v.at("headers"))
            r.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
        r.timeout = std::chrono::milliseconds(v.at("timeoutMs").get<int64_t>());
        r.resourceTimeout = std::chrono::milliseconds(v.at("resourceTimeoutMs").get<int64_t>());
        r.maxBodySize = v.at("maxBodySize").get<size_t>();
        r.maxRedirects = v.at("maxRedirects").get<int>();
        r.collectBody = v.at("collectBody").get<bool>();
        return std::make_pair(v.at("session").get<std::string>(), std::move(r));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

class Worker {
public:
    static Worker& shared() {
        // Never destroyed: tasks may still complete while the process exits.
        static Worker* worker = new Worker();
        return *worker;
    }

    TaskId start(std::shared_ptr<Task> task) {
        std::lock_guard lock(mutex_);
        const TaskId id = task->id = ++lastId_;
        task->started = Clock::now();
        pending_.push_back(std::move(task));
        ++active_;
        if (multi_) curl_multi_wakeup(multi_);
        return id;
    }

    bool cancel(TaskId id) {
        std::lock_guard lock(mutex_);
        if (!liveIds_.count(id) &&
            std::none_of(pending_.begin(), pending_.end(), [&](const auto& t) { return t->id == id; }))
            return false;
        cancels_.insert(id);
        curl_multi_wakeup(multi_);
        return true;
    }

    std::size_t activeCount() {
        std::lock_guard lock(mutex_);
        return active_;
    }

private:
    Worker() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        thread_ = std::thread([this] { run(); });
        thread_.detach();
    }

    void run() {
        for (;;) {
            takeNewWork();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Task* raw = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
                finished(raw, msg->data.result);
            }
            enforceIdleTimeouts();
            curl_multi_poll(multi_, nullptr, 0, running ? 50 : 1000, nullptr);
        }
    }

    void takeNewWork() {
        std::vector<std::shared_ptr<Task>> incoming;
        std::set<TaskId> cancels;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(pending_);
            cancels.swap(cancels_);
            for (const auto& t : incoming) liveIds_.insert(t->id);
        }
        for (auto& task : incoming) {
            tasks_[task.get()] = task;
            if (auto error = configure(*task)) {
                complete(*task, std::move(*error), false);
                continue;
            }
            curl_multi_add_handle(multi_, task->easy);
        }
        for (TaskId id : cancels) {
            for (auto& [raw, task] : tasks_) {
                if (task->id != id || task->completed) continue;
                complete(*task, urlError(URLErrorCancelled, task->request.url, "cancelled"), false);
                break;
            }
        }
        sweep();
    }

    void enforceIdleTimeouts() {
        auto now = Clock::now();
        for (auto& [raw, task] : tasks_) {
            if (task->completed) continue;
            if (now - task->lastActivity >= task->request.timeout)
                complete(*task, urlError(URLErrorTimedOut, task->request.url, "The request timed out."), true);
        }
        sweep();
    }

    void finished(Task* raw, CURLcode code) {
        auto it = tasks_.find(raw);
        if (it == tasks_.end()) return;
        Task& task = *it->second;
        if (task.completed) return;
        long status = 0;
        curl_easy_getinfo(task.easy, CURLINFO_RESPONSE_CODE, &status);
        task.response.statusCode = status;
        if (char* effective = nullptr;
            curl_easy_getinfo(task.easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            task.response.url = effective;
        const bool haveResponse = task.haveStatusLine && status > 0;
        task.serverTrust = serverTrustOf(task, code);
        if (auto error = transferError(task, code)) {
            complete(task, std::move(*error), haveResponse);
        } else if (isRedirectStatus(status) && followRedirect(task)) {
            // restarted with the next hop
        } else {
            finishOk(task);
        }
        sweep();
    }

    // Answers true when the task goes on with the next hop of a redirect.
    bool followRedirect(Task& task) {
        char* location = nullptr;
        if (curl_easy_getinfo(task.easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) return false;
        Request next = task.request;
        next.url = location;
        const long status = task.response.statusCode;
        const bool dropBody =
            status == 303 ? next.method != "HEAD" : ((status == 301 || status == 302) && next.method == "POST");
        if (dropBody) {
            next.method = "GET";
            next.body.clear();
            next.bodyFile.clear();
            next.headers.erase(std::remove_if(next.headers.begin(), next.headers.end(),
                                              [](const auto& h) {
                                                  return strcasecmp(h.first.c_str(), "Content-Length") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Content-Type") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Content-Encoding") == 0;
                                              }),
                               next.headers.end());
        }
        if (!sameOrigin(task.request.url, next.url)) {
            // Credentials given for one server are not handed to another that
            // a redirect names (the handler may put them back).
            next.headers.erase(std::remove_if(next.headers.begin(), next.headers.end(),
                                              [](const auto& h) {
                                                  return strcasecmp(h.first.c_str(), "Authorization") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Proxy-Authorization") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Cookie") == 0;
                                              }),
                               next.headers.end());
        }
        if (task.willRedirect) {
            bool follow = false;
            try {
                follow = task.willRedirect(task.response, next);
            } catch (const std::exception& e) {
                log("HTTP redirect handler failed: %s", e.what());
            }
            if (!follow) return false;
        }
        // What was asked over https never goes on in clear, whoever asks.
        if (isScheme(task.request.url, "https://") && !isScheme(next.url, "https://")) {
            log("HTTP: the redirect from %s to %s leaves https; refused", task.request.url.c_str(), next.url.c_str());
            complete(task,
                     urlError(URLErrorAppTransportSecurityRequiresSecureConnection, task.request.url,
                              "The resource could not be loaded because a secure connection is required: the "
                              "server redirected to a URL that is not https."),
                     true);
            return true;
        }
        if (task.redirects >= task.request.maxRedirects) {
            complete(task, urlError(URLErrorHTTPTooManyRedirects, task.request.url, "too many HTTP redirects"), true);
            return true;
        }
        curl_multi_remove_handle(multi_, task.easy);
        ++task.redirects;
        task.request = std::move(next);
        if (auto error = configure(task)) {
            complete(task, std::move(*error), false);
            return true;
        }
        curl_multi_add_handle(multi_, task.easy);
        return true;
    }

    void finishOk(Task& task) { deliver(task, resultOf(task, std::nullopt, true)); }

    void complete(Task& task, Error error, bool withResponse) {
        deliver(task, resultOf(task, std::move(error), withResponse));
    }

    // Hands the result to the completion, once, and retires the transfer.
    void deliver(Task& task, Result result) {
        if (task.completed) return;
        task.completed = true;
        if (task.easy) curl_multi_remove_handle(multi_, task.easy);
        task.release();
        if (task.waitsForAServer && reachedNoServer(result)) {
            log("HTTP: the background upload %s reached no server (%s); it waits for a later launch",
                task.recordFile.c_str(), result.error->localizedDescription().c_str());
            releaseBackgroundUpload(task.recordFile);
        } else {
            finishBackgroundUpload(task.recordFile);
        }
        Completion completion = std::move(task.completion);
        {
            std::lock_guard lock(mutex_);
            liveIds_.erase(task.id);
            --active_;
        }
        if (!completion) return;
        if (task.deliverInline) {
            completion(std::move(result));
            return;
        }
        dispatch::QueuePtr queue = task.queue ? task.queue : dispatch::mainQueue();
        queue->async([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    }

    void sweep() {
        for (auto it = tasks_.begin(); it != tasks_.end();)
            it = it->second->completed ? tasks_.erase(it) : std::next(it);
    }

    std::mutex mutex_;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    TaskId lastId_ = 0;
    std::size_t active_ = 0;
    std::vector<std::shared_ptr<Task>> pending_;
    std::set<TaskId> cancels_;
    std::set<TaskId> liveIds_;
    // Worker thread only.
    std::map<Task*, std::shared_ptr<Task>> tasks_;
};

}  // namespace

namespace {

TaskId start(Request request, Completion completion, dispatch::QueuePtr queue, RedirectHandler willRedirect,
             std::string recordFile = {}, bool waitsForAServer = false) {
    auto task = std::make_shared<Task>();
    task->request = std::move(request);
    task->completion = std::move(completion);
    task->queue = std::move(queue);
    task->willRedirect = std::move(willRedirect);
    task->recordFile = std::move(recordFile);
    task->waitsForAServer = waitsForAServer;
    return Worker::shared().start(std::move(task));
}

// Tells the application (on the main queue) that the background session's
// events are over; as the phone's system does, the application is kept
// running until it says it has handled them.
void handOverSessionEvents(const BackgroundEventsHandler& handler, const std::string& session) {
    auto task = std::make_shared<std::atomic<BackgroundTaskIdentifier>>(
        Application::shared().beginBackgroundTask("background URL session " + session, nullptr));
    auto done = [task] {
        if (auto id = task->exchange(kInvalidBackgroundTask)) Application::shared().endBackgroundTask(id);
    };
    if (handler)
        handler(session, done);
    else
        done();
}

// Whether the record held open as `fd` was staged longer ago than an upload may wait.
bool outlivedItsWait(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const auto staged =
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    return platform::Clock::shared()->now() - staged > kBackgroundUploadLifetime;
}

}  // namespace

TaskId startTask(Request request, Completion completion, dispatch::QueuePtr queue, RedirectHandler willRedirect) {
    return start(std::move(request), std::move(completion), std::move(queue), std::move(willRedirect));
}

bool startBackgroundUpload(const std::string& sessionIdentifier, Request request, Completion completion,
                           dispatch::QueuePtr queue, RedirectHandler willRedirect, TaskId* taskId) {
    if (request.bodyFile.empty()) return false;
    const std::string record = request.bodyFile + kBackgroundUploadRecordSuffix;
    if (!writeRecord(record, recordText(sessionIdentifier, request))) return false;
    TaskId id = start(std::move(request), std::move(completion), std::move(queue), std::move(willRedirect), record);
    if (taskId) *taskId = id;
    return true;
}

std::size_t resumeBackgroundUploads(const std::string& directory, const BackgroundEventsHandler& handleEvents,
                                    const RedirectHandler& willRedirect) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            const size_t suffix = std::strlen(kBackgroundUploadRecordSuffix);
            if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kBackgroundUploadRecordSuffix) == 0)
                names.push_back(std::move(name));
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::size_t resent = 0;
    for (const std::string& name : names) {
        const std::string record = directory + "/" + name;
        // Under way here or in another process on this container.
        const int fd = lockRecord(record);
        if (fd < 0) continue;
        auto upload = readRecord(fd, directory, name);
        if (!upload) {
            log("HTTP: dropping the unusable background upload record %s", record.c_str());
            finishBackgroundUpload(record);
            continue;
        }
        if (outlivedItsWait(fd)) {
            // Given up, as a transfer that timed out: the application hears
            // that its session is over and lets the staged body go.
            log("HTTP: dropping the background upload %s to %s: staged more than %lld days ago", record.c_str(),
                upload->second.url.c_str(), static_cast<long long>(kBackgroundUploadLifetime.count() / 24));
            finishBackgroundUpload(record);
            dispatch::mainQueue()->async(
                [handleEvents, session = upload->first] { handOverSessionEvents(handleEvents, session); });
            continue;
        }
        start(
            std::move(upload->second),
            [handleEvents, session = upload->first](const Result& result) {
                // Still staged: nothing is over for the application yet.
                if (reachedNoServer(result)) return;
                handOverSessionEvents(handleEvents, session);
            },
            dispatch::mainQueue(), willRedirect, record, true);
        ++resent;
    }
    return resent;
}

bool cancelTask(TaskId id) { return Worker::shared().cancel(id); }

struct ResponseFeed::State {
    Task task;
    bool stopped = false;
};

ResponseFeed::ResponseFeed(Request request) : state_(std::make_unique<State>()) {
    state_->task.request = std::move(request);
}

ResponseFeed::~ResponseFeed() = default;

bool ResponseFeed::header(std::string_view line) {
    if (state_->stopped) return false;
    std::string copy(line);  // libcurl's callbacks take writable buffers
    state_->stopped = onHeader(copy.data(), 1, copy.size(), &state_->task) != copy.size();
    return !state_->stopped;
}

bool ResponseFeed::body(std::string_view bytes) {
    if (state_->stopped) return false;
    std::string copy(bytes);
    state_->stopped = onWrite(copy.data(), 1, copy.size(), &state_->task) != copy.size();
    return !state_->stopped;
}

Result ResponseFeed::finish() {
    Task& task = state_->task;
    // A callback that takes less than it was given makes libcurl end the
    // transfer with a write error.
    const CURLcode code = state_->stopped ? CURLE_WRITE_ERROR : CURLE_OK;
    task.response.statusCode = task.headerStatus;
    const bool haveResponse = task.haveStatusLine && task.headerStatus > 0;
    auto error = transferError(task, code);
    const bool withResponse = !error || haveResponse;
    return resultOf(task, std::move(error), withResponse);
}

Result sendSynchronousRequest(Request request, RedirectHandler willRedirect) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    auto task = std::make_shared<Task>();
    task->request = std::move(request);
    task->completion = [promise](Result result) { promise->set_value(std::move(result)); };
    task->willRedirect = std::move(willRedirect);
    task->deliverInline = true;
    Worker::shared().start(std::move(task));
    return future.get();
}

std::size_t activeTaskCount() { return Worker::shared().activeCount(); }

}  // namespace wharf::platform::http
