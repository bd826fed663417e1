#pragma once
// The log sink of the geolocation plug-in: keeps its messages in the SQLite
// file "log.sqlite" in a directory of its own, so that the page can read them
// back (LogReader). The base class decides when buffered entries are saved
// and old ones purged; this class writes and deletes the rows.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/LGAbstractDatabaseLogger.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {

// One buffered row.
struct SQLDBLogEntry {
    explicit SQLDBLogEntry(const LGLogMessage& message);
    int64_t context;
    uint64_t level;  // the message's flag
    std::string message;
    double timestamp;  // seconds since 1970
};

class SQLDBLogger : public LGAbstractDatabaseLogger {
public:
    static constexpr const char* kDatabaseFileName = "log.sqlite";

    // Create with std::make_shared. The directory is created when missing; a
    // directory that is a file, or cannot be made, leaves the logger without
    // a database: it then writes nothing.
    explicit SQLDBLogger(const std::string& logDirectory, std::shared_ptr<platform::Clock> clock = nullptr);
    ~SQLDBLogger() override;

    const std::optional<std::string>& logDirectory() const { return logDirectory_; }
    // Whether the log file is open (fixed at creation).
    bool hasDatabase() const { return database_ != nullptr; }

protected:
    bool db_log(const LGLogMessage& message) override;
    void db_save() override;
    void db_delete() override;
    void db_saveAndDelete() override;

private:
    void validateLogDirectory();
    void openDatabase();

    std::optional<std::string> logDirectory_;
    std::vector<SQLDBLogEntry> pendingLogEntries_;
    std::unique_ptr<SQLDatabase> database_;
};

}  // namespace wharf
