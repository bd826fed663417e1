#pragma once
// Sends the stored fixes to the server in batches: once `threshold` rows wait
// in the location store, it takes them all, writes them as one JSON file
// "locations_<yyyyMMdd_HHmms>.json" in the Documents directory and uploads the
// file. A batch that does not reach the server (no answer, or a status other
// than 2xx) gives its rows back to the store to be sent again; a batch file
// that a previous run left behind (the process ended mid-upload) is sent
// again by start().
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Http.h"
#include "plugins/background-geolocation/Location.h"
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
    // upload's end comes on the main thread.
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
    };

    LocationUploader(SQLiteLocationDAO& store, std::shared_ptr<platform::Clock> clock);
    void upload(const std::shared_ptr<Upload>& upload, uint64_t size);
    void finished(const std::shared_ptr<Upload>& upload, const platform::http::Result& result);
    std::string documentsPath() const;

    SQLiteLocationDAO& store_;
    const std::shared_ptr<platform::Clock> clock_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Upload>> tasks_;
};

}  // namespace wharf
