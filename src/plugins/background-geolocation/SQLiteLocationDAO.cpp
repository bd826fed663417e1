#include "plugins/background-geolocation/SQLiteLocationDAO.h"

#include <algorithm>
#include <type_traits>

#include "platform/Log.h"
#include "plugins/background-geolocation/LocationContract.h"
#include "sqldb/SQLDateFormatter.h"

namespace wharf {

namespace {

constexpr const char* kAllColumns =
    "SELECT id,time,accuracy,speed,bearing,altitude,latitude,longitude,provider,service_provider,valid "
    "FROM location ORDER BY time";
constexpr const char* kValidColumns =
    "SELECT id,time,accuracy,speed,bearing,altitude,latitude,longitude,provider,service_provider "
    "FROM location WHERE valid = 1 ORDER BY time";
constexpr const char* kCountValid = "SELECT COUNT(*) FROM location WHERE valid = 1";
constexpr const char* kCountAll = "SELECT COUNT(*) FROM location";
constexpr const char* kInsert =
    "INSERT INTO location (time,accuracy,speed,bearing,altitude,latitude,longitude,provider,service_provider,valid) "
    "VALUES (?,?,?,?,?,?,?,?,?,?)";
// Oldest by time; of rows with the same time, the lowest id: exactly one row.
constexpr const char* kOldest = "SELECT id FROM location ORDER BY time, id LIMIT 1";
constexpr const char* kOverwrite =
    "UPDATE location SET time= ?,accuracy= ?,speed= ?,bearing= ?,altitude= ?,latitude= ?,longitude= ?,provider= ?,"
    "service_provider= ?,valid= ? WHERE id = ?";
constexpr const char* kDeleteById = "UPDATE location SET valid = 0 WHERE id = ?";
constexpr const char* kOwnRowValidity = "SELECT valid FROM location WHERE id = ? AND time IS ?";
constexpr const char* kDeleteOwnRow = "UPDATE location SET valid = 0 WHERE id = ? AND time IS ?";
constexpr const char* kRevalidate = "UPDATE location SET valid = 1 WHERE id = ? AND time IS ?";
constexpr const char* kDeleteAll = "UPDATE location SET valid = 0";

std::optional<double> timeColumn(const Location& l) {
    if (!l.time) return std::nullopt;
    return secondsSince1970(*l.time);
}

std::string timeText(const Location& l) {
    if (!l.time) return "(null)";
    static const SQLDateFormatter format("yyyy-MM-dd HH:mm:ss Z");
    return format.stringFromDate(*l.time);
}

void logInsertFailure(const Location& l, const SQLDatabase& db) {
    platform::log("Inserting location %s failed code: %d: message: %s", timeText(l).c_str(), db.lastErrorCode(),
                  db.lastErrorMessage().c_str());
}

// The values of a fix in the order of the insert and the overwrite.
template <class... Extra>
bool writeFix(SQLDatabase& db, const char* sql, const Location& l, const Extra&... extra) {
    return db.executeUpdate(sql, timeColumn(l), l.accuracy, l.speed, l.heading, l.altitude, l.latitude, l.longitude,
                            l.provider, l.serviceProvider, l.isValid ? 1 : 0, extra...);
}

Location readRow(SQLResultSet& rs, bool withValidity) {
    Location l;
    l.id = rs.longForColumnIndex(0);
    l.time = dateWithSecondsSince1970(rs.doubleForColumnIndex(1));
    l.accuracy = rs.doubleForColumnIndex(2);
    l.speed = rs.doubleForColumnIndex(3);
    l.heading = rs.doubleForColumnIndex(4);
    l.altitude = rs.doubleForColumnIndex(5);
    l.latitude = rs.doubleForColumnIndex(6);
    l.longitude = rs.doubleForColumnIndex(7);
    l.provider = rs.stringForColumnIndex(8);
    l.serviceProvider = rs.intForColumnIndex(9);
    if (withValidity) l.isValid = rs.intForColumnIndex(10) == 1;
    return l;
}

// The rows `sql` reads; empty, with `error` set, when the query or one of
// its steps fails (a store locked by another program fails mid-way too).
std::vector<Location> readAll(SQLDatabase& db, const char* sql, bool withValidity, platform::Error* error = nullptr) {
    std::vector<Location> locations;
    auto rs = db.executeQuery(sql);
    if (!rs) {
        platform::setError(error, db.lastError());
        return locations;
    }
    platform::Error stepError;
    while (rs->nextWithError(&stepError)) locations.push_back(readRow(*rs, withValidity));
    rs->close();
    if (stepError.domain.empty()) return locations;
    platform::setError(error, std::move(stepError));
    return {};
}

// Runs `work` with the store's connection; `fallback` when there is none.
template <class Work, class R = std::invoke_result_t<Work, SQLDatabase&>>
R withDatabase(const std::shared_ptr<SQLDatabaseQueue>& queue, R fallback, Work work) {
    R result = std::move(fallback);
    if (queue)
        queue->inDatabase([&](SQLDatabase* db) {
            if (db) result = work(*db);
        });
    return result;
}

void logDeleteFailure(int64_t id, const SQLDatabase& db) {
    platform::log("Delete location %lld failed code: %d: message: %s", static_cast<long long>(id), db.lastErrorCode(),
                  db.lastErrorMessage().c_str());
}

}  // namespace

SQLiteLocationDAO& SQLiteLocationDAO::sharedInstance() {
    // Never destroyed: fixes may still be stored from other threads at exit.
    static auto* store = new SQLiteLocationDAO;
    return *store;
}

SQLiteLocationDAO::SQLiteLocationDAO(std::shared_ptr<platform::Clock> clock)
    : clock_(clock ? std::move(clock) : platform::Clock::shared()) {}

SQLiteLocationDAO::~SQLiteLocationDAO() { helper_.close(); }

// Whoever asks while an open is under way takes its outcome: while another
// program holds the store locked, each open waits for the lock before it
// gives up, and one such wait answers every user that came meanwhile. A
// store that cannot be opened is asked for by every fix, every batch and
// every retry: it is tried again only once its interval has passed (each
// attempt may wait on a lock, or log), and its spell is logged once.
std::shared_ptr<SQLDatabaseQueue> SQLiteLocationDAO::database() {
    std::unique_lock lock(openMutex_);
    if (queue_) return queue_;
    if (opening_) {
        const uint64_t attempt = openAttempts_;
        opened_.wait(lock, [&] { return openAttempts_ != attempt; });
        return queue_;
    }
    if (failedOpens_ > 0 && clock_->monotonicNow() < nextOpen_) return nullptr;
    opening_ = true;
    lock.unlock();
    platform::Error why;
    auto queue = helper_.getWritableDatabase(&why);
    lock.lock();
    if (queue && busyTimeout_)
        queue->inDatabase([&](SQLDatabase* db) {
            if (db) db->setMaxBusyRetryTimeInterval(*busyTimeout_);
        });
    if (queue) {
        if (failedOpens_ > 0) platform::log("The location store opened after %d failed attempts", failedOpens_);
        failedOpens_ = 0;
    } else {
        openFailure_ = why.domain.empty() ? "it could not be opened" : why.localizedDescription();
        if (failedOpens_++ == 0)
            platform::log("The location store cannot be opened (%s): it is tried again when needed, less often "
                          "while it keeps failing",
                          openFailure_.c_str());
        auto interval = kFirstOpenInterval;
        for (int i = 1; i < failedOpens_ && interval < kMostOpenInterval; ++i) interval *= 2;
        nextOpen_ = clock_->monotonicNow() + std::min(interval, kMostOpenInterval);
    }
    queue_ = std::move(queue);
    opening_ = false;
    ++openAttempts_;
    opened_.notify_all();
    return queue_;
}

bool SQLiteLocationDAO::open() { return database() != nullptr; }

platform::Error SQLiteLocationDAO::unopenedError() {
    std::lock_guard lock(openMutex_);
    return platform::Error::withDescription(
        kSQLDatabaseErrorDomain, SQLITE_CANTOPEN,
        "the location store could not be opened" + (openFailure_.empty() ? "" : ": " + openFailure_));
}

std::vector<Location> SQLiteLocationDAO::readLocations(const char* sql, bool withValidity, platform::Error* error) {
    const auto queue = database();
    platform::setError(error, unopenedError());
    return withDatabase(queue, std::vector<Location>(), [&](SQLDatabase& db) {
        platform::setError(error, {});
        return readAll(db, sql, withValidity, error);
    });
}

std::vector<Location> SQLiteLocationDAO::getAllLocations(platform::Error* error) {
    return readLocations(kAllColumns, true, error);
}

std::vector<Location> SQLiteLocationDAO::getValidLocations(platform::Error* error) {
    return readLocations(kValidColumns, false, error);
}

void SQLiteLocationDAO::setMaxBusyRetryTimeInterval(double seconds) {
    std::lock_guard lock(openMutex_);
    busyTimeout_ = seconds;
    if (queue_)
        queue_->inDatabase([&](SQLDatabase* db) {
            if (db) db->setMaxBusyRetryTimeInterval(seconds);
        });
}

std::vector<Location> SQLiteLocationDAO::getLocationsForSync() {
    std::vector<Location> locations;
    const auto queue = database();
    if (!queue) return locations;
    bool marked = false;
    const bool committed = queue->inTransaction([&](SQLDatabase* db, bool* rollback) {
        platform::Error error;
        locations = readAll(*db, kValidColumns, false, &error);
        {
            std::lock_guard lock(claimsMutex_);
            std::erase_if(locations, [&](const Location& l) { return isClaimedLocked(l); });
        }
        // Handing the rows out unmarked would send them twice: keep them waiting.
        marked = error.domain.empty() && markSent(*db, locations);
        if (!marked) *rollback = true;
    });
    // A rollback that went through is no hand-off.
    if (!committed || !marked) locations.clear();
    return locations;
}

bool SQLiteLocationDAO::isClaimedLocked(const Location& location) const {
    if (!location.id) return false;
    auto it = claims_.find(*location.id);
    return it != claims_.end() && it->second == timeColumn(location);
}

std::vector<Location> SQLiteLocationDAO::claimLocationsForSync() {
    std::vector<Location> locations;
    const auto queue = database();
    if (!queue) return locations;
    // On the queue: no row can be marked, reused or claimed between the read and the claim.
    queue->inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        locations = readAll(*db, kValidColumns, false);
        std::lock_guard lock(claimsMutex_);
        std::erase_if(locations, [&](const Location& l) { return !l.id || isClaimedLocked(l); });
        for (const Location& l : locations) claims_[*l.id] = timeColumn(l);
    });
    return locations;
}

SQLiteLocationDAO::Claim SQLiteLocationDAO::claimLocation(const Location& location) {
    if (!location.id) return Claim::Gone;
    const auto queue = database();
    if (!queue) return Claim::Gone;
    // Only a read that says so means the row is gone: a read that failed
    // (another program's lock) has not seen whether a batch may still take
    // it, so the row is held as taken.
    Claim claim = Claim::Taken;
    queue->inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        auto rs = db->executeQuery(kOwnRowValidity, *location.id, timeColumn(location));
        if (!rs) return;
        platform::Error error;
        if (!rs->nextWithError(&error)) {
            if (error.domain.empty()) claim = Claim::Gone;
            return;
        }
        const bool waiting = rs->intForColumnIndex(0) == 1;
        rs->close();
        std::lock_guard lock(claimsMutex_);
        if (!waiting || claims_.contains(*location.id)) {
            claim = Claim::Taken;
            return;
        }
        claims_[*location.id] = timeColumn(location);
        claim = Claim::Claimed;
    });
    return claim;
}

bool SQLiteLocationDAO::markSent(SQLDatabase& db, const std::vector<Location>& locations) {
    for (const Location& l : locations) {
        if (!l.id) continue;
        if (!db.executeUpdate(kDeleteOwnRow, *l.id, timeColumn(l))) {
            logDeleteFailure(*l.id, db);
            return false;
        }
    }
    return true;
}

bool SQLiteLocationDAO::markLocationsSent(const std::vector<Location>& locations) {
    const auto queue = database();
    if (!queue) {
        releaseLocations(locations);
        return false;
    }
    bool marked = false;
    // Let go on the queue: whoever sees the rows marked sees them free too.
    const bool committed = queue->inTransaction([&](SQLDatabase* db, bool* rollback) {
        marked = markSent(*db, locations);
        if (!marked) *rollback = true;
        releaseLocations(locations);
    });
    // A transaction that could not begin ran nothing: the rows, unmarked,
    // must not stay taken (no batch would ever take them again).
    if (!committed) releaseLocations(locations);
    // A rollback that went through marked nothing either.
    if (!committed || !marked) return false;
    // The store takes writes again: what was delivered meanwhile is marked.
    markDeliveries(queue);
    return true;
}

bool SQLiteLocationDAO::markLocationsDelivered(const std::vector<Location>& locations) {
    {
        std::lock_guard lock(claimsMutex_);
        for (const Location& l : locations)
            if (isClaimedLocked(l)) delivered_.push_back(l);
    }
    return markDeliveries(database());
}

bool SQLiteLocationDAO::markDeliveredLocations() { return markDeliveries(database()); }

// Each row on its own: what is marked stays marked, whatever comes after.
bool SQLiteLocationDAO::markDeliveries(const std::shared_ptr<SQLDatabaseQueue>& queue) {
    std::vector<Location> waiting;
    {
        std::lock_guard lock(claimsMutex_);
        waiting = delivered_;
    }
    if (waiting.empty()) return true;
    bool marked = false;
    if (queue)
        queue->inDatabase([&](SQLDatabase* db) {
            if (!db) return;
            for (const Location& l : waiting) {
                if (!db->executeUpdate(kDeleteOwnRow, *l.id, timeColumn(l))) {
                    logDeleteFailure(*l.id, *db);
                    return;
                }
                std::lock_guard lock(claimsMutex_);
                std::erase_if(delivered_,
                              [&](const Location& d) { return d.id == l.id && timeColumn(d) == timeColumn(l); });
                if (isClaimedLocked(l)) claims_.erase(*l.id);
            }
            marked = true;
        });
    return marked;
}

void SQLiteLocationDAO::releaseLocations(const std::vector<Location>& locations) {
    std::lock_guard lock(claimsMutex_);
    for (const Location& l : locations)
        if (isClaimedLocked(l)) claims_.erase(*l.id);
}

bool SQLiteLocationDAO::revalidateLocations(const std::vector<Location>& locations) {
    const auto queue = database();
    if (!queue) return false;
    bool ok = true;
    const bool committed = queue->inTransaction([&](SQLDatabase* db, bool* rollback) {
        for (const Location& l : locations) {
            if (!l.id) continue;
            if (!db->executeUpdate(kRevalidate, *l.id, timeColumn(l))) {
                logStatementFailure(kRevalidate, *db);
                ok = false;
                *rollback = true;
                return;
            }
        }
    });
    return ok && committed;
}

std::optional<int64_t> SQLiteLocationDAO::getLocationsCount() {
    std::optional<int64_t> count;
    const auto queue = database();
    if (!queue) return count;
    queue->inTransaction([&](SQLDatabase* db, bool*) {
        auto rs = db->executeQuery(kCountValid);
        if (rs && rs->next()) count = rs->longForColumnIndex(0);
        if (rs) rs->close();
    });
    return count;
}

std::optional<int64_t> SQLiteLocationDAO::persistLocation(const Location& location) {
    return withDatabase(database(), std::optional<int64_t>(),
                        [&](SQLDatabase& db) { return persistLocation(location, db); });
}

std::optional<int64_t> SQLiteLocationDAO::persistLocation(const Location& location, SQLDatabase& db) {
    if (!writeFix(db, kInsert, location)) {
        logInsertFailure(location, db);
        return std::nullopt;
    }
    return db.lastInsertRowId();
}

std::optional<int64_t> SQLiteLocationDAO::persistLocation(const Location& location, int64_t limitRows,
                                                          platform::Error* error) {
    // A negative limit keeps no row, like 0 (as a LIMIT it would mean "all").
    const int64_t limit = std::max<int64_t>(limitRows, 0);
    const auto queue = database();
    platform::setError(error, unopenedError());
    // Count, trim and overwrite are one block on the queue: no other fix comes between.
    const auto stored = withDatabase(queue, std::optional<int64_t>(), [&](SQLDatabase& db) -> std::optional<int64_t> {
        platform::setError(error, {});
        auto failed = [&]() -> std::optional<int64_t> {
            platform::setError(error, db.lastError());
            return std::nullopt;
        };
        // A count that cannot be read is no empty table: an insert past the
        // limit would outgrow the ring for good.
        auto counted = db.executeQuery(kCountAll);
        if (!counted || !counted->next()) return failed();
        const int64_t count = counted->longForColumnIndex(0);
        counted->close();
        if (count < limit) {
            auto id = persistLocation(location, db);
            return id ? id : failed();
        }
        if (count > limit) {
            const std::string trim =
                "DELETE FROM location WHERE id IN (SELECT id FROM location ORDER BY time, id LIMIT " +
                std::to_string(count - limit) + ");VACUUM;";
            if (!db.executeStatements(trim)) logStatementFailure(trim, db);
        }
        auto oldest = db.executeQuery(kOldest);
        if (!oldest) return failed();
        platform::Error stepError;
        if (!oldest->nextWithError(&stepError)) {
            // Nothing to overwrite (a limit of 0) is no failure.
            platform::setError(error, std::move(stepError));
            return std::nullopt;
        }
        const int64_t target = oldest->longForColumnIndex(0);
        oldest->close();
        if (!writeFix(db, kOverwrite, location, target)) {
            logInsertFailure(location, db);
            return failed();
        }
        return target;
    });
    // The store takes writes again: what was delivered meanwhile is marked.
    if (stored) markDeliveries(queue);
    return stored;
}

bool SQLiteLocationDAO::deleteLocation(int64_t locationId) {
    return withDatabase(database(), false, [&](SQLDatabase& db) {
        const bool ok = db.executeUpdate(kDeleteById, locationId);
        if (!ok) logDeleteFailure(locationId, db);
        return ok;
    });
}

bool SQLiteLocationDAO::deleteLocation(const Location& location) {
    if (!location.id) return false;
    return withDatabase(database(), false, [&](SQLDatabase& db) {
        const bool ok = db.executeUpdate(kDeleteOwnRow, *location.id, timeColumn(location));
        if (!ok) logDeleteFailure(*location.id, db);
        return ok;
    });
}

bool SQLiteLocationDAO::deleteAllLocations() {
    return withDatabase(database(), false, [](SQLDatabase& db) {
        const bool ok = db.executeUpdate(kDeleteAll);
        if (!ok)
            platform::log("Deleting all location failed code: %d: message: %s", db.lastErrorCode(),
                          db.lastErrorMessage().c_str());
        return ok;
    });
}

bool SQLiteLocationDAO::clearDatabase() {
    return withDatabase(database(), false, [](SQLDatabase& db) {
        const std::string drop = std::string("DROP TABLE ") + LocationContract::kTableName;
        if (!db.executeStatements(drop)) logStatementFailure(drop, db);
        // The index went with the table; the oldest-first reads need it back.
        const std::string create = LocationContract::createTableSQL() + LocationContract::createTimeIndexSQL();
        const bool ok = db.executeStatements(create);
        if (!ok) logStatementFailure(create, db);
        return ok;
    });
}

}  // namespace wharf
