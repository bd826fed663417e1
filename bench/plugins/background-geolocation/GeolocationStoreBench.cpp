// Fixes persisted into a full ring buffer (10000 rows, the default
// maxLocations) through the location store, against the SQLite C API running
// the store's statements on a file of the same schema; both are real files
// with default pragmas. Then the cost of the ring buffer's COUNT(*) at 1k,
// 10k and 100k rows, next to one persisted fix. The two persisting sides
// alternate over several rounds; the summary gives min/median/max of the
// per-round ratios.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/base/Log.h"
#include "platform/storage/Container.h"
#include "plugins/background-geolocation/LocationContract.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

using namespace wharf;

namespace {

constexpr int64_t kRing = 10000;
constexpr int kRounds = 7;
constexpr int kPersistIterations = 300;

// The store's own statements.
constexpr const char* kCountAll = "SELECT COUNT(*) FROM location";
constexpr const char* kOldest = "SELECT id FROM location ORDER BY time, id LIMIT 1";
constexpr const char* kInsert =
    "INSERT INTO location (time,accuracy,speed,bearing,altitude,latitude,longitude,provider,service_provider,valid) "
    "VALUES (?,?,?,?,?,?,?,?,?,?)";
constexpr const char* kOverwrite =
    "UPDATE location SET time= ?,accuracy= ?,speed= ?,bearing= ?,altitude= ?,latitude= ?,longitude= ?,provider= ?,"
    "service_provider= ?,valid= ? WHERE id = ?";

std::string gDirectory;
double gNextTime = 1'000'000;  // every fix is newer than all before it
int gFiles = 0;

Location nextFix() {
    Location l;
    l.time = dateWithSecondsSince1970(gNextTime++);
    l.accuracy = 12;
    l.speed = 1.5;
    l.heading = 90;
    l.altitude = 40;
    l.latitude = 48.1;
    l.longitude = 11.5;
    return l;
}

// Binds a fix as the store does: time, the six numbers, provider and service
// provider (NULL), valid.
void bindFix(sqlite3_stmt* s, const Location& l) {
    sqlite3_bind_double(s, 1, secondsSince1970(*l.time));
    const double numbers[] = {*l.accuracy, *l.speed, *l.heading, *l.altitude, *l.latitude, *l.longitude};
    for (int i = 0; i < 6; ++i) sqlite3_bind_double(s, 2 + i, numbers[i]);
    sqlite3_bind_null(s, 8);
    sqlite3_bind_null(s, 9);
    sqlite3_bind_int(s, 10, 1);
}

void fill(sqlite3* db, int64_t rows) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);
    for (int64_t i = 0; i < rows; ++i) {
        bindFix(insert, nextFix());
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

sqlite3* openFile(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 2000);
    return db;
}

// A location table of the store's schema in a file of its own, `rows` full.
sqlite3* rawTable(const std::string& name, int64_t rows) {
    sqlite3* db = openFile(gDirectory + "/" + name);
    const std::string schema = LocationContract::createTableSQL() + LocationContract::createTimeIndexSQL();
    sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr);
    fill(db, rows);
    return db;
}

int64_t stepCount(sqlite3_stmt* count) {
    sqlite3_step(count);
    const int64_t n = sqlite3_column_int64(count, 0);
    sqlite3_reset(count);
    return n;
}

// The ring buffer's insert into a full table, on the C API.
void persistRaw(benchmark::State& state) {
    sqlite3* db = rawTable("raw-" + std::to_string(++gFiles) + ".sqlite", kRing);
    sqlite3_stmt *count = nullptr, *oldest = nullptr, *overwrite = nullptr;
    sqlite3_prepare_v2(db, kCountAll, -1, &count, nullptr);
    sqlite3_prepare_v2(db, kOldest, -1, &oldest, nullptr);
    sqlite3_prepare_v2(db, kOverwrite, -1, &overwrite, nullptr);
    for (auto _ : state) {
        const Location fix = nextFix();
        if (stepCount(count) < kRing) state.SkipWithError("the table is not full");
        if (sqlite3_step(oldest) != SQLITE_ROW) state.SkipWithError("no oldest row");
        const int64_t target = sqlite3_column_int64(oldest, 0);
        sqlite3_reset(oldest);
        bindFix(overwrite, fix);
        sqlite3_bind_int64(overwrite, 11, target);
        if (sqlite3_step(overwrite) != SQLITE_DONE) state.SkipWithError("overwrite failed");
        sqlite3_reset(overwrite);
    }
    state.counters["fixes/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    sqlite3_finalize(count);
    sqlite3_finalize(oldest);
    sqlite3_finalize(overwrite);
    sqlite3_close_v2(db);
}

// The same through the store, on its own file in a container of its own.
void persistStore(benchmark::State& state) {
    const std::string home = gDirectory + "/home-" + std::to_string(++gFiles);
    platform::Container::setHome(home);
    {
        SQLiteLocationDAO store;
        sqlite3* db = openFile(store.getDatabasePath());
        fill(db, kRing);
        sqlite3_close_v2(db);
        for (auto _ : state)
            if (!store.persistLocation(nextFix(), kRing)) state.SkipWithError("persist failed");
        state.counters["fixes/s"] =
            benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    }
    platform::Container::resetHome();
}

void countRows(benchmark::State& state) {
    const int64_t rows = state.range(0);
    sqlite3* db = rawTable("count-" + std::to_string(++gFiles) + ".sqlite", rows);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, kCountAll, -1, &count, nullptr);
    for (auto _ : state)
        if (stepCount(count) != rows) state.SkipWithError("wrong count");
    sqlite3_finalize(count);
    sqlite3_close_v2(db);
}

std::string roundName(const char* side, int round) {
    return std::string("BM_Persist_") + side + "/round:" + std::to_string(round);
}

// Keeps the CPU time per iteration beside the real time: fsync makes the
// real time of a persisted fix noisy, the CPU time shows the layers' own cost.
class Reporter : public bench::RatioReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred) cpu_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        RatioReporter::ReportRuns(runs);
    }
    double cpu(const std::string& name) const {
        auto it = cpu_.find(name);
        return it == cpu_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> cpu_;
};

void printSpread(const char* label, std::vector<double> ratios) {
    if (ratios.empty()) return;
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio %-44s min %.3fx  median %.3fx  max %.3fx  (%zu rounds)\n", label, ratios.front(),
                ratios[ratios.size() / 2], ratios.back(), ratios.size());
}

}  // namespace

int main(int argc, char** argv) {
    platform::setLogToStderr(false);
    char pattern[] = "/var/tmp/geolocation-bench-XXXXXX";  // on disk: fsync costs what it costs users
    if (!mkdtemp(pattern)) return 1;
    gDirectory = pattern;

    for (int round = 0; round < kRounds; ++round) {
        // Alternate which side goes first, so neither always meets a warm or cold disk.
        const bool storeFirst = round % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool store = (k == 0) == storeFirst;
            benchmark::RegisterBenchmark(roundName(store ? "Store" : "Raw", round).c_str(),
                                         store ? persistStore : persistRaw)
                ->Iterations(kPersistIterations)
                ->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("BM_Count", countRows)->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto full = [](const std::string& name) {
        return name + "/iterations:" + std::to_string(kPersistIterations) + "/real_time";
    };
    std::vector<double> storeOverRaw, storeOverRawCpu, count1k, count10k, count100k;
    for (int round = 0; round < kRounds; ++round) {
        const double store = reporter.time(full(roundName("Store", round)));
        const double raw = reporter.time(full(roundName("Raw", round)));
        if (store <= 0 || raw <= 0) continue;
        storeOverRaw.push_back(store / raw);
        storeOverRawCpu.push_back(reporter.cpu(full(roundName("Store", round))) /
                                  reporter.cpu(full(roundName("Raw", round))));
        const double c1 = reporter.time("BM_Count/1000/real_time");
        const double c10 = reporter.time("BM_Count/10000/real_time");
        const double c100 = reporter.time("BM_Count/100000/real_time");
        if (c1 > 0) count1k.push_back(c1 / raw);
        if (c10 > 0) count10k.push_back(c10 / raw);
        if (c100 > 0) count100k.push_back(c100 / raw);
    }
    printSpread("persist into full ring: store / raw", storeOverRaw);
    printSpread("the same in CPU time: store / raw", storeOverRawCpu);
    printSpread("COUNT(*) at 1k rows / one raw persist", count1k);
    printSpread("COUNT(*) at 10k rows / one raw persist", count10k);
    printSpread("COUNT(*) at 100k rows / one raw persist", count100k);
    std::filesystem::remove_all(gDirectory);
    return 0;
}
