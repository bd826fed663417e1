#pragma once
// The cursor a query answers: steps its statement row by row and reads the
// current row's columns by index or by (case-insensitive) name.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/base/Error.h"
#include "platform/base/Value.h"
#include "sqldb/SQLDateFormatter.h"
#include "sqldb/SQLStatement.h"

namespace wharf {

class SQLDatabase;

class SQLResultSet {
public:
    // The statement must not be owned by another cursor (SQLDBAssertionFailure otherwise).
    static std::unique_ptr<SQLResultSet> resultSetWithStatement(std::shared_ptr<SQLStatement> statement,
                                                                SQLDatabase* parentDB);
    ~SQLResultSet();
    SQLResultSet(const SQLResultSet&) = delete;
    SQLResultSet& operator=(const SQLResultSet&) = delete;

    // Rewinds and gives back the statement and leaves the connection. Harmless twice.
    void close();

    // Steps to the next row. At the end or on failure the cursor closes itself
    // and answers false (with the reason in `error` for a failure).
    bool next() { return nextWithError(nullptr); }
    bool nextWithError(platform::Error* error);
    bool hasAnotherRow() const;

    int columnCount() const;
    std::string columnNameForIndex(int columnIdx) const;
    // -1 (with a warning) when no column has that name.
    int columnIndexForName(std::string_view columnName);

    // Reads of the current row. A NULL column, an index out of range or a
    // closed cursor answer 0 / nullopt / nullptr.
    int32_t intForColumnIndex(int columnIdx);
    int32_t intForColumn(std::string_view columnName);
    int64_t longForColumnIndex(int columnIdx);
    int64_t longForColumn(std::string_view columnName);
    int64_t longLongIntForColumnIndex(int columnIdx);
    int64_t longLongIntForColumn(std::string_view columnName);
    uint64_t unsignedLongLongIntForColumnIndex(int columnIdx);
    uint64_t unsignedLongLongIntForColumn(std::string_view columnName);
    bool boolForColumnIndex(int columnIdx);
    bool boolForColumn(std::string_view columnName);
    double doubleForColumnIndex(int columnIdx);
    double doubleForColumn(std::string_view columnName);
    // Text with its full length (NUL bytes included).
    std::optional<std::string> stringForColumnIndex(int columnIdx);
    std::optional<std::string> stringForColumn(std::string_view columnName);
    // SQLite's own text, valid until the next step.
    const char* UTF8StringForColumnIndex(int columnIdx);
    const char* UTF8StringForColumnName(std::string_view columnName);
    std::optional<SQLDate> dateForColumnIndex(int columnIdx);
    std::optional<SQLDate> dateForColumn(std::string_view columnName);
    // A copy of the blob; an empty blob reads as empty bytes.
    std::optional<platform::Bytes> dataForColumnIndex(int columnIdx);
    std::optional<platform::Bytes> dataForColumn(std::string_view columnName);
    // SQLite's own blob bytes, valid until the next step.
    std::optional<std::span<const uint8_t>> dataNoCopyForColumnIndex(int columnIdx);
    std::optional<std::span<const uint8_t>> dataNoCopyForColumn(std::string_view columnName);
    bool columnIndexIsNull(int columnIdx);
    bool columnIsNull(std::string_view columnName);
    // Integer → int64 number, REAL → double, blob → bytes, text → string, NULL → null.
    platform::Value objectForColumnIndex(int columnIdx);
    platform::Value objectForColumnName(std::string_view columnName);
    platform::Value operator[](int columnIdx) { return objectForColumnIndex(columnIdx); }
    platform::Value operator[](std::string_view columnName) { return objectForColumnName(columnName); }

    // The current row keyed by column name; nullopt (with a warning) when there is no row.
    std::optional<platform::Value> resultDictionary();
    // The same keyed by lower-cased column names.
    std::optional<platform::Value> resultDict();
    // Hands every column whose value is not NULL to `setter` as (column name, text).
    void kvcMagic(const std::function<void(const std::string& column, const std::string& text)>& setter);

    const std::string& query() const;
    void setQuery(std::string query) { query_ = std::make_shared<const std::string>(std::move(query)); }
    void setSharedQuery(std::shared_ptr<const std::string> query) { query_ = std::move(query); }
    const std::unordered_map<std::string, int>& columnNameToIndexMap();
    const std::shared_ptr<SQLStatement>& statement() const { return statement_; }
    SQLDatabase* parentDB() const { return parentDB_; }
    void setParentDB(SQLDatabase* db) { parentDB_ = db; }

private:
    SQLResultSet() = default;
    // The live handle when `columnIdx` names a column of the current statement.
    sqlite3_stmt* columnStatement(int columnIdx) const;
    // Looks the name up and reads by index; `fallback` when no column has it.
    template <class R, class F>
    R byName(std::string_view columnName, R fallback, F read) {
        int columnIdx = columnIndexForName(columnName);
        return columnIdx < 0 ? fallback : (this->*read)(columnIdx);
    }

    SQLDatabase* parentDB_ = nullptr;
    std::shared_ptr<SQLStatement> statement_;
    std::shared_ptr<const std::string> query_;
    std::unordered_map<std::string, int> columnNameToIndexMap_;
    bool mapBuilt_ = false;
};

}  // namespace wharf
