// The plug-in as the page sees it, through the real command delegate: bad
// arguments, the stationary listeners, start without location services, and
// the log the page reads back.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "GeolocationTestSupport.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "TrackingTestSupport.h"
#include "host/testing/FakeViewController.h"
#include "logging/LGLog.h"
#include "platform/Application.h"
#include "platform/Container.h"
#include "platform/NotificationCenter.h"
#include "plugins/background-geolocation/WFBackgroundGeolocation.h"

namespace wharf {
namespace {

using namespace platform;
using wharf::LocationManager;
using namespace std::chrono_literals;
using test::fixNorth;
using Action = void (WFBackgroundGeolocation::*)(const WFInvokedUrlCommand&);

class BackgroundGeolocationPluginTest : public test::GeolocationFixture {
protected:
    void TearDown() override {
        LGLog::flushLog();
        LGLog::removeAllLoggers();
        WFBackgroundGeolocation::setManagerEnvironment({});
        GeolocationFixture::TearDown();
    }

    void load(std::shared_ptr<LocationSource> source) {
        WFBackgroundGeolocation::setManagerEnvironment(environment(std::move(source)));
        controller = testing::FakeViewController::create();
        plugin = std::make_shared<WFBackgroundGeolocation>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "BackgroundGeolocation");
    }
    void call(Action action, const std::string& callbackId, Value arguments = Value::array()) {
        ((*plugin).*action)(WFInvokedUrlCommand(std::move(arguments), callbackId, "WFBackgroundGeolocation", "x"));
    }
    std::vector<test::SentResult> resultsFor(const std::string& id) {
        std::vector<test::SentResult> out;
        for (const auto& r : test::sentResults(*controller->engine()))
            if (r.callbackId == id) out.push_back(r);
        return out;
    }
    // The answers to `id` once there are `count` of them (or the wait ran out).
    std::vector<test::SentResult> answers(const std::string& id, std::size_t count = 1) {
        RunLoop::pumpUntil([&] { return resultsFor(id).size() >= count; }, 20s);
        return resultsFor(id);
    }
    // For what must not come: the loop turns a while longer.
    void grace() { RunLoop::pumpFor(50ms); }
    // The log entries the page reads back once one says `until`.
    Value logEntriesOnce(const std::string& until) {
        Value entries;
        RunLoop::pumpUntil(
            [&] {
                LGLog::flushLog();
                const std::string id = "log-" + std::to_string(++logCalls);
                call(&WFBackgroundGeolocation::getLogEntries, id, Value::array({0}));
                entries = answers(id)[0].message;
                for (const auto& e : entries)
                    if (e["message"] == until) return true;
                return false;
            },
            20s);
        return entries;
    }
    int logCalls = 0;

    std::shared_ptr<FakeLocationSource> source = std::make_shared<FakeLocationSource>();
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFBackgroundGeolocation> plugin;
};

TEST_F(BackgroundGeolocationPluginTest, BadArgumentsAnswerAnErrorAndChangeNothing) {
    load(source);
    call(&WFBackgroundGeolocation::configure, "good", Value::array({Value{{"distanceFilter", 10}}}));
    call(&WFBackgroundGeolocation::configure, "bad-1", Value::array({"not options"}));
    call(&WFBackgroundGeolocation::configure, "bad-2", Value::array());
    call(&WFBackgroundGeolocation::switchMode, "bad-3", Value::array());
    call(&WFBackgroundGeolocation::switchMode, "bad-4", Value::array({"fast"}));
    call(&WFBackgroundGeolocation::switchMode, "bad-5", Value::array({-1}));
    call(&WFBackgroundGeolocation::deleteLocation, "bad-6", Value::array({Value::object()}));
    call(&WFBackgroundGeolocation::deleteLocation, "bad-7", Value::array({1.5}));
    call(&WFBackgroundGeolocation::deleteLocation, "fine", Value::array({"12"}));
    call(&WFBackgroundGeolocation::getLogEntries, "log-1", Value::array({"lots"}));
    call(&WFBackgroundGeolocation::getLogEntries, "log-2", Value::array());
    for (int i = 1; i <= 7; ++i) {
        const auto sent = answers("bad-" + std::to_string(i));
        ASSERT_EQ(sent.size(), 1u) << i;
        EXPECT_EQ(sent[0].status, int(WFResultStatus::Error)) << i;
        EXPECT_TRUE(sent[0].message.is_string()) << i;
    }
    EXPECT_EQ(resultsFor("bad-1")[0].message, "Configuration error");
    for (const char* id : {"log-1", "log-2"}) {
        ASSERT_EQ(answers(id).size(), 1u);
        EXPECT_EQ(resultsFor(id)[0].status, int(WFResultStatus::OK));
    }
    grace();
    EXPECT_TRUE(resultsFor("fine").empty());
    EXPECT_TRUE(resultsFor("good").empty());

    // The refused configures left the event channel with the good one.
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);
    clock->advance(1s);
    source->emit(fixNorth(0, *clock));
    ASSERT_EQ(answers("good").size(), 1u);
    const auto location = resultsFor("good")[0];
    EXPECT_EQ(location.status, int(WFResultStatus::OK));
    EXPECT_TRUE(location.keepCallback);
    EXPECT_EQ(location.message["location_type"], "current");
}

TEST_F(BackgroundGeolocationPluginTest, StationaryListenersKeepTheirCallbacks) {
    load(source);
    call(&WFBackgroundGeolocation::configure, "events", Value::array({Value{{"stationaryRadius", 40}}}));
    call(&WFBackgroundGeolocation::addStationaryRegionListener, "first");
    call(&WFBackgroundGeolocation::addStationaryRegionListener, "second");
    call(&WFBackgroundGeolocation::getStationaryLocation, "none-yet");
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);
    ASSERT_EQ(answers("none-yet").size(), 1u);
    EXPECT_EQ(resultsFor("none-yet")[0].message, false);
    grace();
    EXPECT_TRUE(resultsFor("first").empty());

    auto stationaryFix = [&](double metres) {
        plugin->manager()->switchMode(BACKGROUND_MODE);
        clock->advance(1s);
        source->emit(fixNorth(metres, *clock));
        plugin->manager()->finish();  // the page acknowledges the stationary fix
    };
    stationaryFix(0);
    for (const char* id : {"first", "second"}) {
        const auto sent = answers(id);
        ASSERT_EQ(sent.size(), 1u) << id;
        EXPECT_TRUE(sent[0].keepCallback);
        EXPECT_EQ(sent[0].message["radius"], 40.0);
    }
    // A listener added while a region exists hears of it at once, and the
    // page keeps its callback for what comes later.
    call(&WFBackgroundGeolocation::addStationaryRegionListener, "third");
    ASSERT_EQ(answers("third").size(), 1u);
    EXPECT_TRUE(resultsFor("third")[0].keepCallback);
    EXPECT_EQ(resultsFor("third")[0].message["radius"], 40.0);

    // The next stationary fix reaches every listener, the answered one too.
    stationaryFix(2000);
    EXPECT_EQ(answers("first", 2).size(), 2u);
    EXPECT_EQ(answers("second", 2).size(), 2u);
    ASSERT_EQ(answers("third", 2).size(), 2u);
    EXPECT_TRUE(resultsFor("third")[1].keepCallback);
    EXPECT_GT(resultsFor("third")[1].message["latitude"].get<double>(),
              resultsFor("third")[0].message["latitude"].get<double>());
}

TEST_F(BackgroundGeolocationPluginTest, StartWithoutLocationServicesAnswersWhyAndStopStillSucceeds) {
    auto none = std::make_shared<NoLocationSource>();
    LocationSource::setShared(none);
    load(none);
    call(&WFBackgroundGeolocation::watchLocationMode, "mode");
    call(&WFBackgroundGeolocation::start, "start");
    call(&WFBackgroundGeolocation::stop, "stop");
    call(&WFBackgroundGeolocation::isLocationEnabled, "enabled");
    ASSERT_EQ(answers("start").size(), 1u);
    EXPECT_EQ(resultsFor("start")[0].status, int(WFResultStatus::Error));
    EXPECT_EQ(resultsFor("start")[0].message,
              Value::parse(R"({"code":2,"message":"User denied use of location services."})"));
    ASSERT_EQ(answers("stop").size(), 1u);
    EXPECT_EQ(resultsFor("stop")[0].status, int(WFResultStatus::OK));
    ASSERT_EQ(answers("enabled").size(), 1u);
    EXPECT_EQ(resultsFor("enabled")[0].message, false);
    // The page watching the location mode heard that it may not track.
    ASSERT_EQ(answers("mode").size(), 1u);
    LocationSource::setShared(nullptr);
    EXPECT_EQ(resultsFor("mode")[0].message, false);
    EXPECT_TRUE(resultsFor("mode")[0].keepCallback);
}

TEST_F(BackgroundGeolocationPluginTest, ThePageReadsBackWhatTrackingLoggedAtTheLevelsItKeeps) {
    load(source);
    // A fix before configure reaches no callback.
    call(&WFBackgroundGeolocation::start, "start-1");
    call(&WFBackgroundGeolocation::start, "start-2");
    for (const char* id : {"start-1", "start-2"}) EXPECT_EQ(answers(id)[0].status, int(WFResultStatus::OK));
    clock->advance(1s);
    source->emit(fixNorth(0, *clock));
    grace();
    EXPECT_EQ(test::sentResults(*controller->engine()).size(), 2u);

    call(&WFBackgroundGeolocation::configure, "events", Value::array({Value{{"debug", false}}}));
    // The configuration's description comes right after the verbose line.
    const Value entries = logEntriesOnce(
        "Config: distanceFilter=500 stationaryRadius=50 desiredAccuracy=100 activityType=OTHER isDebugging=0 "
        "stopOnTerminate=0 url=(null) httpHeaders=(null) pauseLocationUpdates=1");
    ASSERT_TRUE(entries.is_array());
    auto levelOf = [&](const std::string& text) -> int {
        for (const auto& e : entries)
            if (e["message"] == text) return e["level"].get<int>();
        return 0;
    };
    EXPECT_EQ(levelOf("LocationManager will start: 0"), LGLogFlagInfo);
    EXPECT_EQ(levelOf("LocationManager will start: 1"), LGLogFlagInfo);
    EXPECT_EQ(levelOf("WFBackgroundGeolocation onLocationChanged"), LGLogFlagDebug);
    // Verbose lines are kept out of the log file.
    EXPECT_EQ(levelOf("LocationManager configure"), 0);
    // Newest first.
    EXPECT_GE(entries[0]["timestamp"].get<int64_t>(), entries[entries.size() - 1]["timestamp"].get<int64_t>());
}

TEST_F(BackgroundGeolocationPluginTest, ConfigureThenStartAtOnceTakeEffectInThatOrder) {
    // A store far above the default size, which the page's configuration allows.
    constexpr int kRows = 20000;
    const std::string file = Container::libraryPath() + "/wharf_bg_geolocation.db";
    test::seedRows(file, kRows, 1600000000);
    load(source);
    // A configuration that takes a while to read.
    Value headers = Value::object();
    for (int i = 0; i < 100000; ++i) headers["X-H" + std::to_string(i)] = "v";
    call(&WFBackgroundGeolocation::configure, "events",
         Value::array({Value{{"maxLocations", 50000}, {"distanceFilter", 10}, {"httpHeaders", headers}}}));
    call(&WFBackgroundGeolocation::start, "start");
    // Fixes come as soon as tracking runs, as a receiver sends them.
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        for (int step = 1; !stop; ++step) {
            source->emit(fixNorth(600.0 * step, *clock));
            std::this_thread::sleep_for(1ms);
        }
    });
    const bool started = RunLoop::pumpUntil([&] { return !resultsFor("start").empty(); });
    RunLoop::pumpFor(100ms);
    stop = true;
    receiver.join();
    ASSERT_TRUE(started);
    ASSERT_EQ(answers("events").size(), 1u);
    EXPECT_EQ(resultsFor("events")[0].status, int(WFResultStatus::OK));
    EXPECT_EQ(test::sqliteShell(file, "SELECT COUNT(*) FROM location WHERE time < 1700000000"),
              std::to_string(kRows) + "\n");
}

TEST_F(BackgroundGeolocationPluginTest, TheLastConfigureWinsHoweverLongTheFirstTakes) {
    load(source);
    Value headers = Value::object();
    for (int i = 0; i < 100000; ++i) headers["X-H" + std::to_string(i)] = "v";
    call(&WFBackgroundGeolocation::configure, "slow",
         Value::array({Value{{"distanceFilter", 111}, {"httpHeaders", headers}}}));
    call(&WFBackgroundGeolocation::configure, "quick", Value::array({Value{{"distanceFilter", 222}}}));
    call(&WFBackgroundGeolocation::isLocationEnabled, "after");
    ASSERT_EQ(answers("after").size(), 1u);
    const auto& manager = plugin->manager()->platformManager();
    EXPECT_EQ(manager.distanceFilter(), 222);
    // Nothing still on its way replaces it.
    RunLoop::pumpUntil([&] { return manager.distanceFilter() != 222; }, 1s);
    EXPECT_EQ(manager.distanceFilter(), 222);
}

TEST_F(BackgroundGeolocationPluginTest, ThePageHearsThatAnUnreadableStoreWasSetAside) {
    store.reset();
    const std::string file = Container::libraryPath() + "/wharf_bg_geolocation.db";
    std::filesystem::remove(file);
    std::string garbage(20 * 1024, '\0');
    std::mt19937 random(4);
    for (auto& c : garbage) c = static_cast<char>(random());
    test::writeFile(file, garbage);
    store = std::make_unique<SQLiteLocationDAO>();
    load(source);
    call(&WFBackgroundGeolocation::configure, "events", Value::array({Value{{"distanceFilter", 10}}}));
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("events").size(), 1u);
    const auto told = resultsFor("events")[0];
    EXPECT_EQ(told.status, int(WFResultStatus::Error));
    EXPECT_TRUE(told.keepCallback);
    EXPECT_NE(told.message["message"].get<std::string>().find("set aside as wharf_bg_geolocation.db.unreadable-"),
              std::string::npos);
    EXPECT_EQ(test::readFile(told.message["file"].get<std::string>()), garbage);
    // The channel goes on: fixes are stored and reach the page.
    ASSERT_EQ(answers("start").size(), 1u);
    clock->advance(1s);
    source->emit(fixNorth(0, *clock));
    ASSERT_EQ(answers("events", 2).size(), 2u);
    EXPECT_EQ(resultsFor("events")[1].status, int(WFResultStatus::OK));
    EXPECT_EQ(test::sqliteShell(file, "SELECT COUNT(*) FROM location"), "1\n");
}

TEST_F(BackgroundGeolocationPluginTest, TheApplicationsMovesAndEndSwitchOrStopTracking) {
    load(source);
    call(&WFBackgroundGeolocation::configure, "events", Value::array({Value{{"stopOnTerminate", false}}}));
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);
    const auto& manager = plugin->manager();
    ASSERT_EQ(manager->operationMode(), FOREGROUND_MODE);
    auto& center = NotificationCenter::defaultCenter();
    center.post(kUIApplicationDidEnterBackgroundNotification);
    EXPECT_EQ(manager->operationMode(), BACKGROUND_MODE);
    EXPECT_TRUE(manager->isAcquiringStationaryLocation());
    center.post(kUIApplicationWillEnterForegroundNotification);
    EXPECT_EQ(manager->operationMode(), FOREGROUND_MODE);
    EXPECT_TRUE(manager->isAcquiringSpeed());

    // Ending without stopOnTerminate keeps tracking, in the background.
    plugin->onAppTerminate();
    EXPECT_TRUE(manager->isStarted());
    EXPECT_EQ(manager->operationMode(), BACKGROUND_MODE);
    // With it, tracking stops.
    call(&WFBackgroundGeolocation::configure, "events-2", Value::array({Value{{"stopOnTerminate", true}}}));
    call(&WFBackgroundGeolocation::isLocationEnabled, "after-configure");
    ASSERT_EQ(answers("after-configure").size(), 1u);
    plugin->onAppTerminate();
    EXPECT_FALSE(manager->isStarted());
    EXPECT_FALSE(manager->platformManager().isUpdatingLocation());
}

}  // namespace
}  // namespace wharf
