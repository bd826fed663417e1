#pragma once
// A versioned SQLite database in the application's Library directory: opens
// it on first use, records its schema version in the meta table "__META" and
// calls the create / upgrade / downgrade hooks of a subclass when the
// recorded version differs from the one the code expects.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"
#include "sqldb/SQLDatabaseQueue.h"

namespace wharf {

class SQLiteOpenHelper {
public:
    static constexpr const char* kMetaTableName = "__META";

    // `name` is the file name in the Library directory.
    SQLiteOpenHelper(std::optional<std::string> name, int64_t version);
    virtual ~SQLiteOpenHelper();
    SQLiteOpenHelper(const SQLiteOpenHelper&) = delete;
    SQLiteOpenHelper& operator=(const SQLiteOpenHelper&) = delete;

    // The open queue, opened (and brought to the expected version) first when
    // needed; nullptr, with `why` set, when the file cannot be written, cannot
    // be opened, or its version cannot be read or brought up to date (another
    // program holds it locked; no journal can be made). Throws
    // std::logic_error for a helper without a name and for a hook that
    // reopens its own helper.
    std::shared_ptr<SQLDatabaseQueue> getWritableDatabase(platform::Error* why = nullptr);
    std::shared_ptr<SQLDatabaseQueue> getReadableDatabase();
    // Closes the queue and forgets it.
    void close();
    // Where an unreadable database file was moved when the helper opened a
    // new one in its place; told once.
    std::optional<std::string> takeSetAsideFile();

    const std::optional<std::string>& getDatabaseName() const { return mName; }
    std::string getDatabasePath() const;
    static std::string getDatabasePath(const std::string& name);
    // The queue, created on the path without the version steps when there is none.
    std::shared_ptr<SQLDatabaseQueue> getDatabaseQueue();

    std::shared_ptr<SQLDatabaseQueue> openDatabase(const std::string& path, int flags);
    // Opens (creating the file when needed) and makes sure the meta table
    // with its one row exists; nullptr, with `why` set, when the file cannot
    // be written or opened, or is locked by another program.
    std::shared_ptr<SQLDatabaseQueue> openOrCreateDatabase(const std::string& name, platform::Error* why = nullptr);

    // -1 when no version is recorded.
    int64_t getVersion(SQLDatabaseQueue& queue);
    void setVersion(SQLDatabaseQueue& queue, int64_t version);
    // "dbVersion" (-1 without a meta row), "created" and "last_updated".
    platform::Value getDatabaseMetadata();

protected:
    virtual void onConfigure(SQLDatabaseQueue& queue);
    virtual void onCreate(SQLDatabaseQueue& queue);
    virtual void onUpgrade(SQLDatabaseQueue& queue, int64_t oldVersion, int64_t newVersion);
    virtual void onDowngrade(SQLDatabaseQueue& queue, int64_t oldVersion, int64_t newVersion);
    virtual void onOpen(SQLDatabaseQueue& queue);

private:
    std::shared_ptr<SQLDatabaseQueue> getDatabaseLocked(bool writable, platform::Error* why);

    // Recursive, so that a hook reopening its own helper reaches the
    // "called recursively" check instead of deadlocking.
    std::recursive_mutex mutex_;
    std::shared_ptr<SQLDatabaseQueue> mQueue;
    bool mIsInitializing = false;
    bool mIsReadOnly = false;
    int64_t mNewVersion;
    std::optional<std::string> mName;
    // Its own lock: it is asked for while an open may wait on another
    // program's lock.
    std::mutex setAsideMutex_;
    std::optional<std::string> mSetAside;
};

// "<statement> failed code: <code>: message: <message>" for the last error of `db`.
void logStatementFailure(const std::string& statement, const SQLDatabase& db);

}  // namespace wharf
