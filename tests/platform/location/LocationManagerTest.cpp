// The location service computed from raw fixes: distance filter, significant
// changes, region exits with hysteresis, and how it holds its source.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"
#include "platform/location/LocationManager.h"

namespace {

using namespace wharf::platform;

const LocationCoordinate kHome{52.5200, 13.4050};

// Due north of home by `metres`.
LocationFix fixAt(double metres, double accuracy = 5) {
    LocationFix fix;
    fix.coordinate = destinationPoint(kHome, 0, metres);
    fix.horizontalAccuracy = accuracy;
    fix.timestamp = Clock::shared()->now();
    return fix;
}

struct Recorder : LocationManagerDelegate {
    std::vector<double> reported;  // metres north of home
    std::vector<std::string> exits;
    std::vector<Error> errors;
    std::vector<AuthorizationStatus> statuses;
    void locationManagerDidUpdateLocations(const std::vector<LocationFix>& fixes) override {
        for (const auto& f : fixes) reported.push_back(std::round(distanceBetween(kHome, f.coordinate)));
    }
    void locationManagerDidExitRegion(const CircularRegion& region) override { exits.push_back(region.identifier); }
    void locationManagerDidFailWithError(const Error& error) override { errors.push_back(error); }
    void locationManagerDidChangeAuthorizationStatus(AuthorizationStatus status) override {
        statuses.push_back(status);
    }
};

class LocationManagerTest : public ::testing::Test {
protected:
    void TearDown() override { LocationSource::setShared(nullptr); }
    std::shared_ptr<FakeLocationSource> source = std::make_shared<FakeLocationSource>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(LocationManagerTest, DistanceFilterAndSignificantChangesAreComputedFromRawFixes) {
    LocationManager manager(source);
    manager.setDelegate(recorder);
    manager.setDistanceFilter(100);
    manager.startUpdatingLocation();
    for (double m : {0.0, 60.0, 99.0, 101.0, 150.0, 215.0}) source->emit(fixAt(m));
    // Each report lies 100 m or more from the one before it.
    EXPECT_EQ(recorder->reported, (std::vector<double>{0, 101, 215}));

    // A restart reports the next fix whatever its distance (a fresh position).
    manager.stopUpdatingLocation();
    manager.startUpdatingLocation();
    source->emit(fixAt(220));
    EXPECT_EQ(recorder->reported.back(), 220);

    // Significant changes alone: the first fix, then each 500 m on.
    manager.stopUpdatingLocation();
    recorder->reported.clear();
    manager.startMonitoringSignificantLocationChanges();
    for (double m : {300.0, 700.0, 799.0, 801.0, 1350.0}) source->emit(fixAt(m));
    EXPECT_EQ(recorder->reported, (std::vector<double>{300, 801, 1350}));
}

TEST_F(LocationManagerTest, RegionExitWaitsForTheFixToBeClearlyOutside) {
    LocationManager manager(source);
    manager.setDelegate(recorder);
    manager.startMonitoringForRegion({"stay", kHome, 50, true});
    source->emit(fixAt(10));  // inside: learned silently
    source->emit(fixAt(58));  // past the border, within its 10 m margin
    source->emit(fixAt(45));
    source->emit(fixAt(59));
    EXPECT_TRUE(recorder->exits.empty());
    // A coarse fix needs to lie its own accuracy beyond the border.
    source->emit(fixAt(75, 30));
    EXPECT_TRUE(recorder->exits.empty());
    source->emit(fixAt(81, 30));
    EXPECT_EQ(recorder->exits, (std::vector<std::string>{"stay"}));
    source->emit(fixAt(400));  // still outside: no second exit
    source->emit(fixAt(20));  // back in, and out again
    source->emit(fixAt(200));
    EXPECT_EQ(recorder->exits.size(), 2u);
    // Region fixes are not location updates.
    EXPECT_TRUE(recorder->reported.empty());

    // Starting where the device already is outside reports nothing.
    manager.startMonitoringForRegion({"far", destinationPoint(kHome, 0, 5000), 50, true});
    source->emit(fixAt(300));
    EXPECT_EQ(recorder->exits.size(), 2u);
}

TEST_F(LocationManagerTest, SourceIsHeldWhileNeededAndAStopStartDoesNotRestartIt) {
    {
        LocationManager manager(source);
        manager.setDelegate(recorder);
        manager.startUpdatingLocation();
        EXPECT_EQ(source->startCount(), 1);
        // A mode switch stops and restarts at once.
        manager.stopUpdatingLocation();
        manager.startUpdatingLocation();
        RunLoop::pumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(source->startCount(), 1);
        EXPECT_TRUE(source->isRunning());

        // Letting go of everything releases the source once the loop runs.
        manager.stopUpdatingLocation();
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return !source->isRunning(); }));
        manager.startMonitoringSignificantLocationChanges();
        EXPECT_TRUE(source->isRunning());
        source->emit(fixAt(0));
        EXPECT_EQ(recorder->reported.size(), 1u);
        source->fail(Error::withDescription(kLocationErrorDomain, kLocationErrorLocationUnknown, "no gpsd"));
        ASSERT_EQ(recorder->errors.size(), 1u);
        EXPECT_EQ(recorder->errors[0].code, kLocationErrorLocationUnknown);
        // The delegate heard that location use is authorised.
        RunLoop::pumpUntil([&] { return !recorder->statuses.empty(); });
        EXPECT_EQ(recorder->statuses, (std::vector<AuthorizationStatus>{AuthorizationStatus::AuthorizedAlways}));
    }
    // A manager that is gone lets go of its source and hears nothing more.
    EXPECT_FALSE(source->isRunning());
    source->emit(fixAt(900));
    EXPECT_EQ(recorder->reported.size(), 1u);
}

TEST_F(LocationManagerTest, WithoutAnySourceLocationServicesAreOffAndUpdatesFail) {
    auto none = std::make_shared<NoLocationSource>();
    LocationSource::setShared(none);
    EXPECT_FALSE(LocationManager::locationServicesEnabled());
    EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::Denied);
    LocationManager manager;
    manager.setDelegate(recorder);
    manager.startUpdatingLocation();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !recorder->errors.empty(); }));
    EXPECT_EQ(recorder->errors[0].domain, kLocationErrorDomain);
    EXPECT_EQ(recorder->errors[0].code, kLocationErrorDenied);
    EXPECT_EQ(recorder->statuses, (std::vector<AuthorizationStatus>{AuthorizationStatus::Denied}));
}

TEST(LocationSourceOption, LaunchFormsAreCheckedAndExplainedWhenWrong) {
    Error error;
    auto gpsd = LocationSource::fromOption("gpsd://[::1]:2948", "", &error);
    ASSERT_TRUE(gpsd);
    EXPECT_EQ(gpsd->description(), "gpsd://[::1]:2948");
    EXPECT_EQ(LocationSource::fromOption("gpsd://localhost", "", &error)->description(), "gpsd://localhost:2947");
    EXPECT_FALSE(LocationSource::fromOption("none", "", &error)->servicesEnabled());
    for (const char* bad : {"gpsd://", "gpsd://host:0", "gpsd://host:70000", "gpsd://host:29x", "gpsd://host/path:1",
                            "gpsd://[::1", "replay:", "replay:/no/such/track.gpx", "gps://host", "GPSD"}) {
        error = Error();
        EXPECT_EQ(LocationSource::fromOption(bad, "", &error), nullptr) << bad;
        EXPECT_FALSE(error.localizedDescription().empty()) << bad;
    }
}

}  // namespace
