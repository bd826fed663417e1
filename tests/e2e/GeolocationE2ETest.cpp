// Background geolocation end to end: the demo bundle in the real host under
// Xvfb, its position replayed from the track the bundle names. The page
// configures and starts tracking, acknowledges each location and lists the
// stored ones in its card; a script laid over the page reports what the card
// shows. One launch; the store and log files are read afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "E2EProcess.h"
#include "TestSupport.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
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
    fs::copy(WHARF_DEMO_BUNDLE, bundle, fs::copy_options::recursive);
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

}  // namespace
