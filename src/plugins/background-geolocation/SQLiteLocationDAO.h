#pragma once
// The location store: the fixes waiting for upload in "wharf_bg_geolocation.db",
// a bounded ring buffer. Uploaded fixes are marked not valid rather than
// deleted; when the table is full the oldest row takes the new fix in place.
// Every operation is one block on the store's database queue, so the store
// may be used from any thread.
#include <cstdint>
#include <memory>
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
    std::vector<Location> getAllLocations();
    // Oldest first; only the rows still waiting for upload.
    std::vector<Location> getValidLocations();
    // The waiting rows, oldest first, marked not valid in the same
    // transaction: they belong to the caller's batch from then on. Empty when
    // they could not be marked (they then stay waiting).
    std::vector<Location> getLocationsForSync();
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
    // holds the fix, or nullopt (always for a limit of 0 or less).
    std::optional<int64_t> persistLocation(const Location& location, int64_t limitRows);
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

    const std::optional<std::string>& getDatabaseName() const { return helper_.getDatabaseName(); }
    std::string getDatabasePath() const { return helper_.getDatabasePath(); }

private:
    std::vector<Location> readLocations(const char* sql, bool withValidity);

    GeolocationOpenHelper helper_;
    std::shared_ptr<SQLDatabaseQueue> queue_;
};

}  // namespace wharf
