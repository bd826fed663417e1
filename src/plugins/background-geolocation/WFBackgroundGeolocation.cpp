#include "plugins/background-geolocation/WFBackgroundGeolocation.h"

#include <cmath>

#include "host/WFCommandDelegate.h"
#include "logging/LGASLLogger.h"
#include "logging/LGLog.h"
#include "logging/LGTTYLogger.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/Container.h"
#include "plugins/background-geolocation/Config.h"
#include "plugins/background-geolocation/LogReader.h"

namespace wharf {

namespace {

using platform::Value;

constexpr uint64_t kSystemLogMask = LGLogFlagError | LGLogFlagWarning | LGLogFlagInfo;
constexpr uint64_t kConsoleAndDatabaseMask = kSystemLogMask | LGLogFlagDebug;
constexpr const char* kLaunchOptionsLocationKey = "UIApplicationLaunchOptionsLocationKey";

// One database sink per process and log directory: a second plug-in must not
// write every line twice.
std::shared_ptr<SQLDBLogger> databaseLogger(const std::string& directory) {
    static std::mutex mutex;
    static std::shared_ptr<SQLDBLogger> logger;
    static std::string loggerDirectory;
    std::lock_guard lock(mutex);
    if (logger && loggerDirectory == directory) return logger;
    if (logger) LGLog::removeLogger(logger);
    logger = std::make_shared<SQLDBLogger>(directory);
    logger->setSaveThreshold(1);
    logger->setSaveInterval(0.0);
    logger->setMaxAge(604800.0);
    logger->setDeleteInterval(86400.0);
    logger->setDeleteOnEverySave(false);
    loggerDirectory = directory;
    return logger;
}

// A whole number of the page's: an integral JSON number, or a text holding one.
std::optional<int64_t> integerArgument(const Value& v) {
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) return static_cast<int64_t>(d);
        return std::nullopt;
    }
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789-") != std::string::npos ||
            s.find('-', 1) != std::string::npos || s == "-")
            return std::nullopt;
        return std::stoll(s);
    }
    return std::nullopt;
}

struct ManagerEnvironment {
    std::mutex mutex;
    LocationManagerEnvironment environment;
};

ManagerEnvironment& managerEnvironment() {
    static auto* e = new ManagerEnvironment;
    return *e;
}

}  // namespace

void WFBackgroundGeolocation::setManagerEnvironment(LocationManagerEnvironment environment) {
    auto& e = managerEnvironment();
    std::lock_guard lock(e.mutex);
    e.environment = std::move(environment);
}

const WFActionTable& WFBackgroundGeolocation::actions() {
    using T = WFBackgroundGeolocation;
    static const WFActionTable table = WFMakeActionTable<T>({
        {"configure", &T::configure},
        {"start", &T::start},
        {"stop", &T::stop},
        {"switchMode", &T::switchMode},
        {"addStationaryRegionListener", &T::addStationaryRegionListener},
        {"getStationaryLocation", &T::getStationaryLocation},
        {"isLocationEnabled", &T::isLocationEnabled},
        {"showAppSettings", &T::showAppSettings},
        {"showLocationSettings", &T::showLocationSettings},
        {"watchLocationMode", &T::watchLocationMode},
        {"stopWatchingLocationMode", &T::stopWatchingLocationMode},
        {"getLocations", &T::getLocations},
        {"getValidLocations", &T::getValidLocations},
        {"deleteLocation", &T::deleteLocation},
        {"deleteAllLocations", &T::deleteAllLocations},
        {"finish", &T::finish},
        {"getLogEntries", &T::getLogEntries},
    });
    return table;
}

std::string WFBackgroundGeolocation::loggerDirectory() {
    std::string base = platform::Container::applicationSupportPath();
    if (base.empty()) base = platform::Container::tmpPath();
    return base + "/SQLiteLogger";
}

void WFBackgroundGeolocation::pluginInitialize() {
    queue_ = platform::dispatch::createSerialQueue("wharf.geolocation");
    LGLog::addLogger(LGASLLogger::sharedInstance(), kSystemLogMask);
    LGLog::addLogger(LGTTYLogger::sharedInstance(), kConsoleAndDatabaseMask);
    sqliteLogger_ = databaseLogger(loggerDirectory());
    LGLog::addLogger(sqliteLogger_, kConsoleAndDatabaseMask);

    LocationManagerEnvironment environment;
    {
        auto& e = managerEnvironment();
        std::lock_guard lock(e.mutex);
        environment = e.environment;
    }
    manager_ = LocationManager::create(environment);
    manager_->setDelegate(std::static_pointer_cast<WFBackgroundGeolocation>(shared_from_this()));

    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    auto observe = [&](const char* name, void (WFBackgroundGeolocation::*handler)(const platform::Notification&)) {
        observations_.push_back(center.addObserver(name, nullptr, [weak, handler](const platform::Notification& n) {
            if (auto self = weak.lock()) (static_cast<WFBackgroundGeolocation&>(*self).*handler)(n);
        }));
    };
    observe(platform::kUIApplicationDidEnterBackgroundNotification, &WFBackgroundGeolocation::onPause);
    observe(platform::kUIApplicationWillEnterForegroundNotification, &WFBackgroundGeolocation::onResume);
    observe(platform::kUIApplicationDidFinishLaunchingNotification, &WFBackgroundGeolocation::onFinishLaunching);
}

// --- helpers ---------------------------------------------------------------------------

void WFBackgroundGeolocation::inBackground(std::function<void()> body) {
    if (!commandDelegate() || !queue_) return;
    queue_->async([self = shared_from_this(), body = std::move(body)] {
        try {
            body();
        } catch (const std::exception& e) {
            LGLogError("WFBackgroundGeolocation: background work failed: %s", e.what());
        } catch (...) {
            LGLogError("WFBackgroundGeolocation: background work failed");
        }
    });
}

void WFBackgroundGeolocation::send(const WFPluginResult& result, const std::optional<std::string>& callbackId) {
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, callbackId);
}

void WFBackgroundGeolocation::sendError(const std::string& message, const WFInvokedUrlCommand& command) {
    LGLogWarn("WFBackgroundGeolocation %s: %s", command.methodName().c_str(), message.c_str());
    send(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::Error, message), command.callbackId());
}

// --- actions ---------------------------------------------------------------------------

void WFBackgroundGeolocation::configure(const WFInvokedUrlCommand& command) {
    const Value options = command.argumentAtIndex(0);
    inBackground([this, command, options] {
        if (!options.is_object()) {
            sendError("Configuration error", command);
            return;
        }
        const Config config = Config::fromDictionary(options);
        {
            std::lock_guard lock(mutex_);
            syncCallbackId_ = command.callbackId();
        }
        platform::Error error;
        if (!manager_->configure(config, &error))
            send(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::Error, "Configuration error"),
                 command.callbackId());
    });
}

void WFBackgroundGeolocation::start(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        platform::Error error;
        const bool started = manager_->start(&error);
        if (started || error.domain.empty())
            send(WFPluginResult::resultWithStatus(WFResultStatus::OK), command.callbackId());
        else
            send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::Error, error.userInfo),
                 command.callbackId());
    });
}

void WFBackgroundGeolocation::stop(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        platform::Error error;
        if (manager_->stop(&error))
            send(WFPluginResult::resultWithStatus(WFResultStatus::OK), command.callbackId());
        else
            send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::Error, error.userInfo),
                 command.callbackId());
    });
}

void WFBackgroundGeolocation::switchMode(const WFInvokedUrlCommand& command) {
    const auto mode = integerArgument(command.argumentAtIndex(0));
    inBackground([this, command, mode] {
        if (!mode || *mode < 0) {
            sendError("switchMode needs the mode as its first argument: 1 (foreground) or 0 (background)", command);
            return;
        }
        manager_->switchMode(static_cast<uint64_t>(*mode));
    });
}

void WFBackgroundGeolocation::addStationaryRegionListener(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        if (command.callbackId()) {
            std::lock_guard lock(mutex_);
            stationaryRegionListeners_.push_back(*command.callbackId());
        }
        // The answer keeps the callback: without that the page would drop it,
        // and the later stationary fixes sent to it would reach nobody.
        if (auto stationary = manager_->getStationaryLocation()) {
            WFPluginResult result =
                WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, *stationary);
            result.setKeepCallbackAsBool(true);
            send(result, command.callbackId());
        }
    });
}

void WFBackgroundGeolocation::getStationaryLocation(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        if (auto stationary = manager_->getStationaryLocation())
            send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, *stationary),
                 command.callbackId());
        else
            send(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, false), command.callbackId());
    });
}

void WFBackgroundGeolocation::isLocationEnabled(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        send(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, manager_->isLocationEnabled()),
             command.callbackId());
    });
}

void WFBackgroundGeolocation::showAppSettings(const WFInvokedUrlCommand&) {
    inBackground([this] { manager_->showAppSettings(); });
}

void WFBackgroundGeolocation::showLocationSettings(const WFInvokedUrlCommand&) {
    inBackground([this] { manager_->showLocationSettings(); });
}

void WFBackgroundGeolocation::watchLocationMode(const WFInvokedUrlCommand& command) {
    std::lock_guard lock(mutex_);
    locationModeCallbackId_ = command.callbackId();
}

void WFBackgroundGeolocation::stopWatchingLocationMode(const WFInvokedUrlCommand&) {
    std::lock_guard lock(mutex_);
    locationModeCallbackId_.reset();
}

void WFBackgroundGeolocation::getLocations(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        platform::Error error;
        const Value locations = manager_->getLocations(&error);
        sendLocations(locations, error, command);
    });
}

void WFBackgroundGeolocation::getValidLocations(const WFInvokedUrlCommand& command) {
    inBackground([this, command] {
        platform::Error error;
        const Value locations = manager_->getValidLocations(&error);
        sendLocations(locations, error, command);
    });
}

// A store that could not be read has not said that there are no locations.
void WFBackgroundGeolocation::sendLocations(const Value& locations, const platform::Error& error,
                                            const WFInvokedUrlCommand& command) {
    if (error.domain.empty()) {
        send(WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, locations), command.callbackId());
        return;
    }
    const std::string message = "The location store could not be read: " + error.localizedDescription();
    LGLogWarn("WFBackgroundGeolocation %s: %s", command.methodName().c_str(), message.c_str());
    send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::Error,
                                                             Value{{"code", error.code}, {"message", message}}),
         command.callbackId());
}

void WFBackgroundGeolocation::deleteLocation(const WFInvokedUrlCommand& command) {
    const auto id = integerArgument(command.argumentAtIndex(0));
    inBackground([this, command, id] {
        if (!id) {
            sendError("deleteLocation needs the location's id as its first argument", command);
            return;
        }
        manager_->deleteLocation(*id);
    });
}

void WFBackgroundGeolocation::deleteAllLocations(const WFInvokedUrlCommand&) {
    inBackground([this] { manager_->deleteAllLocations(); });
}

void WFBackgroundGeolocation::finish(const WFInvokedUrlCommand&) {
    inBackground([this] { manager_->finish(); });
}

void WFBackgroundGeolocation::getLogEntries(const WFInvokedUrlCommand& command) {
    const int64_t limit = LogReader::limitFromArgument(command.argumentAtIndex(0));
    inBackground([this, command, limit] {
        auto entries = LogReader::getEntries(loggerDirectory() + "/" + SQLDBLogger::kDatabaseFileName, limit);
        if (entries)
            send(WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, *entries), command.callbackId());
        else
            send(WFPluginResult::resultWithStatus(WFResultStatus::OK), command.callbackId());
    });
}

// --- events ------------------------------------------------------------------------------

void WFBackgroundGeolocation::onLocationChanged(const Value& location) {
    LGLogDebug("WFBackgroundGeolocation onLocationChanged");
    inBackground([this, location] {
        std::optional<std::string> callbackId;
        {
            std::lock_guard lock(mutex_);
            callbackId = syncCallbackId_;
        }
        if (!callbackId) return;  // nothing configured yet: nobody to tell
        WFPluginResult result = WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, location);
        result.setKeepCallbackAsBool(true);
        send(result, callbackId);
    });
}

void WFBackgroundGeolocation::onStationaryChanged(const Value& location) {
    LGLogDebug("WFBackgroundGeolocation onStationaryChanged");
    inBackground([this, location] {
        std::vector<std::string> listeners;
        {
            std::lock_guard lock(mutex_);
            listeners = stationaryRegionListeners_;
        }
        if (listeners.empty()) return;
        WFPluginResult result = WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, location);
        result.setKeepCallbackAsBool(true);
        for (const auto& id : listeners) send(result, id);
    });
}

void WFBackgroundGeolocation::onAuthorizationChanged(int64_t status) {
    inBackground([this, status] {
        std::optional<std::string> callbackId;
        {
            std::lock_guard lock(mutex_);
            callbackId = locationModeCallbackId_;
        }
        if (!callbackId) return;
        WFPluginResult result = WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, status == 1);
        result.setKeepCallbackAsBool(true);
        send(result, callbackId);
    });
}

void WFBackgroundGeolocation::onError(const platform::Error& error) {
    LGLogError("WFBackgroundGeolocation onError");
    inBackground([this, info = error.userInfo] {
        std::optional<std::string> callbackId;
        {
            std::lock_guard lock(mutex_);
            callbackId = syncCallbackId_;
        }
        if (!callbackId) return;
        WFPluginResult result = WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::Error, info);
        result.setKeepCallbackAsBool(true);
        send(result, callbackId);
    });
}

// --- application life cycle ----------------------------------------------------------------

void WFBackgroundGeolocation::onPause(const platform::Notification&) {
    LGLogDebug("WFBackgroundGeoLocation paused");
    manager_->switchMode(BACKGROUND_MODE);
}

void WFBackgroundGeolocation::onResume(const platform::Notification&) {
    LGLogDebug("WFBackgroundGeoLocation resumed");
    manager_->switchMode(FOREGROUND_MODE);
}

void WFBackgroundGeolocation::onFinishLaunching(const platform::Notification& notification) {
    if (notification.userInfo.is_object() && notification.userInfo.contains(kLaunchOptionsLocationKey))
        LGLogInfo("WFBackgroundGeolocation started by system on location event.");
}

void WFBackgroundGeolocation::onAppTerminate() {
    LGLogInfo("WFBackgroundGeoLocation appTerminate");
    manager_->onAppTerminate();
}

void registerBackgroundGeolocationPlugin() {
    WFRegisterPluginClass<WFBackgroundGeolocation>("WFBackgroundGeolocation");
}

}  // namespace wharf
