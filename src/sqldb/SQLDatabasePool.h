#pragma once
// Several connections to one file, each handed to one caller at a time.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sqldb/BlockRef.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {

class SQLDatabasePool;

class SQLDatabasePoolDelegate {
public:
    virtual ~SQLDatabasePoolDelegate() = default;
    // False vetoes the connection: it is closed and not handed out.
    virtual bool databasePoolShouldAddDatabaseToPool(SQLDatabasePool& pool, SQLDatabase& db);
    // A newly created connection joined the pool.
    virtual void databasePoolDidAddDatabase(SQLDatabasePool& pool, SQLDatabase& db);
};

// Thrown when a connection is given back twice.
class SQLDatabasePoolError : public std::logic_error {
public:
    SQLDatabasePoolError(std::string name, const std::string& reason)
        : std::logic_error(reason), name_(std::move(name)) {}
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

class SQLDatabasePool {
public:
    // Blocks run before the call returns; any callable will do.
    using DatabaseBlock = BlockRef<void(SQLDatabase* db)>;
    using TransactionBlock = BlockRef<void(SQLDatabase* db, bool* rollback)>;

    static std::shared_ptr<SQLDatabasePool> databasePoolWithPath(std::optional<std::string> path,
                                                                 int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                                                 std::optional<std::string> vfsName = std::nullopt);
    SQLDatabasePool(std::optional<std::string> path, int flags, std::optional<std::string> vfsName);
    ~SQLDatabasePool();
    SQLDatabasePool(const SQLDatabasePool&) = delete;
    SQLDatabasePool& operator=(const SQLDatabasePool&) = delete;

    std::optional<std::string> path() const;
    int openFlags() const { return openFlags_; }
    std::optional<std::string> vfsName() const;
    std::shared_ptr<SQLDatabasePoolDelegate> delegate() const;
    void setDelegate(std::weak_ptr<SQLDatabasePoolDelegate> delegate);
    size_t maximumNumberOfDatabasesToCreate() const;
    // 0: no limit.
    void setMaximumNumberOfDatabasesToCreate(size_t maximum);

    // An open connection for the caller, or nullptr (limit reached, open failed, vetoed).
    std::shared_ptr<SQLDatabase> db();
    // Gives a connection back; nullptr is ignored. Throws SQLDatabasePoolError
    // ("Database already in pool") when it is already idle.
    void pushDatabaseBackInPool(const std::shared_ptr<SQLDatabase>& db);

    size_t countOfCheckedInDatabases() const;
    size_t countOfCheckedOutDatabases() const;
    size_t countOfOpenDatabases() const;
    void releaseAllDatabases();

    void inDatabase(DatabaseBlock block);
    bool inTransaction(TransactionBlock block);
    bool inDeferredTransaction(TransactionBlock block);
    std::optional<platform::Error> inSavePoint(TransactionBlock block);

private:
    // Gives the connection back however the block ends.
    template <class R, class F>
    R withDatabase(F run);

    mutable std::mutex lock_;
    std::optional<std::string> path_;
    const int openFlags_;
    std::optional<std::string> vfsName_;
    std::vector<std::shared_ptr<SQLDatabase>> databaseInPool_;
    std::vector<std::shared_ptr<SQLDatabase>> databaseOutPool_;
    std::weak_ptr<SQLDatabasePoolDelegate> delegate_;
    size_t maximumNumberOfDatabasesToCreate_ = 0;
};

}  // namespace wharf
