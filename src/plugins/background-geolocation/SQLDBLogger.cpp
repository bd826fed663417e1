#include "plugins/background-geolocation/SQLDBLogger.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/base/Log.h"

namespace wharf {

namespace {
constexpr const char* kInsert = "INSERT INTO logs (context, level, message, timestamp) VALUES (?, ?, ?, ?)";
constexpr const char* kDeleteOlder = "DELETE FROM logs WHERE timestamp < ?";
}  // namespace

SQLDBLogEntry::SQLDBLogEntry(const LGLogMessage& m)
    : context(m.context()), level(m.flag()), message(m.message()), timestamp(m.timestamp()) {}

SQLDBLogger::SQLDBLogger(const std::string& logDirectory, std::shared_ptr<platform::Clock> clock)
    : LGAbstractDatabaseLogger(std::move(clock)), logDirectory_(logDirectory) {
    pendingLogEntries_.reserve(saveThreshold_);
    validateLogDirectory();
    openDatabase();
}

SQLDBLogger::~SQLDBLogger() {
    if (database_) database_->close();
}

void SQLDBLogger::validateLogDirectory() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(*logDirectory_, ec);
    if (fs::is_directory(status)) return;
    if (fs::exists(status)) {
        platform::log("%s: %s - logDirectory(%s) is a file!", "SQLDBLogger", "validateLogDirectory",
                      logDirectory_->c_str());
        logDirectory_.reset();
        return;
    }
    if (!fs::create_directories(*logDirectory_, ec) || ec) {
        platform::log("%s: %s - Unable to create logDirectory(%s) due to error: %s", "SQLDBLogger",
                      "validateLogDirectory", logDirectory_->c_str(), ec.message().c_str());
        logDirectory_.reset();
    }
}

void SQLDBLogger::openDatabase() {
    if (!logDirectory_) return;
    auto db = std::make_unique<SQLDatabase>(*logDirectory_ + "/" + kDatabaseFileName);
    if (!db->open()) {
        platform::log("%s: Failed opening database!", "SQLDBLogger");
        return;
    }
    const std::pair<const char*, const char*> schema[] = {
        {"CREATE TABLE IF NOT EXISTS logs (context integer, level integer, message text, timestamp double)", "table"},
        {"CREATE INDEX IF NOT EXISTS timestamp ON logs (timestamp)", "index"}};
    for (const auto& [sql, what] : schema) {
        db->executeUpdate(sql);
        if (db->hadError()) {
            platform::log("%s: Error creating %s: code(%d): %s", "SQLDBLogger", what, db->lastErrorCode(),
                          db->lastErrorMessage().c_str());
            db->close();
            return;
        }
    }
    // The insert and the purge run for every save: prepare them once.
    db->setShouldCacheStatements(true);
    database_ = std::move(db);
}

bool SQLDBLogger::db_log(const LGLogMessage& message) {
    pendingLogEntries_.emplace_back(message);
    return true;
}

void SQLDBLogger::db_save() {
    if (pendingLogEntries_.empty()) return;
    if (!database_) {
        pendingLogEntries_.clear();
        return;
    }
    const bool ownsTransaction = !database_->inTransaction();
    if (ownsTransaction) database_->beginTransaction();
    for (const SQLDBLogEntry& e : pendingLogEntries_)
        database_->executeUpdate(kInsert, e.context, e.level, e.message, e.timestamp);
    pendingLogEntries_.clear();
    if (ownsTransaction) {
        database_->commit();
        if (database_->hadError())
            platform::log("%s: Error inserting log entries: code(%d): %s", "SQLDBLogger", database_->lastErrorCode(),
                          database_->lastErrorMessage().c_str());
    }
}

void SQLDBLogger::db_delete() {
    if (maxAge_ <= 0 || !database_) return;
    const bool wasInTransaction = database_->inTransaction();
    database_->executeUpdate(kDeleteOlder, clock()->secondsSince1970() - maxAge_);
    if (!wasInTransaction && database_->hadError())
        platform::log("%s: Error deleting log entries: code(%d): %s", "SQLDBLogger", database_->lastErrorCode(),
                      database_->lastErrorMessage().c_str());
}

void SQLDBLogger::db_saveAndDelete() {
    if (!database_) {
        pendingLogEntries_.clear();
        return;
    }
    database_->beginTransaction();
    db_delete();
    db_save();
    database_->commit();
    if (database_->hadError())
        platform::log("%s: Error: code(%d): %s", "SQLDBLogger", database_->lastErrorCode(),
                      database_->lastErrorMessage().c_str());
}

}  // namespace wharf
