// Getting fixes to the server: batch files that never replace one another,
// the per-fix POST that stops while the upload host is unreachable, and the
// reachability it follows.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <httplib.h>

#include "GeolocationTestSupport.h"
#include "LoggingTestSupport.h"
#include "RawHttpServer.h"
#include "ServingThread.h"
#include "TestAuthority.h"
#include "TestSupport.h"
#include "TrackingTestSupport.h"
#include "logging/LGLog.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "plugins/background-geolocation/LocationUploader.h"
#include "plugins/background-geolocation/Reachability.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {
namespace {

using namespace platform;
using wharf::LocationManager;
using namespace std::chrono_literals;
using test::RawHttpServer;

using UploadTest = test::GeolocationFixture;

TEST_F(UploadTest, BatchesOfTheSameSecondGetFilesOfTheirOwnAndAnEmptyBatchIsNotSent) {
    // 2026-01-06 09:05:07 GMT
    clock->setNow(Clock::WallTime(std::chrono::seconds(1767690307)));
    EXPECT_EQ(LocationUploader::batchFileName(clock->now()), "locations_20260106_09057.json");

    // The server holds both uploads until the files have been looked at.
    test::AnswerGate gate;
    RawHttpServer server([&](const test::RawRequest&) {
        gate.wait();
        return test::rawResponse(200, "");
    });
    const auto openAtExit = gate.openAtExit();
    auto uploader = LocationUploader::create(*store, clock);
    uploader->sync(server.url("/b"), 0);  // nothing stored: nothing sent
    EXPECT_TRUE(test::batchFiles().empty());
    EXPECT_EQ(uploader->taskCount(), 0u);

    store->persistLocation(test::fixAt(1767690000));
    uploader->sync(server.url("/b"), 1);
    store->persistLocation(test::fixAt(1767690001));
    store->persistLocation(test::fixAt(1767690002));
    uploader->sync(server.url("/b"), 1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 2; }));
    const auto files = test::batchFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(std::find(files.begin(), files.end(), "locations_20260106_09057.json"), files.end());
    EXPECT_NE(std::find(files.begin(), files.end(), "locations_20260106_09057-1.json"), files.end());
    const Value first = Value::parse(test::readFile(Container::documentsPath() + "/locations_20260106_09057.json"));
    const Value second = Value::parse(test::readFile(Container::documentsPath() + "/locations_20260106_09057-1.json"));
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(second.size(), 2u);
    EXPECT_EQ(uploader->taskCount(), 2u);
    gate.open();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_TRUE(test::batchFiles().empty());
    EXPECT_TRUE(store->getValidLocations().empty());
}

TEST_F(UploadTest, AFailedBatchTheStoreCannotTakeBackStaysForTheNextStart) {
    // Another program holds the store locked while the first upload is refused.
    SQLDatabase other(store->getDatabasePath());
    ASSERT_TRUE(other.open());
    std::atomic<int> uploads{0};
    RawHttpServer server([&](const test::RawRequest&) {
        if (++uploads > 1) return test::rawResponse(200, "");
        other.executeStatements("BEGIN EXCLUSIVE");
        return test::rawResponse(503, "busy");
    });
    store->persistLocation(test::fixAt(1767690000));
    store->persistLocation(test::fixAt(1767690001));
    {
        auto uploader = LocationUploader::create(*store, clock);
        uploader->sync(server.url("/batch"), 1);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }, 20s));
    }
    other.rollback();
    EXPECT_EQ(test::batchFiles().size(), 1u);
    EXPECT_TRUE(store->getValidLocations().empty());

    // The next start sends it.
    auto uploader = LocationUploader::create(*store, clock);
    uploader->start(server.url("/batch"), 100);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].body, server.requests()[0].body);
    EXPECT_EQ(Value::parse(server.requests()[1].body).size(), 2u);
    EXPECT_TRUE(test::batchFiles().empty());
}

TEST_F(UploadTest, ARefusedBatchFileOfAnEarlierRunGoesAgainAfterThePause) {
    // What a run that was killed mid-upload left behind.
    Container::ensureDirectory(Container::documentsPath());
    const std::string file = Container::documentsPath() + "/locations_20260106_09057.json";
    const std::string batch = "[{\"time\":1767690000000.0},{\"time\":1767690001000.0}]";
    test::writeFile(file, batch);
    std::atomic<int> status{503};
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(status.load(), ""); });
    auto uploader = LocationUploader::create(*store, clock);
    uploader->start(server.url("/batch"), 100);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1 && uploader->taskCount() == 0; }));
    EXPECT_EQ(test::readFile(file), batch);

    // Not during the pause; after it, in the same run.
    status = 200;
    uploader->sync(server.url("/batch"), 100);
    RunLoop::pumpFor(50ms);
    EXPECT_EQ(server.requests().size(), 1u);
    clock->advance(LocationUploader::kFirstBackoff);
    uploader->sync(server.url("/batch"), 100);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 2 && uploader->taskCount() == 0; }));
    EXPECT_EQ(server.requests()[1].body, batch);
    EXPECT_TRUE(test::batchFiles().empty());
}

// While a batch is being made (held here once its file is written) neither
// a start of the uploader nor a deletion of one of its rows comes between:
// the start would take the batch's file for one an earlier run left and send
// it twice, and a row forgotten before its batch is registered would come
// back when the batch is refused.
TEST_F(UploadTest, WhileABatchIsMadeNeitherAStartNorADeletionComesBetween) {
    auto uploader = LocationUploader::create(*store, clock);
    // Runs `other` on a thread of its own while a sync is held with its
    // batch written; `other` ends at once unless it waits for the sync
    // (the hold then lets go after a second).
    auto whileHeld = [&](const std::string& url, const std::function<void()>& other) {
        std::thread thread;
        uploader->setBatchWrittenHookForTesting([&] {
            std::promise<void> done;
            auto finished = done.get_future();
            thread = std::thread([&, done = std::move(done)]() mutable {
                other();
                done.set_value();
            });
            finished.wait_for(1s);
        });
        uploader->sync(url, 1);
        uploader->setBatchWrittenHookForTesting(nullptr);
        thread.join();
    };
    auto validTimes = [&] {
        std::vector<double> times;
        for (const auto& l : store->getValidLocations()) times.push_back(secondsSince1970(*l.time));
        return times;
    };

    test::AnswerGate gate;
    RawHttpServer server([&](const test::RawRequest&) {
        gate.wait();
        return test::rawResponse(200, "");
    });
    const auto openAtExit = gate.openAtExit();
    for (int i = 0; i < 3; ++i) store->persistLocation(test::fixAt(1767690000 + i));
    whileHeld(server.url("/batch"), [&] { uploader->start(server.url("/batch"), 100); });
    EXPECT_EQ(uploader->taskCount(), 1u) << "the batch being made was sent as one an earlier run left";
    gate.open();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_EQ(server.requests().size(), 1u);

    RawHttpServer refusing([&](const test::RawRequest&) { return test::rawResponse(500, ""); });
    for (int i = 0; i < 3; ++i) store->persistLocation(test::fixAt(1767690100 + i));
    const int64_t deleted = *store->getValidLocations()[1].id;
    // As the page's deleteLocation does it.
    whileHeld(refusing.url("/batch"), [&] {
        uploader->forgetLocations([&](const Location& l) { return l.id == deleted; });
        store->deleteLocation(deleted);
    });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_EQ(refusing.requests().size(), 1u);
    EXPECT_EQ(validTimes(), (std::vector<double>{1767690100, 1767690102})) << "a deleted fix came back";
}

TEST_F(UploadTest, OnePauseDoublesOnceHoweverManyBatchesItRefusesAndNeverPassesFiveMinutes) {
    // Batches are held until the test lets them go, then refused.
    test::AnswerGate gate;
    RawHttpServer server([&](const test::RawRequest&) {
        gate.wait();
        return test::rawResponse(503, "busy");
    });
    const auto openAtExit = gate.openAtExit();
    auto uploader = LocationUploader::create(*store, clock);
    // Three batches under way when the server starts refusing: one pause.
    for (int i = 0; i < 3; ++i) {
        store->persistLocation(test::fixAt(1767690000 + i));
        uploader->sync(server.url("/batch"), 1);
    }
    ASSERT_EQ(uploader->taskCount(), 3u);
    gate.open();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_EQ(uploader->backoff(), LocationUploader::kFirstBackoff);
    // Each batch refused after a pause doubles it, up to five minutes.
    for (const auto expected : {10s, 20s, 40s, 80s, 160s, 300s, 300s}) {
        clock->advance(uploader->backoff());
        uploader->sync(server.url("/batch"), 1);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
        EXPECT_EQ(uploader->backoff(), expected);
    }
    EXPECT_EQ(server.requests().size(), 10u);
    EXPECT_EQ(store->getValidLocations().size(), 3u) << "nothing refused is lost";
}

TEST_F(UploadTest, ThePerFixPostWaitsWhileTheUploadHostIsUnreachableAndComesBackWithIt) {
    monitor->setFlags(0);
    std::atomic<int> status{500};
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(status.load(), ""); });
    auto source = std::make_shared<FakeLocationSource>();
    auto handOuts = std::make_shared<test::HandOuts>();
    auto manager = createManager(environment(source));
    handOuts->manager = manager;
    handOuts->autoFinish = true;
    manager->setDelegate(handOuts);
    manager->configure(Config::fromDictionary({{"url", server.url("/fix")},
                                               {"syncUrl", ""},
                                               {"distanceFilter", 10},
                                               {"httpHeaders", {{"X-Device", "7"}}}}),
                       nullptr);
    manager->start(nullptr);
    auto emit = [&](double metres, std::size_t handedOut) {
        clock->advance(5s);
        source->emit(test::fixNorth(metres, *clock));
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == handedOut; }));
    };

    // Refused: the fix stays waiting and the manager asks reachability.
    emit(0, 1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !manager->hasConnectivity(); }));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("X-Device"), "7");
    // Unreachable: no attempt at all.
    emit(600, 2);
    RunLoop::pumpFor(100ms);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(store->getValidLocations().size(), 2u);

    // The network comes back: the next fix is posted, and marked sent.
    status = 200;
    monitor->setFlags(kReachabilityFlagReachable);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->hasConnectivity(); }));
    emit(1200, 3);
    ASSERT_TRUE(
        RunLoop::pumpUntil([&] { return server.requests().size() == 2 && store->getValidLocations().size() == 2; }));
    const Value posted = Value::parse(server.requests()[1].body);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0]["location_type"], "current");
    EXPECT_EQ(manager->getLocations().size(), 3u);

    // Down again: the watch turns the posts off; a stop ends the watch, and
    // the network comes back meanwhile. The posts come back with the start.
    monitor->setFlags(0);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !manager->hasConnectivity(); }));
    manager->stop(nullptr);
    monitor->setFlags(kReachabilityFlagReachable);
    RunLoop::pumpFor(50ms);
    manager->start(nullptr);
    emit(1800, 4);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 3; }));

    // Refused while down once more, and the posts move to another host.
    status = 500;
    monitor->setFlags(0);
    emit(2400, 5);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !manager->hasConnectivity(); }));
    ASSERT_EQ(server.requests().size(), 4u);
    manager->configure(Config::fromDictionary({{"url", "http://localhost:" + std::to_string(server.port()) + "/fix"},
                                               {"syncUrl", ""},
                                               {"distanceFilter", 10}}),
                       nullptr);
    monitor->setFlags(kReachabilityFlagReachable);
    RunLoop::pumpFor(50ms);
    status = 200;
    emit(3000, 6);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 5; }));
    // Marked sent: the upload step is done with the store.
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().size() == 3; }));
}

TEST_F(UploadTest, ARedirectThatDropsTheBodyDeliversNothing) {
    // An old address moved for good, as a server sends http to https; and
    // one that keeps the request as it is.
    RawHttpServer server([&](const test::RawRequest& r) {
        if (r.path == "/old") return test::rawResponse(301, "", "Location: /new\r\n");
        if (r.path == "/kept") return test::rawResponse(307, "", "Location: /new\r\n");
        return test::rawResponse(200, "<html>welcome</html>");
    });
    auto methodsAndPaths = [&] {
        std::vector<std::string> seen;
        for (const auto& r : server.requests()) seen.push_back(r.method + " " + r.path);
        return seen;
    };

    // A batch: its rows wait again.
    store->persistLocation(test::fixAt(1767690000));
    store->persistLocation(test::fixAt(1767690001));
    auto uploader = LocationUploader::create(*store, clock);
    uploader->sync(server.url("/old"), 1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_EQ(store->getValidLocations().size(), 2u);
    EXPECT_EQ(methodsAndPaths(), std::vector<std::string>{"POST /old"});

    // A single fix: not sent, so its row stays waiting; a 307 takes it on.
    Error error;
    EXPECT_FALSE(test::fixAt(1767690002).postAsJSON(server.url("/old"), std::nullopt, &error));
    EXPECT_TRUE(test::fixAt(1767690003).postAsJSON(server.url("/kept"), std::nullopt, &error));
    EXPECT_EQ(methodsAndPaths(), (std::vector<std::string>{"POST /old", "POST /old", "POST /kept", "POST /new"}));
    EXPECT_EQ(Value::parse(server.requests().back().body)[0]["time"], 1767690003000.0);
}

// A batch sent over https that the server redirects to plain http: the
// redirect is not followed, nothing reaches the plain server, the rows wait
// again, and the log says the upload failed.
TEST_F(UploadTest, ABatchRedirectedFromHttpsToHttpIsLoggedAsTheFailureItIs) {
    test::TestAuthority authority;
    WHARF_REQUIRE_COMPONENT(authority.ok(), "openssl, to make the test's certificate authority");
    RawHttpServer plain([](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    httplib::SSLServer tls(authority.serverCertificate("here", "IP:127.0.0.1").c_str(), authority.keyFile().c_str());
    ASSERT_TRUE(tls.is_valid());
    tls.set_keep_alive_max_count(1);
    const int port = tls.bind_to_any_port("127.0.0.1");
    tls.Post("/batch", [&](const httplib::Request&, httplib::Response& res) {
        res.status = 303;
        res.set_header("Location", plain.url("/landed"));
    });
    test::ServingThread serving(tls);
    http::setCertificateAuthorityFile(authority.caFile());
    std::shared_ptr<void> trustAtExit(nullptr, [](void*) { http::setCertificateAuthorityFile(""); });
    auto log = std::make_shared<test::RecordingLogger>();
    LGLog::addLogger(log, LGLogLevelAll);
    std::shared_ptr<void> removeAtExit(nullptr, [&](void*) { LGLog::removeLogger(log); });

    store->persistLocation(test::fixAt(1767690000));
    auto uploader = LocationUploader::create(*store, clock);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/batch";
    uploader->sync(url, 1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return uploader->taskCount() == 0; }));
    EXPECT_TRUE(plain.requests().empty());
    EXPECT_EQ(store->getValidLocations().size(), 1u);
    LGLog::flushLog();
    std::vector<std::string> finished;
    for (const auto& m : log->messages()) {
        if (!m.message().starts_with("Finished uploading task")) continue;
        finished.emplace_back(m.message());
        EXPECT_EQ(m.flag(), LGLogFlagWarning);
    }
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_NE(finished[0].find(url + ": Failed: redirected to " + plain.url("/landed") +
                               ", which an upload does not follow " + url + ", HTTP 303"),
              std::string::npos)
        << finished[0];
}

TEST(GeoReachability, FlagsReadAsReachableOnlyWhenTheyMayCarryTraffic) {
    auto monitor = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    NetworkMonitor::setShared(monitor);
    auto reach = Reachability::reachabilityWithHostname("uploads.invalid");
    ASSERT_TRUE(reach);
    EXPECT_EQ(Reachability::reachabilityWithHostname(""), nullptr);
    EXPECT_TRUE(reach->isReachable());
    EXPECT_EQ(reach->currentReachabilityStatus(), Reachability::ReachableViaWWAN);
    reach->setReachableOnWWAN(false);
    EXPECT_FALSE(reach->isReachable());
    EXPECT_EQ(reach->currentReachabilityStatus(), Reachability::NotReachable);
    EXPECT_EQ(reach->currentReachabilityString(), "No Connection");
    EXPECT_FALSE(reach->isReachableWithFlags(kReachabilityFlagReachable | kReachabilityFlagConnectionRequired |
                                             kReachabilityFlagTransientConnection));
    EXPECT_TRUE(reach->isReachableWithFlags(kReachabilityFlagReachable | kReachabilityFlagConnectionRequired));
    EXPECT_EQ(reach->currentReachabilityFlags(), "WR -------");
    monitor->setFlags(0);
    EXPECT_EQ(reach->currentReachabilityFlags(), "-- -------");
    EXPECT_NE(reach->description().find("(-- -------)>"), std::string::npos);
    NetworkMonitor::setShared(nullptr);
}

TEST(GeoReachability, ChangesRunTheBlocksOffTheMainThreadAndPostOnIt) {
    auto monitor = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable);
    NetworkMonitor::setShared(monitor);
    std::mutex mutex;
    std::vector<std::string> heard;
    bool onMain = false;
    {
        auto reach = Reachability::reachabilityWithHostname("uploads.invalid");
        reach->setReachableBlock([&](Reachability&) {
            std::lock_guard lock(mutex);
            heard.push_back("reachable");
            onMain = onMain || RunLoop::isMainThread();
        });
        reach->setUnreachableBlock([&](Reachability&) {
            std::lock_guard lock(mutex);
            heard.push_back("unreachable");
            onMain = onMain || RunLoop::isMainThread();
        });
        int posted = 0;
        auto token = NotificationCenter::defaultCenter().addObserver(kReachabilityChangedNotification, reach.get(),
                                                                     [&](const Notification&) {
                                                                         EXPECT_TRUE(RunLoop::isMainThread());
                                                                         ++posted;
                                                                     });
        EXPECT_TRUE(reach->startNotifier());
        EXPECT_TRUE(reach->startNotifier());  // already running: nothing more installed
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return posted == 1; }));
        monitor->setFlags(0);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return posted == 2; }));
        reach->stopNotifier();
        monitor->setFlags(kReachabilityFlagReachable);
        RunLoop::pumpFor(50ms);
        EXPECT_EQ(posted, 2);
        EXPECT_EQ(monitor->observerCount(), 0u);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, (std::vector<std::string>{"reachable", "unreachable"}));
    EXPECT_FALSE(onMain);
    NetworkMonitor::setShared(nullptr);
}

}  // namespace
}  // namespace wharf
