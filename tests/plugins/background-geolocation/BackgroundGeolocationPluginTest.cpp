// The plug-in as the page sees it, through the real command delegate: bad
// arguments, the stationary listeners, start without location services, the
// log the page reads back, and tracking through a store that cannot be
// written.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "GeolocationTestSupport.h"
#include "RawHttpServer.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "TrackingTestSupport.h"
#include "host/testing/FakeViewController.h"
#include "logging/LGLog.h"
#include "platform/Application.h"
#include "platform/Container.h"
#include "platform/Geodesy.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/ReplayLocationSource.h"
#include "plugins/background-geolocation/WFBackgroundGeolocation.h"
#include "sqldb/SQLDatabase.h"

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
        if (plugin) watched(plugin->manager());
        plugin.reset();
        controller.reset();
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

    // The times of the locations handed to the page's event channel.
    std::vector<double> located() {
        std::vector<double> times;
        for (const auto& r : resultsFor("events"))
            if (r.status == int(WFResultStatus::OK)) times.push_back(r.message["time"].get<double>());
        return times;
    }
    // What the page was told went wrong, through its event channel.
    std::vector<std::string> told() {
        std::vector<std::string> messages;
        for (const auto& r : resultsFor("events"))
            if (r.status == int(WFResultStatus::Error)) messages.push_back(r.message["message"].get<std::string>());
        return messages;
    }
    // A fix 600 m further north a second later, handed to the page, which
    // acknowledges it; its time.
    double walk() {
        const std::size_t before = located().size();
        clock->advance(1s);
        source->emit(fixNorth(600.0 * ++steps, *clock));
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return located().size() > before; })) << "no fix came";
        call(&WFBackgroundGeolocation::finish, "finish");
        return located().back();
    }
    // The host quits cleanly: its plug-in and store are gone.
    void quit() {
        NotificationCenter::defaultCenter().post(kUIApplicationWillTerminateNotification);
        std::weak_ptr<LocationManager> manager = plugin->manager();
        plugin.reset();
        controller.reset();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager.expired(); }, test::kHangDeadline));
        store.reset();
    }
    // ... and is launched again over the same files.
    void quitAndRelaunch() {
        quit();
        store = std::make_unique<SQLiteLocationDAO>();
        load(source);
    }
    int steps = 0;

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
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->unstoredLocations() == 0; }));
    EXPECT_EQ(test::sqliteShell(file, "SELECT COUNT(*) FROM location WHERE time < 1700000000"),
              std::to_string(kRows) + "\n");
}

TEST_F(BackgroundGeolocationPluginTest, AStoreThatCannotBeReadAnswersAnErrorAndTheNextCallsWaitTheirTurn) {
    load(source);
    ASSERT_TRUE(store->persistLocation(test::fixAt(1767690000), 100));
    // Another program holds the store locked; each read gives up after a second.
    store->setMaxBusyRetryTimeInterval(1);
    SQLDatabase other(store->getDatabasePath());
    ASSERT_TRUE(other.open());
    ASSERT_TRUE(other.executeStatements("BEGIN EXCLUSIVE"));
    call(&WFBackgroundGeolocation::getLocations, "all");
    call(&WFBackgroundGeolocation::getValidLocations, "valid");
    call(&WFBackgroundGeolocation::isLocationEnabled, "after");
    // The lock goes with the first answer: run one at a time, the calls
    // after the first find the store free.
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !test::sentResults(*controller->engine()).empty(); }));
    ASSERT_TRUE(other.rollback());
    ASSERT_EQ(answers("after").size(), 1u);
    const auto sent = test::sentResults(*controller->engine());
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].callbackId, "all");
    EXPECT_EQ(sent[0].status, int(WFResultStatus::Error));
    EXPECT_EQ(sent[0].message["code"], SQLITE_BUSY);
    EXPECT_EQ(sent[0].message["message"], "The location store could not be read: database is locked");
    EXPECT_EQ(sent[1].callbackId, "valid");
    EXPECT_EQ(sent[1].status, int(WFResultStatus::OK));
    EXPECT_EQ(sent[1].message.size(), 1u);
    EXPECT_EQ(sent[2].callbackId, "after");
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

// Whichever comes first, the store's opening or the page's configuration,
// the page hears once that what the store held could not be read: opened
// before the page configures, and opened only after (its directory could not
// take the new store at first).
TEST_F(BackgroundGeolocationPluginTest, ThePageHearsThatAnUnreadableStoreWasSetAside) {
    const std::string library = Container::libraryPath();
    const std::string file = library + "/wharf_bg_geolocation.db";
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    for (const bool openedFirst : {true, false}) {
        SCOPED_TRACE(openedFirst ? "opened before the page configured" : "opened after");
        if (plugin) quit();
        store.reset();
        std::filesystem::remove(file);
        std::string garbage(20 * 1024, '\0');
        std::mt19937 random(openedFirst ? 4 : 5);
        for (auto& c : garbage) c = static_cast<char>(random());
        test::writeFile(file, garbage);
        if (!openedFirst) WHARF_REQUIRE_COMPONENT(test::setImmutable(library, true), "chattr on the test's home");
        store = std::make_unique<SQLiteLocationDAO>();
        load(source);
        plugin->manager()->waitForStore();  // the open the plug-in tries ahead of the first fix
        call(&WFBackgroundGeolocation::configure, "events", Value::array({Value{{"distanceFilter", 10}}}));
        call(&WFBackgroundGeolocation::start, "start");
        ASSERT_EQ(answers("start").size(), 1u);
        if (!openedFirst) {
            ASSERT_TRUE(test::setImmutable(library, false));
            walk();
        }
        auto setAside = [&] {
            std::vector<test::SentResult> found;
            for (const auto& r : resultsFor("events"))
                if (r.status == int(WFResultStatus::Error) &&
                    r.message["message"].get<std::string>().find("set aside as wharf_bg_geolocation.db.unreadable-") !=
                        std::string::npos)
                    found.push_back(r);
            return found;
        };
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return !setAside().empty(); }));
        const auto heard = setAside()[0];
        EXPECT_TRUE(heard.keepCallback);
        EXPECT_EQ(test::readFile(heard.message["file"].get<std::string>()), garbage);
        // The channel goes on: fixes are stored and reach the page; the page
        // is told once.
        walk();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->unstoredLocations() == 0; }));
        EXPECT_EQ(test::sqliteShell(file, "SELECT COUNT(*) FROM location"), openedFirst ? "1\n" : "2\n");
        EXPECT_EQ(setAside().size(), 1u);
        if (openedFirst) {
            EXPECT_EQ(resultsFor("events")[0].status, int(WFResultStatus::Error)) << "told before the fix";
        }
    }
}

// The store file is immutable at launch (chattr +i, which binds root too),
// then writable: every fix handed to the page reaches the server, once (a
// store opened read-only at launch stayed so for good).
TEST_F(BackgroundGeolocationPluginTest, AStoreFileThatCannotBeWrittenAtLaunchTakesEveryFixOnceItCan) {
    std::mutex acceptedMutex;
    std::map<double, int> accepted;  // how often each fix time was taken
    test::RawHttpServer server([&](const test::RawRequest& r) {
        std::lock_guard lock(acceptedMutex);
        for (const auto& fix : Value::parse(r.body)) ++accepted[fix["time"].get<double>()];
        return test::rawResponse(200, "{}");
    });
    auto arrived = [&] {
        std::lock_guard lock(acceptedMutex);
        return accepted;
    };
    const std::string file = store->getDatabasePath();
    store.reset();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(file, false); });
    WHARF_REQUIRE_COMPONENT(test::setImmutable(file, true), "chattr on the test's home");
    store = std::make_unique<SQLiteLocationDAO>();
    load(source);
    call(&WFBackgroundGeolocation::configure, "events",
         Value::array({Value{{"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 10}}}));
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);
    for (int i = 0; i < 3; ++i) walk();
    plugin->manager()->waitForStore();
    EXPECT_EQ(plugin->manager()->unstoredLocations(), 3u);

    ASSERT_TRUE(test::setImmutable(file, false));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->unstoredLocations() == 0; }));
    walk();
    const auto handed = located();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return arrived().size() == handed.size(); }))
        << arrived().size() << " of " << handed.size() << " fixes arrived";
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return test::batchFiles().empty(); }));
    for (double time : handed) EXPECT_EQ(arrived()[time], 1) << "fix at " << time;
    ASSERT_EQ(told().size(), 1u);
    EXPECT_TRUE(told()[0].starts_with("The location store cannot be written (")) << told()[0];
}

// Fixes the server took on their own while the store file was immutable:
// marked sent once it is writable, with no further write to do it, and at a
// clean quit at the latest, so that the next launch sends none again.
TEST_F(BackgroundGeolocationPluginTest, FixesTheServerTookWhileTheStoreWasImmutableAreNotSentAgain) {
    // Each single fix's answer waits until the test lets it go.
    std::mutex mutex;
    std::condition_variable answered;
    int fixesArrived = 0, answersLetGo = 0;
    std::map<double, int> accepted;
    test::RawHttpServer server([&](const test::RawRequest& r) {
        std::unique_lock lock(mutex);
        if (r.path == "/fix") {
            const int mine = ++fixesArrived;
            answered.wait(lock, [&] { return answersLetGo >= mine; });
        }
        for (const auto& fix : Value::parse(r.body)) ++accepted[fix["time"].get<double>()];
        return test::rawResponse(200, "{}");
    });
    std::shared_ptr<void> answerAtExit(nullptr, [&](void*) {
        std::lock_guard lock(mutex);
        answersLetGo = 1000;
        answered.notify_all();
    });
    auto letAnswerGo = [&] {
        std::lock_guard lock(mutex);
        ++answersLetGo;
        answered.notify_all();
    };
    const std::string file = store->getDatabasePath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(file, false); });
    WHARF_REQUIRE_COMPONENT(test::setImmutable(file, false), "chattr on the test's home");
    // No batches until the relaunch, where any row still waiting goes.
    Value options{
        {"url", server.url("/fix")}, {"syncUrl", server.url("/batch")}, {"syncThreshold", 100}, {"distanceFilter", 10}};
    platform::LogCapture capture;
    load(source);
    call(&WFBackgroundGeolocation::configure, "events", Value::array({options}));
    // A fix stored, posted, then taken by the server once the store is immutable.
    auto postedWhileImmutable = [&](const std::string& start) {
        call(&WFBackgroundGeolocation::start, start);
        ASSERT_EQ(answers(start).size(), 1u);
        const std::size_t steps = plugin->manager()->finishedUploadSteps();
        walk();
        ASSERT_TRUE(RunLoop::pumpUntil([&] {
            std::lock_guard lock(mutex);
            return fixesArrived == answersLetGo + 1;
        }));
        ASSERT_TRUE(test::setImmutable(file, true));
        letAnswerGo();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->finishedUploadSteps() == steps + 1; }));
    };

    // A retry that fails is followed by another.
    auto retriedInVain = [&] {
        const std::size_t tries = capture.count("Delete location");
        return RunLoop::pumpUntil([&] { return capture.count("Delete location") > tries; });
    };

    // Writable again after stop, once a retry has failed: nothing more is
    // written, yet the row is marked.
    postedWhileImmutable("start");
    walk();  // unstored, and taken by the server all the same
    letAnswerGo();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->finishedUploadSteps() == 2; }));
    ASSERT_TRUE(retriedInVain());
    call(&WFBackgroundGeolocation::stop, "stop");
    ASSERT_TRUE(test::setImmutable(file, false));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty(); }));
    EXPECT_EQ(store->getAllLocations().size(), 1u);

    // Writable again just before a clean quit, the retry two seconds or
    // more away: the quit marks it.
    postedWhileImmutable("start-2");
    ASSERT_TRUE(retriedInVain());
    call(&WFBackgroundGeolocation::stop, "stop-2");
    ASSERT_TRUE(test::setImmutable(file, false));
    quitAndRelaunch();
    options["syncThreshold"] = 1;
    call(&WFBackgroundGeolocation::configure, "events", Value::array({options}));
    call(&WFBackgroundGeolocation::start, "start-3");
    ASSERT_EQ(answers("start-3").size(), 1u);
    walk();
    letAnswerGo();
    ASSERT_TRUE(RunLoop::pumpUntil([&] {
        std::lock_guard lock(mutex);
        return accepted.size() == 4;
    }));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty() && test::batchFiles().empty(); }));
    RunLoop::pumpFor(100ms);  // a batch still on its way
    std::lock_guard lock(mutex);
    for (const auto& [time, count] : accepted) EXPECT_EQ(count, 1) << "fix at " << time;
}

// Another program holds the store locked from before the launch: the
// plug-in starts at once (the store's schema is checked off the main
// thread), the page's calls are answered and its fixes handed over while the
// lock lasts, and they are stored once it goes.
TEST_F(BackgroundGeolocationPluginTest, AStoreLockedAtLaunchHoldsUpNeitherTheLaunchNorThePage) {
    test::RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    const std::string file = store->getDatabasePath();
    store.reset();
    test::HeldLock lock(file, test::kHangDeadline);
    ASSERT_TRUE(lock.locked());
    // The store is made as the plug-in starts, on the main thread. A look at
    // a locked store waits 2 s before it gives up.
    const auto began = std::chrono::steady_clock::now();
    store = std::make_unique<SQLiteLocationDAO>();
    load(source);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "the launch waited for the store";
    call(&WFBackgroundGeolocation::configure, "events",
         Value::array({Value{{"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 10}}}));
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "configure waited for the store";
    clock->advance(1s);
    source->emit(fixNorth(0, *clock));
    ASSERT_EQ(answers("events").size(), 1u);
    EXPECT_EQ(resultsFor("events")[0].status, int(WFResultStatus::OK));
    // What the store cannot answer is told once the open under way gives up.
    call(&WFBackgroundGeolocation::getValidLocations, "valid");
    ASSERT_EQ(answers("valid").size(), 1u);
    EXPECT_EQ(resultsFor("valid")[0].status, int(WFResultStatus::Error));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3500ms) << "one open's wait for the lock answers every user";
    EXPECT_TRUE(lock.release()) << "the page's calls waited for the store's lock";
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->manager()->unstoredLocations() == 0; }));
    EXPECT_EQ(store->getAllLocations().size(), 1u);
    // A batch of it may be on its way (the uploader's start took what it found).
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return test::batchFiles().empty(); }));
    RunLoop::pumpFor(200ms);
}

// Batch-only tracking of a replayed walk while the store is locked by another
// program, then read-only, then on a full disk, then healthy: the page gets a
// fix each second throughout, hears once that fixes wait unstored, and every
// fix it was handed reaches the server, once.
TEST_F(BackgroundGeolocationPluginTest, ThroughALockedReadOnlyAndFullStoreEveryFixReachesTheServerOnce) {
    // The application's home on a small disk of its own.
    test::SmallFilesystem disk("size=4m");
    WHARF_REQUIRE_COMPONENT(disk.mounted(), disk.why());
    store.reset();
    Container::setHome(disk.path());
    store = std::make_unique<SQLiteLocationDAO>();
    const std::string library = Container::libraryPath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    // A walk north, a fix a second, replayed by the test's clock.
    std::vector<TrackPoint> points;
    for (int i = 0; i < 600; ++i) {
        TrackPoint point;
        point.coordinate = destinationPoint(test::kOrigin, 0, 2.0 * i);
        point.hdop = 0.8;
        points.push_back(point);
    }
    Error error;
    auto track = LocationTrack::fromPoints(points, &error);
    ASSERT_TRUE(track) << error.description();
    auto walk = ReplayLocationSource::create(*track, "walk", clock, ReplayLocationSource::Pacing::Manual);
    // The server refuses batches while the store is in trouble, the first
    // ones only once the store is locked.
    std::atomic<int> status{503};
    std::mutex acceptedMutex;
    std::map<double, int> accepted;  // how often each fix time was taken
    test::AnswerGate locked;
    test::RawHttpServer server([&](const test::RawRequest& r) {
        locked.wait();
        const int answer = status.load();
        if (answer == 200) {
            std::lock_guard lock(acceptedMutex);
            for (const auto& fix : Value::parse(r.body)) ++accepted[fix["time"].get<double>()];
        }
        return test::rawResponse(answer, "");
    });
    const auto answerAtExit = locked.openAtExit();
    auto arrived = [&] {
        std::lock_guard lock(acceptedMutex);
        return accepted;
    };
    load(walk);
    call(
        &WFBackgroundGeolocation::configure, "events",
        Value::array({Value{
            {"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 1}, {"desiredAccuracy", 10}}}));
    call(&WFBackgroundGeolocation::start, "start");
    ASSERT_EQ(answers("start").size(), 1u);

    // The page: each location it is handed is acknowledged, as a page does.
    auto handedOut = [&] {
        std::vector<double> times;
        for (const auto& r : resultsFor("events"))
            if (r.status == int(WFResultStatus::OK)) times.push_back(r.message["time"].get<double>());
        return times;
    };
    std::size_t acknowledged = 0;
    auto page = [&] {
        const std::size_t handed = handedOut().size();
        for (; acknowledged < handed; ++acknowledged) call(&WFBackgroundGeolocation::finish, "finish");
        return handed;
    };
    // A second of the walk: its fix reaches the page.
    auto second = [&] {
        const std::size_t before = page();
        clock->advance(1s);
        walk->pump();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return page() > before; })) << "no fix came after " << before;
    };
    constexpr int kPhase = 4;  // fixes in each phase
    for (int i = 0; i < kPhase; ++i) second();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !server.requests().empty(); }));  // a batch is out

    // Locked by another program: the store waits for it (without giving up),
    // the refused batches wait to give their rows back, and the page gets its
    // fixes all the same before the lock goes.
    store->setMaxBusyRetryTimeInterval(60);
    {
        test::HeldLock lock(store->getDatabasePath(), test::kHangDeadline);
        ASSERT_TRUE(lock.locked());
        // The first refusal sets the uploader watching the network, just
        // before it gives the batch's rows back.
        const std::size_t watching = monitor->observerCount();
        locked.open();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return monitor->observerCount() > watching; }));
        for (int i = 0; i < kPhase; ++i) second();
        EXPECT_TRUE(lock.release()) << "the fixes waited for the store's lock";
    }
    // Read-only: its journal cannot be made. Each phase's fixes are tried
    // while it lasts.
    ASSERT_TRUE(test::setImmutable(library, true));
    for (int i = 0; i < kPhase; ++i) second();
    plugin->manager()->waitForStore();
    // On a full disk.
    EXPECT_EQ(disk.fill(), ENOSPC);
    ASSERT_TRUE(test::setImmutable(library, false));
    for (int i = 0; i < kPhase; ++i) second();
    plugin->manager()->waitForStore();
    const std::vector<double> handed = handedOut();
    ASSERT_GE(handed.size(), 4u * kPhase);

    // Healthy again, and so is the server: every fix handed to the page
    // arrives, once, within the pause that the refusals set.
    std::filesystem::remove(disk.file("filler"));
    status = 200;
    auto allArrived = [&] {
        const auto times = arrived();
        return std::all_of(handed.begin(), handed.end(), [&](double t) { return times.contains(t); });
    };
    for (int i = 0; i < 60 && !allArrived(); ++i) {
        second();
        RunLoop::pumpUntil([&] { return plugin->manager()->unstoredLocations() == 0; });
    }
    ASSERT_TRUE(RunLoop::pumpUntil(allArrived)) << arrived().size() << " of " << handed.size() << " fixes arrived";
    RunLoop::pumpFor(100ms);  // whatever was still on its way
    for (const auto& [time, count] : arrived()) EXPECT_EQ(count, 1) << "fix at " << time;

    // The page heard once that fixes waited unstored.
    std::vector<test::SentResult> told;
    for (const auto& r : resultsFor("events"))
        if (r.status == int(WFResultStatus::Error)) told.push_back(r);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].keepCallback);
    EXPECT_TRUE(told[0].message["message"].get<std::string>().starts_with("The location store cannot be written ("))
        << told[0].message.dump();
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
