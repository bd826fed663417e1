#pragma once
// One connection made safe for use from any thread: every block runs with the
// queue held, one at a time, and the caller waits for it. A block may use
// another queue, but using the same queue from inside one of its own blocks is
// refused with SQLDBAssertionFailure (it would deadlock).
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sqldb/BlockRef.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {

class SQLDatabaseQueue {
public:
    // Blocks run before the call returns; any callable will do.
    using DatabaseBlock = BlockRef<void(SQLDatabase* db)>;
    using TransactionBlock = BlockRef<void(SQLDatabase* db, bool* rollback)>;

    // nullptr (with a log line) when the database cannot be opened.
    static std::shared_ptr<SQLDatabaseQueue> databaseQueueWithPath(std::optional<std::string> path,
                                                                   int flags = SQLITE_OPEN_READWRITE |
                                                                               SQLITE_OPEN_CREATE,
                                                                   std::optional<std::string> vfsName = std::nullopt);
    ~SQLDatabaseQueue();
    SQLDatabaseQueue(const SQLDatabaseQueue&) = delete;
    SQLDatabaseQueue& operator=(const SQLDatabaseQueue&) = delete;

    const std::optional<std::string>& path() const { return path_; }
    int openFlags() const { return openFlags_; }
    const std::optional<std::string>& vfsName() const { return vfsName_; }
    std::string description() const;

    // Closes the connection; the next block opens it again.
    void close();
    // Stops the statement a block is running; callable from any thread.
    // False when no connection is open.
    bool interrupt();

    // Runs the block with the connection (nullptr when it could not be reopened).
    void inDatabase(DatabaseBlock block);
    // Exclusive / deferred transaction around the block, committed unless the
    // block sets *rollback. When the transaction cannot begin the block does
    // not run. False when begin, commit or rollback failed (a failed commit is
    // rolled back).
    bool inTransaction(TransactionBlock block);
    bool inDeferredTransaction(TransactionBlock block);
    // The block inside a savepoint "savePoint<n>"; the error of the last failing step.
    std::optional<platform::Error> inSavePoint(TransactionBlock block);

private:
    SQLDatabaseQueue(std::optional<std::string> path, int flags, std::optional<std::string> vfsName,
                     std::unique_ptr<SQLDatabase> db);
    class Hold;
    SQLDatabase* database();
    bool beginTransaction(bool deferred, TransactionBlock block, const char* operation);

    const std::optional<std::string> path_;
    const int openFlags_;
    const std::optional<std::string> vfsName_;
    std::mutex queueMutex_;  // held while a block runs
    mutable std::mutex dbMutex_;  // guards db_ itself, for interrupt()
    std::unique_ptr<SQLDatabase> db_;
};

}  // namespace wharf
