#pragma once
// Helpers for the tracking tests: platform fixes along a line, a delegate that
// records what the manager hands out, and the batch files in Documents.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "logging/LGLog.h"
#include "platform/device/Application.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"
#include "platform/location/LocationFix.h"
#include "platform/net/Reachability.h"
#include "platform/storage/Container.h"
#include "plugins/background-geolocation/LocationManager.h"

namespace wharf::test {

inline const platform::LocationCoordinate kOrigin{48.137, 11.575};

// `metres` due north of the origin, stamped by `clock`.
inline platform::LocationFix fixNorth(double metres, const platform::Clock& clock, double accuracy = 5,
                                      double speed = 0) {
    platform::LocationFix fix;
    fix.coordinate = platform::destinationPoint(kOrigin, 0, metres);
    fix.altitude = 500;
    fix.horizontalAccuracy = accuracy;
    fix.verticalAccuracy = 3;
    fix.speed = speed;
    fix.course = 0;
    fix.timestamp = clock.now();
    return fix;
}

// Records the hand-outs; with `autoFinish` it acknowledges each at once, as
// the page does.
struct HandOuts : LocationManagerDelegate {
    mutable std::mutex mutex;
    std::vector<platform::Value> locations;
    std::vector<platform::Value> stationary;
    std::vector<platform::Error> errors;
    std::vector<int64_t> authorizations;
    std::weak_ptr<LocationManager> manager;
    bool autoFinish = false;

    void onAuthorizationChanged(int64_t status) override {
        std::lock_guard lock(mutex);
        authorizations.push_back(status);
    }
    void onLocationChanged(const platform::Value& location) override {
        {
            std::lock_guard lock(mutex);
            locations.push_back(location);
        }
        acknowledge();
    }
    void onStationaryChanged(const platform::Value& location) override {
        {
            std::lock_guard lock(mutex);
            stationary.push_back(location);
        }
        acknowledge();
    }
    void onError(const platform::Error& error) override {
        std::lock_guard lock(mutex);
        errors.push_back(error);
    }
    std::size_t locationCount() const {
        std::lock_guard lock(mutex);
        return locations.size();
    }
    std::size_t stationaryCount() const {
        std::lock_guard lock(mutex);
        return stationary.size();
    }
    std::vector<platform::Error> errorsSoFar() const {
        std::lock_guard lock(mutex);
        return errors;
    }

private:
    void acknowledge() {
        if (!autoFinish) return;
        // As the page would: later, from the main loop.
        platform::RunLoop::performOnMain([weak = manager] {
            if (auto m = weak.lock()) m->finish();
        });
    }
};

// A temporary container with a location store of its own, the application's
// background time measured by a manual clock, and a network that is up
// whatever the machine's is.
class GeolocationFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::NetworkMonitor::setShared(monitor);
        platform::Application::shared().resetForTesting();
        platform::Application::shared().setClock(clock);
        store = std::make_unique<SQLiteLocationDAO>();
        ASSERT_TRUE(store->open());
    }
    void TearDown() override {
        // A manager the test let go may still finish work on its queues with
        // the store: the store goes only after the managers.
        for (const auto& manager : managers)
            EXPECT_TRUE(platform::RunLoop::pumpUntil([&] { return manager.expired(); }, kHangDeadline));
        LGLog::flushLog();
        platform::Application::shared().resetForTesting();
        platform::NetworkMonitor::setShared(nullptr);
    }
    LocationManagerEnvironment environment(std::shared_ptr<platform::LocationSource> source) {
        return {std::move(source), clock, store.get(), &platform::Application::shared()};
    }
    std::shared_ptr<LocationManager> createManager(LocationManagerEnvironment environment) {
        return watched(LocationManager::create(std::move(environment)));
    }
    const std::shared_ptr<LocationManager>& watched(const std::shared_ptr<LocationManager>& manager) {
        managers.push_back(manager);
        return manager;
    }

    TempHome home;
    std::shared_ptr<platform::FakeNetworkMonitor> monitor =
        std::make_shared<platform::FakeNetworkMonitor>(platform::kReachabilityFlagReachable);
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    std::unique_ptr<SQLiteLocationDAO> store;
    std::vector<std::weak_ptr<LocationManager>> managers;
};

// Names of the batch files in the container's Documents directory.
inline std::vector<std::string> batchFiles() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(platform::Container::documentsPath(), ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("locations_", 0) == 0) names.push_back(name);
    }
    return names;
}

}  // namespace wharf::test
