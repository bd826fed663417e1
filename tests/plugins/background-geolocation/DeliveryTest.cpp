// Every fix reaches the server once: through its own POST or a batch, never
// both; across a crash while a batch is written; while the server refuses
// batches for a while; and from a store file that cannot be read.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "GeolocationTestSupport.h"
#include "LoggingTestSupport.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "TrackingTestSupport.h"
#include "platform/base/Log.h"
#include "platform/storage/Container.h"
#include "plugins/background-geolocation/LocationUploader.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {
namespace {

namespace fs = std::filesystem;
using namespace platform;
using wharf::LocationManager;
using namespace std::chrono_literals;
using test::fixNorth;
using test::RawHttpServer;

// How often each fix time (ms since 1970) reached the server, over every request to `path`.
std::map<double, int> arrivals(const RawHttpServer& server, const std::string& prefix = "/") {
    std::map<double, int> seen;
    for (const auto& r : server.requests()) {
        if (r.path.rfind(prefix, 0) != 0) continue;
        const Value body = Value::parse(r.body, nullptr, false);
        if (!body.is_array()) continue;
        for (const auto& fix : body) ++seen[fix["time"].get<double>()];
    }
    return seen;
}

class DeliveryTest : public test::GeolocationFixture {
protected:
    std::shared_ptr<LocationManager> makeManager(const Value& options) {
        auto manager = createManager(environment(source));
        handOuts->manager = manager;
        handOuts->autoFinish = true;
        manager->setDelegate(handOuts);
        manager->configure(Config::fromDictionary(options), nullptr);
        return manager;
    }
    // A fix 600 m further north, `seconds` later, handed out and acknowledged.
    void walk(int seconds = 10) {
        clock->advance(std::chrono::seconds(seconds));
        const std::size_t before = handOuts->locationCount();
        source->emit(fixNorth(600.0 * ++steps, *clock));
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return handOuts->locationCount() == before + 1; }));
    }
    std::string storeFile() const { return Container::libraryPath() + "/wharf_bg_geolocation.db"; }
    // The times (ms) of every fix the store holds as an ordinary fix.
    std::set<double> storedTimes() {
        std::set<double> times;
        for (const auto& l : store->getAllLocations()) times.insert(secondsSince1970(*l.time) * 1000);
        return times;
    }

    std::shared_ptr<FakeLocationSource> source = std::make_shared<FakeLocationSource>();
    std::shared_ptr<test::HandOuts> handOuts = std::make_shared<test::HandOuts>();
    int steps = 0;
};

TEST_F(DeliveryTest, AFixWhosePostIsUnderWayIsNotAlsoBatched) {
    // Each single fix is answered late; batches at once.
    RawHttpServer server([&](const test::RawRequest& r) {
        if (r.path == "/fix") std::this_thread::sleep_for(300ms);
        return test::rawResponse(200, "{}");
    });
    auto manager = makeManager(
        {{"url", server.url("/fix")}, {"syncUrl", server.url("/batch")}, {"syncThreshold", 2}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    for (int i = 0; i < 8; ++i) {
        walk();
        RunLoop::pumpFor(60ms);
    }
    // Every fix is stored before the store can count as emptied.
    manager->waitForStore();
    ASSERT_TRUE(RunLoop::pumpUntil(
        [&] { return store->getValidLocations().empty() && arrivals(server).size() == storedTimes().size(); }, 20s));
    RunLoop::pumpFor(400ms);  // whatever was still on its way
    const auto seen = arrivals(server);
    ASSERT_EQ(seen.size(), 8u);
    for (const auto& [time, count] : seen) EXPECT_EQ(count, 1) << "fix at " << time;
    EXPECT_FALSE(arrivals(server, "/fix").empty());
}

TEST_F(DeliveryTest, TheStationaryCopyOfAFixIsNotUploadedBesideIt) {
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    auto manager = makeManager({{"url", server.url("/fix")},
                                {"syncUrl", server.url("/batch")},
                                {"syncThreshold", 2},
                                {"stationaryRadius", 50},
                                {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    manager->switchMode(BACKGROUND_MODE);
    // Three stationary acquisitions, each ended by a fix outside the region,
    // which is handed out as an ordinary fix and starts the next acquisition.
    for (int i = 0; i < 3; ++i) {
        clock->advance(10s);
        source->emit(fixNorth(600.0 * ++steps, *clock));
        ASSERT_TRUE(RunLoop::pumpUntil([&] {
            return handOuts->stationaryCount() == std::size_t(i) + 1 &&
                   handOuts->locationCount() == 2 * std::size_t(i) + 1;
        }));
        walk();
    }
    ASSERT_EQ(handOuts->stationaryCount(), 3u);
    manager->waitForStore();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty(); }, 20s));
    RunLoop::pumpFor(200ms);
    const auto seen = arrivals(server);
    ASSERT_EQ(seen.size(), 6u);
    for (const auto& [time, count] : seen) EXPECT_EQ(count, 1) << "fix at " << time;
    // Both rows of a stationary fix are kept: the copy for the record only.
    EXPECT_EQ(store->getAllLocations().size(), 9u);
}

TEST_F(DeliveryTest, OnlyA200MarksThePostedFixSent) {
    std::atomic<int> status{201};
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(status.load(), "{}"); });
    auto manager = makeManager({{"url", server.url("/fix")}, {"syncUrl", ""}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    for (int answer : {201, 500, 200}) {
        status = answer;
        const std::size_t before = server.requests().size();
        walk();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == before + 1; }));
        // The refusal is not the network's fault: the next fix is posted all the same.
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->hasConnectivity(); }));
    }
    RunLoop::pumpUntil([&] { return store->getValidLocations().size() == 2; });
    const auto all = store->getAllLocations();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(all[0].isValid);
    EXPECT_TRUE(all[1].isValid);
    EXPECT_FALSE(all[2].isValid);

    // A url without a host: no server can be asked, and none watched for.
    // The post fails, its fix stays for a batch, and the next is tried.
    manager->configure(Config::fromDictionary({{"url", "http:///fix"}, {"syncUrl", ""}, {"distanceFilter", 10}}),
                       nullptr);
    for (std::size_t valid : {3u, 4u}) {
        const std::size_t steps = manager->finishedUploadSteps();
        walk();
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->finishedUploadSteps() > steps; }));
        EXPECT_EQ(store->getValidLocations().size(), valid);
    }
}

TEST_F(DeliveryTest, RefusedBatchesBackOffAndTheBacklogArrivesOnceWhenAccepted) {
    std::atomic<int> status{503};
    // Batches get `status`; a fix posted on its own is taken.
    RawHttpServer server(
        [&](const test::RawRequest& r) { return test::rawResponse(r.path == "/fix" ? 200 : status.load(), "busy"); });
    auto manager = makeManager({{"syncUrl", server.url("/batch")}, {"syncThreshold", 3}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    auto recorder = std::make_shared<test::RecordingLogger>();
    LGLog::addLogger(recorder);
    std::shared_ptr<void> removeAtExit(nullptr, [&](void*) { LGLog::removeLogger(recorder); });
    // Each fix handed out has its batch tried, and what was sent is
    // answered, before the next fix comes (and its clock's second passes).
    auto settled = [&] {
        return RunLoop::pumpUntil([&] { return manager->finishedUploadSteps() == handOuts->locationCount(); }) &&
               RunLoop::pumpUntil([&] { return test::batchFiles().empty(); });
    };
    // Thirty fixes a second apart: the first batch at the third fix, the
    // next ones after pauses of 5 and 10 s (the one after is 20 s away).
    for (int i = 0; i < 30; ++i) {
        walk(1);
        ASSERT_TRUE(settled());
    }
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(store->getValidLocations().size(), 30u) << "nothing refused is lost";
    EXPECT_EQ(Value::parse(server.requests().back().body).size(), 18u);

    // The network changes: no need to wait out the pause (the next one is
    // 20 s away). The first state the uploader's watch hears is where it
    // began, not a change: the network goes and comes back until a change
    // is heard.
    auto heard = [&] {
        for (const auto& m : recorder->messages())
            if (m.message() == "The network changed: the next batch need not wait") return true;
        return false;
    };
    for (int i = 0; i < 20 && !heard(); ++i) {
        monitor->setFlags(i % 2 == 0 ? ReachabilityFlags(0) : kReachabilityFlagReachable);
        RunLoop::pumpUntil(heard, 1s);
    }
    ASSERT_TRUE(heard());
    monitor->setFlags(kReachabilityFlagReachable);
    status = 200;
    walk(1);
    ASSERT_TRUE(settled());
    ASSERT_EQ(server.requests().size(), 4u);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty(); }));
    std::map<double, int> accepted;
    const auto requests = server.requests();
    for (const auto& fix : Value::parse(requests.back().body)) ++accepted[fix["time"].get<double>()];
    EXPECT_EQ(accepted.size(), storedTimes().size());
    for (const auto& [time, count] : accepted) EXPECT_EQ(count, 1) << "fix at " << time;

    // A success ends the pause: the next refusal waits 5 s again.
    status = 503;
    for (int i = 0; i < 3; ++i) {
        walk(1);
        ASSERT_TRUE(settled());
    }
    ASSERT_EQ(server.requests().size(), 5u);
    for (int i = 0; i < 4; ++i) {
        walk(1);
        ASSERT_TRUE(settled());
    }
    EXPECT_EQ(server.requests().size(), 5u);
    walk(1);
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.requests().size(), 6u);

    // A fix the server takes on its own shows it is back: its batch goes
    // at once, not 5 s after the last refusal.
    manager->configure(Config::fromDictionary({{"url", server.url("/fix")},
                                               {"syncUrl", server.url("/batch")},
                                               {"syncThreshold", 3},
                                               {"distanceFilter", 10}}),
                       nullptr);
    walk(1);
    ASSERT_TRUE(settled());
    ASSERT_EQ(server.requests().size(), 8u);
    EXPECT_EQ(server.requests()[6].path, "/fix");
    EXPECT_EQ(server.requests()[7].path, "/batch");
}

// The fix's own claim cannot be read: another program locks the store from
// the moment the fix is stored until its upload step is over. Not posted on
// its own, it goes with the next batch, once.
TEST_F(DeliveryTest, AFixWhoseClaimCannotBeReadUnderALockGoesOnce) {
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    struct LockingPage : test::HandOuts {
        std::function<void()> atFirst;
        void onLocationChanged(const Value& location) override {
            if (auto lock = std::exchange(atFirst, nullptr)) lock();
            HandOuts::onLocationChanged(location);
        }
    };
    auto page = std::make_shared<LockingPage>();
    handOuts = page;
    std::unique_ptr<test::HeldLock> lock;
    std::shared_ptr<LocationManager> manager;
    page->atFirst = [&] {
        manager->waitForStore();
        lock = std::make_unique<test::HeldLock>(storeFile(), test::kHangDeadline);
    };
    store->setMaxBusyRetryTimeInterval(0);
    manager = makeManager(
        {{"url", server.url("/fix")}, {"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    walk();
    ASSERT_TRUE(lock && lock->locked());
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->finishedUploadSteps() == 1; }));
    EXPECT_TRUE(lock->release());
    walk();
    ASSERT_TRUE(RunLoop::pumpUntil([&] {
        return manager->finishedUploadSteps() == 2 && store->getValidLocations().empty() && test::batchFiles().empty();
    }));
    const auto seen = arrivals(server);
    EXPECT_EQ(seen.size(), 2u);
    for (const auto& [time, count] : seen) EXPECT_EQ(count, 1) << "fix at " << time;
}

TEST_F(DeliveryTest, FixesTheStoreCannotTakeWaitTheNewestOnesAndAreStoredOnceItCan) {
    // No upload yet: nothing but the manager's retry stores what waits.
    auto manager = makeManager({{"maxLocations", 3}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    // Another program holds the store locked; each write gives up at once.
    store->setMaxBusyRetryTimeInterval(0);
    SQLDatabase other(storeFile());
    ASSERT_TRUE(other.open());
    ASSERT_TRUE(other.executeStatements("BEGIN EXCLUSIVE"));
    std::vector<double> handedOut;
    for (int i = 0; i < 5; ++i) {
        walk(1);
        handedOut.push_back(handOuts->locations.back()["time"].get<double>());
    }
    manager->waitForStore();
    EXPECT_EQ(manager->unstoredLocations(), 3u);
    ASSERT_EQ(handOuts->errorsSoFar().size(), 1u);
    const platform::Error told = handOuts->errorsSoFar()[0];
    EXPECT_EQ(told.userInfo["code"], SQLITE_BUSY);
    EXPECT_EQ(told.userInfo["message"],
              "The location store cannot be written (database is locked): locations wait unstored until it can be");
    ASSERT_TRUE(other.rollback());

    // Free again: what waited is stored without a further fix, and goes
    // out with the first batch, once.
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->unstoredLocations() == 0; }));
    EXPECT_EQ(storedTimes(), std::set<double>(handedOut.begin() + 2, handedOut.end()));
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    manager->configure(
        Config::fromDictionary({{"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"maxLocations", 3}}),
        nullptr);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty() && test::batchFiles().empty(); }));
    const auto seen = arrivals(server);
    EXPECT_EQ(seen.size(), 3u);
    for (auto it = handedOut.begin() + 2; it != handedOut.end(); ++it) EXPECT_EQ(seen.count(*it), 1u) << *it;
    for (const auto& [time, count] : seen) EXPECT_EQ(count, 1) << "fix at " << time;
}

// Single fixes the server takes while the store cannot be written (its
// directory immutable): the first while its row cannot be marked sent, the
// next ones while they cannot be stored at all. None goes again in a batch
// once the store takes writes, and the page hears once per spell.
TEST_F(DeliveryTest, FixesTheServerTookWhileTheStoreRefusedWritesAreNeverSentAgain) {
    const std::string library = Container::libraryPath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    WHARF_REQUIRE_COMPONENT(test::setImmutable(library, false), "chattr on the test's home");
    // The first single fix is answered once the test lets it go.
    test::AnswerGate first;
    std::atomic<bool> holding{true};
    RawHttpServer server([&](const test::RawRequest& r) {
        if (r.path == "/fix" && holding.exchange(false)) first.wait();
        return test::rawResponse(200, "{}");
    });
    const auto answerAtExit = first.openAtExit();
    // No batches at first: each fix goes on its own.
    auto manager = makeManager({{"url", server.url("/fix")}, {"syncUrl", ""}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    auto posted = [&](std::size_t count) {
        return RunLoop::pumpUntil([&] { return arrivals(server).size() == count; });
    };
    auto told = [&] { return handOuts->errorsSoFar().size(); };

    // Stored, and posted; the store turns read-only before the answer comes.
    LogCapture capture;
    walk();
    ASSERT_TRUE(posted(1));
    ASSERT_TRUE(test::setImmutable(library, true));
    first.open();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return capture.contains("unable to open database file"); }));
    // Three more, each taken by the server before the next comes: the
    // waiting list empties each time, the spell goes on.
    for (std::size_t i = 2; i <= 4; ++i) {
        walk();
        ASSERT_TRUE(posted(i));
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->unstoredLocations() == 0; }))
            << "a fix the server took still waits to be stored";
        if (i != 2) continue;
        // The store is tried again with nothing waiting (the retry tries
        // the first fix's mark, which fails, then what waits): still the
        // same spell.
        const std::size_t tries = capture.count("Delete location");
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return capture.count("Delete location") > tries; }));
        manager->waitForStore();
        EXPECT_GT(manager->storeRetryInterval(), 1s) << "a retry that failed is not tried less often";
    }
    manager->waitForStore();
    ASSERT_EQ(told(), 1u);
    EXPECT_EQ(handOuts->errorsSoFar()[0].userInfo["message"],
              "The location store cannot be written (unable to open database file): locations wait unstored until it "
              "can be");

    // Batches from now on, of every row left waiting. Writable: the next
    // fix is stored, and the row whose mark waited is marked.
    manager->configure(Config::fromDictionary({{"url", server.url("/fix")},
                                               {"syncUrl", server.url("/batch")},
                                               {"syncThreshold", 1},
                                               {"distanceFilter", 10}}),
                       nullptr);
    ASSERT_TRUE(test::setImmutable(library, false));
    walk();
    ASSERT_TRUE(posted(5));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return store->getValidLocations().empty() && test::batchFiles().empty(); }));
    // A second spell is told again.
    ASSERT_TRUE(test::setImmutable(library, true));
    walk();
    ASSERT_TRUE(posted(6));
    manager->waitForStore();
    EXPECT_EQ(told(), 2u);
    ASSERT_TRUE(test::setImmutable(library, false));
    walk();
    ASSERT_TRUE(posted(7));
    ASSERT_TRUE(RunLoop::pumpUntil([&] {
        return manager->unstoredLocations() == 0 && store->getValidLocations().empty() && test::batchFiles().empty();
    }));
    RunLoop::pumpFor(200ms);  // a batch still on its way
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->storeRetryInterval() == 1s; }))
        << "the next spell is not tried as soon as the first was";

    const auto seen = arrivals(server);
    EXPECT_EQ(seen.size(), 7u);
    for (const auto& [time, count] : seen) EXPECT_EQ(count, 1) << "fix at " << time;
    EXPECT_EQ(storedTimes().size(), 3u) << "the four taken while the store refused them need no row";
}

// Launched with the store's directory immutable: no store file can be made.
// Once it is writable, the store opens when next needed, and every fix the
// page was handed reaches the server, once.
TEST_F(DeliveryTest, AStoreThatCouldNotBeOpenedAtLaunchOpensOnceItCan) {
    const std::string library = Container::libraryPath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    store.reset();
    fs::remove(storeFile());
    WHARF_REQUIRE_COMPONENT(test::setImmutable(library, true), "chattr on the test's home");
    store = std::make_unique<SQLiteLocationDAO>();
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    auto manager = makeManager({{"syncUrl", server.url("/batch")}, {"syncThreshold", 1}, {"distanceFilter", 10}});
    ASSERT_TRUE(manager->start(nullptr));
    for (int i = 0; i < 3; ++i) walk(1);
    manager->waitForStore();
    EXPECT_EQ(manager->unstoredLocations(), 3u);
    EXPECT_FALSE(fs::exists(storeFile()));
    ASSERT_EQ(handOuts->errorsSoFar().size(), 1u);
    EXPECT_EQ(handOuts->errorsSoFar()[0].userInfo["code"], SQLITE_CANTOPEN);

    // Writable: what waits is stored without a further fix; the next fix's
    // batch takes it all.
    ASSERT_TRUE(test::setImmutable(library, false));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->unstoredLocations() == 0; }));
    walk(1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] {
        return arrivals(server).size() == 4 && store->getValidLocations().empty() && test::batchFiles().empty();
    })) << arrivals(server).size()
        << " fixes arrived";
    for (const auto& [time, count] : arrivals(server)) EXPECT_EQ(count, 1) << "fix at " << time;
    EXPECT_EQ(storedTimes().size(), 4u);
}

TEST_F(DeliveryTest, StatusTellsWhatIsBeingUploadedAndWhatLiesOnDisk) {
    test::AnswerGate gate;
    RawHttpServer server([&](const test::RawRequest&) {
        gate.wait();
        return test::rawResponse(200, "");
    });
    const auto openAtExit = gate.openAtExit();
    for (int i = 0; i < 40; ++i) store->persistLocation(test::fixAt(1767690000 + i));
    auto uploader = LocationUploader::create(*store, clock);
    EXPECT_EQ(uploader->status(), "(\n) being uploaded (0 bytes of 0 bytes)\nFiles on disk: (\n)");
    uploader->sync(server.url("/batch"), 1);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }));
    const auto files = test::batchFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto size = fs::file_size(Container::documentsPath() + "/" + files[0]);
    ASSERT_GT(size, 1024u);
    const std::string sizeText = LocationUploader::sizeText(size);
    EXPECT_EQ(sizeText.substr(sizeText.size() - 3), " KB");
    // The whole body went out before the server read it: every byte is counted.
    const std::string expected = "(\n    \"" + files[0] + "\"\n) being uploaded (" + sizeText + " of " + sizeText +
                                 ")\nFiles on disk: (\n    \"" + files[0] + "\"\n)";
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return uploader->status() == expected; })) << uploader->status();
    gate.open();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return test::batchFiles().empty(); }));

    // A server that takes the connection and reads nothing: what was sent
    // stops short of what is expected, beyond all that the socket buffers
    // (the sender's may grow to the largest tcp_wmem) could take in.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::shared_ptr<void> closeAtExit(nullptr, [&](void*) { ::close(listener); });
    std::istringstream wmem(test::readFile("/proc/sys/net/ipv4/tcp_wmem"));
    std::size_t least = 0, initial = 0, most = 0;
    wmem >> least >> initial >> most;
    const std::string leftover = "locations_20260106_09057.json";
    test::writeFile(Container::documentsPath() + "/" + leftover, "[" + std::string(most + (4u << 20), ' ') + "]");
    const std::string leftoverSize = LocationUploader::sizeText(most + (4u << 20) + 2);
    auto stalled = LocationUploader::create(*store, clock);
    stalled->start("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/batch", 100);
    const std::string sending = "(\n    \"" + leftover + "\"\n) being uploaded (";
    ASSERT_TRUE(RunLoop::pumpUntil([&] {
        const std::string text = stalled->status();
        return text.starts_with(sending) && !text.starts_with(sending + "0 bytes");
    })) << stalled->status();
    RunLoop::pumpFor(100ms);
    const std::string text = stalled->status();
    EXPECT_TRUE(text.starts_with(sending)) << text;
    EXPECT_NE(text.find(" of " + leftoverSize + ")"), std::string::npos) << text;
    EXPECT_EQ(text.find("(" + leftoverSize + " of "), std::string::npos) << text;
    stalled->cancel();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return stalled->taskCount() == 0; }));

    EXPECT_EQ(LocationUploader::sizeText(1022), "1022 bytes");
    EXPECT_EQ(LocationUploader::sizeText(1023), "1.0 KB");
    EXPECT_EQ(LocationUploader::sizeText(1536 * 1024), "1.5 MB");
}

TEST_F(DeliveryTest, AnUnreadableStoreIsSetAsideAndANewOneStoresAgain) {
    store.reset();
    const std::string file = storeFile();
    std::string garbage(20 * 1024, '\0');
    std::mt19937 random(27);
    for (auto& c : garbage) c = static_cast<char>(random());
    fs::remove(file);
    test::writeFile(file, garbage);

    LogCapture capture;
    store = std::make_unique<SQLiteLocationDAO>();
    ASSERT_TRUE(store->open());
    std::size_t mentions = 0;
    for (const auto& line : capture.lines()) mentions += line.find("set aside") != std::string::npos;
    EXPECT_EQ(mentions, 1u);
    // The unreadable bytes are kept, beside a store that works.
    std::vector<std::string> kept;
    for (const auto& e : fs::directory_iterator(Container::libraryPath()))
        if (e.path().filename().string().rfind("wharf_bg_geolocation.db.unreadable-", 0) == 0)
            kept.push_back(e.path().string());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(test::readFile(kept[0]), garbage);
    EXPECT_TRUE(store->persistLocation(test::fixAt(1767690000), 100));
    EXPECT_EQ(store->getValidLocations().size(), 1u);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A fix whose post fails waits in the new store.
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(500, ""); });
    auto manager = makeManager({{"url", server.url("/fix")}, {"syncUrl", ""}, {"distanceFilter", 10}});
    ASSERT_EQ(handOuts->errors.size(), 1u);
    EXPECT_EQ(handOuts->errors[0].userInfo["file"], kept[0]);
    ASSERT_TRUE(manager->start(nullptr));
    walk();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }));
    RunLoop::pumpFor(50ms);
    EXPECT_EQ(store->getValidLocations().size(), 2u);
    // Told once only.
    manager->configure(Config::fromDictionary({{"distanceFilter", 10}}), nullptr);
    EXPECT_EQ(handOuts->errors.size(), 1u);
}

TEST_F(DeliveryTest, FixesBeforeAnyConfigurationCutNothingFromTheStore) {
    constexpr int kRows = 12000;  // above the default maxLocations
    test::seedRows(storeFile(), kRows, 1600000000);
    auto manager = createManager(environment(source));
    handOuts->manager = manager;
    handOuts->autoFinish = true;
    manager->setDelegate(handOuts);
    ASSERT_TRUE(manager->start(nullptr));
    walk();
    walk();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return manager->unstoredLocations() == 0; }));
    EXPECT_EQ(store->getValidLocations().size(), std::size_t(kRows) + 2);
}

// The child of the crash test: writes one batch of what waits in the store
// of $WHARF_HOME, to $WHARF_CRASH_URL, and waits to be killed.
TEST(DeliveryChild, WritesABatchUntilKilled) {
    const char* url = std::getenv("WHARF_CRASH_URL");
    if (!url) GTEST_SKIP() << "run by DeliveryTest.ACrashWhileABatchIsWrittenLosesNoRow only";
    SQLiteLocationDAO store;
    auto uploader = LocationUploader::create(store);
    uploader->sync(url, 1);
    for (;;) RunLoop::pumpFor(1s);
}

TEST_F(DeliveryTest, ACrashWhileABatchIsWrittenLosesNoRow) {
    RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, "{}"); });
    constexpr int kRows = 20000;
    test::seedRows(storeFile(), kRows, 1700000000);
    const std::string documents = Container::documentsPath();
    Container::ensureDirectory(documents);

    // The child writes the batch; it is killed the moment its scratch file appears.
    ASSERT_TRUE(test::killChildTestAtFileEvent("DeliveryChild.WritesABatchUntilKilled",
                                               {"WHARF_HOME=" + home.path(), "WHARF_CRASH_URL=" + server.url("/never")},
                                               documents, IN_CREATE,
                                               [](std::string_view name) { return name.ends_with(".part"); }));
    EXPECT_TRUE(server.requests().empty());

    // The next run sends every row, once the page has configured it.
    store = std::make_unique<SQLiteLocationDAO>();
    auto manager = makeManager({{"syncUrl", server.url("/batch")}, {"syncThreshold", 1}});
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return arrivals(server).size() >= std::size_t(kRows); }, 30s))
        << arrivals(server).size() << " of " << kRows << " rows arrived";
    for (const auto& [time, count] : arrivals(server)) ASSERT_LE(count, 2) << "fix at " << time;
    std::size_t leftovers = 0;
    for (const auto& e : fs::directory_iterator(documents)) leftovers += e.path().extension() == ".part";
    EXPECT_EQ(leftovers, 0u);
}

}  // namespace
}  // namespace wharf
