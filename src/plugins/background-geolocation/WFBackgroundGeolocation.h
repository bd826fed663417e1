#pragma once
// The plug-in through which the page drives background location tracking:
// seventeen actions, the callbacks through which locations, stationary fixes,
// authorisation changes and errors reach the page later, the application's
// moves to and from the background, and the logging of the whole
// geolocation subsystem (system log, console and a log file the page reads
// back with getLogEntries).
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/dispatch/Dispatch.h"
#include "plugins/background-geolocation/LocationManager.h"
#include "plugins/background-geolocation/SQLDBLogger.h"

namespace wharf {

class WFBackgroundGeolocation : public WFPlugin, public LocationManagerDelegate {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFBackgroundGeolocation"; }

    void pluginInitialize() override;
    void onAppTerminate() override;

    // The log file's directory: "SQLiteLogger" in Application Support.
    static std::string loggerDirectory();
    // What the managers of plug-ins initialised from now on work with (the
    // process's source, clock, store and application unless set; tests).
    static void setManagerEnvironment(LocationManagerEnvironment environment);

    // Actions. Bad arguments answer ERROR with a message saying what was expected.
    void configure(const WFInvokedUrlCommand& command);
    void start(const WFInvokedUrlCommand& command);
    void stop(const WFInvokedUrlCommand& command);
    void switchMode(const WFInvokedUrlCommand& command);
    void addStationaryRegionListener(const WFInvokedUrlCommand& command);
    void getStationaryLocation(const WFInvokedUrlCommand& command);
    void isLocationEnabled(const WFInvokedUrlCommand& command);
    void showAppSettings(const WFInvokedUrlCommand& command);
    void showLocationSettings(const WFInvokedUrlCommand& command);
    void watchLocationMode(const WFInvokedUrlCommand& command);
    void stopWatchingLocationMode(const WFInvokedUrlCommand& command);
    void getLocations(const WFInvokedUrlCommand& command);
    void getValidLocations(const WFInvokedUrlCommand& command);
    void deleteLocation(const WFInvokedUrlCommand& command);
    void deleteAllLocations(const WFInvokedUrlCommand& command);
    void finish(const WFInvokedUrlCommand& command);
    void getLogEntries(const WFInvokedUrlCommand& command);

    // LocationManagerDelegate: each sends from the plug-in's queue.
    void onAuthorizationChanged(int64_t status) override;
    void onLocationChanged(const platform::Value& location) override;
    void onStationaryChanged(const platform::Value& location) override;
    void onError(const platform::Error& error) override;

    const std::shared_ptr<LocationManager>& manager() const { return manager_; }

private:
    void onPause(const platform::Notification& notification);
    void onResume(const platform::Notification& notification);
    void onFinishLaunching(const platform::Notification& notification);
    // Runs `body` off the main thread, after everything handed over before
    // it (nothing when the host is gone).
    void inBackground(std::function<void()> body);
    void send(const WFPluginResult& result, const std::optional<std::string>& callbackId);
    void sendError(const std::string& message, const WFInvokedUrlCommand& command);
    void sendLocations(const platform::Value& locations, const platform::Error& error,
                       const WFInvokedUrlCommand& command);

    std::mutex mutex_;
    // The actions' and events' own serial queue: the host's background queue
    // is concurrent, and a start must not overtake the configure before it.
    platform::dispatch::QueuePtr queue_;
    std::shared_ptr<SQLDBLogger> sqliteLogger_;
    std::optional<std::string> syncCallbackId_;
    std::optional<std::string> locationModeCallbackId_;
    std::vector<std::string> stationaryRegionListeners_;
    std::shared_ptr<LocationManager> manager_;
    std::vector<platform::ObserverToken> observations_;
};

// Registers "WFBackgroundGeolocation".
void registerBackgroundGeolocationPlugin();

}  // namespace wharf
