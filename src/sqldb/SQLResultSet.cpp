#include "sqldb/SQLResultSet.h"

#include <cctype>

#include "platform/base/Log.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {

using platform::Error;
using platform::log;
using platform::Value;

namespace {
std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}
}  // namespace

std::unique_ptr<SQLResultSet> SQLResultSet::resultSetWithStatement(std::shared_ptr<SQLStatement> statement,
                                                                   SQLDatabase* parentDB) {
    if (!statement || statement->inUse()) {
        std::string message = "Invalid parameter not satisfying: ![statement inUse]";
        platform::logMessage(message);
        throw SQLDBAssertionFailure(message);
    }
    std::unique_ptr<SQLResultSet> rs(new SQLResultSet());
    statement->setInUse(true);
    rs->statement_ = std::move(statement);
    rs->parentDB_ = parentDB;
    return rs;
}

SQLResultSet::~SQLResultSet() { close(); }

const std::string& SQLResultSet::query() const {
    static const std::string empty;
    return query_ ? *query_ : empty;
}

void SQLResultSet::close() {
    if (statement_) {
        statement_->reset();
        statement_.reset();
    }
    if (SQLDatabase* db = parentDB_) {
        parentDB_ = nullptr;
        db->resultSetDidClose(this);
    }
}

bool SQLResultSet::nextWithError(Error* error) {
    if (!statement_) return false;  // already closed
    sqlite3_stmt* handle = statement_->statement();
    if (!handle) {
        // The connection finalised the statement under this cursor (its cache was
        // cleared); the cursor can never step again, so it leaves the open ones.
        const char* reason = "the statement has been finalized";
        log("Error calling sqlite3_step (%d: %s) rs", SQLITE_MISUSE, reason);
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_MISUSE, reason));
        close();
        return false;
    }
    int rc = sqlite3_step(handle);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) {
        close();
        return false;
    }
    std::string message = sqlite3_errmsg(sqlite3_db_handle(handle));
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        std::string path = parentDB_ && parentDB_->databasePath() ? *parentDB_->databasePath() : "(null)";
        log("%s:%d Database busy (%s)", __FUNCTION__, __LINE__, path.c_str());
        log("Database busy");
    } else if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE) {
        log("Error calling sqlite3_step (%d: %s) rs", rc, message.c_str());
    } else {
        log("Unknown error calling sqlite3_step (%d: %s) rs", rc, message.c_str());
    }
    if (parentDB_)
        platform::setError(error, parentDB_->lastError());
    else if (rc == SQLITE_MISUSE)
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, rc, "parentDB does not exist"));
    else
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, rc, message));
    close();
    return false;
}

bool SQLResultSet::hasAnotherRow() const { return parentDB_ && parentDB_->lastErrorCode() == SQLITE_ROW; }

int SQLResultSet::columnCount() const {
    sqlite3_stmt* handle = statement_ ? statement_->statement() : nullptr;
    return handle ? sqlite3_column_count(handle) : 0;
}

std::string SQLResultSet::columnNameForIndex(int columnIdx) const {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    const char* name = handle ? sqlite3_column_name(handle, columnIdx) : nullptr;
    return name ? name : "";
}

const std::unordered_map<std::string, int>& SQLResultSet::columnNameToIndexMap() {
    if (!mapBuilt_ && statement_ && statement_->statement()) {
        int count = columnCount();
        for (int i = 0; i < count; ++i) {
            const char* name = sqlite3_column_name(statement_->statement(), i);
            columnNameToIndexMap_[lowercased(name ? name : "")] = i;  // a later column of the same name wins
        }
        mapBuilt_ = true;
    }
    return columnNameToIndexMap_;
}

int SQLResultSet::columnIndexForName(std::string_view columnName) {
    std::string name = lowercased(columnName);
    const auto& map = columnNameToIndexMap();
    auto it = map.find(name);
    if (it != map.end()) return it->second;
    log("Warning: I could not find the column named '%s'.", name.c_str());
    return -1;
}

sqlite3_stmt* SQLResultSet::columnStatement(int columnIdx) const {
    sqlite3_stmt* handle = statement_ ? statement_->statement() : nullptr;
    if (!handle) return nullptr;
    int count = sqlite3_column_count(handle);
    if (columnIdx < 0 || columnIdx >= count) {
        log("Warning: column index %d is out of range (%d columns) for query %s", columnIdx, count, query().c_str());
        return nullptr;
    }
    return handle;
}

int32_t SQLResultSet::intForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    return handle ? sqlite3_column_int(handle, columnIdx) : 0;
}

int64_t SQLResultSet::longForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    return handle ? sqlite3_column_int64(handle, columnIdx) : 0;
}

int64_t SQLResultSet::longLongIntForColumnIndex(int columnIdx) { return longForColumnIndex(columnIdx); }

uint64_t SQLResultSet::unsignedLongLongIntForColumnIndex(int columnIdx) {
    return static_cast<uint64_t>(longForColumnIndex(columnIdx));
}

bool SQLResultSet::boolForColumnIndex(int columnIdx) { return intForColumnIndex(columnIdx) != 0; }

double SQLResultSet::doubleForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    return handle ? sqlite3_column_double(handle, columnIdx) : 0.0;
}

std::optional<std::string> SQLResultSet::stringForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    // NULL reads as a null pointer (and "" as a real one), so no type check is needed.
    const unsigned char* text = handle ? sqlite3_column_text(handle, columnIdx) : nullptr;
    if (!text) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(handle, columnIdx)));
}

const char* SQLResultSet::UTF8StringForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    return handle ? reinterpret_cast<const char*>(sqlite3_column_text(handle, columnIdx)) : nullptr;
}

std::optional<SQLDate> SQLResultSet::dateForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    if (!handle || sqlite3_column_type(handle, columnIdx) == SQLITE_NULL) return std::nullopt;
    if (parentDB_ && parentDB_->hasDateFormatter()) {
        auto text = stringForColumnIndex(columnIdx);
        return text ? parentDB_->dateFromString(*text) : std::nullopt;
    }
    return dateWithSecondsSince1970(sqlite3_column_double(handle, columnIdx));
}

std::optional<platform::Bytes> SQLResultSet::dataForColumnIndex(int columnIdx) {
    auto bytes = dataNoCopyForColumnIndex(columnIdx);
    if (!bytes) return std::nullopt;
    return platform::Bytes(bytes->begin(), bytes->end());
}

std::optional<std::span<const uint8_t>> SQLResultSet::dataNoCopyForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    if (!handle || sqlite3_column_type(handle, columnIdx) == SQLITE_NULL) return std::nullopt;
    const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(handle, columnIdx));
    size_t size = static_cast<size_t>(sqlite3_column_bytes(handle, columnIdx));
    if (!blob) return std::span<const uint8_t>();  // an empty blob
    return std::span<const uint8_t>(blob, size);
}

bool SQLResultSet::columnIndexIsNull(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    return !handle || sqlite3_column_type(handle, columnIdx) == SQLITE_NULL;
}

Value SQLResultSet::objectForColumnIndex(int columnIdx) {
    sqlite3_stmt* handle = columnStatement(columnIdx);
    if (!handle) return Value();
    switch (sqlite3_column_type(handle, columnIdx)) {
    case SQLITE_INTEGER: return Value(static_cast<int64_t>(sqlite3_column_int64(handle, columnIdx)));
    case SQLITE_FLOAT: return Value(sqlite3_column_double(handle, columnIdx));
    case SQLITE_BLOB: {
        auto bytes = dataForColumnIndex(columnIdx);
        return bytes ? platform::bytesValue(std::move(*bytes)) : Value();
    }
    default: {
        auto text = stringForColumnIndex(columnIdx);
        return text ? Value(std::move(*text)) : Value();
    }
    }
}

int32_t SQLResultSet::intForColumn(std::string_view n) {
    return byName(n, int32_t{0}, &SQLResultSet::intForColumnIndex);
}
int64_t SQLResultSet::longForColumn(std::string_view n) {
    return byName(n, int64_t{0}, &SQLResultSet::longForColumnIndex);
}
int64_t SQLResultSet::longLongIntForColumn(std::string_view n) {
    return byName(n, int64_t{0}, &SQLResultSet::longLongIntForColumnIndex);
}
uint64_t SQLResultSet::unsignedLongLongIntForColumn(std::string_view n) {
    return byName(n, uint64_t{0}, &SQLResultSet::unsignedLongLongIntForColumnIndex);
}
bool SQLResultSet::boolForColumn(std::string_view n) { return byName(n, false, &SQLResultSet::boolForColumnIndex); }
double SQLResultSet::doubleForColumn(std::string_view n) { return byName(n, 0.0, &SQLResultSet::doubleForColumnIndex); }
std::optional<std::string> SQLResultSet::stringForColumn(std::string_view n) {
    return byName(n, std::optional<std::string>(), &SQLResultSet::stringForColumnIndex);
}
const char* SQLResultSet::UTF8StringForColumnName(std::string_view n) {
    return byName(n, static_cast<const char*>(nullptr), &SQLResultSet::UTF8StringForColumnIndex);
}
std::optional<SQLDate> SQLResultSet::dateForColumn(std::string_view n) {
    return byName(n, std::optional<SQLDate>(), &SQLResultSet::dateForColumnIndex);
}
std::optional<platform::Bytes> SQLResultSet::dataForColumn(std::string_view n) {
    return byName(n, std::optional<platform::Bytes>(), &SQLResultSet::dataForColumnIndex);
}
std::optional<std::span<const uint8_t>> SQLResultSet::dataNoCopyForColumn(std::string_view n) {
    return byName(n, std::optional<std::span<const uint8_t>>(), &SQLResultSet::dataNoCopyForColumnIndex);
}
bool SQLResultSet::columnIsNull(std::string_view n) { return byName(n, true, &SQLResultSet::columnIndexIsNull); }
Value SQLResultSet::objectForColumnName(std::string_view n) {
    return byName(n, Value(), &SQLResultSet::objectForColumnIndex);
}

std::optional<Value> SQLResultSet::resultDictionary() {
    sqlite3_stmt* handle = statement_ ? statement_->statement() : nullptr;
    if (!handle || sqlite3_data_count(handle) == 0) {
        log("Warning: There seem to be no columns in this set.");
        return std::nullopt;
    }
    Value row = Value::object();
    int count = columnCount();
    for (int i = 0; i < count; ++i) row[columnNameForIndex(i)] = objectForColumnIndex(i);
    return row;
}

std::optional<Value> SQLResultSet::resultDict() {
    sqlite3_stmt* handle = statement_ ? statement_->statement() : nullptr;
    if (!handle || sqlite3_data_count(handle) == 0) {
        log("Warning: There seem to be no columns in this set.");
        return std::nullopt;
    }
    Value row = Value::object();
    for (const auto& [name, index] : columnNameToIndexMap()) row[name] = objectForColumnName(name);
    return row;
}

void SQLResultSet::kvcMagic(const std::function<void(const std::string& column, const std::string& text)>& setter) {
    sqlite3_stmt* handle = statement_ ? statement_->statement() : nullptr;
    if (!handle) return;
    int count = columnCount();
    for (int i = 0; i < count; ++i) {
        auto text = stringForColumnIndex(i);
        if (text) setter(columnNameForIndex(i), *text);
    }
}

}  // namespace wharf
