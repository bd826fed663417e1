// Inserts and point queries through SQLDatabase and SQLDatabaseQueue against
// the SQLite C API with the same prepared statements, on ":memory:" and on a
// file with default pragmas. The summary prints layer/raw time ratios.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/base/Log.h"
#include "sqldb/SQLDatabase.h"
#include "sqldb/SQLDatabaseQueue.h"

using namespace wharf;

namespace {

constexpr const char* kCreate = "create table t (id integer primary key, name text, score real)";
constexpr const char* kInsert = "insert into t (id, name, score) values (?, ?, ?)";
constexpr const char* kSelect = "select name, score from t where id = ?";
constexpr int kRows = 10000;
const std::string kName = "a name of some thirty characters";

std::string gDirectory;
int gFileCounter = 0;

// nullopt: in memory; else a fresh file.
std::optional<std::string> newPath(bool file) {
    if (!file) return std::nullopt;
    return gDirectory + "/bench-" + std::to_string(++gFileCounter) + ".sqlite";
}

void removeFile(const std::optional<std::string>& path) {
    if (!path) return;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(*path + suffix);
}

int64_t queryId(int64_t i) { return (i * 7919) % kRows + 1; }

// Fills the table for the query benchmarks.
void fill(sqlite3* db) {
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);
    for (int i = 1; i <= kRows; ++i) {
        sqlite3_bind_int64(insert, 1, i);
        sqlite3_bind_text(insert, 2, kName.data(), static_cast<int>(kName.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 3, i * 0.5);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
}

void rawInsert(benchmark::State& state, bool file) {
    auto path = newPath(file);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path ? path->c_str() : ":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);
    int64_t i = 0;
    for (auto _ : state) {
        ++i;
        sqlite3_bind_int64(insert, 1, i);
        sqlite3_bind_text(insert, 2, kName.data(), static_cast<int>(kName.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 3, i * 0.5);
        if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close_v2(db);
    removeFile(path);
}

void rawQuery(benchmark::State& state, bool file) {
    auto path = newPath(file);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path ? path->c_str() : ":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
    fill(db);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, kSelect, -1, &select, nullptr);
    int64_t i = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(select, 1, queryId(++i));
        if (sqlite3_step(select) != SQLITE_ROW) state.SkipWithError("no row");
        std::string name(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)),
                         static_cast<size_t>(sqlite3_column_bytes(select, 0)));
        double score = sqlite3_column_double(select, 1);
        benchmark::DoNotOptimize(name);
        benchmark::DoNotOptimize(score);
        sqlite3_reset(select);
    }
    sqlite3_finalize(select);
    sqlite3_close_v2(db);
    removeFile(path);
}

std::unique_ptr<SQLDatabase> openLayer(const std::optional<std::string>& path) {
    auto db = std::make_unique<SQLDatabase>(path);
    db->open();
    db->setShouldCacheStatements(true);
    db->executeUpdate(kCreate);
    return db;
}

void insertOne(benchmark::State& state, SQLDatabase& db, int64_t i) {
    if (!db.executeUpdate(kInsert, i, kName, i * 0.5)) state.SkipWithError("insert failed");
}

void queryOne(benchmark::State& state, SQLDatabase& db, int64_t i) {
    auto rs = db.executeQuery(kSelect, queryId(i));
    if (!rs || !rs->next()) {
        state.SkipWithError("no row");
        return;
    }
    auto name = rs->stringForColumnIndex(0);
    double score = rs->doubleForColumnIndex(1);
    benchmark::DoNotOptimize(name);
    benchmark::DoNotOptimize(score);
    rs->close();
}

template <class Op>
void layer(benchmark::State& state, bool file, bool filled, Op op) {
    auto path = newPath(file);
    {
        auto db = openLayer(path);
        if (filled) fill(db->sqliteHandle());
        int64_t i = 0;
        for (auto _ : state) op(state, *db, ++i);
    }
    removeFile(path);
}

template <class Op>
void queued(benchmark::State& state, bool file, bool filled, Op op) {
    auto path = newPath(file);
    {
        auto queue = SQLDatabaseQueue::databaseQueueWithPath(path);
        queue->inDatabase([&](SQLDatabase* db) {
            db->setShouldCacheStatements(true);
            db->executeUpdate(kCreate);
            if (filled) fill(db->sqliteHandle());
        });
        int64_t i = 0;
        for (auto _ : state) {
            ++i;
            queue->inDatabase([&](SQLDatabase* db) { op(state, *db, i); });
        }
    }
    removeFile(path);
}

// Keeps each benchmark's time per iteration for the summary.

}  // namespace

int main(int argc, char** argv) {
    platform::setLogToStderr(false);
    char pattern[] = "/tmp/sqldb-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    gDirectory = pattern;

    // Lets the CPU and the allocator settle before the first measured run.
    benchmark::RegisterBenchmark("BM_Warmup", [](benchmark::State& s) { rawInsert(s, false); })->MinTime(0.3);
    for (bool file : {false, true}) {
        std::string storage = file ? "File" : "Memory";
        auto add = [&](const std::string& name, auto fn) {
            benchmark::RegisterBenchmark(("BM_" + name + "_" + storage).c_str(), fn)
                ->UseRealTime()
                ->MinTime(0.3)
                ->Repetitions(3)
                ->ReportAggregatesOnly(true);
        };
        add("Insert_Raw", [file](benchmark::State& s) { rawInsert(s, file); });
        add("Insert_SQLDatabase", [file](benchmark::State& s) { layer(s, file, false, insertOne); });
        add("Insert_SQLDatabaseQueue", [file](benchmark::State& s) { queued(s, file, false, insertOne); });
        add("Query_Raw", [file](benchmark::State& s) { rawQuery(s, file); });
        add("Query_SQLDatabase", [file](benchmark::State& s) { layer(s, file, true, queryOne); });
        add("Query_SQLDatabaseQueue", [file](benchmark::State& s) { queued(s, file, true, queryOne); });
    }

    std::vector<bench::RatioPair> pairs;
    for (const char* op : {"Insert", "Query"}) {
        for (const char* storage : {"Memory", "File"}) {
            auto name = [&](const char* kind) {
                return std::string("BM_") + op + "_" + kind + "_" + storage + "/min_time:0.300/repeats:3/real_time";
            };
            for (const char* kind : {"SQLDatabase", "SQLDatabaseQueue"})
                pairs.push_back({std::string(op) + " " + storage + " " + kind + "/raw", name(kind), name("Raw")});
        }
    }
    const int rc = bench::runWithRatios(argc, argv, pairs);
    std::filesystem::remove_all(gDirectory);
    return rc;
}
