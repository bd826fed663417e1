#pragma once
// One SQLite connection: open and close, prepared-statement cache, binding from
// argument lists, arrays and ":name" dictionaries, queries that answer a cursor,
// updates that answer success, transactions, savepoints and schema questions.
//
// A connection serves one thread at a time (SQLDatabaseQueue serialises it);
// only interrupt() may be called from another thread. Failures are answered
// as nullptr / false / 0, logged as plain log lines with SQLite's code and
// message, and put into the error slot where there is one.
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <sqlite3.h>

#include "platform/base/Error.h"
#include "platform/base/Value.h"
#include "platform/storage/PropertyList.h"
#include "sqldb/BlockRef.h"
#include "sqldb/SQLDateFormatter.h"
#include "sqldb/SQLResultSet.h"
#include "sqldb/SQLStatement.h"

namespace wharf {

namespace sqldb_detail {
class ArrayBinder;
class DictionaryBinder;
}  // namespace sqldb_detail

inline constexpr const char* kSQLDatabaseErrorDomain = "SQLDatabase";

// A programming error the layer refuses (reuse of a busy statement, re-entrant
// queue use, and with crashOnErrors the listed failures). The text is logged
// before it is thrown.
class SQLDBAssertionFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

class SQLDatabase {
public:
    using FunctionBlock = std::function<void(sqlite3_context* context, int argc, sqlite3_value** argv)>;
    using ResultBlock = std::function<int(const platform::Value& row)>;

    // nullopt opens an in-memory database, "" a temporary one, anything else that file.
    static std::shared_ptr<SQLDatabase> databaseWithPath(std::optional<std::string> path);
    explicit SQLDatabase(std::optional<std::string> path = std::nullopt);
    ~SQLDatabase();
    SQLDatabase(const SQLDatabase&) = delete;
    SQLDatabase& operator=(const SQLDatabase&) = delete;

    sqlite3* sqliteHandle() const { return db_; }
    const std::optional<std::string>& databasePath() const { return databasePath_; }
    std::string description() const;

    // --- Life ------------------------------------------------------------------
    bool open();
    bool openWithFlags(int flags, const std::optional<std::string>& vfsName = std::nullopt);
    // False (with a log line) when SQLite refuses to close; the connection then stays open.
    bool close();
    bool goodConnection();
    // Stops the running statement; callable from any thread. False when closed.
    bool interrupt();

    double maxBusyRetryTimeInterval() const { return maxBusyRetryTimeInterval_; }
    void setMaxBusyRetryTimeInterval(double seconds);
    int busyRetryTimeout();  // retired: logs, answers -1
    void setBusyRetryTimeout(int timeout);  // retired: logs

    bool logsErrors() const { return logsErrors_; }
    void setLogsErrors(bool v) { logsErrors_ = v; }
    bool crashOnErrors() const { return crashOnErrors_; }
    void setCrashOnErrors(bool v) { crashOnErrors_ = v; }
    bool traceExecution() const { return traceExecution_; }
    void setTraceExecution(bool v) { traceExecution_ = v; }
    bool checkedOut() const { return checkedOut_; }
    void setCheckedOut(bool v) { checkedOut_ = v; }

    // --- Class information -------------------------------------------------------
    static std::string SQLDBUserVersion();
    static uint32_t SQLDBVersion();
    // "2.6.2" → 0x262, "2.6" → 0x260: the digits read as hexadecimal (public for tests).
    static uint32_t versionNumberFromString(std::string text);
    static std::string sqliteLibVersion();
    static bool isSQLiteThreadSafe();
    static std::shared_ptr<SQLDateFormatter> storeableDateFormat(const std::string& format);

    // --- Errors ----------------------------------------------------------------
    std::string lastErrorMessage() const;
    int lastErrorCode() const;
    bool hadError() const;
    platform::Error lastError() const;
    platform::Error errorWithMessage(const std::string& message) const;
    int64_t lastInsertRowId();
    int changes();

    // --- Queries (nullptr on failure) -----------------------------------------------
    template <class... Args>
    std::unique_ptr<SQLResultSet> executeQuery(std::string_view sql, const Args&... args) {
        return executeQueryImpl(sql, ArgumentBinder<Args...>(args...));
    }
    std::unique_ptr<SQLResultSet> executeQueryWithArgumentsInArray(std::string_view sql,
                                                                   const std::vector<platform::Value>& arguments);
    std::unique_ptr<SQLResultSet> executeQueryValues(std::string_view sql, const std::vector<platform::Value>& values,
                                                     platform::Error* error);
    // Each key k of the object binds the parameter ":k".
    std::unique_ptr<SQLResultSet> executeQueryWithParameterDictionary(std::string_view sql,
                                                                      const platform::Value& arguments);
    // Conversions (%@ %d %s %f %lld …) become "?" parameters; "%%" is one "%".
    // A format with more conversions than arguments fails before anything runs.
    template <class... Args>
    std::unique_ptr<SQLResultSet> executeQueryWithFormat(std::string_view format, const Args&... args) {
        std::string sql;
        std::vector<platform::Value> arguments;
        if (!extractSQL(format, {formatArgument(args)...}, sql, arguments)) {
            reportMissingFormatArguments(format, sizeof...(Args), "executeQueryWithFormat");
            return nullptr;
        }
        return executeQueryWithArgumentsInArray(sql, arguments);
    }

    // --- Updates (false on failure) --------------------------------------------------
    template <class... Args>
    bool executeUpdate(std::string_view sql, const Args&... args) {
        return executeUpdateImpl(sql, nullptr, ArgumentBinder<Args...>(args...));
    }
    bool executeUpdateWithArgumentsInArray(std::string_view sql, const std::vector<platform::Value>& arguments);
    bool executeUpdateValues(std::string_view sql, const std::vector<platform::Value>& values, platform::Error* error);
    bool executeUpdateWithParameterDictionary(std::string_view sql, const platform::Value& arguments);
    template <class... Args>
    bool executeUpdateWithErrorAndBindings(std::string_view sql, platform::Error* error, const Args&... args) {
        return executeUpdateImpl(sql, error, ArgumentBinder<Args...>(args...));
    }
    template <class... Args>
    bool update(std::string_view sql, platform::Error* error, const Args&... args) {
        return executeUpdateImpl(sql, error, ArgumentBinder<Args...>(args...));
    }
    template <class... Args>
    bool executeUpdateWithFormat(std::string_view format, const Args&... args) {
        std::string sql;
        std::vector<platform::Value> arguments;
        if (!extractSQL(format, {formatArgument(args)...}, sql, arguments)) {
            reportMissingFormatArguments(format, sizeof...(Args), "executeUpdateWithFormat");
            return false;
        }
        return executeUpdateWithArgumentsInArray(sql, arguments);
    }
    // Several statements in one text; the block sees each result row (column
    // name → text or null) and answers non-zero to stop.
    bool executeStatements(std::string_view sql);
    bool executeStatementsWithResultBlock(std::string_view sql, const ResultBlock& block);

    // --- Transactions and savepoints ------------------------------------------------
    bool beginTransaction();
    bool beginDeferredTransaction();
    bool commit();
    bool rollback();
    bool inTransaction() const { return inTransaction_; }
    bool startSavePointWithName(const std::string& name, platform::Error* error);
    bool releaseSavePointWithName(const std::string& name, platform::Error* error);
    bool rollbackToSavePointWithName(const std::string& name, platform::Error* error);
    // Runs the block inside a fresh savepoint; the error of the last failing step.
    std::optional<platform::Error> inSavePoint(BlockRef<void(bool* rollback)> block);
    // The savepoint steps around a block, under the given savepoint name.
    std::optional<platform::Error> inSavePointNamed(const std::string& name, BlockRef<void(bool* rollback)> block);
    // A transaction around a block, committed unless the block sets *rollback.
    // The block does not run when the transaction cannot begin; a failed
    // commit is rolled back. False when begin, commit or rollback failed.
    bool runInTransaction(bool deferred, BlockRef<void(bool* rollback)> block);

    // --- Statement cache ---------------------------------------------------------------
    bool shouldCacheStatements() const { return shouldCacheStatements_; }
    void setShouldCacheStatements(bool value);
    std::shared_ptr<SQLStatement> cachedStatementForQuery(std::string_view query);
    void setCachedStatement(const std::shared_ptr<SQLStatement>& statement, std::string_view query);
    void clearCachedStatements();
    size_t cachedStatementCount() const;

    // --- Cursor book-keeping ------------------------------------------------------------
    bool hasOpenResultSets() const { return !openResultSets_.empty(); }
    void closeOpenResultSets();
    void resultSetDidClose(SQLResultSet* resultSet);

    // --- Single values: first column of the first row (nullopt / 0 without one) --------
    template <class... Args>
    std::optional<std::string> stringForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.stringForColumnIndex(0); });
    }
    template <class... Args>
    int32_t intForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.intForColumnIndex(0); });
    }
    template <class... Args>
    int64_t longForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.longForColumnIndex(0); });
    }
    template <class... Args>
    bool boolForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.boolForColumnIndex(0); });
    }
    template <class... Args>
    double doubleForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.doubleForColumnIndex(0); });
    }
    template <class... Args>
    std::optional<platform::Bytes> dataForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.dataForColumnIndex(0); });
    }
    template <class... Args>
    std::optional<SQLDate> dateForQuery(std::string_view sql, const Args&... args) {
        return firstValue(executeQuery(sql, args...), [](SQLResultSet& rs) { return rs.dateForColumnIndex(0); });
    }

    // --- Schema ------------------------------------------------------------------------
    bool tableExists(const std::string& tableName);
    std::unique_ptr<SQLResultSet> getSchema();
    std::unique_ptr<SQLResultSet> getTableSchema(const std::string& tableName);
    bool columnExistsInTableWithName(const std::string& columnName, const std::string& tableName);
    bool columnExistsColumnName(const std::string& tableName, const std::string& columnName);
    uint32_t applicationID();
    void setApplicationID(uint32_t appID);
    uint32_t userVersion();
    void setUserVersion(uint32_t version);
    bool validateSQL(std::string_view sql, platform::Error* error);

    // --- Dates -------------------------------------------------------------------------
    void setDateFormat(std::shared_ptr<SQLDateFormatter> format) { dateFormat_ = std::move(format); }
    bool hasDateFormatter() const { return dateFormat_ != nullptr; }
    std::optional<SQLDate> dateFromString(std::string_view text) const;
    std::optional<std::string> stringFromDate(SQLDate date) const;

    // --- Functions and encryption ----------------------------------------------------------
    void makeFunctionNamed(const std::string& name, int maximumArguments, FunctionBlock block);
    bool setKey(const std::string& key);
    bool rekey(const std::string& key);
    bool setKeyWithData(const platform::Bytes& key);
    bool rekeyWithData(const platform::Bytes& key);

    // --- Binding one value at a 1-based position ------------------------------------------
    // Value: null → NULL, bool → 0/1, integers (unsigned 64-bit keeps its bits),
    // doubles, strings → text, bytes → blob, a plist date → date, anything else
    // → its JSON text. Text and blobs are copied by SQLite with their full length.
    // False when SQLite refuses the value (too long, bad position, …); the
    // statement being run by this connection then fails instead of running
    // with the position left NULL or holding an earlier value.
    bool bindObject(const platform::Value& value, int column, sqlite3_stmt* statement);
    template <class T>
    bool bindObject(const T& value, int column, sqlite3_stmt* statement);

    // The statement-level source of values for the shared query/update paths.
    class Binder {
    public:
        virtual ~Binder() = default;
        // Binds up to `parameterCount` values; answers how many were bound.
        // Stops at the first value bindObject refuses.
        virtual int bind(SQLDatabase& db, sqlite3_stmt* statement, int parameterCount, bool update,
                         platform::Error* error) const = 0;
    };
    // `error` (may be null) receives the reason of a nullptr answer.
    std::unique_ptr<SQLResultSet> executeQueryImpl(std::string_view sql, const Binder& binder,
                                                   platform::Error* error = nullptr);
    bool executeUpdateImpl(std::string_view sql, platform::Error* error, const Binder& binder);

    // Builds the SQL text and its arguments from a format (public for tests).
    // False when a conversion finds no argument left.
    static bool extractSQL(std::string_view format, const std::vector<platform::Value>& args, std::string& sql,
                           std::vector<platform::Value>& arguments);

private:
    template <class... Args>
    class ArgumentBinder final : public Binder {
    public:
        explicit ArgumentBinder(const Args&... args) : args_(args...) {}
        int bind(SQLDatabase& db, sqlite3_stmt* statement, int parameterCount, bool, platform::Error*) const override {
            int index = 0;
            bool more = true;
            std::apply(
                [&](const auto&... arg) {
                    ((more = more && index < parameterCount &&
                             (db.traceArgument(arg), db.bindObject(arg, index + 1, statement)) && (++index, true)),
                     ...);
                },
                args_);
            return index;
        }

    private:
        std::tuple<const Args&...> args_;
    };
    friend class SQLResultSet;
    friend class sqldb_detail::ArrayBinder;
    friend class sqldb_detail::DictionaryBinder;

    template <class F>
    static auto firstValue(std::unique_ptr<SQLResultSet> rs, F read) -> decltype(read(*rs)) {
        decltype(read(*rs)) result{};
        if (rs && rs->next()) result = read(*rs);
        if (rs) rs->close();
        return result;
    }
    template <class T>
    static platform::Value formatArgument(const T& value);
    template <class T>
    void traceArgument(const T& value);
    void traceValue(const platform::Value& value);
    // These answer SQLite's result code.
    int bindText(sqlite3_stmt* statement, int column, std::string_view text);
    int bindBlob(sqlite3_stmt* statement, int column, const void* bytes, size_t size);
    int bindDate(sqlite3_stmt* statement, int column, SQLDate date);
    // Keeps the first refused value for the statement being bound; true when `rc` is success.
    bool noteBind(int rc, int column);
    // Logs a refused value, fills `error` and rewinds or finalises the statement.
    void reportBindFailure(std::string_view sql, const char* operation, const std::shared_ptr<SQLStatement>& cached,
                           sqlite3_stmt* handle, platform::Error* error);

    bool databaseExists();
    bool enterUse();
    void warnInUse();
    void assertionFailure(const std::string& message);
    int prepare(std::string_view sql, sqlite3_stmt** handle);
    // Open and not in use; else logged and put into `error`.
    bool mayStart(platform::Error* error);
    // A free cached statement (into `cached`) or a freshly prepared one; nullptr when preparing failed.
    sqlite3_stmt* statementFor(std::string_view sql, platform::Error* error, std::shared_ptr<SQLStatement>& cached);
    void reportPrepareFailure(std::string_view sql, int rc, sqlite3_stmt* handle, platform::Error* error);
    void discardStatement(const std::shared_ptr<SQLStatement>& cached, sqlite3_stmt* handle);
    void logQuery(std::string_view sql);
    void reportMissingFormatArguments(std::string_view format, size_t given, const char* operation);
    static std::string quoted(const std::string& name);
    void installBusyHandler();
    static int busyHandler(void* self, int count);

    sqlite3* db_ = nullptr;
    std::optional<std::string> databasePath_;
    bool logsErrors_ = true;
    bool crashOnErrors_ = false;
    bool traceExecution_ = false;
    bool checkedOut_ = false;
    bool shouldCacheStatements_ = false;
    bool isExecutingStatement_ = false;
    bool inTransaction_ = false;
    double maxBusyRetryTimeInterval_ = 2.0;
    double startBusyRetryTime_ = 0;
    // The first value SQLite refused while binding the current statement (code SQLITE_OK: none).
    struct BindFailure {
        int code = SQLITE_OK;
        int column = 0;
    } bindFailure_;

    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::vector<std::shared_ptr<SQLStatement>>, TextHash, std::equal_to<>>
        cachedStatements_;
    // The entry found last: a loop running one text again skips the hashing.
    // Nodes of an unordered_map stay put, so the pointer lives until the cache is emptied.
    std::pair<const std::string, std::vector<std::shared_ptr<SQLStatement>>>* lastCacheEntry_ = nullptr;
    std::vector<SQLResultSet*> openResultSets_;
    std::list<FunctionBlock> openFunctions_;
    std::shared_ptr<SQLDateFormatter> dateFormat_;
    // Guards the handle against interrupt() from another thread while it is opened or closed.
    mutable std::mutex handleMutex_;
};

// --- Template definitions ---------------------------------------------------------------------

namespace sqldb_detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
inline constexpr bool kTextLike =
    std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, platform::Value>;
template <class T>
inline constexpr bool kBlobLike =
    std::is_convertible_v<const T&, std::span<const uint8_t>> && !std::is_same_v<T, platform::Value>;
template <class>
inline constexpr bool kUnsupported = false;
}  // namespace sqldb_detail

template <class T>
bool SQLDatabase::bindObject(const T& value, int column, sqlite3_stmt* statement) {
    using U = std::remove_cvref_t<T>;
    int rc = SQLITE_OK;
    if constexpr (std::is_same_v<U, platform::Value>) {
        return bindObject(static_cast<const platform::Value&>(value), column, statement);
    } else if constexpr (std::is_same_v<U, std::nullptr_t> || std::is_same_v<U, std::nullopt_t>) {
        rc = sqlite3_bind_null(statement, column);
    } else if constexpr (sqldb_detail::IsOptional<U>::value) {
        if (value) return bindObject(*value, column, statement);
        rc = sqlite3_bind_null(statement, column);
    } else if constexpr (std::is_same_v<U, bool>) {
        rc = sqlite3_bind_int(statement, column, value ? 1 : 0);
    } else if constexpr (std::is_integral_v<U>) {
        if constexpr ((std::is_signed_v<U> && sizeof(U) <= 4) || (std::is_unsigned_v<U> && sizeof(U) < 4)) {
            rc = sqlite3_bind_int(statement, column, static_cast<int>(value));
        } else {
            // unsigned 32-bit widens with zeros; 64-bit unsigned keeps its bits.
            rc = sqlite3_bind_int64(statement, column, static_cast<sqlite3_int64>(value));
        }
    } else if constexpr (std::is_floating_point_v<U>) {
        rc = sqlite3_bind_double(statement, column, static_cast<double>(value));
    } else if constexpr (std::is_same_v<U, SQLDate>) {
        rc = bindDate(statement, column, value);
    } else if constexpr (std::is_pointer_v<U> && sqldb_detail::kTextLike<U>) {
        rc = value ? bindText(statement, column, std::string_view(value)) : sqlite3_bind_null(statement, column);
    } else if constexpr (sqldb_detail::kTextLike<U>) {
        rc = bindText(statement, column, std::string_view(value));
    } else if constexpr (sqldb_detail::kBlobLike<U>) {
        std::span<const uint8_t> bytes(value);
        rc = bindBlob(statement, column, bytes.data(), bytes.size());
    } else {
        static_assert(sqldb_detail::kUnsupported<U>, "no SQL binding for this argument type");
    }
    return noteBind(rc, column);
}

template <class T>
platform::Value SQLDatabase::formatArgument(const T& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, platform::Value>) {
        return value;
    } else if constexpr (std::is_same_v<U, std::nullptr_t> || std::is_same_v<U, std::nullopt_t>) {
        return nullptr;
    } else if constexpr (sqldb_detail::IsOptional<U>::value) {
        return value ? formatArgument(*value) : platform::Value();
    } else if constexpr (std::is_same_v<U, SQLDate>) {
        return platform::plist::dateValue(secondsSince1970(value));
    } else if constexpr (std::is_pointer_v<U> && sqldb_detail::kTextLike<U>) {
        return value ? platform::Value(std::string(value)) : platform::Value();
    } else if constexpr (sqldb_detail::kTextLike<U>) {
        return platform::Value(std::string(std::string_view(value)));
    } else if constexpr (sqldb_detail::kBlobLike<U>) {
        std::span<const uint8_t> bytes(value);
        return platform::bytesValue(platform::Bytes(bytes.begin(), bytes.end()));
    } else if constexpr (std::is_arithmetic_v<U>) {
        return platform::Value(value);
    } else {
        static_assert(sqldb_detail::kUnsupported<U>, "no SQL binding for this argument type");
    }
}

template <class T>
void SQLDatabase::traceArgument(const T& value) {
    if (!traceExecution_) return;
    traceValue(formatArgument(value));
}

}  // namespace wharf
