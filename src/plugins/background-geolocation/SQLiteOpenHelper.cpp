#include "plugins/background-geolocation/SQLiteOpenHelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "platform/Container.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "plugins/background-geolocation/SQLiteHelper.h"

namespace wharf {

namespace {

// Clears a flag however the scope is left.
struct ClearOnExit {
    bool& flag;
    ~ClearOnExit() { flag = false; }
};

// The primary result code of a first look at the schema: SQLITE_NOTADB or
// SQLITE_CORRUPT for a file that is not a database or whose schema is
// damaged (nothing in it can be read, and nothing can be written to it);
// SQLITE_BUSY or SQLITE_LOCKED while another program holds it locked.
int firstLook(SQLDatabaseQueue& queue) {
    int code = SQLITE_OK;
    queue.inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        db->setLogsErrors(false);
        auto rs = db->executeQuery("SELECT COUNT(*) FROM sqlite_master");
        if (rs) {
            rs->next();
            rs->close();
        }
        code = db->lastErrorCode() & 0xff;
        db->setLogsErrors(true);
    });
    return code;
}

platform::Error openFailure(const std::string& description) {
    return platform::Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_CANTOPEN, description);
}

// Why the host cannot write the file at `path` (or make it, when there is
// none); nullopt when it can. Opened all the same, SQLite would fall back to
// a read-only connection and count that a success, and the connection would
// stay read-only for good, whatever became of the file.
std::optional<platform::Error> unwritable(const std::string& path) {
    std::string target = path;
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        const auto slash = path.rfind('/');
        target = slash == std::string::npos ? "." : path.substr(0, slash);
    }
    if (::access(target.c_str(), W_OK) == 0) return std::nullopt;
    return openFailure(target + " cannot be written: " + platform::errnoText(errno));
}

}  // namespace

void logStatementFailure(const std::string& statement, const SQLDatabase& db) {
    platform::log("%s failed code: %d: message: %s", statement.c_str(), db.lastErrorCode(),
                  db.lastErrorMessage().c_str());
}

SQLiteOpenHelper::SQLiteOpenHelper(std::optional<std::string> name, int64_t version)
    : mNewVersion(version), mName(std::move(name)) {}

SQLiteOpenHelper::~SQLiteOpenHelper() = default;

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::getWritableDatabase(platform::Error* why) {
    std::lock_guard lock(mutex_);
    return getDatabaseLocked(true, why);
}

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::getReadableDatabase() {
    std::lock_guard lock(mutex_);
    return getDatabaseLocked(false, nullptr);
}

std::optional<std::string> SQLiteOpenHelper::takeSetAsideFile() {
    std::lock_guard lock(setAsideMutex_);
    return std::exchange(mSetAside, std::nullopt);
}

void SQLiteOpenHelper::close() {
    std::lock_guard lock(mutex_);
    if (mQueue) mQueue->close();
    mQueue.reset();
}

std::string SQLiteOpenHelper::getDatabasePath() const { return mName ? getDatabasePath(*mName) : std::string(); }

std::string SQLiteOpenHelper::getDatabasePath(const std::string& name) {
    return platform::Container::libraryPath() + "/" + name;
}

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::getDatabaseQueue() {
    std::lock_guard lock(mutex_);
    if (!mQueue) mQueue = SQLDatabaseQueue::databaseQueueWithPath(getDatabasePath());
    return mQueue;
}

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::openDatabase(const std::string& path, int flags) {
    return SQLDatabaseQueue::databaseQueueWithPath(path, flags);
}

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::openOrCreateDatabase(const std::string& name,
                                                                         platform::Error* why) {
    const std::string path = getDatabasePath(name);
    if (auto refused = unwritable(path)) {
        platform::setError(why, std::move(*refused));
        return nullptr;
    }
    // What the database holds is the user's own: readable by the user alone
    // (SQLite gives its journal files the database file's mode).
    if (const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
    auto queue = SQLDatabaseQueue::databaseQueueWithPath(path);
    if (!queue) {
        platform::setError(why, openFailure(path + " could not be opened"));
        return nullptr;
    }
    const int look = firstLook(*queue);
    // Its version cannot be read now: opened as it is, a store still to be
    // built would never be.
    if (look == SQLITE_BUSY || look == SQLITE_LOCKED) {
        platform::setError(why, platform::Error::withDescription(kSQLDatabaseErrorDomain, look,
                                                                 path + " is locked by another program"));
        return nullptr;
    }
    if (look == SQLITE_NOTADB || look == SQLITE_CORRUPT) {
        // Kept for the user under another name; the store starts afresh, or
        // nothing could ever be stored again.
        queue->close();
        queue.reset();
        const std::string aside = path + ".unreadable-" + std::to_string(::time(nullptr));
        if (::rename(path.c_str(), aside.c_str()) != 0) {
            platform::setError(why, openFailure(path + " cannot be read as a database and cannot be set aside: " +
                                                platform::errnoText(errno)));
            return nullptr;
        }
        for (const char* suffix : {"-journal", "-wal", "-shm"})
            (void)::rename((path + suffix).c_str(), (aside + suffix).c_str());  // absent unless a crash left them
        platform::log("%s cannot be read as a database: it was set aside as %s and a new one started", path.c_str(),
                      aside.c_str());
        {
            std::lock_guard lock(setAsideMutex_);
            mSetAside = aside;
        }
        if (const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
        queue = SQLDatabaseQueue::databaseQueueWithPath(path);
        if (!queue) {
            platform::setError(why, openFailure(path + " could not be opened"));
            return nullptr;
        }
    }
    if (getVersion(*queue) != -1) return queue;
    queue->inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        auto column = [](const char* columnName, int64_t type) {
            return SQLColumnDescription{columnName, SQLColumnType::sqlColumnWithType(type)};
        };
        const std::string create = SQLiteHelper::createTableSqlStatement(
            kMetaTableName, {{"id", SQLPrimaryKeyColumnType::sqlColumnWithType(kSQLColumnTypeInteger)},
                             column("db_version", kSQLColumnTypeInteger),
                             column("created", kSQLColumnTypeInteger),
                             column("last_updated", kSQLColumnTypeInteger)});
        if (db->executeStatements(create)) {
            const std::string insert = std::string("INSERT INTO ") + kMetaTableName +
                                       " (id,db_version,created,last_updated) VALUES (1,0,datetime(),null)";
            if (!db->executeUpdate(insert)) logStatementFailure(insert, *db);
        } else {
            platform::log("Creating meta table %s failed code: %d: message: %s", create.c_str(), db->lastErrorCode(),
                          db->lastErrorMessage().c_str());
        }
    });
    return queue;
}

int64_t SQLiteOpenHelper::getVersion(SQLDatabaseQueue& queue) {
    int64_t version = -1;
    queue.inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        // A first run has no meta table yet: that failure is expected, not news.
        db->setLogsErrors(false);
        platform::Error error;
        auto rs = db->executeQueryValues(std::string("SELECT db_version FROM ") + kMetaTableName, {}, &error);
        if (rs) {
            while (rs->next()) version = rs->longForColumnIndex(0);
        } else {
            platform::log("Determining db version returned error (ok for first run): %s", error.description().c_str());
        }
        db->setLogsErrors(true);
    });
    return version;
}

void SQLiteOpenHelper::setVersion(SQLDatabaseQueue& queue, int64_t version) {
    queue.inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        const std::string update = std::string("UPDATE ") + kMetaTableName +
                                   " SET db_version = " + std::to_string(version) + ", last_updated = datetime()";
        if (!db->executeUpdate(update)) logStatementFailure(update, *db);
    });
}

platform::Value SQLiteOpenHelper::getDatabaseMetadata() {
    platform::Value metadata = {{"dbVersion", -1}};
    auto queue = getReadableDatabase();
    if (!queue) return metadata;
    queue->inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        auto rs = db->executeQuery(std::string("SELECT db_version, created, last_updated FROM ") + kMetaTableName +
                                   " LIMIT 1");
        if (rs && rs->next()) {
            metadata["dbVersion"] = rs->intForColumnIndex(0);
            metadata["created"] = rs->stringForColumnIndex(1).value_or("");
            metadata["last_updated"] = rs->stringForColumnIndex(2).value_or("");
        }
        if (rs) rs->close();
    });
    // Reopened on its next use.
    queue->close();
    return metadata;
}

std::shared_ptr<SQLDatabaseQueue> SQLiteOpenHelper::getDatabaseLocked(bool writable, platform::Error* why) {
    if (mQueue) return mQueue;
    if (mIsInitializing) throw std::logic_error("getDatabaseLocked called recursively");
    mIsInitializing = true;
    ClearOnExit initializing{mIsInitializing};
    if (!mName) throw std::logic_error("in memory database is not supported");

    auto queue = writable ? openOrCreateDatabase(*mName, why)
                          : openDatabase(getDatabasePath(), SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX);
    if (!queue) return nullptr;
    onConfigure(*queue);
    const int64_t version = getVersion(*queue);
    platform::log("Current db version: %lld", static_cast<long long>(version));
    if (version != mNewVersion) {
        if (version == 0)
            onCreate(*queue);
        else if (version < mNewVersion)
            onUpgrade(*queue, version, mNewVersion);
        else
            onDowngrade(*queue, version, mNewVersion);
        setVersion(*queue, mNewVersion);
        // Steps that could not be written (no journal could be made, the
        // disk was full) leave the database without what they build: kept,
        // it would fail every use for good. It is opened again when next
        // needed, and the steps run then.
        if (writable && getVersion(*queue) != mNewVersion) {
            platform::setError(why, openFailure(getDatabasePath() + " could not be brought to version " +
                                                std::to_string(mNewVersion)));
            return nullptr;
        }
    }
    onOpen(*queue);
    mQueue = queue;
    mIsReadOnly = !writable;
    return mQueue;
}

void SQLiteOpenHelper::onConfigure(SQLDatabaseQueue&) {}
void SQLiteOpenHelper::onCreate(SQLDatabaseQueue&) {}
void SQLiteOpenHelper::onUpgrade(SQLDatabaseQueue&, int64_t, int64_t) {}
void SQLiteOpenHelper::onDowngrade(SQLDatabaseQueue&, int64_t, int64_t) {}
void SQLiteOpenHelper::onOpen(SQLDatabaseQueue&) {}

}  // namespace wharf
