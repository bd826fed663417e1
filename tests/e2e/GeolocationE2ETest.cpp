// Background geolocation end to end, in the real host under Xvfb with its
// position replayed from a track:
// - the demo bundle's location card: the page configures and starts tracking,
//   acknowledges each location and lists the stored ones; a script laid over
//   the page reports what the card shows;
// - delivery: a page of the test's own configures and starts at once over a
//   store of 20,000 waiting fixes, and every fix goes to a loopback server that
//   refuses the first batch, through a kill -9 at a random moment and a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2EProcess.h"
#include "GeolocationTestSupport.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "platform/Value.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using wharf::platform::Value;
using wharf::test::readFile;
using wharf::test::TempDir;
using wharf::test::writeFile;

std::string sqlite(const std::string& database, const std::string& sql) {
    std::string out;
    if (FILE* p = ::popen(("sqlite3 -readonly '" + database + "' \"" + sql + "\" 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

void insertBefore(const std::string& path, const std::string& marker, const std::string& text) {
    std::string content = readFile(path);
    const auto at = content.rfind(marker);
    ASSERT_NE(at, std::string::npos) << path;
    content.insert(at, text);
    writeFile(path, content);
}

TEST(GeolocationE2E, TheDemoPageTracksTheReplayedWalkAndListsWhatItStored) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = dir.file("demo");
    wharf::test::copyBundle(WHARF_DEMO_BUNDLE, bundle);
    fs::copy_file(fs::path(WHARF_E2E_BUNDLES) / "geolocation/www/e2e.js", bundle + "/www/e2e.js");
    insertBefore(bundle + "/www/index.html", "</body>", "<script src=\"e2e.js\"></script>\n");
    insertBefore(bundle + "/config.xml", "</widget>",
                 "  <feature name=\"E2EEcho\"><param name=\"ios-package\" value=\"E2EEcho\" /></feature>\n");

    const std::string home = dir.file("home");
    wharf::test::E2ERun run = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", home}, dir);
    ASSERT_FALSE(run.timedOut) << run.err;
    const std::string text = readFile(home + "/e2e-report.json");
    ASSERT_FALSE(text.empty()) << run.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(run.status, 0) << r.dump(2);

    // The card: tracking on, locations received and listed from the store.
    EXPECT_EQ(r["tracking"], "on");
    EXPECT_GE(r["received"].get<int>(), 4);
    ASSERT_EQ(r["rows"].size(), 3u);  // the newest three
    for (const auto& row : r["rows"]) {
        ASSERT_EQ(row.size(), 4u);
        const double latitude = std::stod(row[1].get<std::string>());
        EXPECT_GT(latitude, 52.5139);  // on the walk around the pond
        EXPECT_LT(latitude, 52.5150);
        EXPECT_LE(std::stoi(row[3].get<std::string>()), 10);  // within the accuracy asked for
    }

    // What the page read from the store: in time order, stamped today, in
    // the store's form (no type, no id).
    const Value& stored = r["stored"];
    ASSERT_GE(stored.size(), 4u);
    EXPECT_GE(std::stoul(r["storedCount"].get<std::string>()), 4u);
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    double last = 0;
    for (const auto& location : stored) {
        const double time = location["time"].get<double>() / 1000;
        EXPECT_GT(time, last);
        EXPECT_LT(now - time, 120);
        last = time;
        EXPECT_FALSE(location.contains("location_type"));
        EXPECT_FALSE(location.contains("id"));
        EXPECT_GT(location["speed"].get<double>(), 0.5);  // walking pace
        EXPECT_LT(location["speed"].get<double>(), 2.5);
    }

    // The rows are in the store's file (with those stored since), and the log the page read back
    // holds the start at info level (4).
    const std::string rows = sqlite(home + "/Library/wharf_bg_geolocation.db", "SELECT COUNT(*) FROM location");
    EXPECT_GE(std::stoul(rows), stored.size()) << rows;
    bool sawStart = false;
    for (const auto& entry : r["log"])
        sawStart = sawStart || (entry["message"] == "LocationManager will start: 0" && entry["level"] == 4);
    EXPECT_TRUE(sawStart) << r["log"].dump(1);
}

// --- delivery through a refusal and a kill ----------------------------------------------

constexpr int kWaitingRows = 20000;
constexpr double kFirstWaitingTime = 1600000000;  // seconds since 1970: long before the replayed fixes
constexpr int kRefusedBatches = 1;
// Each single fix is answered late, so that batches run while posts are under way.
constexpr auto kFixAnswerDelay = 2s;

// A fix's time in steps of 10 ms: fixes lie a second apart, and the store's
// round trip through seconds changes the last bits of the milliseconds.
using FixTime = long long;
FixTime fixTime(double milliseconds) { return std::llround(milliseconds / 10); }
FixTime fixTimeOfSeconds(double seconds) { return fixTime(seconds * 1000); }
double wallClockMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Delivery {
    int run = 0;
    bool batch = false;  // else a single fix's own POST
    int status = 0;
    std::vector<FixTime> times;
    std::chrono::steady_clock::time_point at;
};

// The location server: single fixes at "/fix", batches at "/batch". It
// refuses the first `refusedBatches` batches with 503, then accepts
// everything.
class LocationServer {
public:
    explicit LocationServer(int refusedBatches = kRefusedBatches) : refusedBatches_(refusedBatches) {}
    std::string url(const std::string& path) const { return http_.url(path); }
    void setRun(int run) { run_ = run; }
    std::vector<Delivery> deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }
    // How often each fix was accepted.
    std::map<FixTime, int> accepted() const {
        std::map<FixTime, int> counts;
        for (const auto& d : deliveries())
            if (d.status == 200)
                for (FixTime t : d.times) ++counts[t];
        return counts;
    }

private:
    wharf::test::RawReply answer(const wharf::test::RawRequest& request) {
        Delivery d;
        d.run = run_;
        d.batch = request.path == "/batch";
        const Value body = Value::parse(request.body, nullptr, false);
        if (body.is_array())
            for (const auto& fix : body)
                if (fix.contains("time") && fix["time"].is_number())
                    d.times.push_back(fixTime(fix["time"].get<double>()));
        // Recorded as it arrives: what the server got counts, whether or not
        // the host lives to read the answer.
        d.at = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            d.status = d.batch && refused_ < refusedBatches_ ? 503 : 200;
            if (d.status == 503) ++refused_;
            deliveries_.push_back(d);
        }
        if (!d.batch) std::this_thread::sleep_for(kFixAnswerDelay);
        return wharf::test::rawResponse(d.status, d.status == 200 ? "{}" : "busy");
    }

    const int refusedBatches_;
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
    int refused_ = 0;
    std::atomic<int> run_{0};
    wharf::test::RawHttpServer http_{[this](const wharf::test::RawRequest& r) { return answer(r); }};
};

// What the host left on disk: the store's rows and the batch files.
struct Snapshot {
    std::map<FixTime, bool> stored;  // every stored fix time: true while a row with it waits
    std::size_t rows = 0;
    std::size_t earlierRows = 0;  // rows of the earlier life still in the store, sent or not
    std::set<FixTime> inBatchFiles;  // times in the batch files in Documents
};

Snapshot snapshot(const std::string& home) {
    Snapshot s;
    // Read-write, as the host's next start opens it: a journal a kill left behind is rolled back.
    const std::string rows = wharf::test::sqliteShell(home + "/Library/wharf_bg_geolocation.db",
                                                      "SELECT printf('%.6f %d', time, valid) FROM location");
    std::istringstream lines(rows);
    double seconds = 0;
    int valid = 0;
    while (lines >> seconds >> valid) {
        ++s.rows;
        if (seconds < kFirstWaitingTime + kWaitingRows) ++s.earlierRows;
        bool& waiting = s.stored[fixTimeOfSeconds(seconds)];
        waiting = waiting || valid == 1;
    }
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home + "/Documents", ec)) {
        const std::string name = e.path().filename().string();
        if (!name.starts_with("locations_") || !name.ends_with(".json")) continue;
        const Value batch = Value::parse(readFile(e.path().string()), nullptr, false);
        EXPECT_TRUE(batch.is_array()) << name << " is not a whole batch";
        if (batch.is_array())
            for (const auto& fix : batch) s.inBatchFiles.insert(fixTime(fix["time"].get<double>()));
    }
    return s;
}

// The page's report: the locations it was handed, what its calls answered.
Value pageReport(const std::string& home) {
    const Value report = Value::parse(readFile(home + "/e2e-report.json"), nullptr, false);
    return report.is_object() ? report : Value::object();
}

std::set<FixTime> handedToPage(const Value& report) {
    std::set<FixTime> times;
    if (report.contains("times"))
        for (const auto& t : report["times"]) times.insert(fixTime(t.get<double>()));
    return times;
}

// Nothing marked sent that the server did not get: every stored fix either
// waits, lies in a batch file (on its way), or was accepted.
void expectNothingLost(const Snapshot& s, const std::map<FixTime, int>& accepted, const char* when) {
    EXPECT_EQ(s.earlierRows, std::size_t(kWaitingRows)) << when << ": rows were deleted from the store";
    std::size_t lost = 0;
    for (const auto& [time, waiting] : s.stored)
        if (!waiting && !s.inBatchFiles.contains(time) && !accepted.contains(time)) ++lost;
    EXPECT_EQ(lost, 0u) << when << ": fixes marked sent that never reached the server";
}

// Waits for `done` while the host runs; false when the host ends first or the time runs out.
bool waitWhileRunning(pid_t pid, std::chrono::steady_clock::duration limit, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

void killHost(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

TEST(GeolocationE2E, EveryFixReachesTheServerOnceThroughARefusalAndAKill) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    // WHARF_E2E_SEED=<seed> repeats a run.
    const char* seedText = std::getenv("WHARF_E2E_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::stoul(seedText)) : std::random_device{}();
    std::mt19937 random(seed);
    const auto killAfter = std::chrono::milliseconds(std::uniform_int_distribution<int>(500, 11000)(random));
    std::printf("seed %u: the first run is killed %lld ms after its launch\n", seed,
                static_cast<long long>(killAfter.count()));
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("WHARF_E2E_SEED=" + std::to_string(seed));

    // The store of an earlier life: 20,000 fixes still waiting.
    wharf::test::TempHome home;
    {
        wharf::SQLiteLocationDAO store;
        ASSERT_TRUE(store.open());
        wharf::test::seedRows(store.getDatabasePath(), kWaitingRows, kFirstWaitingTime);
    }

    LocationServer server;
    TempDir dir;
    const std::string bundle = dir.file("delivery");
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/geolocation-delivery", bundle);
    fs::copy_file(fs::path(WHARF_DEMO_BUNDLE) / "www/wharf.js", bundle + "/www/wharf.js");
    // A configuration that takes a while to read: start must still wait for it.
    Value headers = Value::object();
    for (int i = 0; i < 500; ++i) headers["X-Pad-" + std::to_string(i)] = "configure before start";
    const Value options{{"url", server.url("/fix")}, {"syncUrl", server.url("/batch")},
                        {"syncThreshold", 2},        {"maxLocations", 50000},
                        {"distanceFilter", 1},       {"stationaryRadius", 20},
                        {"desiredAccuracy", 10},     {"httpHeaders", headers}};
    writeFile(bundle + "/www/settings.js", "var trackingOptions = " + options.dump() + ";\n");
    const std::vector<std::string> args{"--bundle",   bundle,
                                        "--home",     home.path(),
                                        "--location", std::string("replay:") + WHARF_DEMO_BUNDLE + "/track.gpx"};
    const auto began = std::chrono::steady_clock::now();

    // The first run, killed at the seed's moment.
    server.setRun(1);
    pid_t host = wharf::test::spawnE2EHost(WHARF_E2E_HOST, args, dir, {}, "run1");
    ASSERT_GT(host, 0);
    const bool ranToTheKill = !waitWhileRunning(host, killAfter, [] { return false; });
    killHost(host);
    ASSERT_TRUE(ranToTheKill) << "the host ended by itself:\n" << readFile(dir.file("run1-stderr.txt"));
    const Snapshot atKill = snapshot(home.path());
    const Value firstReport = pageReport(home.path());
    {
        SCOPED_TRACE("at the kill");
        expectNothingLost(atKill, server.accepted(), "at the kill");
        for (const auto& [time, count] : server.accepted()) ASSERT_EQ(count, 1) << "fix at " << time * 10 << " ms";
    }
    // What may come twice: what was on its way when the host died. Batches
    // written to files, and fixes whose own POST the server took but whose
    // answer the host never read (their rows still wait).
    std::set<FixTime> mayComeTwice = atKill.inBatchFiles;
    for (const auto& d : server.deliveries())
        if (!d.batch && d.status == 200)
            for (FixTime t : d.times)
                if (atKill.stored.contains(t) && atKill.stored.at(t)) mayComeTwice.insert(t);

    // The second run delivers everything the first left, and its own fixes.
    server.setRun(2);
    const double secondLaunch = wallClockMilliseconds();
    host = wharf::test::spawnE2EHost(WHARF_E2E_HOST, args, dir, {}, "run2");
    ASSERT_GT(host, 0);
    std::set<FixTime> owed = handedToPage(firstReport);
    for (const auto& [time, waiting] : atKill.stored) owed.insert(time);
    std::size_t missing = owed.size();
    const bool drained = waitWhileRunning(host, 45s, [&] {
        const auto accepted = server.accepted();
        missing = std::count_if(owed.begin(), owed.end(), [&](FixTime t) { return !accepted.contains(t); });
        const auto fresh = std::count_if(accepted.begin(), accepted.end(),
                                         [&](const auto& a) { return a.first >= fixTime(secondLaunch); });
        return missing == 0 && fresh >= 3;
    });
    killHost(host);
    ASSERT_TRUE(drained) << missing << " of " << owed.size() << " fixes never reached the server\n"
                         << readFile(dir.file("run2-stderr.txt")).substr(0, 20000);
    const Snapshot atEnd = snapshot(home.path());
    const Value secondReport = pageReport(home.path());
    const auto accepted = server.accepted();
    const auto deliveries = server.deliveries();

    // The page was told nothing went wrong.
    EXPECT_EQ(secondReport["start"], "ok") << secondReport.dump();
    EXPECT_TRUE(secondReport["errors"].empty()) << secondReport.dump();
    // Everything handed to the page reached the server or still waits.
    for (FixTime t : handedToPage(secondReport)) {
        EXPECT_TRUE(accepted.contains(t) || (atEnd.stored.contains(t) && atEnd.stored.at(t)) ||
                    atEnd.inBatchFiles.contains(t))
            << "fix at " << t * 10 << " ms was handed to the page and lost";
    }
    expectNothingLost(atEnd, accepted, "at the end");
    EXPECT_GE(atEnd.rows, atKill.rows);
    // Once each; only what was on its way at the kill may have come twice.
    std::size_t twice = 0;
    for (const auto& [time, count] : accepted) {
        if (count == 1) continue;
        ++twice;
        std::string how;
        for (const auto& d : deliveries)
            if (d.status == 200 && std::find(d.times.begin(), d.times.end(), time) != d.times.end())
                how += std::string(" run ") + std::to_string(d.run) +
                       (d.batch ? " in a batch of " : " on its own of ") + std::to_string(d.times.size()) + ";";
        EXPECT_TRUE(count == 2 && mayComeTwice.contains(time))
            << "fix at " << time * 10 << " ms arrived " << count << " times:" << how;
    }
    // What the server refused goes again only after a pause, or once the
    // server has taken a fix on its own since (it is back). A fix the kill
    // left both in a batch file and waiting in the store has two routes, and
    // the other one may already be under way: once, such a fix may come at
    // once.
    auto fixTakenBetween = [&](const Delivery& refusal, const Delivery& again) {
        return std::any_of(deliveries.begin(), deliveries.end(), [&](const Delivery& f) {
            const auto answered = f.at + kFixAnswerDelay;
            return !f.batch && f.status == 200 && f.run == refusal.run && answered > refusal.at && answered <= again.at;
        });
    };
    int refused = 0;
    for (const auto& r : deliveries) {
        if (!r.batch || r.status != 503) continue;
        ++refused;
        const std::set<FixTime> refusedTimes(r.times.begin(), r.times.end());
        std::map<FixTime, int> soonAgain;
        for (const auto& d : deliveries) {
            if (!d.batch || d.run != r.run || d.at <= r.at || d.at - r.at >= 4500ms || fixTakenBetween(r, d)) continue;
            for (FixTime t : d.times) {
                if (!refusedTimes.contains(t)) continue;
                const int times = ++soonAgain[t];
                EXPECT_TRUE(times == 1 && mayComeTwice.contains(t))
                    << "a refused fix at " << t * 10 << " ms went again "
                    << std::chrono::duration<double>(d.at - r.at).count() << " s later";
                if (!(times == 1 && mayComeTwice.contains(t))) break;
            }
        }
    }
    EXPECT_EQ(refused, kRefusedBatches);
    for (const auto& d : deliveries)
        std::printf("  run %d, %5.2f s: %s of %zu, %d\n", d.run, std::chrono::duration<double>(d.at - began).count(),
                    d.batch ? "batch" : "fix", d.times.size(), d.status);
    std::printf("%zu fixes accepted (%zu twice, of %zu that might), %zu requests, %zu rows stored, %.1f s\n",
                accepted.size(), twice, mayComeTwice.size(), deliveries.size(), atEnd.rows,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
}

// The store file is immutable when the host starts (chattr +i, which binds
// root too) and writable once the page has had a few fixes: every fix handed
// to the page reaches the server, once, by batch. (Opened read-only at
// launch, the store stayed so: no fix reached the server.)
TEST(GeolocationE2E, AStoreFileThatCannotBeWrittenAtLaunchSendsEveryFixOnceItCan) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    wharf::test::TempHome home;
    std::string file;
    {
        wharf::SQLiteLocationDAO store;
        ASSERT_TRUE(store.open());
        file = store.getDatabasePath();
    }
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { wharf::test::setImmutable(file, false); });
    WHARF_REQUIRE_COMPONENT(wharf::test::setImmutable(file, true), "chattr on the test's home");

    LocationServer server(0);
    TempDir dir;
    const std::string bundle = dir.file("delivery");
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/geolocation-delivery", bundle);
    fs::copy_file(fs::path(WHARF_DEMO_BUNDLE) / "www/wharf.js", bundle + "/www/wharf.js");
    const Value options{
        {"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 1}, {"desiredAccuracy", 10}};
    writeFile(bundle + "/www/settings.js", "var trackingOptions = " + options.dump() + ";\n");
    const pid_t host = wharf::test::spawnE2EHost(WHARF_E2E_HOST,
                                                 {"--bundle", bundle, "--home", home.path(), "--location",
                                                  std::string("replay:") + WHARF_DEMO_BUNDLE + "/track.gpx"},
                                                 dir, {}, "run");
    ASSERT_GT(host, 0);
    std::shared_ptr<void> killAtExit(nullptr, [&](void*) { killHost(host); });

    std::size_t whileImmutable = 0;
    ASSERT_TRUE(waitWhileRunning(host, 45s, [&] {
        whileImmutable = handedToPage(pageReport(home.path())).size();
        return whileImmutable >= 3;
    })) << readFile(dir.file("run-stderr.txt")).substr(0, 20000);
    ASSERT_TRUE(wharf::test::setImmutable(file, false));
    std::size_t missing = 0;
    const bool delivered = waitWhileRunning(host, 45s, [&] {
        const auto handed = handedToPage(pageReport(home.path()));
        const auto accepted = server.accepted();
        missing = std::count_if(handed.begin(), handed.end(), [&](FixTime t) { return !accepted.contains(t); });
        return handed.size() >= whileImmutable + 2 && missing == 0;
    });
    ASSERT_TRUE(delivered) << missing << " fixes handed to the page never reached the server\n"
                           << readFile(dir.file("run-stderr.txt")).substr(0, 20000);
    for (const auto& [time, count] : server.accepted()) EXPECT_EQ(count, 1) << "fix at " << time * 10 << " ms";
    const Value report = pageReport(home.path());
    ASSERT_EQ(report["errors"].size(), 1u) << report.dump();
    EXPECT_TRUE(report["errors"][0]["message"].get<std::string>().starts_with("The location store cannot be written ("))
        << report.dump();
}

}  // namespace
