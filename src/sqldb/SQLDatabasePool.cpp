#include "sqldb/SQLDatabasePool.h"

#include <algorithm>
#include <atomic>

#include "platform/base/Log.h"

namespace wharf {

using platform::Error;
using platform::log;

namespace {
std::atomic<long> gPoolSavePointCounter{0};
}

bool SQLDatabasePoolDelegate::databasePoolShouldAddDatabaseToPool(SQLDatabasePool&, SQLDatabase&) { return true; }
void SQLDatabasePoolDelegate::databasePoolDidAddDatabase(SQLDatabasePool&, SQLDatabase&) {}

std::shared_ptr<SQLDatabasePool> SQLDatabasePool::databasePoolWithPath(std::optional<std::string> path, int flags,
                                                                       std::optional<std::string> vfsName) {
    return std::make_shared<SQLDatabasePool>(std::move(path), flags, std::move(vfsName));
}

SQLDatabasePool::SQLDatabasePool(std::optional<std::string> path, int flags, std::optional<std::string> vfsName)
    : path_(std::move(path)), openFlags_(flags), vfsName_(std::move(vfsName)) {}

SQLDatabasePool::~SQLDatabasePool() { delegate_.reset(); }

std::optional<std::string> SQLDatabasePool::path() const {
    std::lock_guard<std::mutex> lock(lock_);
    return path_;
}

std::optional<std::string> SQLDatabasePool::vfsName() const {
    std::lock_guard<std::mutex> lock(lock_);
    return vfsName_;
}

std::shared_ptr<SQLDatabasePoolDelegate> SQLDatabasePool::delegate() const {
    std::lock_guard<std::mutex> lock(lock_);
    return delegate_.lock();
}

void SQLDatabasePool::setDelegate(std::weak_ptr<SQLDatabasePoolDelegate> delegate) {
    std::lock_guard<std::mutex> lock(lock_);
    delegate_ = std::move(delegate);
}

size_t SQLDatabasePool::maximumNumberOfDatabasesToCreate() const {
    std::lock_guard<std::mutex> lock(lock_);
    return maximumNumberOfDatabasesToCreate_;
}

void SQLDatabasePool::setMaximumNumberOfDatabasesToCreate(size_t maximum) {
    std::lock_guard<std::mutex> lock(lock_);
    maximumNumberOfDatabasesToCreate_ = maximum;
}

std::shared_ptr<SQLDatabase> SQLDatabasePool::db() {
    std::lock_guard<std::mutex> lock(lock_);
    std::shared_ptr<SQLDatabase> db;
    bool created = false;
    if (!databaseInPool_.empty()) {
        db = databaseInPool_.back();
        databaseInPool_.pop_back();
    } else {
        size_t open = databaseInPool_.size() + databaseOutPool_.size();
        if (maximumNumberOfDatabasesToCreate_ > 0 && open >= maximumNumberOfDatabasesToCreate_) {
            log("Maximum number of databases (%ld) has already been reached!",
                static_cast<long>(maximumNumberOfDatabasesToCreate_));
            return nullptr;
        }
        db = SQLDatabase::databaseWithPath(path_);
        created = true;
    }
    if (!db->openWithFlags(openFlags_, vfsName_)) {
        log("Could not open up the database at path %s", path_ ? path_->c_str() : "(null)");
        return nullptr;
    }
    auto delegate = delegate_.lock();
    if (delegate && !delegate->databasePoolShouldAddDatabaseToPool(*this, *db)) {
        db->close();
        return nullptr;
    }
    if (std::find(databaseOutPool_.begin(), databaseOutPool_.end(), db) == databaseOutPool_.end()) {
        databaseOutPool_.push_back(db);
        if (created && delegate) delegate->databasePoolDidAddDatabase(*this, *db);
    }
    return db;
}

void SQLDatabasePool::pushDatabaseBackInPool(const std::shared_ptr<SQLDatabase>& db) {
    if (!db) return;
    std::lock_guard<std::mutex> lock(lock_);
    if (std::find(databaseInPool_.begin(), databaseInPool_.end(), db) != databaseInPool_.end()) {
        throw SQLDatabasePoolError("Database already in pool",
                                   "The SQLDatabase being put back into the pool is already present in the pool");
    }
    databaseInPool_.push_back(db);
    databaseOutPool_.erase(std::remove(databaseOutPool_.begin(), databaseOutPool_.end(), db), databaseOutPool_.end());
}

size_t SQLDatabasePool::countOfCheckedInDatabases() const {
    std::lock_guard<std::mutex> lock(lock_);
    return databaseInPool_.size();
}

size_t SQLDatabasePool::countOfCheckedOutDatabases() const {
    std::lock_guard<std::mutex> lock(lock_);
    return databaseOutPool_.size();
}

size_t SQLDatabasePool::countOfOpenDatabases() const {
    std::lock_guard<std::mutex> lock(lock_);
    return databaseInPool_.size() + databaseOutPool_.size();
}

void SQLDatabasePool::releaseAllDatabases() {
    std::lock_guard<std::mutex> lock(lock_);
    databaseInPool_.clear();
    databaseOutPool_.clear();
}

template <class R, class F>
R SQLDatabasePool::withDatabase(F run) {
    std::shared_ptr<SQLDatabase> db = this->db();
    struct GiveBack {
        SQLDatabasePool& pool;
        const std::shared_ptr<SQLDatabase>& db;
        // Runs while a throwing block unwinds too: it must not throw itself.
        ~GiveBack() {
            try {
                pool.pushDatabaseBackInPool(db);
            } catch (const std::exception& e) {
                platform::log("SQLDatabasePool: the database could not be given back: %s", e.what());
            }
        }
    } giveBack{*this, db};
    return run(db.get());
}

void SQLDatabasePool::inDatabase(DatabaseBlock block) {
    withDatabase<void>([&](SQLDatabase* db) { block(db); });
}

bool SQLDatabasePool::inTransaction(TransactionBlock block) {
    return withDatabase<bool>([&](SQLDatabase* db) {
        return db && db->runInTransaction(false, [&](bool* rollback) { block(db, rollback); });
    });
}

bool SQLDatabasePool::inDeferredTransaction(TransactionBlock block) {
    return withDatabase<bool>([&](SQLDatabase* db) {
        return db && db->runInTransaction(true, [&](bool* rollback) { block(db, rollback); });
    });
}

std::optional<Error> SQLDatabasePool::inSavePoint(TransactionBlock block) {
    return withDatabase<std::optional<Error>>([&](SQLDatabase* db) -> std::optional<Error> {
        if (!db) return Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_CANTOPEN, "no database available");
        std::string name = "savePoint" + std::to_string(gPoolSavePointCounter.fetch_add(1));
        return db->inSavePointNamed(name, [&](bool* rollback) { block(db, rollback); });
    });
}

}  // namespace wharf
