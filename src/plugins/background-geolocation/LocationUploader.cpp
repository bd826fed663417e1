#include "plugins/background-geolocation/LocationUploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <utility>

#include "logging/LGLog.h"
#include "platform/Container.h"
#include "platform/Error.h"
#include "platform/Url.h"
#include "platform/Value.h"

namespace wharf {

namespace {

namespace fs = std::filesystem;
using platform::Value;

constexpr const char* kPrefix = "locations_";
constexpr const char* kSuffix = ".json";

// Only names this uploader makes ("locations_20260106_09057.json", or with
// "-1", "-2"... for a later batch of the same second): Documents is the
// page's too, and a file of its own must not be sent away and deleted.
bool isBatchFileName(std::string_view name) {
    auto digits = [&](std::size_t least, std::size_t most) {
        std::size_t n = 0;
        while (n < name.size() && n < most && name[n] >= '0' && name[n] <= '9') ++n;
        name.remove_prefix(n);
        return n >= least;
    };
    auto literal = [&](std::string_view text) {
        if (name.substr(0, text.size()) != text) return false;
        name.remove_prefix(text.size());
        return true;
    };
    if (!literal(kPrefix) || !digits(8, 8) || !literal("_") || !digits(5, 6)) return false;
    if (literal("-") && !digits(1, 9)) return false;
    return name == kSuffix;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// A scratch file of a batch being written (".locations_<time>.<pid>.part").
// One a process left behind was never linked: its rows were never marked
// sent, so it holds nothing that is not still waiting in the store.
bool isScratchFileName(std::string_view name) {
    return name.starts_with(std::string(".") + kPrefix) && name.ends_with(".part");
}

// Writes the batch under a name of its own: the time's name, or that name
// with "-1", "-2"... when a batch of the same second exists. The text is
// written aside first and linked into place, so a batch file is either whole
// or absent, and no batch ever replaces another. Callers hold the uploader's
// lock. The name, or "" with errno.
std::string writeBatch(const std::string& directory, const std::string& baseName, const std::string& text) {
    const std::string stem = baseName.substr(0, baseName.size() - std::strlen(kSuffix));
    const std::string scratch = directory + "/." + stem + "." + std::to_string(::getpid()) + ".part";
    const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return "";
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(scratch.c_str());
        errno = writeErrno;
        return "";
    }
    for (int n = 0; n < 1000; ++n) {
        std::string name = n == 0 ? baseName : stem + "-" + std::to_string(n) + kSuffix;
        if (::link(scratch.c_str(), (directory + "/" + name).c_str()) == 0) {
            ::unlink(scratch.c_str());
            // The link must be on disk before the rows are marked sent.
            if (!syncDirectory(directory)) {
                const int syncErrno = errno;
                ::unlink((directory + "/" + name).c_str());
                errno = syncErrno;
                return "";
            }
            return name;
        }
        if (errno != EEXIST) break;
    }
    const int linkErrno = errno;
    ::unlink(scratch.c_str());
    errno = linkErrno;
    return "";
}

// What became of an upload: only an answer of 2xx is a success. A redirect
// the upload does not follow (one that turns the POST into a GET, or leaves
// https) answers with its 3xx and is no success either.
std::string describe(const platform::http::Result& result) {
    if (result.error) return result.error->localizedDescription();
    const long status = result.response ? result.response->statusCode : 0;
    if (status >= 200 && status < 300) return "Success";
    if (status >= 300 && status < 400) {
        const auto location = result.response->header("Location");
        return "Failed: redirected" + (location ? " to " + *location : std::string()) +
               ", which an upload does not follow";
    }
    return "Failed: the server answered HTTP " + std::to_string(status);
}

}  // namespace

std::shared_ptr<LocationUploader> LocationUploader::create(SQLiteLocationDAO& store,
                                                           std::shared_ptr<platform::Clock> clock) {
    return std::shared_ptr<LocationUploader>(
        new LocationUploader(store, clock ? std::move(clock) : platform::Clock::shared()));
}

LocationUploader::LocationUploader(SQLiteLocationDAO& store, std::shared_ptr<platform::Clock> clock)
    : store_(store), clock_(std::move(clock)) {}

LocationUploader::~LocationUploader() {
    if (reach_) reach_->stopNotifier();
}

std::string LocationUploader::batchFileName(platform::Clock::WallTime time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char name[64];
    std::snprintf(name, sizeof name, "%s%04d%02d%02d_%02d%02d%d%s", kPrefix, tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, kSuffix);
    return name;
}

std::string LocationUploader::documentsPath() const {
    std::string path = platform::Container::documentsPath();
    platform::Container::ensureDirectory(path);
    return path;
}

void LocationUploader::sync(const std::string& url, int64_t threshold) {
    const std::string directory = documentsPath();
    std::vector<std::pair<std::shared_ptr<Upload>, uint64_t>> jobs;
    {
        // Counted, taken and registered by one sync at a time: a sync that
        // counted the rows another then took would send the few left as a
        // batch of its own, and start() must not take a file being made for
        // a leftover. The store may wait meanwhile on another program's
        // lock: what finished uploads need (mutex_) is not held across it.
        std::lock_guard syncLock(syncMutex_);
        {
            std::lock_guard lock(mutex_);
            if (failures_ > 0 && clock_->monotonicNow() < pausedUntil_) return;
            for (auto& job : std::exchange(refusedFiles_, {})) {
                std::error_code ec;
                const auto size = fs::file_size(directory + "/" + job->fileName, ec);
                if (ec) continue;  // removed by hand meanwhile: nothing left to send
                job->url = url;
                tasks_.push_back(job);
                jobs.emplace_back(job, size);
            }
        }
        uint64_t size = 0;
        if (auto job = takeBatchSyncing(directory, url, threshold, size)) jobs.emplace_back(job, size);
    }
    for (const auto& [job, size] : jobs) upload(job, size);
}

std::shared_ptr<LocationUploader::Upload> LocationUploader::takeBatchSyncing(const std::string& directory,
                                                                             const std::string& url, int64_t threshold,
                                                                             uint64_t& size) {
    const auto count = store_.getLocationsCount();
    if (count && *count < threshold) return nullptr;
    auto job = std::make_shared<Upload>();
    job->url = url;
    job->rows = store_.claimLocationsForSync();
    // Two syncs may pass the count together; the second finds nothing left.
    if (job->rows.empty()) return nullptr;
    Value batch = Value::array();
    for (const auto& row : job->rows) batch.push_back(row.toDictionary());
    const std::string text = platform::toJSONString(batch);
    size = text.size();
    // The file first, the rows marked after: a crash in between sends
    // the batch twice (the file at the next start, the rows again), but
    // a crash at no moment leaves rows marked sent that no file holds.
    job->fileName = writeBatch(directory, batchFileName(clock_->now()), text);
    if (job->fileName.empty()) {
        const std::string why = platform::errnoText(errno);
        LGLogError("Could not write the batch of %zu locations: %s; they stay waiting", job->rows.size(), why.c_str());
        store_.releaseLocations(job->rows);
        return nullptr;
    }
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = batchWrittenHook_;
    }
    if (hook) hook();
    if (!store_.markLocationsSent(job->rows)) {
        LGLogError("Could not mark the batch of %zu locations sent; they stay waiting", job->rows.size());
        ::unlink((directory + "/" + job->fileName).c_str());
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    tasks_.push_back(job);
    return job;
}

void LocationUploader::start(const std::string& url, int64_t threshold) {
    const std::string directory = documentsPath();
    std::vector<std::shared_ptr<Upload>> restored;
    {
        std::scoped_lock lock(syncMutex_, mutex_);
        std::error_code ec;
        const std::string ownScratch = "." + std::to_string(::getpid()) + ".part";
        for (const auto& entry : fs::directory_iterator(directory, ec)) {
            const std::string name = entry.path().filename().string();
            if (isScratchFileName(name) && !name.ends_with(ownScratch)) {
                LGLogInfo("Removing %s, a batch an earlier run did not finish writing (its locations still wait)",
                          name.c_str());
                fs::remove(entry.path(), ec);
                continue;
            }
            if (!isBatchFileName(name) || !entry.is_regular_file(ec)) continue;
            bool running = false;
            for (const auto& t : tasks_) running = running || t->fileName == name;
            for (const auto& t : refusedFiles_) running = running || t->fileName == name;
            if (running) continue;
            auto job = std::make_shared<Upload>();
            job->fileName = name;
            job->url = url;
            job->restored = true;
            tasks_.push_back(job);
            restored.push_back(job);
        }
    }
    for (const auto& job : restored) {
        std::error_code ec;
        const auto size = fs::file_size(directory + "/" + job->fileName, ec);
        upload(job, ec ? 0 : size);
        LGLogInfo("Restored upload task %llu for %s", static_cast<unsigned long long>(job->id), job->url.c_str());
    }
    sync(url, threshold);
}

void LocationUploader::upload(const std::shared_ptr<Upload>& job, uint64_t size) {
    platform::http::Request request;
    request.url = job->url;
    request.method = "POST";
    request.headers = {{"Content-Length", std::to_string(size)}, {"Content-Type", "application/json"}};
    request.bodyFile = documentsPath() + "/" + job->fileName;
    // What the server answers is only logged.
    request.collectBody = false;
    job->expected = size;
    job->startedAt = clock_->monotonicNow();
    request.uploadProgress = [weakJob = std::weak_ptr<Upload>(job)](uint64_t sent, uint64_t expected) {
        if (auto j = weakJob.lock()) {
            j->sent = sent;
            if (expected) j->expected = expected;
        }
    };
    std::lock_guard lock(mutex_);
    std::weak_ptr<LocationUploader> weak = weak_from_this();
    // The end of an upload is handled off the main thread: a refused batch
    // gives its rows back to the store, which may wait on another program's
    // lock, and the main thread hands the page its fixes meanwhile.
    job->id = platform::http::startTask(
        std::move(request),
        [weak, job](const platform::http::Result& result) {
            if (auto self = weak.lock()) self->finished(job, result);
        },
        platform::dispatch::globalQueue(platform::dispatch::Priority::Background), uploadMayFollowRedirect);
    LGLogInfo("Started upload for %s as task %llu/%s/%s", job->fileName.c_str(),
              static_cast<unsigned long long>(job->id), job->fileName.c_str(), job->url.c_str());
}

void LocationUploader::finished(const std::shared_ptr<Upload>& job, const platform::http::Result& result) {
    const long status = result.response ? result.response->statusCode : 0;
    const bool delivered = !result.error && status >= 200 && status < 300;
    LG_LOG_MAYBE(true, LGLogLevelAll, delivered ? LGLogFlagInfo : LGLogFlagWarning, 0, std::nullopt,
                 "Finished uploading task %llu %s: %s %s, HTTP %ld", static_cast<unsigned long long>(job->id),
                 job->url.c_str(), describe(result).c_str(), result.response ? result.response->url.c_str() : "(null)",
                 status);
    const std::string path = documentsPath() + "/" + job->fileName;
    // Under the lock, so that a row forgotten from now on is not given back.
    std::lock_guard lock(mutex_);
    std::erase(tasks_, job);
    if (delivered) {
        ::unlink(path.c_str());
        resetBackoffLocked();
        return;
    }
    failedLocked(*job);
    if (!job->restored && (job->rows.empty() || store_.revalidateLocations(job->rows))) {
        // The rows were taken for this batch: they wait again for the next one.
        ::unlink(path.c_str());
        LGLogWarn("Upload of %s failed; its %zu locations wait for the next batch", job->fileName.c_str(),
                  job->rows.size());
        return;
    }
    // A file from an earlier run, or rows the store would not take back
    // (locked, full): the file keeps them, and goes out again after the
    // pause (or at the next start, should the process end first).
    LGLogWarn("Upload of %s failed; the file is sent again after the pause", job->fileName.c_str());
    job->sent = 0;
    refusedFiles_.push_back(job);
}

void LocationUploader::failedLocked(const Upload& job) {
    // Set out before the pause was over (under way when it began, or a file
    // of an earlier run): refused by the same outage, no sign that the
    // server is still away once the pause has passed.
    if (failures_ > 0 && job.startedAt < pausedUntil_) {
        LGLogInfo("Batch upload %s failed as well; the pause stays as it is", job.fileName.c_str());
        return;
    }
    ++failures_;
    auto pause = kFirstBackoff;
    for (int i = 1; i < failures_ && pause < kMaxBackoff; ++i) pause *= 2;
    pause = std::min(pause, kMaxBackoff);
    pausedUntil_ = clock_->monotonicNow() + pause;
    LGLogWarn("Batch upload failed %d time(s) in a row; the next batch waits %lld s", failures_,
              static_cast<long long>(pause.count()));
    watchReachabilityLocked(job.url);
}

// A network that comes or goes may well be why the batches fail: the next
// one need not wait out the pause.
void LocationUploader::watchReachabilityLocked(const std::string& url) {
    if (reach_) return;
    std::string host;
    if (auto parsed = platform::Url::parse(url)) host = parsed->host();
    reach_ = Reachability::reachabilityWithHostname(host);
    if (!reach_) return;
    reachFlags_.reset();
    std::weak_ptr<LocationUploader> weak = weak_from_this();
    reach_->setReachabilityBlock([weak](Reachability&, platform::ReachabilityFlags flags) {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        // The first report is the state the watch began in, not a change.
        const bool changed = self->reachFlags_ && *self->reachFlags_ != flags;
        self->reachFlags_ = flags;
        if (changed && self->failures_ > 0) {
            LGLogInfo("The network changed: the next batch need not wait");
            self->failures_ = 0;
            self->pausedUntil_ = {};
        }
    });
    reach_->startNotifier();
}

void LocationUploader::resetBackoff() {
    std::lock_guard lock(mutex_);
    if (failures_ > 0) LGLogInfo("The server took a location: the next batch need not wait");
    resetBackoffLocked();
}

void LocationUploader::resetBackoffLocked() {
    failures_ = 0;
    pausedUntil_ = {};
    if (reach_) reach_->stopNotifier();
    reach_.reset();
    reachFlags_.reset();
}

std::chrono::seconds LocationUploader::backoff() const {
    std::lock_guard lock(mutex_);
    if (failures_ == 0) return std::chrono::seconds(0);
    const auto left = pausedUntil_ - clock_->monotonicNow();
    return std::max(std::chrono::seconds(0), std::chrono::ceil<std::chrono::seconds>(left));
}

std::string LocationUploader::sizeText(uint64_t bytes) {
    char text[64];
    if (bytes <= 1022) {
        std::snprintf(text, sizeof text, "%lli bytes", static_cast<long long>(bytes));
        return text;
    }
    double value = static_cast<double>(bytes) / 1024;
    const char* unit = "KB";
    for (const char* next : {"MB", "GB"}) {
        if (value < 1023) break;
        value /= 1024;
        unit = next;
    }
    std::snprintf(text, sizeof text, "%1.1f %s", value, unit);
    return text;
}

std::string LocationUploader::status() const {
    std::vector<std::string> uploading;
    uint64_t sent = 0, expected = 0;
    {
        std::lock_guard lock(mutex_);
        for (const auto& t : tasks_) {
            uploading.push_back(t->fileName);
            sent += t->sent;
            expected += t->expected;
        }
    }
    std::vector<std::string> onDisk;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(platform::Container::documentsPath(), ec))
        onDisk.push_back(entry.path().filename().string());
    std::sort(onDisk.begin(), onDisk.end());
    // As a list prints: "(\n    \"a\",\n    \"b\"\n)".
    auto list = [](const std::vector<std::string>& names) {
        if (names.empty()) return std::string("(\n)");
        std::string text = "(\n";
        for (std::size_t i = 0; i < names.size(); ++i)
            text += "    \"" + names[i] + (i + 1 < names.size() ? "\",\n" : "\"\n");
        return text + ")";
    };
    return list(uploading) + " being uploaded (" + sizeText(sent) + " of " + sizeText(expected) +
           ")\nFiles on disk: " + list(onDisk);
}

void LocationUploader::forgetLocations(const std::function<bool(const Location&)>& match) {
    // After any batch being taken is registered: its rows are forgotten too.
    std::scoped_lock lock(syncMutex_, mutex_);
    for (const auto& t : tasks_) std::erase_if(t->rows, match);
    for (const auto& t : refusedFiles_) std::erase_if(t->rows, match);
}

void LocationUploader::setBatchWrittenHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    batchWrittenHook_ = std::move(hook);
}

void LocationUploader::cancel() {
    std::vector<platform::http::TaskId> ids;
    {
        std::lock_guard lock(mutex_);
        for (const auto& t : tasks_) ids.push_back(t->id);
    }
    for (auto id : ids) platform::http::cancelTask(id);
}

std::size_t LocationUploader::taskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace wharf
