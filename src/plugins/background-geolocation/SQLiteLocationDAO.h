#pragma once
// The location store: the fixes waiting for upload in "wharf_bg_geolocation.db",
// a bounded ring buffer. Uploaded fixes are marked not valid rather than
// deleted; when the table is full the oldest row takes the new fix in place.
// Every operation is one block on the store's database queue, so the store
// may be used from any thread.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plugins/background-geolocation/GeolocationOpenHelper.h"
#include "plugins/background-geolocation/Location.h"
#include "sqldb/SQLDatabaseQueue.h"

namespace wharf {

class SQLiteLocationDAO {
public:
    // The store of the process, opened on first use.
    static SQLiteLocationDAO& sharedInstance();
    // Opens the store file in the current container's Library directory.
    SQLiteLocationDAO();
    ~SQLiteLocationDAO();
    SQLiteLocationDAO(const SQLiteLocationDAO&) = delete;
    SQLiteLocationDAO& operator=(const SQLiteLocationDAO&) = delete;

    // Oldest first; rows already sent or deleted included (isValid false).
    // Empty, with `error` set, when the store cannot be read.
    std::vector<Location> getAllLocations(platform::Error* error = nullptr);
    // Oldest first; only the rows still waiting for upload.
    std::vector<Location> getValidLocations(platform::Error* error = nullptr);
    // The waiting rows, oldest first, marked not valid in the same
    // transaction: they belong to the caller's batch from then on. Empty when
    // they could not be marked (they then stay waiting). Rows taken by a
    // delivery under way are left out.
    std::vector<Location> getLocationsForSync();

    // A row is delivered by one route at a time: its own POST or a batch.
    // Taking rows claims them in memory only, so that a crash leaves them
    // waiting; they are marked sent once their delivery is safe on disk.
    //
    // The waiting rows no delivery has taken, oldest first, now taken.
    std::vector<Location> claimLocationsForSync();
    enum class Claim {
        Claimed,  // the row is the caller's to deliver
        Taken,  // another delivery has it, or it was sent or deleted
        Gone,  // no row holds the fix any more (the ring buffer reused it)
    };
    // Takes the fix's own row for its POST.
    Claim claimLocation(const Location& location);
    // Marks taken rows sent (each only while it still holds its fix) and
    // lets them go. False when the store could not mark them.
    bool markLocationsSent(const std::vector<Location>& locations);
    // Lets taken rows go without marking them: they wait again.
    void releaseLocations(const std::vector<Location>& locations);
    // Gives the rows of a batch whose upload failed back to the store as
    // waiting. A row the ring buffer has since given to another fix (its time
    // no longer matches) is left alone.
    bool revalidateLocations(const std::vector<Location>& locations);
    // Waiting rows; nullopt when the store cannot be read.
    std::optional<int64_t> getLocationsCount();

    // Stores the fix as a new row; its row id, or nullopt.
    std::optional<int64_t> persistLocation(const Location& location);
    // Stores the fix keeping at most `limitRows` rows (sent ones included):
    // surplus rows are deleted oldest first, and in a full table the one
    // oldest row (by time, then id) takes the fix. The id of the row that
    // holds the fix, or nullopt: always for a limit of 0 or less, and with
    // `error` set when the store could not be written.
    std::optional<int64_t> persistLocation(const Location& location, int64_t limitRows,
                                           platform::Error* error = nullptr);
    std::optional<int64_t> persistLocation(const Location& location, SQLDatabase& db);

    // Marks the row with this id not valid. True when the update ran (also
    // when no row has the id).
    bool deleteLocation(int64_t locationId);
    // Marks the fix's own row not valid: its id *and* time must match, so a
    // fix whose row the ring buffer has since reused marks nothing.
    bool deleteLocation(const Location& location);
    bool deleteAllLocations();
    // Drops the location table and builds it again with its index.
    bool clearDatabase();

    // Where an unreadable store file was set aside when this store started
    // afresh; told once.
    std::optional<std::string> takeSetAsideFile() { return helper_.takeSetAsideFile(); }

    // How long a statement waits for a lock another connection holds (2 s
    // unless set).
    void setMaxBusyRetryTimeInterval(double seconds);

    const std::optional<std::string>& getDatabaseName() const { return helper_.getDatabaseName(); }
    std::string getDatabasePath() const { return helper_.getDatabasePath(); }

private:
    std::vector<Location> readLocations(const char* sql, bool withValidity, platform::Error* error);
    bool isClaimedLocked(const Location& location) const;
    bool markSent(SQLDatabase& db, const std::vector<Location>& locations);

    GeolocationOpenHelper helper_;
    std::shared_ptr<SQLDatabaseQueue> queue_;
    // Rows a delivery has taken: id -> the time of the fix it took.
    mutable std::mutex claimsMutex_;
    std::map<int64_t, std::optional<double>> claims_;
};

}  // namespace wharf
