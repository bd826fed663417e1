#include "sqldb/SQLDatabase.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/base/Log.h"
#include "platform/storage/PropertyList.h"

namespace wharf {

using platform::Error;
using platform::log;
using platform::Value;

namespace {

constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

std::string pathText(const std::optional<std::string>& path) { return path ? *path : "(null)"; }

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int size = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    va_end(args);
    return out;
}

std::atomic<long> gSavePointCounter{0};

// Row callback of sqlite3_exec: hands each row to the caller's block.
int executeStatementsCallback(void* context, int columns, char** values, char** names) {
    const auto& block = *static_cast<const SQLDatabase::ResultBlock*>(context);
    Value row = Value::object();
    for (int i = 0; i < columns; ++i) row[names[i]] = values[i] ? Value(values[i]) : Value(nullptr);
    try {
        return block(row);
    } catch (const std::exception& e) {
        log("Error in the result block of executeStatements: %s", e.what());
    } catch (...) {
        log("Error in the result block of executeStatements");
    }
    return 1;
}

void functionTrampoline(sqlite3_context* context, int argc, sqlite3_value** argv) {
    auto* block = static_cast<SQLDatabase::FunctionBlock*>(sqlite3_user_data(context));
    try {
        (*block)(context, argc, argv);
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    } catch (...) {
        sqlite3_result_error(context, "SQL function failed", -1);
    }
}

}  // namespace

namespace sqldb_detail {

class ArrayBinder final : public SQLDatabase::Binder {
public:
    explicit ArrayBinder(const std::vector<Value>& values) : values_(values) {}
    int bind(SQLDatabase& db, sqlite3_stmt* statement, int parameterCount, bool, Error*) const override {
        int index = 0;
        while (index < parameterCount && static_cast<size_t>(index) < values_.size()) {
            db.traceValue(values_[index]);
            if (!db.bindObject(values_[index], index + 1, statement)) break;
            ++index;
        }
        return index;
    }

private:
    const std::vector<Value>& values_;
};

class DictionaryBinder final : public SQLDatabase::Binder {
public:
    explicit DictionaryBinder(const Value& dictionary) : dictionary_(dictionary) {}
    int bind(SQLDatabase& db, sqlite3_stmt* statement, int, bool update, Error* error) const override {
        if (!dictionary_.is_object()) return 0;
        int bound = 0;
        for (const auto& [key, value] : dictionary_.items()) {
            std::string name = ":" + key;
            if (db.traceExecution_) log("%s = %s", name.c_str(), platform::toJSONString(value).c_str());
            int index = sqlite3_bind_parameter_index(statement, name.c_str());
            if (index > 0 && name.size() == std::strlen(name.c_str())) {
                if (!db.bindObject(value, index, statement)) break;
                ++bound;
            } else if (update) {
                std::string message = "Could not find index for " + key;
                if (db.logsErrors_) platform::logMessage(message);
                platform::setError(error, db.errorWithMessage(message));
            } else {
                log("Could not find index for %s", key.c_str());
            }
        }
        return bound;
    }

private:
    const Value& dictionary_;
};

}  // namespace sqldb_detail

// --- Life -----------------------------------------------------------------------------

std::shared_ptr<SQLDatabase> SQLDatabase::databaseWithPath(std::optional<std::string> path) {
    return std::make_shared<SQLDatabase>(std::move(path));
}

SQLDatabase::SQLDatabase(std::optional<std::string> path) : databasePath_(std::move(path)) {
    if (!sqlite3_threadsafe()) assertionFailure("sqlite3_threadsafe()");
}

SQLDatabase::~SQLDatabase() {
    close();
    if (db_) {
        // SQLite refused to close; let it go once its last statement is finalised.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

std::string SQLDatabase::description() const { return format("<SQLDatabase: %p>", static_cast<const void*>(this)); }

bool SQLDatabase::open() { return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, std::nullopt); }

bool SQLDatabase::openWithFlags(int flags, const std::optional<std::string>& vfsName) {
    if (db_) return true;
    std::string path = databasePath_ ? *databasePath_ : ":memory:";
    if (path.find('\0') != std::string::npos || (vfsName && vfsName->find('\0') != std::string::npos)) {
        // A NUL would silently name another file.
        log("error opening!: %d", SQLITE_CANTOPEN);
        return false;
    }
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &handle, flags, vfsName ? vfsName->c_str() : nullptr);
    if (rc != SQLITE_OK) {
        log("error opening!: %d", rc);
        if (handle) sqlite3_close_v2(handle);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        db_ = handle;
    }
    if (maxBusyRetryTimeInterval_ > 0) installBusyHandler();
    return true;
}

bool SQLDatabase::close() {
    clearCachedStatements();
    closeOpenResultSets();
    if (!db_) return true;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db_, nullptr); s; s = sqlite3_next_stmt(db_, s)) {
        // Owned elsewhere; SQLite finishes closing once its owner finalises it.
        log("Closing leaked statement");
    }
    int rc;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        rc = sqlite3_close_v2(db_);
        if (rc == SQLITE_OK) db_ = nullptr;
    }
    if (rc != SQLITE_OK) {
        log("error closing!: %d", rc);
        return false;
    }
    inTransaction_ = false;
    return true;
}

bool SQLDatabase::goodConnection() {
    if (!db_) return false;
    auto rs = executeQuery("select name from sqlite_master where type='table'");
    if (!rs) return false;
    rs->close();
    return true;
}

bool SQLDatabase::interrupt() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (!db_) return false;
    sqlite3_interrupt(db_);
    return true;
}

void SQLDatabase::setMaxBusyRetryTimeInterval(double seconds) {
    maxBusyRetryTimeInterval_ = seconds;
    if (!db_) return;
    if (seconds > 0)
        installBusyHandler();
    else
        sqlite3_busy_handler(db_, nullptr, nullptr);
}

void SQLDatabase::installBusyHandler() { sqlite3_busy_handler(db_, &SQLDatabase::busyHandler, this); }

int SQLDatabase::busyHandler(void* context, int count) {
    auto* self = static_cast<SQLDatabase*>(context);
    if (count == 0) {
        self->startBusyRetryTime_ = monotonicSeconds();
        return 1;
    }
    if (monotonicSeconds() - self->startBusyRetryTime_ >= self->maxBusyRetryTimeInterval_) return 0;
    thread_local std::minstd_rand random(std::random_device{}());
    int requested = 50 + static_cast<int>(random() % 50);
    int actual = sqlite3_sleep(requested);
    if (actual != requested) {
        log("WARNING: Requested sleep of %i milliseconds, but SQLite returned %i. Maybe SQLite wasn't built with "
            "HAVE_USLEEP=1?",
            requested, actual);
    }
    return 1;
}

int SQLDatabase::busyRetryTimeout() {
    log("%s:%d", __FUNCTION__, __LINE__);
    log("SQLDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval");
    return -1;
}

void SQLDatabase::setBusyRetryTimeout(int) {
    log("%s:%d", __FUNCTION__, __LINE__);
    log("SQLDB: setBusyRetryTimeout does nothing, please use setMaxBusyRetryTimeInterval:");
}

// --- Class information -------------------------------------------------------------------

std::string SQLDatabase::SQLDBUserVersion() { return "2.6.2"; }

uint32_t SQLDatabase::SQLDBVersion() {
    static const uint32_t version = versionNumberFromString(SQLDBUserVersion());
    return version;
}

uint32_t SQLDatabase::versionNumberFromString(std::string text) {
    if (std::count(text.begin(), text.end(), '.') < 2) text += ".0";
    text.erase(std::remove(text.begin(), text.end(), '.'), text.end());
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

std::string SQLDatabase::sqliteLibVersion() { return sqlite3_libversion(); }

bool SQLDatabase::isSQLiteThreadSafe() { return sqlite3_threadsafe() != 0; }

std::shared_ptr<SQLDateFormatter> SQLDatabase::storeableDateFormat(const std::string& format) {
    return std::make_shared<SQLDateFormatter>(format);
}

// --- Errors -------------------------------------------------------------------------------

std::string SQLDatabase::lastErrorMessage() const { return db_ ? sqlite3_errmsg(db_) : "not open"; }

int SQLDatabase::lastErrorCode() const { return db_ ? sqlite3_errcode(db_) : SQLITE_MISUSE; }

bool SQLDatabase::hadError() const {
    int code = lastErrorCode();
    return code > SQLITE_OK && code < SQLITE_ROW;
}

Error SQLDatabase::lastError() const { return errorWithMessage(lastErrorMessage()); }

Error SQLDatabase::errorWithMessage(const std::string& message) const {
    return Error::withDescription(kSQLDatabaseErrorDomain, lastErrorCode(), message);
}

int64_t SQLDatabase::lastInsertRowId() {
    if (!db_) return 0;
    if (isExecutingStatement_) {
        warnInUse();
        return 0;
    }
    return sqlite3_last_insert_rowid(db_);
}

int SQLDatabase::changes() {
    if (!db_) return 0;
    if (isExecutingStatement_) {
        warnInUse();
        return 0;
    }
    return sqlite3_changes(db_);
}

// --- Guards ------------------------------------------------------------------------------

void SQLDatabase::assertionFailure(const std::string& message) {
    platform::logMessage(message);
    throw SQLDBAssertionFailure(message);
}

bool SQLDatabase::databaseExists() {
    if (db_) return true;
    std::string message = "The SQLDatabase " + description() + " is not open.";
    platform::logMessage(message);
    if (crashOnErrors_) assertionFailure(message);
    return false;
}

void SQLDatabase::warnInUse() {
    std::string message = "The SQLDatabase " + description() + " is currently in use.";
    platform::logMessage(message);
    if (crashOnErrors_) assertionFailure(message);
}

namespace {
// Clears the connection's in-use flag on every way out.
struct InUse {
    bool& flag;
    explicit InUse(bool& f) : flag(f) { flag = true; }
    ~InUse() { flag = false; }
};
}  // namespace

void SQLDatabase::logQuery(std::string_view sql) { log("DB Query: %.*s", static_cast<int>(sql.size()), sql.data()); }

int SQLDatabase::prepare(std::string_view sql, sqlite3_stmt** handle) {
    *handle = nullptr;
    return sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), handle, nullptr);
}

void SQLDatabase::reportPrepareFailure(std::string_view sql, int rc, sqlite3_stmt* handle, Error* error) {
    int code = rc;
    std::string message = lastErrorMessage();
    if (rc == SQLITE_OK) {  // only white space or comments
        code = SQLITE_MISUSE;
        message = "not an SQL statement";
    }
    sqlite3_finalize(handle);
    std::string line = format("DB Error: %d \"%s\"", code, message.c_str());
    if (logsErrors_) {
        platform::logMessage(line);
        logQuery(sql);
        log("DB Path: %s", pathText(databasePath_).c_str());
    }
    platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, code, message));
    if (crashOnErrors_) assertionFailure(line);
}

void SQLDatabase::discardStatement(const std::shared_ptr<SQLStatement>& cached, sqlite3_stmt* handle) {
    if (cached) {
        // Cached statements stay prepared: rewind them and drop their values.
        sqlite3_reset(handle);
        sqlite3_clear_bindings(handle);
        cached->setInUse(false);
    } else {
        sqlite3_finalize(handle);
    }
}

bool SQLDatabase::mayStart(Error* error) {
    if (!databaseExists()) {
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_MISUSE, "not open"));
        return false;
    }
    if (isExecutingStatement_) {
        warnInUse();
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_MISUSE, "in use"));
        return false;
    }
    return true;
}

sqlite3_stmt* SQLDatabase::statementFor(std::string_view sql, Error* error, std::shared_ptr<SQLStatement>& cached) {
    if (shouldCacheStatements_ && (cached = cachedStatementForQuery(sql))) {
        // A free statement was rewound when it was given back; only one left mid-run needs it again.
        sqlite3_stmt* handle = cached->statement();
        if (sqlite3_stmt_busy(handle)) sqlite3_reset(handle);
        cached->setInUse(false);
        return handle;
    }
    sqlite3_stmt* handle = nullptr;
    int rc = prepare(sql, &handle);
    if (rc != SQLITE_OK || !handle) {
        reportPrepareFailure(sql, rc, handle, error);
        return nullptr;
    }
    return handle;
}

// --- Queries ----------------------------------------------------------------------------

std::unique_ptr<SQLResultSet> SQLDatabase::executeQueryImpl(std::string_view sql, const Binder& binder, Error* error) {
    if (!mayStart(error)) return nullptr;
    InUse inUse(isExecutingStatement_);
    if (traceExecution_) log("%s executeQuery: %.*s", description().c_str(), static_cast<int>(sql.size()), sql.data());
    std::shared_ptr<SQLStatement> statement;
    sqlite3_stmt* handle = statementFor(sql, error, statement);
    if (!handle) return nullptr;

    int parameterCount = sqlite3_bind_parameter_count(handle);
    bindFailure_ = {};
    int bound = binder.bind(*this, handle, parameterCount, false, nullptr);
    if (bindFailure_.code != SQLITE_OK) {
        reportBindFailure(sql, "executeQuery", statement, handle, error);
        return nullptr;
    }
    if (bound != parameterCount) {
        std::string message = "Error: the bind count is not correct for the # of variables (executeQuery)";
        platform::logMessage(message);
        platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, SQLITE_RANGE, message));
        discardStatement(statement, handle);
        return nullptr;
    }

    if (!statement) {
        statement = std::make_shared<SQLStatement>(handle);
        if (shouldCacheStatements_)
            setCachedStatement(statement, sql);
        else
            statement->setQuery(std::string(sql));
    }
    auto rs = SQLResultSet::resultSetWithStatement(statement, this);
    rs->setSharedQuery(statement->sharedQuery());
    openResultSets_.push_back(rs.get());
    statement->setUseCount(statement->useCount() + 1);
    return rs;
}

std::unique_ptr<SQLResultSet> SQLDatabase::executeQueryWithArgumentsInArray(std::string_view sql,
                                                                            const std::vector<Value>& arguments) {
    return executeQueryImpl(sql, sqldb_detail::ArrayBinder(arguments));
}

std::unique_ptr<SQLResultSet> SQLDatabase::executeQueryValues(std::string_view sql, const std::vector<Value>& values,
                                                              Error* error) {
    return executeQueryImpl(sql, sqldb_detail::ArrayBinder(values), error);
}

std::unique_ptr<SQLResultSet> SQLDatabase::executeQueryWithParameterDictionary(std::string_view sql,
                                                                               const Value& arguments) {
    return executeQueryImpl(sql, sqldb_detail::DictionaryBinder(arguments));
}

// --- Updates -----------------------------------------------------------------------------

bool SQLDatabase::executeUpdateImpl(std::string_view sql, Error* error, const Binder& binder) {
    if (!mayStart(error)) return false;
    InUse inUse(isExecutingStatement_);
    if (traceExecution_) log("%s executeUpdate: %.*s", description().c_str(), static_cast<int>(sql.size()), sql.data());
    std::shared_ptr<SQLStatement> statement;
    sqlite3_stmt* handle = statementFor(sql, error, statement);
    if (!handle) return false;

    int parameterCount = sqlite3_bind_parameter_count(handle);
    bindFailure_ = {};
    int bound = binder.bind(*this, handle, parameterCount, true, error);
    if (bindFailure_.code != SQLITE_OK) {
        reportBindFailure(sql, "executeUpdate", statement, handle, error);
        return false;
    }
    if (bound != parameterCount) {
        std::string message = format(
            "Error: the bind count (%d) is not correct for the # of variables in the query (%d) (%.*s) (executeUpdate)",
            bound, parameterCount, static_cast<int>(sql.size()), sql.data());
        if (logsErrors_) platform::logMessage(message);
        platform::setError(error, errorWithMessage(message));
        discardStatement(statement, handle);
        return false;
    }

    int rc = sqlite3_step(handle);
    if (rc == SQLITE_DONE) {
        // success
    } else if (rc == SQLITE_ROW) {
        std::string message = "A executeUpdate is being called with a query string '" + std::string(sql) + "'";
        if (logsErrors_) {
            platform::logMessage(message);
            logQuery(sql);
        }
        platform::setError(error, errorWithMessage(message));
    } else {
        std::string message = lastErrorMessage();
        if (logsErrors_) {
            const char* line = rc == SQLITE_INTERRUPT
                                   ? "Error calling sqlite3_step. Query was interrupted (%d: %s) SQLITE_INTERRUPT"
                               : rc == SQLITE_ERROR  ? "Error calling sqlite3_step (%d: %s) SQLITE_ERROR"
                               : rc == SQLITE_MISUSE ? "Error calling sqlite3_step (%d: %s) SQLITE_MISUSE"
                                                     : "Unknown error calling sqlite3_step (%d: %s) eu";
            platform::logMessage(format(line, rc, message.c_str()));
            logQuery(sql);
        }
        platform::setError(error, errorWithMessage(message));
    }

    if (shouldCacheStatements_ && !statement) {
        statement = std::make_shared<SQLStatement>(handle);
        setCachedStatement(statement, sql);
    }
    int closeRc;
    if (statement) {
        statement->setUseCount(statement->useCount() + 1);
        closeRc = sqlite3_reset(handle);
        statement->setInUse(false);
    } else {
        closeRc = sqlite3_finalize(handle);
    }
    if (closeRc != SQLITE_OK && logsErrors_) {
        log("Unknown error finalizing or resetting statement (%d: %s)", closeRc, lastErrorMessage().c_str());
        logQuery(sql);
    }
    return rc == SQLITE_DONE || rc == SQLITE_OK;
}

bool SQLDatabase::executeUpdateWithArgumentsInArray(std::string_view sql, const std::vector<Value>& arguments) {
    return executeUpdateImpl(sql, nullptr, sqldb_detail::ArrayBinder(arguments));
}

bool SQLDatabase::executeUpdateValues(std::string_view sql, const std::vector<Value>& values, Error* error) {
    return executeUpdateImpl(sql, error, sqldb_detail::ArrayBinder(values));
}

bool SQLDatabase::executeUpdateWithParameterDictionary(std::string_view sql, const Value& arguments) {
    return executeUpdateImpl(sql, nullptr, sqldb_detail::DictionaryBinder(arguments));
}

bool SQLDatabase::executeStatements(std::string_view sql) { return executeStatementsWithResultBlock(sql, nullptr); }

bool SQLDatabase::executeStatementsWithResultBlock(std::string_view sql, const ResultBlock& block) {
    if (!databaseExists()) return false;
    std::string text(sql);
    char* errorMessage = nullptr;
    int rc = sqlite3_exec(db_, text.c_str(), block ? &executeStatementsCallback : nullptr,
                          const_cast<ResultBlock*>(&block), &errorMessage);
    if (errorMessage) {
        if (logsErrors_) log("Error inserting batch: %s", errorMessage);
        sqlite3_free(errorMessage);
    }
    return rc == SQLITE_OK;
}

// --- Binding ----------------------------------------------------------------------------

int SQLDatabase::bindText(sqlite3_stmt* statement, int column, std::string_view text) {
    return sqlite3_bind_text64(statement, column, text.data() ? text.data() : "", text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
}

int SQLDatabase::bindBlob(sqlite3_stmt* statement, int column, const void* bytes, size_t size) {
    if (size == 0) return sqlite3_bind_zeroblob(statement, column, 0);  // empty, but not NULL
    return sqlite3_bind_blob64(statement, column, bytes, size, SQLITE_TRANSIENT);
}

int SQLDatabase::bindDate(sqlite3_stmt* statement, int column, SQLDate date) {
    if (dateFormat_) return bindText(statement, column, dateFormat_->stringFromDate(date));
    return sqlite3_bind_double(statement, column, secondsSince1970(date));
}

bool SQLDatabase::bindObject(const Value& value, int column, sqlite3_stmt* statement) {
    int rc = SQLITE_OK;
    switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded: rc = sqlite3_bind_null(statement, column); break;
    case Value::value_t::boolean: rc = sqlite3_bind_int(statement, column, value.get<bool>() ? 1 : 0); break;
    case Value::value_t::number_integer: rc = sqlite3_bind_int64(statement, column, value.get<int64_t>()); break;
    case Value::value_t::number_unsigned:
        rc = sqlite3_bind_int64(statement, column, static_cast<sqlite3_int64>(value.get<uint64_t>()));
        break;
    case Value::value_t::number_float: rc = sqlite3_bind_double(statement, column, value.get<double>()); break;
    case Value::value_t::string: rc = bindText(statement, column, value.get_ref<const std::string&>()); break;
    case Value::value_t::binary: {
        const auto& bytes = value.get_binary();
        rc = bindBlob(statement, column, bytes.data(), bytes.size());
        break;
    }
    case Value::value_t::object:
        if (platform::plist::isDate(value)) {
            rc = bindDate(statement, column, dateWithSecondsSince1970(platform::plist::dateSeconds(value)));
            break;
        }
        [[fallthrough]];
    case Value::value_t::array: rc = bindText(statement, column, platform::toJSONString(value)); break;
    }
    return noteBind(rc, column);
}

bool SQLDatabase::noteBind(int rc, int column) {
    if (rc == SQLITE_OK) return true;
    if (bindFailure_.code == SQLITE_OK) bindFailure_ = {rc, column};
    return false;
}

void SQLDatabase::reportBindFailure(std::string_view sql, const char* operation,
                                    const std::shared_ptr<SQLStatement>& cached, sqlite3_stmt* handle, Error* error) {
    // A refused value leaves its position NULL (or, in a reused statement, holding the
    // previous run's value), so the statement must not run.
    std::string message = format("Error: could not bind the value of parameter %d (%d: %s) (%s)", bindFailure_.column,
                                 bindFailure_.code, sqlite3_errstr(bindFailure_.code), operation);
    if (logsErrors_) {
        platform::logMessage(message);
        logQuery(sql);
    }
    platform::setError(error, Error::withDescription(kSQLDatabaseErrorDomain, bindFailure_.code, message));
    discardStatement(cached, handle);
}

void SQLDatabase::traceValue(const Value& value) {
    if (!traceExecution_) return;
    if (platform::isBytes(value))
        log("data: %ld bytes", static_cast<long>(platform::bytesOf(value).size()));
    else
        log("obj: %s",
            value.is_string() ? value.get_ref<const std::string&>().c_str() : platform::toJSONString(value).c_str());
}

// --- Format strings ---------------------------------------------------------------------

void SQLDatabase::reportMissingFormatArguments(std::string_view format, size_t given, const char* operation) {
    // Running it would bind NULL or 0 in place of the missing values and report success.
    if (!logsErrors_) return;
    log("Error: the format has more conversions than the %zu argument(s) given (%.*s) (%s)", given,
        static_cast<int>(format.size()), format.data(), operation);
}

bool SQLDatabase::extractSQL(std::string_view format, const std::vector<Value>& args, std::string& sql,
                             std::vector<Value>& arguments) {
    size_t nextArgument = 0;
    bool missing = false;
    auto take = [&]() -> Value {
        if (nextArgument < args.size()) return args[nextArgument++];
        missing = true;
        return Value();
    };
    auto unsignedOf = [](const Value& v) -> uint64_t {
        return v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(platform::integerValue(v));
    };
    auto next = [&](size_t i) { return i < format.size() ? format[i] : '\0'; };
    char last = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (last != '%') {
            if (c != '%') sql += c;  // a lone "%" opens a conversion
            last = c;
            continue;
        }
        std::optional<Value> argument;
        bool nullObject = false;
        switch (c) {
        case '@': {
            Value v = take();
            if (v.is_null())
                nullObject = true;
            else
                argument = std::move(v);
            break;
        }
        case 'c': argument = std::string(1, static_cast<char>(platform::intValue(take()))); break;
        case 's': {
            Value v = take();
            argument = v.is_string() ? v : Value();
            break;
        }
        case 'd':
        case 'D':
        case 'i': argument = platform::intValue(take()); break;
        case 'u':
        case 'U': argument = static_cast<uint32_t>(unsignedOf(take())); break;
        case 'f': argument = platform::doubleValue(take()); break;
        case 'g': argument = static_cast<double>(static_cast<float>(platform::doubleValue(take()))); break;
        case 'h':
            if (next(i + 1) == 'i')
                argument = static_cast<int16_t>(platform::integerValue(take()));
            else if (next(i + 1) == 'u')
                argument = static_cast<uint16_t>(unsignedOf(take()));
            if (argument) c = format[++i];
            break;
        case 'q':
            if (next(i + 1) == 'i')
                argument = platform::integerValue(take());
            else if (next(i + 1) == 'u')
                argument = unsignedOf(take());
            if (argument) c = format[++i];
            break;
        case 'l': {
            size_t letter = next(i + 1) == 'l' ? i + 2 : i + 1;
            if (next(letter) == 'd')
                argument = platform::integerValue(take());
            else if (next(letter) == 'u')
                argument = unsignedOf(take());
            if (argument) {
                i = letter;
                c = format[i];
            }
            break;
        }
        default: break;
        }
        if (argument) {
            sql += '?';
            arguments.push_back(std::move(*argument));
        } else if (nullObject) {
            sql += "NULL";
        } else {
            sql += c;  // not a conversion: the character stands for itself
        }
        // "%%" is a literal percent sign: the next character starts afresh.
        last = c == '%' ? '\0' : c;
    }
    return !missing;
}

// --- Transactions and savepoints -------------------------------------------------------------

bool SQLDatabase::beginTransaction() {
    bool ok = executeUpdate("begin exclusive transaction");
    if (ok) inTransaction_ = true;
    return ok;
}

bool SQLDatabase::beginDeferredTransaction() {
    bool ok = executeUpdate("begin deferred transaction");
    if (ok) inTransaction_ = true;
    return ok;
}

bool SQLDatabase::commit() {
    bool ok = executeUpdate("commit transaction");
    if (ok) inTransaction_ = false;
    return ok;
}

bool SQLDatabase::rollback() {
    bool ok = executeUpdate("rollback transaction");
    if (ok) inTransaction_ = false;
    return ok;
}

std::string SQLDatabase::quoted(const std::string& name) {
    std::string out;
    for (char c : name) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

bool SQLDatabase::startSavePointWithName(const std::string& name, Error* error) {
    return executeUpdateImpl("savepoint '" + quoted(name) + "';", error, ArgumentBinder<>());
}

bool SQLDatabase::releaseSavePointWithName(const std::string& name, Error* error) {
    return executeUpdateImpl("release savepoint '" + quoted(name) + "';", error, ArgumentBinder<>());
}

bool SQLDatabase::rollbackToSavePointWithName(const std::string& name, Error* error) {
    return executeUpdateImpl("rollback transaction to savepoint '" + quoted(name) + "';", error, ArgumentBinder<>());
}

std::optional<Error> SQLDatabase::inSavePoint(BlockRef<void(bool* rollback)> block) {
    return inSavePointNamed("dbSavePoint" + std::to_string(gSavePointCounter.fetch_add(1)), block);
}

std::optional<Error> SQLDatabase::inSavePointNamed(const std::string& name, BlockRef<void(bool* rollback)> block) {
    Error error;
    if (!startSavePointWithName(name, &error)) return error;
    bool shouldRollback = false;
    try {
        block(&shouldRollback);
    } catch (...) {
        rollbackToSavePointWithName(name, nullptr);
        releaseSavePointWithName(name, nullptr);
        throw;
    }
    std::optional<Error> result;
    if (shouldRollback && !rollbackToSavePointWithName(name, &error)) result = error;
    if (!releaseSavePointWithName(name, &error)) result = error;
    return result;
}

bool SQLDatabase::runInTransaction(bool deferred, BlockRef<void(bool* rollback)> block) {
    bool begun = deferred ? beginDeferredTransaction() : beginTransaction();
    if (!begun) {
        log("Could not begin a transaction (%d: %s)", lastErrorCode(), lastErrorMessage().c_str());
        return false;
    }
    bool shouldRollback = false;
    try {
        block(&shouldRollback);
    } catch (...) {
        rollback();
        throw;
    }
    if (shouldRollback) {
        if (rollback()) return true;
        log("Could not roll back a transaction (%d: %s)", lastErrorCode(), lastErrorMessage().c_str());
        return false;
    }
    if (commit()) return true;
    log("Could not commit a transaction (%d: %s)", lastErrorCode(), lastErrorMessage().c_str());
    // Leave no transaction open behind a failed commit.
    if (db_ && !sqlite3_get_autocommit(db_)) rollback();
    return false;
}

// --- Statement cache ----------------------------------------------------------------------

void SQLDatabase::setShouldCacheStatements(bool value) {
    shouldCacheStatements_ = value;
    if (!value) {
        lastCacheEntry_ = nullptr;
        cachedStatements_.clear();
    }
}

std::shared_ptr<SQLStatement> SQLDatabase::cachedStatementForQuery(std::string_view query) {
    if (!lastCacheEntry_ || lastCacheEntry_->first != query) {
        auto it = cachedStatements_.find(query);
        if (it == cachedStatements_.end()) return nullptr;
        lastCacheEntry_ = &*it;
    }
    for (const auto& statement : lastCacheEntry_->second) {
        if (!statement->inUse() && statement->statement()) return statement;
    }
    return nullptr;
}

void SQLDatabase::setCachedStatement(const std::shared_ptr<SQLStatement>& statement, std::string_view query) {
    statement->setQuery(std::string(query));
    auto it = cachedStatements_.find(query);
    if (it == cachedStatements_.end())
        it = cachedStatements_.emplace(std::string(query), std::vector<std::shared_ptr<SQLStatement>>{}).first;
    if (std::find(it->second.begin(), it->second.end(), statement) == it->second.end()) it->second.push_back(statement);
}

void SQLDatabase::clearCachedStatements() {
    for (auto& [query, statements] : cachedStatements_) {
        for (auto& statement : statements) statement->close();
    }
    lastCacheEntry_ = nullptr;
    cachedStatements_.clear();
}

size_t SQLDatabase::cachedStatementCount() const {
    size_t count = 0;
    for (const auto& entry : cachedStatements_) count += entry.second.size();
    return count;
}

// --- Cursor book-keeping ------------------------------------------------------------------

void SQLDatabase::closeOpenResultSets() {
    std::vector<SQLResultSet*> open;
    open.swap(openResultSets_);
    for (SQLResultSet* rs : open) {
        rs->setParentDB(nullptr);
        rs->close();
    }
}

void SQLDatabase::resultSetDidClose(SQLResultSet* resultSet) {
    auto it = std::find(openResultSets_.begin(), openResultSets_.end(), resultSet);
    if (it == openResultSets_.end()) return;
    *it = openResultSets_.back();
    openResultSets_.pop_back();
}

// --- Schema ----------------------------------------------------------------------------

bool SQLDatabase::tableExists(const std::string& tableName) {
    auto rs = executeQuery("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?",
                           lowercased(tableName));
    if (!rs) return false;
    bool found = rs->next();
    rs->close();
    return found;
}

std::unique_ptr<SQLResultSet> SQLDatabase::getSchema() {
    return executeQuery(
        "SELECT type, name, tbl_name, rootpage, sql FROM (SELECT * FROM sqlite_master UNION ALL SELECT * FROM "
        "sqlite_temp_master) WHERE type != 'meta' AND name NOT LIKE 'sqlite_%' ORDER BY tbl_name, type DESC, name");
}

std::unique_ptr<SQLResultSet> SQLDatabase::getTableSchema(const std::string& tableName) {
    return executeQuery("pragma table_info('" + quoted(tableName) + "')");
}

bool SQLDatabase::columnExistsInTableWithName(const std::string& columnName, const std::string& tableName) {
    auto rs = getTableSchema(lowercased(tableName));
    if (!rs) return false;
    std::string wanted = lowercased(columnName);
    bool found = false;
    while (!found && rs->next()) found = lowercased(rs->stringForColumn("name").value_or("")) == wanted;
    rs->close();
    return found;
}

bool SQLDatabase::columnExistsColumnName(const std::string& tableName, const std::string& columnName) {
    return columnExistsInTableWithName(columnName, tableName);
}

uint32_t SQLDatabase::applicationID() { return static_cast<uint32_t>(longForQuery("pragma application_id")); }

void SQLDatabase::setApplicationID(uint32_t appID) {
    auto rs = executeQuery(format("pragma application_id=%d", static_cast<int32_t>(appID)));
    if (rs) {
        rs->next();
        rs->close();
    }
}

uint32_t SQLDatabase::userVersion() { return static_cast<uint32_t>(longForQuery("pragma user_version")); }

void SQLDatabase::setUserVersion(uint32_t version) {
    auto rs = executeQuery(format("pragma user_version = %d", static_cast<int32_t>(version)));
    if (rs) {
        rs->next();
        rs->close();
    }
}

bool SQLDatabase::validateSQL(std::string_view sql, Error* error) {
    if (!db_) {
        platform::setError(error, Error::withDescription(kCocoaErrorDomain, SQLITE_MISUSE, "not open"));
        return false;
    }
    sqlite3_stmt* handle = nullptr;
    int rc = prepare(sql, &handle);
    if (rc != SQLITE_OK) {
        platform::setError(error, Error::withDescription(kCocoaErrorDomain, lastErrorCode(), lastErrorMessage()));
    }
    sqlite3_finalize(handle);
    return rc == SQLITE_OK;
}

// --- Dates, functions, encryption -----------------------------------------------------------

std::optional<SQLDate> SQLDatabase::dateFromString(std::string_view text) const {
    if (!dateFormat_) return std::nullopt;
    return dateFormat_->dateFromString(text);
}

std::optional<std::string> SQLDatabase::stringFromDate(SQLDate date) const {
    if (!dateFormat_) return std::nullopt;
    return dateFormat_->stringFromDate(date);
}

void SQLDatabase::makeFunctionNamed(const std::string& name, int maximumArguments, FunctionBlock block) {
    if (!databaseExists()) return;
    openFunctions_.push_back(std::move(block));
    int rc = sqlite3_create_function(db_, name.c_str(), maximumArguments, SQLITE_UTF8, &openFunctions_.back(),
                                     &functionTrampoline, nullptr, nullptr);
    if (rc != SQLITE_OK && logsErrors_) log("DB Error: %d \"%s\"", rc, lastErrorMessage().c_str());
}

bool SQLDatabase::setKey(const std::string& key) { return setKeyWithData(platform::Bytes(key.begin(), key.end())); }
bool SQLDatabase::rekey(const std::string& key) { return rekeyWithData(platform::Bytes(key.begin(), key.end())); }
bool SQLDatabase::setKeyWithData(const platform::Bytes&) { return false; }
bool SQLDatabase::rekeyWithData(const platform::Bytes&) { return false; }

}  // namespace wharf
