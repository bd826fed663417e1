// The SQL layer's format forms on an in-memory database: the input is a
// format, then a line "--", then the text argument. The conversions become
// bound parameters; the statement runs as an update and as a query whose rows
// are read through every column getter. Afterwards the connection is still
// usable and holds no open result set.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "sqldb/SQLDatabase.h"

using namespace wharf;

namespace {

// Fuzzed SQL stays in memory: no attached files (VACUUM INTO asks as an
// attachment too), no pragma that reaches the file system.
int authorise(void*, int action, const char*, const char*, const char*, const char*) {
    switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
    case SQLITE_PRAGMA: return SQLITE_DENY;
    default: return SQLITE_OK;
    }
}

// A runaway statement (a recursive CTE without end) is stopped, not waited for.
int progress(void* steps) { return ++*static_cast<int*>(steps) > 2000; }

void readRows(SQLResultSet& rs) {
    for (int row = 0; row < 64 && rs.next(); ++row) {
        const int columns = rs.columnCount();
        for (int i = 0; i < columns; ++i) {
            (void)rs.columnNameForIndex(i);
            (void)rs.columnIndexIsNull(i);
            (void)rs.intForColumnIndex(i);
            (void)rs.longLongIntForColumnIndex(i);
            (void)rs.unsignedLongLongIntForColumnIndex(i);
            (void)rs.boolForColumnIndex(i);
            (void)rs.doubleForColumnIndex(i);
            (void)rs.stringForColumnIndex(i);
            (void)rs.UTF8StringForColumnIndex(i);
            (void)rs.dateForColumnIndex(i);
            (void)rs.dataForColumnIndex(i);
            (void)rs.dataNoCopyForColumnIndex(i);
            (void)rs.objectForColumnIndex(i);
        }
        (void)rs.resultDictionary();
    }
    rs.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auto [format, text] = fuzz::splitAt(input, "\n--\n");

    auto db = SQLDatabase::databaseWithPath(std::nullopt);
    FUZZ_CHECK(db && db->open());
    db->setLogsErrors(false);
    FUZZ_CHECK(db->executeStatements(
        "CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT, c REAL, d BLOB);"
        "INSERT INTO t VALUES (1, 'one', 1.5, x'00ff'), (2, NULL, -0.0, NULL), (3, '2020-01-02', 1e300, x'');"));
    sqlite3* handle = db->sqliteHandle();
    int steps = 0;
    sqlite3_set_authorizer(handle, authorise, nullptr);
    sqlite3_progress_handler(handle, 1000, progress, &steps);
    sqlite3_limit(handle, SQLITE_LIMIT_LENGTH, 1 << 20);

    const auto integer = static_cast<int64_t>(static_cast<uint64_t>(size) * 0x9E3779B97F4A7C15ULL);
    const double real = static_cast<double>(text.size()) / 3.0;
    const platform::Bytes blob(text.begin(), text.end());
    const std::string textArgument(text);

    (void)db->executeUpdateWithFormat(format, textArgument, integer, real, nullptr, blob, textArgument.c_str());
    steps = 0;
    if (auto rs = db->executeQueryWithFormat(format, textArgument, integer, real, nullptr, blob, textArgument.c_str()))
        readRows(*rs);

    FUZZ_CHECK(!db->hasOpenResultSets());
    sqlite3_set_authorizer(handle, nullptr, nullptr);
    sqlite3_progress_handler(handle, 0, nullptr, nullptr);
    auto probe = db->executeQuery("SELECT 1");
    FUZZ_CHECK(probe && probe->next() && probe->intForColumnIndex(0) == 1);
    probe->close();
    FUZZ_CHECK(db->close());
    return 0;
}
