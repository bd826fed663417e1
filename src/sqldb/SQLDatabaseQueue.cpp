#include "sqldb/SQLDatabaseQueue.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/base/Log.h"

namespace wharf {

using platform::Error;
using platform::log;

namespace {

// The queues whose blocks the calling thread is running, innermost last.
thread_local std::vector<const SQLDatabaseQueue*> tCurrentQueues;

std::atomic<long> gQueueSavePointCounter{0};

std::string pathText(const std::optional<std::string>& path) { return path ? *path : "(null)"; }

}  // namespace

// Holds the queue for one block, after refusing a re-entrant call.
class SQLDatabaseQueue::Hold {
public:
    Hold(SQLDatabaseQueue& queue, const char* operation) : queue_(queue) {
        if (std::find(tCurrentQueues.begin(), tCurrentQueues.end(), &queue) != tCurrentQueues.end()) {
            std::string message = std::string("currentSyncQueue != self && \"") + operation +
                                  " was called reentrantly on the same queue, which would lead to a deadlock\"";
            platform::logMessage(message);
            throw SQLDBAssertionFailure(message);
        }
        queue_.queueMutex_.lock();
        tCurrentQueues.push_back(&queue_);
    }
    ~Hold() {
        tCurrentQueues.pop_back();
        queue_.queueMutex_.unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    SQLDatabaseQueue& queue_;
};

std::shared_ptr<SQLDatabaseQueue> SQLDatabaseQueue::databaseQueueWithPath(std::optional<std::string> path, int flags,
                                                                          std::optional<std::string> vfsName) {
    auto db = std::make_unique<SQLDatabase>(path);
    if (!db->openWithFlags(flags, vfsName)) {
        log("Could not create database queue for path %s", pathText(path).c_str());
        return nullptr;
    }
    return std::shared_ptr<SQLDatabaseQueue>(
        new SQLDatabaseQueue(std::move(path), flags, std::move(vfsName), std::move(db)));
}

SQLDatabaseQueue::SQLDatabaseQueue(std::optional<std::string> path, int flags, std::optional<std::string> vfsName,
                                   std::unique_ptr<SQLDatabase> db)
    : path_(std::move(path)), openFlags_(flags), vfsName_(std::move(vfsName)), db_(std::move(db)) {}

SQLDatabaseQueue::~SQLDatabaseQueue() = default;

std::string SQLDatabaseQueue::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "<SQLDatabaseQueue: %p>", static_cast<const void*>(this));
    return text;
}

void SQLDatabaseQueue::close() {
    Hold hold(*this, "close");
    std::unique_ptr<SQLDatabase> db;
    {
        std::lock_guard<std::mutex> lock(dbMutex_);
        db = std::move(db_);
    }
    if (db) db->close();
}

bool SQLDatabaseQueue::interrupt() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    return db_ && db_->interrupt();
}

SQLDatabase* SQLDatabaseQueue::database() {
    if (!db_) {
        auto db = std::make_unique<SQLDatabase>(path_);
        if (!db->openWithFlags(openFlags_, vfsName_)) {
            log("SQLDatabaseQueue could not reopen database for path %s", pathText(path_).c_str());
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(dbMutex_);
        db_ = std::move(db);
    }
    return db_.get();
}

void SQLDatabaseQueue::inDatabase(DatabaseBlock block) {
    Hold hold(*this, "inDatabase:");
    SQLDatabase* db = database();
    block(db);
    if (db && db->hasOpenResultSets()) {
        log("Warning: there is at least one open result set around after performing [SQLDatabaseQueue inDatabase:]");
    }
}

bool SQLDatabaseQueue::beginTransaction(bool deferred, TransactionBlock block, const char* operation) {
    Hold hold(*this, operation);
    SQLDatabase* db = database();
    if (!db) return false;
    return db->runInTransaction(deferred, [&](bool* rollback) { block(db, rollback); });
}

bool SQLDatabaseQueue::inTransaction(TransactionBlock block) {
    return beginTransaction(false, block, "inTransaction:");
}

bool SQLDatabaseQueue::inDeferredTransaction(TransactionBlock block) {
    return beginTransaction(true, block, "inDeferredTransaction:");
}

std::optional<Error> SQLDatabaseQueue::inSavePoint(TransactionBlock block) {
    Hold hold(*this, "inSavePoint:");
    SQLDatabase* db = database();
    if (!db) return Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_CANTOPEN, "could not open the database");
    std::string name = "savePoint" + std::to_string(gQueueSavePointCounter.fetch_add(1));
    return db->inSavePointNamed(name, [&](bool* rollback) { block(db, rollback); });
}

}  // namespace wharf
