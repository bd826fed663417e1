#pragma once
// The location store: the fixes waiting for upload in "wharf_bg_geolocation.db",
// a bounded ring buffer. Uploaded fixes are marked not valid rather than
// deleted; when the table is full the oldest row takes the new fix in place.
// Every operation is one block on the store's database queue, so the store
// may be used from any thread.
//
// The file is opened (and its schema version checked) on first use, never
// when the store is made: that may wait on another program's lock, and the
// store is made on the main thread. A file the host cannot write is not
// opened (SQLite would open it read-only, and read-only it would stay). A
// store that cannot be opened is tried again when next needed, less often
// while it keeps failing: a second after the first failure, then twice as
// long each time up to kMostOpenInterval. Such a spell is logged once.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "plugins/background-geolocation/GeolocationOpenHelper.h"
#include "plugins/background-geolocation/Location.h"
#include "sqldb/SQLDatabaseQueue.h"

namespace wharf {

class SQLiteLocationDAO {
public:
    static constexpr std::chrono::seconds kFirstOpenInterval{1};
    static constexpr std::chrono::seconds kMostOpenInterval{30};

    // The store of the process.
    static SQLiteLocationDAO& sharedInstance();
    // The store file in the container's Library directory, opened on first
    // use. `clock` (nullptr: the process's) times the attempts to open it.
    explicit SQLiteLocationDAO(std::shared_ptr<platform::Clock> clock = nullptr);
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
    // lets them go. False when the store could not mark them (they are let
    // go all the same, unmarked).
    bool markLocationsSent(const std::vector<Location>& locations);
    // The taken rows of fixes that reached the server: marked sent. A row
    // the store cannot mark now stays taken, so that no batch sends its fix
    // again, and is marked with the store's next write. False when some wait
    // to be marked.
    bool markLocationsDelivered(const std::vector<Location>& locations);
    // Marks the taken rows of fixes that reached the server while the store
    // could not mark them; false when some still wait.
    bool markDeliveredLocations();
    // Lets taken rows go without marking them: they wait again.
    void releaseLocations(const std::vector<Location>& locations);
    // Gives the rows of a batch whose upload failed back to the store as
    // waiting. A row the ring buffer has since given to another fix (its time
    // no longer matches) is left alone.
    bool revalidateLocations(const std::vector<Location>& locations);
    // Waiting rows; nullopt when the store cannot be read.
    std::optional<int64_t> getLocationsCount();
    // Opens the store now unless it is open; false when it cannot be opened
    // (or the last attempt failed less than the current interval ago).
    bool open();

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
    // unless set; also for a store opened later).
    void setMaxBusyRetryTimeInterval(double seconds);

    const std::optional<std::string>& getDatabaseName() const { return helper_.getDatabaseName(); }
    std::string getDatabasePath() const { return helper_.getDatabasePath(); }

private:
    // The open store, opened now when it is not; nullptr when it cannot be.
    std::shared_ptr<SQLDatabaseQueue> database();
    // What a use of a store that could not be opened answers, with why.
    platform::Error unopenedError();
    std::vector<Location> readLocations(const char* sql, bool withValidity, platform::Error* error);
    bool isClaimedLocked(const Location& location) const;
    bool markSent(SQLDatabase& db, const std::vector<Location>& locations);
    // Marks the delivered rows that wait, through `queue` (null: the store
    // is not open); false when some still wait.
    bool markDeliveries(const std::shared_ptr<SQLDatabaseQueue>& queue);

    const std::shared_ptr<platform::Clock> clock_;
    GeolocationOpenHelper helper_;
    std::mutex openMutex_;
    std::condition_variable opened_;
    // Guarded by openMutex_.
    std::shared_ptr<SQLDatabaseQueue> queue_;
    bool opening_ = false;
    uint64_t openAttempts_ = 0;  // ended ones
    int failedOpens_ = 0;  // in a row
    platform::Clock::MonoTime nextOpen_{};  // no attempt before, while they fail
    std::string openFailure_;  // why the last attempt failed
    std::optional<double> busyTimeout_;
    // Rows a delivery has taken: id -> the time of the fix it took.
    mutable std::mutex claimsMutex_;
    std::map<int64_t, std::optional<double>> claims_;
    // Taken rows whose fixes reached the server, not marked sent yet.
    std::vector<Location> delivered_;
};

}  // namespace wharf
