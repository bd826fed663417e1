// NBNetwork against a loopback server of our own.
#include "nimbus/network/NBNetwork.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "RawHttpServer.h"
#include "RecordingLogger.h"
#include "TestSupport.h"
#include "nimbus/toolbox/TBZLibAdditions.h"
#include "platform/base/Clock.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/Reachability.h"
#include "platform/storage/Container.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

struct Answer {
    std::atomic<int> calls{0};
    std::optional<http::Response> response;
    std::optional<Bytes> data;
    std::optional<Error> error;
    bool onMain = false;
};

class NBNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        NetworkMonitor::setShared(monitor);
        network = NBNetwork::initWithReachabilityHost("example.invalid");
        ASSERT_TRUE(network);
    }
    void TearDown() override {
        network.reset();
        NetworkMonitor::setShared(nullptr);
        Clock::setShared(nullptr);
    }

    NBNetwork::CompletionHandler recordInto(const std::shared_ptr<Answer>& answer) {
        return [answer](const std::optional<http::Response>& r, const std::optional<Bytes>& d, const Error* e) {
            answer->onMain = RunLoop::isMainThread();
            answer->response = r;
            answer->data = d;
            if (e) answer->error = *e;
            ++answer->calls;
        };
    }
    std::shared_ptr<Answer> post(const std::string& url, const std::string& payload, bool background = false) {
        auto answer = std::make_shared<Answer>();
        lastID = network->postURL(url, Bytes(payload.begin(), payload.end()), nullptr, background, recordInto(answer));
        wait(answer);
        return answer;
    }
    void wait(const std::shared_ptr<Answer>& answer) {
        RunLoop::pumpUntil([&] { return answer->calls > 0; });
        RunLoop::pumpFor(20ms);
    }
    std::string tempDir() const {
        return Container::applicationSupportPath() + "/Nimbus/Network/NBNetworkTemporaryDirectory";
    }

    test::TempHome home;
    std::shared_ptr<FakeNetworkMonitor> monitor = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable);
    std::shared_ptr<NBNetwork> network;
    std::optional<std::string> lastID;
};

std::string gunzip(const std::string& body) {
    auto out = tb_dataByInflatingData(Bytes(body.begin(), body.end()));
    return out ? std::string(out->begin(), out->end()) : "<not gzip>";
}

size_t indexOf(const test::RawRequest& r, const std::string& name) {
    for (size_t i = 0; i < r.headers.size(); ++i)
        if (r.headers[i].first == name) return i;
    return SIZE_MAX;
}

}  // namespace

TEST_F(NBNetworkTest, PostSendsTheGzippedPayloadWithItsHeaders) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, "ignored"); });
    std::string payload(5000, 'a');
    payload += "&b=2";
    auto answer = std::make_shared<Answer>();
    auto id = network->postURL(
        server.url("/log"), Bytes(payload.begin(), payload.end()), nullptr, false,
        [&, answer](const std::optional<http::Response>& r, const std::optional<Bytes>& d, const Error* e) {
            answer->onMain = RunLoop::isMainThread();
            answer->response = r;
            answer->data = d;
            if (e) answer->error = *e;
            answer->calls++;
            // The request leaves the in-flight set just before its handler runs.
            EXPECT_FALSE(network->hasUploadInProgress());
        });
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rfind("com.rovude.nimbus.network.background-upload-", 0), 0u);
    EXPECT_TRUE(network->hasUploadInProgress());
    wait(answer);
    ASSERT_EQ(answer->calls, 1);
    EXPECT_TRUE(answer->onMain);
    EXPECT_FALSE(answer->error);
    EXPECT_EQ(answer->response->statusCode, 200);
    EXPECT_FALSE(answer->data);  // an upload keeps no body

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(gunzip(r.body), payload);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("Content-Encoding"), "gzip");
    EXPECT_LT(indexOf(r, "Content-Length"), indexOf(r, "Content-Type"));
    EXPECT_LT(indexOf(r, "Content-Type"), indexOf(r, "Content-Encoding"));
    EXPECT_EQ(server.requests().size(), 1u);

    // An empty payload is an empty body, still declared as gzip.
    answer = post(server.url("/log"), "");
    EXPECT_FALSE(answer->error);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].header("Content-Length"), "0");
    EXPECT_EQ(server.requests()[1].header("Content-Encoding"), "gzip");
    EXPECT_TRUE(server.requests()[1].body.empty());
}

TEST_F(NBNetworkTest, GetReturnsTheBodyAndSendsTheCallersHeaders) {
    test::RawHttpServer server(
        [](const test::RawRequest& r) { return test::rawResponse(200, "v=" + r.header("X-Key")); });
    auto answer = std::make_shared<Answer>();
    auto queue = dispatch::createSerialQueue("test.network.caller");
    std::atomic<bool> onQueue{false};
    auto id = network->getURL(
        server.url("/config"), {{"X-Key", "k1"}}, queue, false,
        [&, answer](const std::optional<http::Response>& r, const std::optional<Bytes>& d, const Error* e) {
            onQueue = queue->isCurrent();
            answer->response = r;
            answer->data = d;
            if (e) answer->error = *e;
            answer->calls++;  // last: the main thread reads the rest after it
        });
    ASSERT_TRUE(id);
    RunLoop::pumpUntil([&] { return answer->calls > 0; });
    queue->sync([] {});
    EXPECT_TRUE(onQueue);
    ASSERT_TRUE(answer->data);
    EXPECT_EQ(std::string(answer->data->begin(), answer->data->end()), "v=k1");
}

TEST_F(NBNetworkTest, RedirectsFollowTheRules) {
    test::RawHttpServer server([](const test::RawRequest& r) {
        if (r.path == "/302") return test::rawResponse(302, "", "Location: /target\r\n");
        if (r.path == "/303") return test::rawResponse(303, "", "Location: /target\r\n");
        return test::rawResponse(200, "target " + r.method);
    });
    auto answer = post(server.url("/302"), "x");
    ASSERT_TRUE(answer->response);
    EXPECT_EQ(answer->response->statusCode, 302);
    EXPECT_FALSE(answer->error);
    EXPECT_EQ(server.requests().size(), 1u);

    answer = post(server.url("/303"), "x");
    EXPECT_EQ(answer->response->statusCode, 200);
    ASSERT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.requests()[2].path, "/target");
    EXPECT_EQ(server.requests()[2].method, "GET");
}

TEST_F(NBNetworkTest, BrokenAnswersAreErrorsNotSuccess) {
    test::RawHttpServer server([](const test::RawRequest& r) {
        if (r.path == "/short") return test::RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\npartial"};
        return test::RawReply{"", true};
    });
    auto logger = std::make_shared<test::RecordingLogger>();
    network->setLoggerDelegate(logger);

    auto answer = std::make_shared<Answer>();
    network->getURL(server.url("/short"), {}, nullptr, false, recordInto(answer));
    wait(answer);
    ASSERT_EQ(answer->calls, 1);
    ASSERT_TRUE(answer->error);
    EXPECT_EQ(answer->error->domain, http::kURLErrorDomain);
    EXPECT_FALSE(answer->data);
    EXPECT_TRUE(logger->has(901017));

    network->setTimeoutInterval(0.3);
    auto started = std::chrono::steady_clock::now();
    answer = post(server.url("/hang"), "x");
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(answer->calls, 1);
    ASSERT_TRUE(answer->error);
    EXPECT_EQ(answer->error->code, http::URLErrorTimedOut);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(network->hasUploadInProgress());
}

TEST_F(NBNetworkTest, RequestsStartedFromManyThreadsEachCompleteOnce) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, "ok"); });
    constexpr int kThreads = 8, kEach = 6;
    std::latch go(kThreads);
    std::mutex mutex;
    std::set<std::string> ids;
    std::map<std::string, int> calls;  // by request, on the main thread
    int good = 0, total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) {
                const std::string key = std::to_string(t) + "/" + std::to_string(i);
                auto handler = [&, key](const std::optional<http::Response>& r, const std::optional<Bytes>&,
                                        const Error* e) {
                    ++calls[key];
                    good += !e && r && r->statusCode == 200;
                    ++total;
                };
                // Foreground and background uploads and downloads, all at once.
                std::optional<std::string> id =
                    i % 3 == 2 ? network->getURL(server.url("/get"), {}, nullptr, false, handler)
                               : network->postURL(server.url("/post"), Bytes(100, 'x'), nullptr, i % 3 == 1, handler);
                std::lock_guard lock(mutex);
                if (id) ids.insert(*id);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ids.size(), size_t{kThreads * kEach}) << "every request has an identifier of its own";
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return total >= kThreads * kEach; }, 20s));
    RunLoop::pumpFor(50ms);
    EXPECT_EQ(total, kThreads * kEach);
    EXPECT_EQ(good, kThreads * kEach);
    EXPECT_EQ(calls.size(), size_t{kThreads * kEach});
    for (const auto& [key, n] : calls) EXPECT_EQ(n, 1) << key;
    EXPECT_FALSE(network->hasUploadInProgress());
    EXPECT_EQ(server.requests().size(), size_t{kThreads * kEach});
    EXPECT_EQ(NBNetworkURLSession::sessionIDToFetcherMap().liveCount(), 0u);
}

TEST_F(NBNetworkTest, FailuresBeforeSending) {
    auto answer = std::make_shared<Answer>();
    EXPECT_FALSE(network->postURL("", Bytes{1}, nullptr, false, recordInto(answer)));
    EXPECT_EQ(answer->calls, 0);  // always later
    wait(answer);
    ASSERT_EQ(answer->calls, 1);
    EXPECT_TRUE(answer->onMain);
    EXPECT_EQ(answer->error->domain, kNBNetworkErrorDomain);
    EXPECT_EQ(answer->error->code, NBNetworkErrorCodeInvalidURL);
    EXPECT_EQ(answer->error->userInfo["Context"], "Failed to create network request");
    EXPECT_FALSE(network->hasUploadInProgress());
}

TEST_F(NBNetworkTest, BackgroundPostStagesItsBodyInAFileAndRemovesIt) {
    bool fileSeen = false;
    std::string dir = tempDir();
    test::RawHttpServer server([&](const test::RawRequest&) {
        for (auto& e : std::filesystem::directory_iterator(dir))
            fileSeen = fileSeen || e.path().filename().string().rfind(
                                       "NBUpload_temp_com.rovude.nimbus.network.background-upload-", 0) == 0;
        return test::rawResponse(200, "");
    });
    auto answer = post(server.url("/bg"), "background body", true);
    ASSERT_EQ(answer->calls, 1);
    EXPECT_FALSE(answer->error);
    EXPECT_TRUE(fileSeen);
    EXPECT_EQ(gunzip(server.requests()[0].body), "background body");
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    // A file a killed process left behind goes once it is over an hour old.
    test::writeFile(dir + "/NBUpload_temp_left-over", "old");
    answer = post(server.url("/bg"), "again", true);
    EXPECT_TRUE(std::filesystem::exists(dir + "/NBUpload_temp_left-over"));
    auto clock = std::make_shared<ManualClock>();
    clock->setNow(std::chrono::system_clock::now() + 2h);
    Clock::setShared(clock);
    answer = post(server.url("/bg"), "later", true);
    EXPECT_FALSE(std::filesystem::exists(dir + "/NBUpload_temp_left-over"));
}

TEST_F(NBNetworkTest, RelaunchEntryPoints) {
    int firstCalls = 0, secondCalls = 0;
    NBNetwork::handleEventsForBackgroundURLSessionID("com.other.session", [&] { ++firstCalls; });
    EXPECT_TRUE(NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().empty());

    const std::string id = std::string(kNBNetworkBackgroundSessionPrefix) + "-RELAUNCH";
    NBNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ++firstCalls; });
    NBNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ++secondCalls; });
    EXPECT_EQ(NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().size(), 1u);
    auto session = NBNetworkURLSession::fetcherWithSessionIdentifier(id);
    ASSERT_TRUE(session);
    auto logger = std::make_shared<test::RecordingLogger>();
    auto other = NBNetworkURLSession::initWithNetworkLoggerDelegate(logger);
    other->addSystemCompletionHandler([] {}, "x");
    other->addSystemCompletionHandler([] {}, "x");
    EXPECT_TRUE(logger->has(901011));
    other->addSystemCompletionHandler(nullptr, "y");
    EXPECT_TRUE(logger->has(901009));
    other->callSystemCompletionHandler("x");

    // The relaunched session has no transfer to wait for: it ends by itself.
    session.reset();
    RunLoop::pumpFor(20ms);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(secondCalls, 1);
    EXPECT_TRUE(NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().empty());
    EXPECT_FALSE(NBNetworkURLSession::fetcherWithSessionIdentifier(id));
}

TEST_F(NBNetworkTest, BackgroundSessionEndsAfterItsCompletionAndCallsTheSystemHandler) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, ""); });
    auto logger = std::make_shared<test::RecordingLogger>();
    network->setLoggerDelegate(logger);
    std::vector<std::string> order;
    auto id = network->postURL(server.url("/bg"), Bytes{1, 2, 3}, nullptr, true,
                               [&](const std::optional<http::Response>&, const std::optional<Bytes>&, const Error* e) {
                                   order.push_back(e ? "error" : "completion");
                               });
    ASSERT_TRUE(id);
    // The system hands its handler over while the upload is under way.
    NBNetwork::handleEventsForBackgroundURLSessionID(*id, [&] { order.push_back("system"); });
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return order.size() >= 2; }));
    RunLoop::pumpFor(20ms);
    EXPECT_EQ(order, (std::vector<std::string>{"completion", "system"}));
    EXPECT_TRUE(logger->has(901003));
    EXPECT_TRUE(NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().empty());
    EXPECT_FALSE(NBNetworkURLSession::fetcherWithSessionIdentifier(*id));

    // A handler that arrives after the completion is still called, once.
    int late = 0;
    NBNetwork::handleEventsForBackgroundURLSessionID(*id, [&] { ++late; });
    RunLoop::pumpFor(20ms);
    EXPECT_EQ(late, 1);
    EXPECT_EQ(order.size(), 2u);
}

TEST_F(NBNetworkTest, LogFunnel) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, ""); });
    LogCapture capture;
    post(server.url("/a"), "x");
    EXPECT_FALSE(capture.contains("Uploading data"));
    network->setDebugModeEnabled(true);
    post(server.url("/a"), "x");
    EXPECT_TRUE(capture.contains("<Nimbus/Network/DEBUG> Uploading data. Host: " + server.url("/a")));
    network->nbNetwork_logWithLevel(6, 1, std::nullopt);
    EXPECT_TRUE(capture.contains("<Nimbus/Network/INFO> (Message was nil)"));
    network->nbNetwork_logWithLevelMessageCodeMessageContexts(3, 2, std::string(""), {Value(), Value(5)});
    EXPECT_TRUE(capture.contains("<Nimbus/Network/ERROR> (Message was empty): (nil), 5"));

    auto logger = std::make_shared<test::RecordingLogger>();
    network->setLoggerDelegate(logger);
    capture.clear();
    post(server.url("/a"), "x");
    EXPECT_TRUE(logger->has(900000));
    EXPECT_FALSE(capture.contains("Uploading data"));
    network->setLoggerDelegate(std::weak_ptr<NBNetworkLoggerDelegate>());  // refused, the old one stays
    EXPECT_EQ(network->loggerDelegate().lock(), logger);
}

TEST_F(NBNetworkTest, ReachabilityAndLateCompletions) {
    struct Watcher : NBNetworkReachabilityDelegate {
        int changes = 0;
        void reachabilityDidChange() override { ++changes; }
    };
    auto watcher = std::make_shared<Watcher>();
    network->setReachabilityDelegate(watcher);
    EXPECT_FALSE(network->isNetworkConnected());
    RunLoop::pumpUntil([&] { return network->isNetworkConnected(); });
    EXPECT_TRUE(network->isNetworkConnected());
    monitor->setFlags(0);
    EXPECT_FALSE(network->isNetworkConnected());
    EXPECT_EQ(watcher->changes, 2);

    // A client released before its answer drops the answer.
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, ""); });
    auto answer = std::make_shared<Answer>();
    network->postURL(server.url("/late"), Bytes{1}, nullptr, false, recordInto(answer));
    network.reset();
    RunLoop::pumpUntil([&] { return server.requests().size() == 1; });
    RunLoop::pumpFor(100ms);
    EXPECT_EQ(answer->calls, 0);
}

// Someone swapped the temporary directory (or a step above it) for a link
// out of the container, and the clock says everything there is old: the
// clean-up must not follow it, and the upload still goes out, from memory.
TEST_F(NBNetworkTest, ALinkInPlaceOfTheTemporaryDirectoryIsNeverFollowed) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::rawResponse(200, ""); });
    test::TempDir outside;
    std::filesystem::create_directories(outside.file("precious/inner"));
    test::writeFile(outside.file("precious/inner/keep.txt"), "keep");
    test::writeFile(outside.file("top.txt"), "keep");
    auto clock = std::make_shared<ManualClock>();
    clock->setNow(std::chrono::system_clock::now() + 2h);
    Clock::setShared(clock);
    const std::string network = Container::applicationSupportPath() + "/Nimbus/Network";
    const std::string links[] = {tempDir(), network};
    for (const std::string& link : links) {
        std::filesystem::remove_all(Container::applicationSupportPath() + "/Nimbus");
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        std::filesystem::create_directory_symlink(outside.path(), link);
        auto answer = post(server.url("/bg"), "payload", true);
        ASSERT_EQ(answer->calls, 1) << link;
        EXPECT_FALSE(answer->error) << link;
        EXPECT_TRUE(std::filesystem::exists(outside.file("precious/inner/keep.txt"))) << link;
        EXPECT_TRUE(std::filesystem::exists(outside.file("top.txt"))) << link;
        size_t entries = 0;
        for (auto& e : std::filesystem::directory_iterator(outside.path())) entries += !e.path().empty();
        EXPECT_EQ(entries, 2u) << "nothing staged outside the container";
    }
    EXPECT_EQ(gunzip(server.requests().back().body), "payload");
}

// Answers beyond the client's bound fail instead of filling the memory.
TEST_F(NBNetworkTest, AnswersPastTheBoundFail) {
    test::RawHttpServer server([](const test::RawRequest&) {
        test::RawReply reply{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"};
        reply.repeated = std::string(1 << 20, 'z');
        reply.times = kNBNetworkMaximumResponseLength / reply.repeated.size() + 8;
        return reply;
    });
    auto answer = std::make_shared<Answer>();
    network->getURL(server.url("/big"), {}, nullptr, false, recordInto(answer));
    RunLoop::pumpUntil([&] { return answer->calls > 0; }, 30s);
    ASSERT_EQ(answer->calls, 1);
    ASSERT_TRUE(answer->error);
    EXPECT_EQ(answer->error->code, http::URLErrorDataLengthExceedsMaximum);
    EXPECT_FALSE(answer->data);
}

// The child halves of the tests below, each run as a process of its own on
// the parent's container. This one stages one upload (or
// NBNETWORK_CHILD_UPLOADS of them, the second one's body ending in " 2") and
// waits to be killed.
TEST(NBNetworkChild, StagesABackgroundUpload) {
    const char* url = std::getenv("NBNETWORK_CHILD_URL");
    const char* home = std::getenv("NBNETWORK_CHILD_HOME");
    const char* uploads = std::getenv("NBNETWORK_CHILD_UPLOADS");
    if (!url || !home) GTEST_SKIP() << "runs only as a child of the background upload tests";
    Container::setHome(home);
    NetworkMonitor::setShared(std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable));
    auto network = NBNetwork::initWithReachabilityHost("example.invalid");
    ASSERT_TRUE(network);
    const long count = uploads ? std::strtol(uploads, nullptr, 10) : 1;
    for (long i = 1; i <= count; ++i) {
        std::string body = "staged before the end" + (i > 1 ? " " + std::to_string(i) : "");
        ASSERT_TRUE(network->postURL(url, Bytes(body.begin(), body.end()), nullptr, true, nullptr));
    }
    RunLoop::pumpFor(60s);  // the parent kills us long before
}

// Launched on a container whose uploads may be under way elsewhere: resumes
// them, writes how many it sent again, and gives them time to go out.
TEST(NBNetworkChild, ResumesBackgroundUploads) {
    const char* result = std::getenv("NBNETWORK_CHILD_RESULT");
    const char* home = std::getenv("NBNETWORK_CHILD_HOME");
    if (!result || !home) GTEST_SKIP() << "runs only as a child of the background upload tests";
    Container::setHome(home);
    test::writeFile(result, std::to_string(NBNetwork::resumeBackgroundUploads()));
    RunLoop::pumpFor(1s);
}

namespace {

// Runs one of the child tests above with `environment` added.
pid_t spawnChild(const std::string& test, const std::vector<std::string>& environment) {
    std::vector<std::string> env(environment);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<std::string> argv = {"/proc/self/exe", "--gtest_filter=NBNetworkChild." + test};
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, cargv.data(), cenv.data()) != 0) return 0;
    return pid;
}

}  // namespace

// Two uploads staged by a process killed before the answer. The next launch
// finds no server that answers (the connection closes without a word): both
// stay staged. A week on, one staged before that goes unsent, logged; the
// other goes at the launch after, once.
TEST_F(NBNetworkTest, BackgroundUploadsOutliveTheProcessAndLaunchesWithoutAServer) {
    enum Mode { Silent, Closing, Answering };
    std::atomic<Mode> mode{Silent};
    test::RawHttpServer server([&](const test::RawRequest&) {
        if (mode == Silent) return test::RawReply{"", true};  // takes the upload, never answers
        if (mode == Closing) return test::RawReply{};
        return test::rawResponse(200, "");
    });
    const pid_t pid =
        spawnChild("StagesABackgroundUpload", {"NBNETWORK_CHILD_URL=" + server.url("/upload"),
                                               "NBNETWORK_CHILD_HOME=" + home.path(), "NBNETWORK_CHILD_UPLOADS=2"});
    ASSERT_NE(pid, 0);
    const bool reached = RunLoop::pumpUntil([&] { return server.requests().size() == 2; }, 20s);
    ::kill(pid, SIGKILL);  // the process ends with its uploads unanswered
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(reached);
    auto staged = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(tempDir()))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> left = staged();
    ASSERT_EQ(left.size(), 4u) << "two bodies and their records";

    // A launch while no server answers: both are sent and both stay.
    mode = Closing;
    test::TempDir dir;
    const pid_t offline = spawnChild("ResumesBackgroundUploads", {"NBNETWORK_CHILD_RESULT=" + dir.file("resent"),
                                                                  "NBNETWORK_CHILD_HOME=" + home.path()});
    ASSERT_NE(offline, 0);
    ::waitpid(offline, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::readFile(dir.file("resent")), "2");
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_EQ(staged(), left) << "an upload that reached no server was dropped";

    // The first record was staged eight days ago.
    const std::string old = tempDir() + "/" + left[1];
    ASSERT_EQ(old.substr(old.size() - 8), ".request");
    const timespec eightDaysAgo{::time(nullptr) - 8 * 24 * 3600, 0};
    const timespec times[2] = {eightDaysAgo, eightDaysAgo};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
    const std::string givenUp = gunzip(test::readFile(old.substr(0, old.size() - 8)));

    // The next launch: the server answers now; the old one goes unsent.
    mode = Answering;
    LogCapture log;
    EXPECT_EQ(NBNetwork::resumeBackgroundUploads(), 1u);
    EXPECT_EQ(NBNetwork::resumeBackgroundUploads(), 0u) << "already under way";
    EXPECT_TRUE(log.contains("staged more than 7 days ago")) << givenUp;
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 5; }, 20s));
    // The application is kept running until it has handled the sessions'
    // events, then the system's handlers are called and the staged files go.
    ASSERT_TRUE(RunLoop::pumpUntil(
        [&] { return Application::shared().backgroundTaskCount() == 0 && std::filesystem::is_empty(tempDir()); }, 10s));
    RunLoop::pumpFor(50ms);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    const std::string sent = gunzip(requests[4].body);
    EXPECT_NE(sent, givenUp);
    EXPECT_TRUE(sent == "staged before the end" || sent == "staged before the end 2") << sent;
    EXPECT_EQ(requests[4].header("Content-Encoding"), "gzip");
    EXPECT_TRUE(NBNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().empty());
    EXPECT_EQ(NBNetwork::resumeBackgroundUploads(), 0u);
    EXPECT_EQ(server.requests().size(), 5u);
}

// A second process on the same container (a second launch) while this one's
// upload waits for its answer: the upload is this process's, and the server
// gets its body once.
TEST_F(NBNetworkTest, AnotherProcessLeavesAnUploadUnderWayAlone) {
    test::RawHttpServer server([](const test::RawRequest&) { return test::RawReply{"", true}; });
    auto answer = std::make_shared<Answer>();
    ASSERT_TRUE(network->postURL(server.url("/upload"), Bytes{'o', 'n', 'c', 'e'}, nullptr, true, recordInto(answer)));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }, 20s));

    test::TempDir dir;
    const pid_t pid = spawnChild("ResumesBackgroundUploads", {"NBNETWORK_CHILD_RESULT=" + dir.file("resent"),
                                                              "NBNETWORK_CHILD_HOME=" + home.path()});
    ASSERT_NE(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::readFile(dir.file("resent")), "0");
    RunLoop::pumpFor(100ms);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(answer->calls, 0) << "still waiting for its answer";
}
