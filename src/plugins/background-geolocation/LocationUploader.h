#pragma once
// Sends the stored fixes to the server in batches: once `threshold` rows wait
// in the location store, it takes them all, writes them as one JSON file
// "locations_<yyyyMMdd_HHmms>.json" in the Documents directory, marks the rows
// sent once the file is safe on disk, and uploads the file. A batch that does
// not reach the server (no answer, or a status other than 2xx) gives its rows
// back to the store to be sent again, after a pause that doubles with each
// failure in a row; a batch file that a previous run left behind (the process
// ended mid-upload) is sent again by start(), and again after the pause for
// as long as it is refused.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Http.h"
#include "plugins/background-geolocation/Location.h"
#include "plugins/background-geolocation/Reachability.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

namespace wharf {

class LocationUploader : public std::enable_shared_from_this<LocationUploader> {
public:
    static std::shared_ptr<LocationUploader> create(SQLiteLocationDAO& store,
                                                    std::shared_ptr<platform::Clock> clock = nullptr);
    ~LocationUploader();
    LocationUploader(const LocationUploader&) = delete;
    LocationUploader& operator=(const LocationUploader&) = delete;

    // Uploads the waiting rows as one batch when there are `threshold` of
    // them (or the count cannot be read). Runs on the caller's thread; the
    // upload's end comes on the background queue.
    void sync(const std::string& url, int64_t threshold);
    // Sends the batch files left from an earlier run to `url`, then syncs.
    void start(const std::string& url, int64_t threshold);
    // Cancels every upload under way (their rows go back to the store).
    void cancel();
    // Rows of batches under way that a failed upload must not give back to
    // the store (deleted or sent on their own since they were taken).
    void forgetLocations(const std::function<bool(const Location&)>& match);
    // Uploads started and not yet finished.
    std::size_t taskCount() const;
    // "<files> being uploaded (<sent> of <expected>)\nFiles on disk: <names>".
    std::string status() const;
    // After a failed batch no new one starts before this pause has passed
    // (doubling per failure in a row, at most kMaxBackoff). A batch that set
    // out before the pause was over counts as the failure that began it: one
    // pause doubles once. A delivered batch, a fix the server took on its
    // own (resetBackoff) or a change of the network's reachability ends the
    // pause.
    std::chrono::seconds backoff() const;
    void resetBackoff();
    static constexpr std::chrono::seconds kFirstBackoff{5};
    static constexpr std::chrono::seconds kMaxBackoff{300};

    // Called by a sync once its batch file is written, before its rows are
    // marked sent and the upload is registered; for tests.
    void setBatchWrittenHookForTesting(std::function<void()> hook);

    // "1023 bytes", "1.0 KB", "1.5 MB"...
    static std::string sizeText(uint64_t bytes);

    // "locations_%@.json" for the time, "yyyyMMdd_HHmms" in GMT.
    static std::string batchFileName(platform::Clock::WallTime time);

private:
    struct Upload {
        platform::http::TaskId id = 0;
        std::string fileName;
        std::string url;
        // The rows of a batch made in this run that a failure gives back.
        std::vector<Location> rows;
        // A file left by an earlier run: its rows are not known.
        bool restored = false;
        platform::Clock::MonoTime startedAt{};
        std::atomic<uint64_t> sent{0};
        std::atomic<uint64_t> expected{0};
    };

    LocationUploader(SQLiteLocationDAO& store, std::shared_ptr<platform::Clock> clock);
    void upload(const std::shared_ptr<Upload>& upload, uint64_t size);
    // Takes the waiting rows as a batch written to its file, or nullptr.
    // Under syncMutex_.
    std::shared_ptr<Upload> takeBatchSyncing(const std::string& directory, const std::string& url, int64_t threshold,
                                             uint64_t& size);
    void finished(const std::shared_ptr<Upload>& upload, const platform::http::Result& result);
    std::string documentsPath() const;
    void failedLocked(const Upload& upload);
    void resetBackoffLocked();
    void watchReachabilityLocked(const std::string& url);

    SQLiteLocationDAO& store_;
    const std::shared_ptr<platform::Clock> clock_;
    // One sync at a time, held across its store work (which may wait on
    // another program's lock); taken before mutex_ where both are.
    std::mutex syncMutex_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Upload>> tasks_;
    // Refused batches whose rows are not waiting in the store (a file from
    // an earlier run, or rows the store would not take back): their files
    // go again once the pause is over.
    std::vector<std::shared_ptr<Upload>> refusedFiles_;
    int failures_ = 0;  // failed batches in a row
    platform::Clock::MonoTime pausedUntil_{};
    // Watches the upload host while batches fail: a change ends the pause.
    std::shared_ptr<Reachability> reach_;
    std::optional<platform::ReachabilityFlags> reachFlags_;
    std::function<void()> batchWrittenHook_;
};

}  // namespace wharf
