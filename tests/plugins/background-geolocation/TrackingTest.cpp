// The location manager end to end below the plug-in: fixes from a source
// through the acquisitions and modes, the store, the one-at-a-time hand-out,
// and the batch upload to a loopback server.
#include <gtest/gtest.h>

#include <ctime>
#include <semaphore>
#include <set>

#include "GeolocationTestSupport.h"
#include "GpsFake.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "TrackingTestSupport.h"
#include "logging/LGLog.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/device/UserNotifier.h"
#include "platform/location/GpsdLocationSource.h"
#include "platform/location/ReplayLocationSource.h"
#include "plugins/background-geolocation/LocationManager.h"

namespace wharf {
namespace {

using namespace platform;
using wharf::LocationManager;
using namespace std::chrono_literals;
using test::fixNorth;
using test::RawHttpServer;

class TrackingTest : public test::GeolocationFixture {
protected:
    std::shared_ptr<LocationManager> makeManager(std::shared_ptr<LocationSource> source, bool autoFinish) {
        auto manager = createManager(environment(std::move(source)));
        handOuts->manager = manager;
        handOuts->autoFinish = autoFinish;
        manager->setDelegate(handOuts);
        return manager;
    }
    Config config(const Value& options) { return Config::fromDictionary(options); }
    std::size_t validRows() { return store->getValidLocations().size(); }

    std::shared_ptr<FakeLocationSource> source = std::make_shared<FakeLocationSource>();
    std::shared_ptr<test::HandOuts> handOuts = std::make_shared<test::HandOuts>();
};

TEST_F(TrackingTest, FiveStoredFixesGoOutAsOneBatchFileInTimeOrder) {
    std::string fileSizeDuringUpload;
    RawHttpServer server([&](const test::RawRequest&) {
        // The file is on disk while it is being sent.
        const auto files = test::batchFiles();
        if (files.size() == 1)
            fileSizeDuringUpload =
                std::to_string(std::filesystem::file_size(Container::documentsPath() + "/" + files[0]));
        return test::rawResponse(200, "{}");
    });
    auto manager = makeManager(source, true);
    manager->configure(config({{"syncUrl", server.url("/batch")}, {"syncThreshold", 5}, {"distanceFilter", 100}}),
                       nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    for (int i = 0; i < 6; ++i) {
        clock->advance(10s);
        source->emit(fixNorth(300.0 * i, *clock));  // 300 m apart: past the filter at standstill (100 m)
        RunLoop::pumpUntil([&] { return handOuts->locationCount() == static_cast<std::size_t>(i) + 1; }, 20s);
    }
    ASSERT_EQ(handOuts->locationCount(), 6u);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !server.requests().empty() && test::batchFiles().empty(); }, 20s));
    RunLoop::pumpFor(50ms);  // a second sync that found nothing must send nothing

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& upload = requests[0];
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.path, "/batch");
    EXPECT_EQ(upload.header("Content-Type"), "application/json");
    EXPECT_EQ(upload.header("Content-Length"), std::to_string(upload.body.size()));
    EXPECT_EQ(upload.header("Content-Length"), fileSizeDuringUpload);
    const Value batch = Value::parse(upload.body);
    ASSERT_TRUE(batch.is_array());
    ASSERT_GE(batch.size(), 5u);
    double last = 0;
    for (const auto& record : batch) {
        EXPECT_GT(record["time"].get<double>(), last);
        last = record["time"].get<double>();
        // What the store keeps, and nothing it does not: no id, no type, no
        // vertical accuracy, no provider.
        std::set<std::string> keys;
        for (const auto& [key, value] : record.items()) keys.insert(key);
        EXPECT_EQ(keys, (std::set<std::string>{"time", "accuracy", "speed", "heading", "bearing", "altitude",
                                               "latitude", "longitude", "service_provider"}));
    }
    // The batch left nothing waiting and no file behind.
    EXPECT_EQ(validRows() + batch.size(), 6u);
    EXPECT_TRUE(test::batchFiles().empty());
}

TEST_F(TrackingTest, AFailedBatchLeavesItsRowsWaitingAndAStartSendsThemAndLeftoverFiles) {
    std::atomic<int> status{503};
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(status.load(), "busy"); });
    const Value options = {{"syncUrl", server.url("/batch")}, {"syncThreshold", 3}, {"distanceFilter", 100}};
    {
        // The uploader alone: each fix the manager hands out syncs again, so
        // a refused batch would be tried again as soon as the next one comes.
        for (int i = 0; i < 3; ++i) store->persistLocation(test::fixAt(1767690000 + i));
        auto uploader = LocationUploader::create(*store, clock);
        uploader->sync(server.url("/batch"), 3);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_TRUE(test::batchFiles().empty());
        EXPECT_EQ(validRows(), 3u) << "the rows of the refused batch wait again";
    }
    // A batch file of an earlier run that ended mid-upload, and a file the
    // page keeps beside it in Documents.
    const std::string leftover = Container::documentsPath() + "/locations_20260106_09057.json";
    test::writeFile(leftover, R"([{"time":1767690307000,"latitude":1,"longitude":2}])");
    const std::string pageFile = Container::documentsPath() + "/locations_export.json";
    test::writeFile(pageFile, "[]");

    // The next run: configuring starts the uploader, which sends both batches
    // and leaves the page's file alone.
    status = 200;
    auto manager = makeManager(source, true);
    manager->configure(config(options), nullptr);
    const std::vector<std::string> pageFilesOnly{"locations_export.json"};
    ASSERT_TRUE(
        RunLoop::pumpUntil([&] { return server.requests().size() == 3 && test::batchFiles() == pageFilesOnly; }));
    RunLoop::pumpFor(50ms);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(test::readFile(pageFile), "[]");
    std::set<std::size_t> sizes;
    for (std::size_t i = 1; i < requests.size(); ++i) sizes.insert(Value::parse(requests[i].body).size());
    EXPECT_EQ(sizes, (std::set<std::size_t>{1, 3}));
    EXPECT_EQ(validRows(), 0u);
}

TEST_F(TrackingTest, RowsDeletedWhileTheirBatchIsOutStayDeletedWhenItFails) {
    // Each batch is held until the test lets it go, and then refused.
    std::counting_semaphore<16> letGo(0);
    RawHttpServer server([&](const test::RawRequest&) {
        letGo.acquire();
        return test::rawResponse(503, "busy");
    });
    std::shared_ptr<void> releaseAtExit(nullptr, [&](void*) { letGo.release(4); });
    auto manager = makeManager(source, true);
    manager->configure(config({{"syncUrl", server.url("/batch")}, {"syncThreshold", 3}, {"distanceFilter", 100}}),
                       nullptr);
    manager->start(nullptr);
    auto emit = [&](int n) {
        clock->advance(10s);
        source->emit(fixNorth(300.0 * n, *clock));
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == std::size_t(n + 1); }));
    };
    auto validIds = [&] {
        std::set<int64_t> ids;
        for (const auto& l : store->getValidLocations()) ids.insert(*l.id);
        return ids;
    };
    // One batch out, and the page deletes its first location meanwhile.
    for (int i = 0; i < 3; ++i) emit(i);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }));
    EXPECT_TRUE(validIds().empty());
    const int64_t first = *store->getAllLocations()[0].id;
    manager->deleteLocation(first);
    letGo.release();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return test::batchFiles().empty(); }));
    EXPECT_EQ(validIds(), (std::set<int64_t>{first + 1, first + 2}));

    // The next batch, and the page deletes everything meanwhile.
    emit(3);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 2; }));
    EXPECT_EQ(Value::parse(server.requests()[1].body).size(), 3u);
    manager->deleteAllLocations();
    letGo.release();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return test::batchFiles().empty(); }));
    RunLoop::pumpFor(50ms);
    EXPECT_TRUE(validIds().empty());
}

TEST_F(TrackingTest, TheNextFixWaitsForFinishExpiryOrThirtySeconds) {
    auto manager = makeManager(source, false);
    manager->configure(config({{"distanceFilter", 10}}), nullptr);
    manager->start(nullptr);
    clock->advance(1s);
    source->emit(fixNorth(0, *clock));
    source->emit(fixNorth(600, *clock));
    source->emit(fixNorth(1200, *clock));
    EXPECT_EQ(handOuts->locationCount(), 1u);
    EXPECT_EQ(manager->queuedLocations(), 2u);
    EXPECT_EQ(Application::shared().backgroundTaskCount(), 1u);

    manager->finish();
    EXPECT_EQ(handOuts->locationCount(), 2u);

    // In the background the task expires: the next fix goes.
    Application::shared().setBackgroundTimeAllowance(10s);
    Application::shared().setState(ApplicationState::Background);
    clock->advance(11s);
    Application::shared().expireOverdueBackgroundTasks();
    EXPECT_EQ(handOuts->locationCount(), 3u);
    Application::shared().setState(ApplicationState::Active);

    // A task nobody ends is killed by a fix that comes more than 30 s later.
    source->emit(fixNorth(1800, *clock));
    clock->advance(29s);
    source->emit(fixNorth(2400, *clock));
    EXPECT_EQ(handOuts->locationCount(), 3u);
    clock->advance(2s);
    source->emit(fixNorth(3000, *clock));
    EXPECT_EQ(handOuts->locationCount(), 4u);
    EXPECT_EQ(manager->queuedLocations(), 2u);
    // Every fix was stored, whatever waited.
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->unstoredLocations() == 0; }));
    EXPECT_EQ(validRows(), 6u);
    // A finish with nothing held and nothing queued changes nothing.
    manager->finish();
    manager->finish();
    manager->finish();
    EXPECT_EQ(handOuts->locationCount(), 6u);
    manager->finish();
    EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);

    // A page that never acknowledges: what waits is no more than the store
    // keeps, the newest.
    manager->configure(config({{"distanceFilter", 10}, {"maxLocations", 3}}), nullptr);
    for (int i = 0; i < 6; ++i) source->emit(fixNorth(3600 + 600.0 * i, *clock));
    EXPECT_EQ(handOuts->locationCount(), 7u);
    EXPECT_EQ(manager->queuedLocations(), 3u);
    // Narrated while they go out: a filter configured past what the notice's
    // whole number holds reads as the largest.
    test::TempDir runtime;  // no session bus: the notices are logged
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    LogCapture capture;
    clock->setNow(Clock::shared()->now());  // notices are due by the process's clock
    manager->configure(config({{"distanceFilter", 1e19}, {"maxLocations", 3}, {"debug", true}}), nullptr);
    for (int i = 0; i < 3; ++i) manager->finish();
    ASSERT_EQ(handOuts->locationCount(), 10u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(handOuts->locations[7 + i]["latitude"], fixNorth(3600 + 600.0 * (3 + i), *clock).coordinate.latitude);
    UserNotifier::shared().flush();
    EXPECT_EQ(capture.count("| DF: 9223372036854775807 |"), 3u);
}

TEST_F(TrackingTest, ADwellGivesAStationaryFixAndLeavingItStartsANewAcquisition) {
    // Two minutes standing, then 1 km north in 100 s.
    const auto north = destinationPoint(test::kOrigin, 0, 1000);
    auto trkpt = [](const LocationCoordinate& c, const char* time) {
        char point[256];
        std::snprintf(point, sizeof point,
                      R"(<trkpt lat="%.8f" lon="%.8f"><ele>500</ele><time>%s</time><hdop>0.8</hdop></trkpt>)",
                      c.latitude, c.longitude, time);
        return std::string(point);
    };
    Error error;
    auto track = LocationTrack::parseGPX(
        R"(<gpx version="1.1" xmlns="http://www.topografix.com/GPX/1/1"><trk><trkseg>)" +
            trkpt(test::kOrigin, "2023-03-01T08:00:00Z") + trkpt(test::kOrigin, "2023-03-01T08:02:00Z") +
            trkpt(north, "2023-03-01T08:03:40Z") + "</trkseg></trk></gpx>",
        &error);
    ASSERT_TRUE(track) << error.description();
    auto replay = ReplayLocationSource::create(*track, "dwell", clock, ReplayLocationSource::Pacing::Manual);
    auto manager = makeManager(replay, true);
    manager->configure(config({{"stationaryRadius", 75}, {"distanceFilter", 20}}), nullptr);
    manager->start(nullptr);
    manager->switchMode(BACKGROUND_MODE);
    EXPECT_TRUE(manager->isAcquiringStationaryLocation());
    auto advance = [&](int seconds) {
        for (int i = 0; i < seconds; ++i) {
            clock->advance(1s);
            replay->pump();
            RunLoop::pumpFor(0ms);
        }
    };
    advance(5);
    // An accurate fix (4 m) ends the acquisition: the stationary fix first,
    // then the same fix as an ordinary one once the first was acknowledged.
    ASSERT_EQ(handOuts->stationaryCount(), 1u);
    const Value stationary = handOuts->stationary[0];
    EXPECT_EQ(stationary["radius"], 75.0);
    EXPECT_EQ(stationary["location_type"], "stationary");
    EXPECT_NEAR(stationary["latitude"].get<double>(), test::kOrigin.latitude, 1e-9);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == 1; }));
    EXPECT_EQ(handOuts->locations[0]["location_type"], "current");
    EXPECT_EQ(handOuts->locations[0]["time"], stationary["time"]);
    EXPECT_FALSE(manager->isAcquiringStationaryLocation());
    EXPECT_FALSE(manager->platformManager().isUpdatingLocation());
    auto region = manager->getStationaryLocation();
    ASSERT_TRUE(region);
    EXPECT_EQ((*region)["radius"], 75.0);

    // Standing still in the region: nothing more is handed out.
    advance(100);
    EXPECT_EQ(handOuts->stationaryCount(), 1u);
    EXPECT_EQ(handOuts->locationCount(), 1u);

    // Walking off: the region is left 75 m + its margin out, and a new
    // acquisition runs, whose fix centres a new region further north.
    advance(30);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->stationaryCount() >= 2; }));
    const Value next = handOuts->stationary[1];
    const double moved =
        distanceBetween(test::kOrigin, {next["latitude"].get<double>(), next["longitude"].get<double>()});
    EXPECT_GT(moved, 75.0);
    EXPECT_LT(moved, 400.0);
    EXPECT_EQ(next["radius"], 75.0);
}

TEST_F(TrackingTest, FixesFromGpsdThroughGpsfakeAreStored) {
    test::TempDir dir;
    auto realClock = Clock::system();
    wharf::test::writeFile(dir.file("walk.nmea"), test::nmeaTrack(std::time(nullptr), 40, 0.2, 0.8));
    test::GpsFake fake(dir.file("walk.nmea"));
    WHARF_REQUIRE_COMPONENT(fake.started(), "gpsd and gpsfake: " << fake.why());

    auto gpsd = GpsdLocationSource::create("127.0.0.1", std::to_string(fake.port()));
    auto manager = createManager({gpsd, realClock, store.get(), &Application::shared()});
    handOuts->manager = manager;
    handOuts->autoFinish = true;
    manager->setDelegate(handOuts);
    manager->configure(config({{"distanceFilter", 10}, {"desiredAccuracy", 50}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    // 0.2' of latitude a second is about 370 m: every fix passes the filter.
    const bool stored = RunLoop::pumpUntil([&] { return validRows() >= 3; }, 20s);
    manager->stop(nullptr);
    ASSERT_TRUE(stored) << validRows() << " rows, " << handOuts->errors.size() << " errors";
    std::size_t estimated = 0;
    for (const auto& row : store->getValidLocations()) {
        EXPECT_NEAR(*row.longitude, 11 + 31.0 / 60, 1e-9);
        // A report before the receiver's dilution of precision is known has no estimate.
        EXPECT_NE(*row.accuracy, 0);
        estimated += *row.accuracy > 0;
        EXPECT_LT(std::fabs(row.locationAge(*realClock)), 60);
    }
    EXPECT_GT(estimated, 0u);
}

TEST_F(TrackingTest, TheDistanceFilterGrowsWithTheSquareOfTheSpeedUpToItsCap) {
    auto manager = makeManager(source, true);
    manager->configure(config({{"distanceFilter", 500}, {"desiredAccuracy", 100}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    double metres = 0;
    // Each fix 5 km on: past any filter.
    auto fixAtSpeed = [&](double speed) {
        clock->advance(10s);
        const std::size_t before = handOuts->locationCount();
        source->emit(fixNorth(metres += 5000, *clock, 5, speed));
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == before + 1; })) << speed;
        return manager->platformManager().distanceFilter();
    };
    EXPECT_EQ(fixAtSpeed(12), 600);  // 10 squared, on the configured 500
    EXPECT_EQ(fixAtSpeed(13), 725);  // 15 squared
    EXPECT_EQ(fixAtSpeed(-1), 500);  // unknown speed
    EXPECT_EQ(fixAtSpeed(30), 1000);  // 1400 capped
    EXPECT_EQ(fixAtSpeed(99.9), 1000);  // 10500 capped
    // From 100 m/s on the speed tells nothing the filter could use.
    EXPECT_EQ(fixAtSpeed(100), 500);
    EXPECT_EQ(fixAtSpeed(250), 500);
    EXPECT_TRUE(manager->platformManager().isUpdatingLocation());
}

TEST_F(TrackingTest, AnInaccurateFirstFixIsTakenOnlyFifteenSecondsIntoTheAcquisition) {
    auto manager = makeManager(source, true);
    manager->configure(config({{"distanceFilter", 10}, {"desiredAccuracy", 10}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    for (int second : {3, 8, 14}) {
        clock->advance(second == 3 ? 3s : second == 8 ? 5s : 6s);
        source->emit(fixNorth(100.0 * second, *clock, 50));
        RunLoop::pumpFor(5ms);
        EXPECT_EQ(handOuts->locationCount(), 0u) << second << " s";
        EXPECT_TRUE(manager->isAcquiringSpeed());
    }
    clock->advance(1s);
    source->emit(fixNorth(1500, *clock, 50));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == 1; }));
    EXPECT_FALSE(manager->isAcquiringSpeed());
    // The same holds for the stationary fix in the background.
    manager->switchMode(BACKGROUND_MODE);
    clock->advance(14s);
    source->emit(fixNorth(1600, *clock, 50));
    RunLoop::pumpFor(5ms);
    EXPECT_EQ(handOuts->stationaryCount(), 0u);
    clock->advance(1s);
    source->emit(fixNorth(1700, *clock, 50));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->stationaryCount() == 1; }));
}

TEST_F(TrackingTest, InTheBackgroundWithoutSavingBatteryTrackingStaysContinuous) {
    auto manager = makeManager(source, true);
    manager->configure(config({{"distanceFilter", 500}, {"saveBatteryOnBackground", false}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    manager->switchMode(BACKGROUND_MODE);
    EXPECT_TRUE(manager->isAcquiringSpeed());
    EXPECT_FALSE(manager->isAcquiringStationaryLocation());
    double metres = 0;
    for (int i = 1; i <= 4; ++i) {
        clock->advance(10s);
        source->emit(fixNorth(metres += 2000, *clock, 5, 12));
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == std::size_t(i); }));
        // No new acquisition, no region: updates go on with the speed's filter.
        EXPECT_FALSE(manager->isAcquiringSpeed()) << i;
        EXPECT_EQ(manager->platformManager().distanceFilter(), 600) << i;
        EXPECT_TRUE(manager->platformManager().isUpdatingLocation()) << i;
        EXPECT_FALSE(manager->getStationaryLocation()) << i;
    }
    EXPECT_EQ(handOuts->stationaryCount(), 0u);
}

TEST_F(TrackingTest, FixesWithoutAnAccuracyEstimateFromGpsdAreKeptAndPosted) {
    // A receiver that sends only RMC: gpsd reports no horizontal error.
    test::TempDir dir;
    auto realClock = Clock::system();
    wharf::test::writeFile(dir.file("rmc.nmea"), test::nmeaTrack(std::time(nullptr), 40, 0.2, 0.8, false));
    test::GpsFake fake(dir.file("rmc.nmea"));
    WHARF_REQUIRE_COMPONENT(fake.started(), "gpsd and gpsfake: " << fake.why());
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(500, ""); });

    auto gpsd = GpsdLocationSource::create("127.0.0.1", std::to_string(fake.port()));
    auto manager = createManager({gpsd, realClock, store.get(), &Application::shared()});
    handOuts->manager = manager;
    handOuts->autoFinish = true;
    manager->setDelegate(handOuts);
    manager->configure(config({{"distanceFilter", 10}, {"url", server.url("/fix")}, {"syncUrl", ""}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    const bool stored = RunLoop::pumpUntil([&] { return validRows() >= 3 && server.requests().size() >= 3; }, 20s);
    manager->stop(nullptr);
    ASSERT_TRUE(stored) << validRows() << " rows, " << server.requests().size() << " posts";
    for (const auto& row : store->getValidLocations()) EXPECT_LT(*row.accuracy, 0);
    EXPECT_GE(handOuts->locationCount(), 3u);
    EXPECT_LT(Value::parse(server.requests()[0].body)[0]["accuracy"].get<double>(), 0);
}

TEST_F(TrackingTest, AFixWithoutAnAccuracyNeverDisplacesOneWithIt) {
    auto manager = makeManager(source, true);
    manager->configure(config({{"distanceFilter", 10}}), nullptr);
    ASSERT_TRUE(manager->start(nullptr));
    clock->advance(10s);
    auto older = fixNorth(0, *clock, 20);
    clock->advance(1s);
    auto newer = fixNorth(50, *clock, -1);
    manager->locationManagerDidUpdateLocations({older, newer});
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == 1; }));
    EXPECT_EQ(handOuts->locations[0]["accuracy"], 20.0);
    // Among fixes without one, the newest wins.
    clock->advance(10s);
    auto a = fixNorth(700, *clock, -1);
    clock->advance(1s);
    auto b = fixNorth(800, *clock, -1);
    manager->locationManagerDidUpdateLocations({a, b});
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == 2; }));
    EXPECT_EQ(handOuts->locations[1]["latitude"], b.coordinate.latitude);
    EXPECT_EQ(handOuts->locations[1]["accuracy"], -1.0);
}

}  // namespace
}  // namespace wharf
