// The event logger through real files in a temporary container and a
// loopback "/log" server.
#include "nimbus/eventlog/NBEventlogLogger.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "EventlogTestSupport.h"
#include "ProtocDecode.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/NBEventlogAccountData.h"
#include "platform/Clock.h"
#include "platform/Container.h"
#include "platform/Log.h"
#include "platform/Reachability.h"
#include "platform/RunLoop.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<EVLPBLogEvent> eventNamed(const std::string& text) {
    auto event = EVLPBLogEvent::create();
    NANOSetString(event.get(), EVLPBLogEvent::field_2, text);
    return event;
}

class NBEventlogLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { NetworkMonitor::setShared(monitor); }
    void TearDown() override {
        logger.reset();
        network.reset();
        NetworkMonitor::setShared(nullptr);
        Clock::setShared(nullptr);
    }
    std::string logDirectory() const { return Container::cachesPath() + "/NBEventlogLogger"; }
    void makeLogger(bool withNetwork, const std::string& server = "") {
        if (withNetwork) network = NBNetwork::initWithReachabilityHost("example.invalid");
        logger = NBEventlogLogger::create(logDirectory(), network);
        logger->setServerURL(server);
    }
    // Every event logged so far is in its file, and no file is still open.
    void settle() {
        logger->waitUntilIdle();
        logger->queue()->sync([&] { logger->flushWriters(); });
    }

    test::TempHome home;
    std::shared_ptr<FakeNetworkMonitor> monitor = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable);
    std::shared_ptr<NBNetwork> network;
    std::shared_ptr<NBEventlogLogger> logger;
};

}  // namespace

// Files land under Caches/NBEventlogLogger/<account>/<source>/<ms>, 0600, as
// whole records; no account name leaves the layout; files roll over past the
// size limit, and a second file in the same millisecond loses nothing.
TEST_F(NBEventlogLoggerTest, FilesKeepTheLayoutAndEveryEvent) {
    auto clock = std::make_shared<ManualClock>();
    clock->setNow(std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123)));
    Clock::setShared(clock);  // every file is made in the same millisecond
    makeLogger(false);
    logger->setMaxRequestNumBytes(100);
    const std::vector<std::string> accounts = {"../../escape", "a/b.c", ".hidden"};
    for (int i = 0; i < 12; ++i)
        logger->logEvent(eventNamed("event " + std::to_string(i) + std::string(30, 'x')), 137, accounts[0]);
    auto stamped = eventNamed("stamped");
    NANOSetInt64(stamped.get(), EVLPBLogEvent::event_time_ms, 42);
    logger->logEvent(stamped, 5, accounts[1]);
    logger->logEvent(eventNamed("hidden"), 5, accounts[2]);
    logger->logEvent(eventNamed("nobody"), 5, "");  // refused
    settle();

    std::set<std::string> seen;
    for (const auto& entry : std::filesystem::directory_iterator(logDirectory())) {
        const std::string name = entry.path().filename().string();
        EXPECT_NE(name.front(), '.') << name;
        EXPECT_TRUE(entry.is_directory()) << name;
        seen.insert(NBEventlogLogger::unescapedAccount(name));
    }
    EXPECT_EQ(seen, std::set<std::string>(accounts.begin(), accounts.end()));
    EXPECT_FALSE(std::filesystem::exists(Container::cachesPath() + "/escape"));

    const auto files = test::filesUnder(logDirectory());
    std::vector<std::string> texts;
    std::set<std::string> names;
    for (const std::string& file : files) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
        names.insert(file.substr(file.rfind('/') + 1));
        auto records = test::eventRecords(test::fileBytes(file));
        ASSERT_TRUE(records) << file << " holds a partial record";
        for (const auto& record : *records) {
            auto event = EVLPBLogEvent::initWithBuffer(record);
            ASSERT_TRUE(event);
            texts.push_back(*NANOGetString(event.get(), EVLPBLogEvent::field_2));
            const int64_t time = NANOGetInt64(event.get(), EVLPBLogEvent::event_time_ms);
            EXPECT_EQ(time, texts.back() == "stamped" ? 42 : 1700000000123) << texts.back();
            EXPECT_GT(NANOGetInt64(event.get(), EVLPBLogEvent::event_uptime_ms), 0);
        }
    }
    EXPECT_EQ(texts.size(), 14u) << "an event was dropped";
    EXPECT_GT(files.size(), 4u) << "the small limit rolls files over";
    EXPECT_TRUE(names.count("1700000000123") && names.count("1700000000124"));

    // Still within that millisecond, each new name is later than the last,
    // free or not: a file made after the oldest were trimmed must not take a
    // trimmed one's name and pass for an older file.
    int64_t last = 0;
    for (int i = 0; i < 50; ++i) {
        const std::string name = NBEventlogAccountData::filenameWithCurrentTimeInDirectory(logDirectory());
        const int64_t stamp = std::stoll(name.substr(name.rfind('/') + 1));
        EXPECT_GT(stamp, std::max<int64_t>(last, 1700000000124)) << "name " << i;
        last = stamp;
    }
}

// A write that fails part-way leaves the file at its last whole record, so
// the rest of the file is still readable by the server.
TEST_F(NBEventlogLoggerTest, AFailedWriteLeavesOnlyWholeRecords) {
    makeLogger(false);
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 10; ++i) logger->logEvent(eventNamed(std::string(280, static_cast<char>('a' + i))), 1, "acct");
    logger->waitUntilIdle();
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, previous);
    settle();
    size_t kept = 0;
    for (const std::string& file : test::filesUnder(logDirectory())) {
        auto records = test::eventRecords(test::fileBytes(file));
        ASSERT_TRUE(records) << file << " holds a partial record";
        kept += records->size();
    }
    EXPECT_GE(kept, 3u);
    EXPECT_LT(kept, 10u);
}

// A file goes to "/log" as one gzip LogRequest carrying the file's bytes; 200
// deletes it, 500 keeps it, and after six failures in a row nothing is sent.
TEST_F(NBEventlogLoggerTest, UploadsToTheLogPath) {
    std::mutex mutex;
    std::vector<int> statuses = {500, 200};
    test::RawHttpServer server([&](const test::RawRequest&) {
        std::lock_guard lock(mutex);
        int status = 500;
        if (!statuses.empty()) {
            status = statuses.front();
            statuses.erase(statuses.begin());
        }
        return test::rawResponse(status, "");
    });
    makeLogger(true, server.url("/log"));
    logger->setInstallIdentifier("install-1");
    logger->setZwiebackCookie("cookie-1");
    for (int i = 0; i < 3; ++i) logger->logEvent(eventNamed("e" + std::to_string(i)), 137, "greenhouse");
    settle();
    const auto files = test::filesUnder(logDirectory());
    ASSERT_EQ(files.size(), 1u);
    const Bytes stored = test::fileBytes(files[0]);

    logger->flushWithCompletionHandler(nullptr);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == 5; }));
    EXPECT_TRUE(std::filesystem::exists(files[0])) << "a failed post keeps the file";

    std::atomic<bool> flushed{false};
    logger->flushWithCompletionHandler([&] { flushed = true; });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return flushed.load(); }));
    EXPECT_FALSE(std::filesystem::exists(files[0])) << "200 deletes the file";
    EXPECT_EQ(logger->uploadRetriesRemaining(), 6);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/log");
    EXPECT_EQ(requests[1].header("Content-Encoding"), "gzip");
    auto request = test::requestOf(requests[1].body);
    ASSERT_TRUE(request);
    EXPECT_EQ(test::serializedEvents(*request), stored);
    auto plain = *tb_dataByInflatingData(Bytes(requests[1].body.begin(), requests[1].body.end()));
    const std::string text = test::protocDecode(plain, "evlpb.LogRequest", "eventlog.proto");
    for (const char* expected : {"log_source: ", "zwieback_cookie: \"cookie-1\"", "install_identifier: \"install-1\"",
                                 "application_build: \"0\"", "request_time_ms: ", "serialized_log_events: "})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;

    // Six failures in a row, then silence for the rest of the process.
    logger->logEvent(eventNamed("late"), 137, "greenhouse");
    for (int failure = 1; failure <= 6; ++failure) {
        logger->flushWithCompletionHandler(nullptr);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == 6 - failure; }));
    }
    logger->flushWithCompletionHandler(nullptr);
    logger->flushWithCompletionHandler(nullptr);
    RunLoop::pumpFor(200ms);
    logger->waitUntilIdle();
    EXPECT_EQ(server.requests().size(), 8u);
    EXPECT_EQ(test::filesUnder(logDirectory()).size(), 1u) << "events are still kept";
}

// Files cleared away under an open writer, or cut short on disk: later events
// still reach a file that will be sent, and only whole records are sent.
TEST_F(NBEventlogLoggerTest, FilesDeletedOrCutShortOnDisk) {
    test::RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(200, ""); });
    makeLogger(true, server.url("/log"));
    logger->logEvent(eventNamed("before"), 137, "greenhouse");
    logger->waitUntilIdle();
    std::filesystem::remove_all(logDirectory());
    for (int i = 0; i < 2; ++i) logger->logEvent(eventNamed("after" + std::to_string(i)), 137, "greenhouse");
    settle();
    const auto files = test::filesUnder(logDirectory());
    ASSERT_EQ(files.size(), 1u);
    const Bytes whole = test::fileBytes(files[0]);
    ASSERT_EQ(test::eventRecords(whole).value_or(std::vector<Bytes>{}).size(), 2u);

    // The process ended in the middle of a third record; another file holds
    // only the start of one.
    test::writeFile(files[0], std::string(whole.begin(), whole.end()) + "\x64"
                                                                        "ab");
    test::writeFile(files[0].substr(0, files[0].rfind('/')) + "/1", "\x85");
    std::atomic<bool> flushed{false};
    logger->flushWithCompletionHandler([&] { flushed = true; });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return flushed.load(); }));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    auto request = test::requestOf(requests[0].body);
    ASSERT_TRUE(request);
    EXPECT_EQ(test::serializedEvents(*request), whole);
    EXPECT_TRUE(test::filesUnder(logDirectory()).empty());
}

// Sending starts some time after the first report of a connected network;
// entering the background sends at once, but never a second post while one
// is outstanding, and one file is never listed twice.
TEST_F(NBEventlogLoggerTest, SendsWhenConnectedAndOnEnteringTheBackground) {
    std::atomic<bool> hang{false};
    test::RawHttpServer server([&](const test::RawRequest&) {
        if (hang) return test::RawReply{"", true};
        return test::rawResponse(200, "");
    });
    monitor->setFlags(0);
    network = NBNetwork::initWithReachabilityHost("example.invalid");
    logger = NBEventlogLogger::create(logDirectory(), network);
    logger->setSendDelayMillis(100);
    logger->setServerURL(server.url("/log"));
    logger->logEvent(eventNamed("one"), 137, "greenhouse");
    RunLoop::pumpFor(300ms);
    EXPECT_TRUE(server.requests().empty()) << "not connected yet";
    EXPECT_FALSE(logger->sendScheduled());
    monitor->setFlags(kReachabilityFlagReachable);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }));
    RunLoop::pumpUntil([&] { return test::filesUnder(logDirectory()).empty(); });

    // The next timed send is far off; the background does not wait for it.
    logger->setSendDelayMillis(NBEventlogLogger::kDefaultSendDelayMillis);
    hang = true;
    for (int i = 0; i < 2; ++i) logger->logEvent(eventNamed("two"), 137, "greenhouse" + std::to_string(i));
    NotificationCenter::defaultCenter().post(kUIApplicationDidEnterBackgroundNotification);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 2; }));
    NotificationCenter::defaultCenter().post(kUIApplicationDidEnterBackgroundNotification);
    logger->flushWithCompletionHandler(nullptr);
    RunLoop::pumpFor(200ms);
    logger->waitUntilIdle();
    EXPECT_EQ(server.requests().size(), 2u) << "a second post while one is outstanding";
    auto pending = logger->pendingRequests();
    std::set<std::string> paths;
    for (const auto& r : pending) paths.insert(r.path);
    EXPECT_EQ(paths.size(), pending.size()) << "a file listed twice";
    EXPECT_EQ(pending.size(), 1u);
    EXPECT_NE(logger->backgroundTaskId(), kInvalidBackgroundTask);
}

// A full disk: every event past the last one that fitted is dropped, and
// leaves no file behind that would hold nothing for good; once there is room
// again, events land as before.
TEST_F(NBEventlogLoggerTest, AFullDiskLeavesNoEmptyFiles) {
    test::SmallFilesystem disk("size=256k,mode=0700");
    WHARF_REQUIRE_COMPONENT(disk.mounted(), disk.why());
    logger = NBEventlogLogger::create(disk.file("NBEventlogLogger"), nullptr);
    for (int i = 0; i < 400; ++i) logger->logEvent(eventNamed(std::string(1000, 'x')), 137, "greenhouse");
    settle();
    auto files = test::filesUnder(disk.file("NBEventlogLogger"));
    ASSERT_FALSE(files.empty());
    size_t kept = 0;
    for (const std::string& file : files) {
        const Bytes bytes = test::fileBytes(file);
        EXPECT_FALSE(bytes.empty()) << file << " holds nothing";
        auto records = test::eventRecords(bytes);
        ASSERT_TRUE(records) << file << " holds a partial record";
        kept += records->size();
    }
    EXPECT_GT(kept, 100u);
    EXPECT_LT(kept, 400u) << "the disk never filled";

    // A send took the files away: the next event has room.
    for (const std::string& file : files) std::filesystem::remove(file);
    logger->logEvent(eventNamed("after"), 137, "greenhouse");
    settle();
    files = test::filesUnder(disk.file("NBEventlogLogger"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(test::eventRecords(test::fileBytes(files[0])).value_or(std::vector<Bytes>{}).size(), 1u);
}

namespace {

uint64_t bytesUnder(const std::string& directory) {
    uint64_t total = 0;
    for (const auto& file : test::filesUnder(directory)) total += std::filesystem::file_size(file);
    return total;
}

// Sets a file's last change `age` ago.
void writtenAgo(const std::string& path, std::chrono::seconds age) {
    const timespec when{::time(nullptr) - age.count(), 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The texts of the events in an event file.
std::vector<std::string> eventTexts(const std::string& path) {
    std::vector<std::string> texts;
    for (const auto& record : test::eventRecords(test::fileBytes(path)).value_or(std::vector<Bytes>{}))
        texts.push_back(
            NANOGetString(EVLPBLogEvent::initWithBuffer(record).get(), EVLPBLogEvent::field_2).value_or(""));
    return texts;
}

}  // namespace

// With no server to send to, the files are kept within a total size as they
// are written, not only when they would be sent, and within an age counted
// from each file's last write: past either the oldest go, logged. The time
// in a file's name (a clock that was a year ahead) decides nothing.
TEST_F(NBEventlogLoggerTest, WithoutAServerFilesStayWithinTheirBounds) {
    makeLogger(true);
    logger->setMaxRequestNumBytes(250);
    logger->setMaxUnsentBytes(1500);
    LogCapture log;
    // Files of three events each: however many are written, what stands on
    // disk is the bound and the file being written.
    for (int i = 0; i < 30; ++i) {
        logger->logEvent(eventNamed("event " + std::to_string(i) + std::string(90, 'x')), 137, "greenhouse");
        logger->waitUntilIdle();
        ASSERT_LE(bytesUnder(logDirectory()), 1500u + 350u) << "after event " << i;
    }
    settle();
    auto files = test::filesUnder(logDirectory());
    ASSERT_GE(files.size(), 4u);
    // The newest are kept: what is left is the tail of what was logged.
    std::vector<int> kept;
    for (const auto& file : files)
        for (const auto& text : eventTexts(file)) kept.push_back(std::stoi(text.substr(6)));
    std::sort(kept.begin(), kept.end());
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), 29);
    EXPECT_EQ(kept.back() - kept.front() + 1, static_cast<int>(kept.size())) << "a gap in what was kept";
    EXPECT_TRUE(log.contains("oldest unsent event files")) << "the deletions are not logged";
    logger->flushWithCompletionHandler(nullptr);
    logger->waitUntilIdle();
    files = test::filesUnder(logDirectory());
    EXPECT_LE(bytesUnder(logDirectory()), 1500u);
    EXPECT_GT(bytesUnder(logDirectory()), 1500u - 350u) << "more went than the bound asks";
    std::vector<std::string> pending;
    for (const auto& request : logger->pendingRequests()) pending.push_back(request.path);
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending, files) << "a deleted file is still listed";

    // A week on, what was last written before goes too, however small; so
    // does a file named a year ahead but written as long ago. A fresh file
    // stays, and so does one named long ago but written now.
    const std::string source = files[0].substr(0, files[0].rfind('/'));
    for (const auto& file : files) writtenAgo(file, std::chrono::hours(24 * 8));
    const std::string aged = std::to_string(files.size() + 1);
    const int64_t now = NBEventlogLogger::currentTimeMillis();
    const std::string yearAhead = source + "/" + std::to_string(now + 365LL * 24 * 3600 * 1000);
    const std::string namedLongAgo = source + "/1000";
    std::filesystem::copy_file(files[0], yearAhead);
    std::filesystem::copy_file(files[1], namedLongAgo);
    writtenAgo(yearAhead, std::chrono::hours(24 * 8));
    logger->logEvent(eventNamed("fresh"), 137, "greenhouse");
    settle();
    logger->flushWithCompletionHandler(nullptr);
    logger->waitUntilIdle();
    files = test::filesUnder(logDirectory());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], namedLongAgo);
    EXPECT_EQ(eventTexts(files[1]), std::vector<std::string>{"fresh"});
    EXPECT_TRUE(
        log.contains("NBEventlogLogger: deleted " + aged + " unsent event files last written more than 7 days ago"));

    // Over the size bound the file last written longest ago goes first,
    // whatever its name says.
    std::filesystem::copy_file(files[1], yearAhead);
    writtenAgo(yearAhead, std::chrono::hours(24 * 2));
    logger->setMaxUnsentBytes(bytesUnder(logDirectory()) - 1);
    logger->flushWithCompletionHandler(nullptr);
    logger->waitUntilIdle();
    EXPECT_EQ(test::filesUnder(logDirectory()), files);
}

// A server that refuses everything (500): the files wait for it, within a
// bound of their own, over launch after launch and flush after flush; the
// oldest go, logged, and the newest are kept.
TEST_F(NBEventlogLoggerTest, FilesWaitingForARefusingServerStayWithinTheirBound) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(500, ""); });
    LogCapture log;
    int event = 0;
    for (int launch = 0; launch < 4; ++launch) {
        makeLogger(true, server.url("/log"));
        logger->setMaxRequestNumBytes(250);
        logger->setMaxUnsentBytesWithServer(2000);
        for (int flush = 0; flush < 3; ++flush) {
            for (int i = 0; i < 6; ++i)
                logger->logEvent(eventNamed("event " + std::to_string(event++) + std::string(90, 'x')), 137, "acct");
            const int retries = logger->uploadRetriesRemaining();
            logger->flushWithCompletionHandler(nullptr);
            ASSERT_TRUE(RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == retries - 1; }));
            logger->waitUntilIdle();
            ASSERT_LE(bytesUnder(logDirectory()), 2000u) << "launch " << launch << ", flush " << flush;
        }
        logger.reset();
        network.reset();
    }
    EXPECT_GT(server.requests().size(), 0u);
    EXPECT_GT(bytesUnder(logDirectory()), 2000u - 350u);
    EXPECT_TRUE(log.contains("oldest unsent event files")) << "the deletions are not logged";
    bool newestKept = false;
    for (const auto& file : test::filesUnder(logDirectory()))
        for (const auto& text : eventTexts(file))
            newestKept = newestKept || text == "event " + std::to_string(event - 1) + std::string(90, 'x');
    EXPECT_TRUE(newestKept);
}

// The server refuses one file for good (400) and takes the rest: the refused
// file is deleted (logged) and the older files behind it go all the same, at
// once; a file it is too busy for (429) waits for the next send.
TEST_F(NBEventlogLoggerTest, AFileTheServerRefusesForGoodIsSetAside) {
    test::RawHttpServer server([](const test::RawRequest& request) {
        auto sent = test::requestOf(request.body);
        const Bytes events = sent ? test::serializedEvents(*sent) : Bytes{};
        const std::string text(events.begin(), events.end());
        if (text.find("poison") != std::string::npos) return test::rawResponse(400, "");
        if (text.find("busy") != std::string::npos) return test::rawResponse(429, "");
        return test::rawResponse(200, "");
    });
    makeLogger(true, server.url("/log"));
    logger->setMaxRequestNumBytes(1);  // one event a file
    for (const char* text : {"busy", "good 1", "good 2", "poison"}) logger->logEvent(eventNamed(text), 137, "acct");
    settle();
    ASSERT_EQ(test::filesUnder(logDirectory()).size(), 4u);
    LogCapture log;
    logger->flushWithCompletionHandler(nullptr);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == 5; }));
    logger->waitUntilIdle();
    EXPECT_EQ(server.requests().size(), 4u) << "every file was tried";
    const auto files = test::filesUnder(logDirectory());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(eventTexts(files[0]), std::vector<std::string>{"busy"});
    EXPECT_TRUE(log.contains("the server refused the event file")) << log.lines().size();
    EXPECT_TRUE(log.contains("with status 400; the file is deleted"));
}

// Answers that are not HTTP, or a 200 whose message is broken, are failed
// posts: the file stays, whole, for the next send.
TEST_F(NBEventlogLoggerTest, AGarbageReplyKeepsTheFile) {
    std::mutex mutex;
    std::vector<test::RawReply> replies = {
        {"\x16\x03\x01 no answer of HTTP at all\r\n\r\n"},
        {"HTTP/1.1 200 OK\r\nContent-Length: twelve\r\nConnection: close\r\n\r\nbody"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\ncut short"},
        test::rawResponse(200, ""),
    };
    test::RawHttpServer server([&](const test::RawRequest&) {
        std::lock_guard lock(mutex);
        test::RawReply reply = replies.front();
        if (replies.size() > 1) replies.erase(replies.begin());
        return reply;
    });
    makeLogger(true, server.url("/log"));
    for (int i = 0; i < 2; ++i) logger->logEvent(eventNamed("e" + std::to_string(i)), 137, "greenhouse");
    settle();
    const auto files = test::filesUnder(logDirectory());
    ASSERT_EQ(files.size(), 1u);
    const Bytes stored = test::fileBytes(files[0]);
    for (int failure = 1; failure <= 3; ++failure) {
        logger->flushWithCompletionHandler(nullptr);
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == 6 - failure; })) << failure;
        EXPECT_EQ(test::fileBytes(files[0]), stored) << failure;
    }
    std::atomic<bool> flushed{false};
    logger->flushWithCompletionHandler([&] { flushed = true; });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return flushed.load(); }));
    EXPECT_TRUE(test::filesUnder(logDirectory()).empty());
    EXPECT_EQ(logger->uploadRetriesRemaining(), 6);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& request : requests) {
        auto sent = test::requestOf(request.body);
        ASSERT_TRUE(sent);
        EXPECT_EQ(test::serializedEvents(*sent), stored);
    }
}
