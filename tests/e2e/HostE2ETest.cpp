// End-to-end tests: the real host binary with the echo plug-in on test
// bundles, in WebKitGTK under Xvfb. Each test runs the host with a fresh home
// and reads back what the page reported through the bridge.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "E2EProcess.h"
#include "PrivateDisplay.h"
#include "RawHttpServer.h"
#include "ServingThread.h"
#include "TestSupport.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using wharf::platform::Value;
using wharf::test::closedPort;
using wharf::test::readFile;
using wharf::test::TempDir;
using wharf::test::writeFile;

struct RunResult {
    int status = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct Host {
    pid_t pid = 0;
    std::string outPath, errPath;
};

Host spawnHost(const TempDir& dir, std::vector<std::string> args, const std::string& name = "host") {
    args.insert(args.begin(), WHARF_E2E_HOST);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Host host{0, dir.file(name + "-stdout.txt"), dir.file(name + "-stderr.txt")};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, host.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, host.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&host.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) host.pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return host;
}

RunResult waitHost(const Host& host, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    RunResult result;
    if (!host.pid) return result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        if (waitpid(host.pid, &status, WNOHANG) == host.pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(host.pid, SIGKILL);
            waitpid(host.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(host.outPath);
    result.err = readFile(host.errPath);
    return result;
}

RunResult runHost(const TempDir& dir, std::vector<std::string> args) {
    return waitHost(spawnHost(dir, std::move(args)));
}

constexpr const char* kShippedBridge = WHARF_DEMO_WWW "/wharf.js";

// A copy of a test bundle with a page-side bridge script as its "wharf.js":
// the demo's, unless another is given.
std::string prepareBundle(const TempDir& dir, const std::string& name, const std::string& bridge = kShippedBridge) {
    const fs::path target = fs::path(dir.path()) / "bundle";
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/" + name, target.string());
    fs::create_directories(target / "www");
    fs::copy_file(bridge, target / "www" / "wharf.js");
    return target.string();
}

// Puts `port` in place of each "@PORT@" in the bundle's config.xml.
void setPort(const std::string& bundle, int port) {
    std::string config = readFile(bundle + "/config.xml");
    for (auto at = config.find("@PORT@"); at != std::string::npos; at = config.find("@PORT@"))
        config.replace(at, 6, std::to_string(port));
    writeFile(bundle + "/config.xml", config);
}

bool waitForLog(const Host& host, const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readFile(host.errPath).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

RunResult stopHost(const Host& host) {
    kill(host.pid, SIGTERM);
    return waitHost(host);
}

class HostE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
        // Without a session bus each host runs on its own instead of handing
        // its launch to an instance of the same bundle already running.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    std::string home() const { return dir_.file("home"); }
    Value report() const {
        std::string text = readFile(home() + "/e2e-report.json");
        return text.empty() ? Value() : Value::parse(text, nullptr, false);
    }
    TempDir dir_;
};

// The demo's bridge, and one written to the host's contract alone.
class BridgeE2E : public HostE2E, public ::testing::WithParamInterface<std::string> {};

TEST_P(BridgeE2E, BridgeCallsReachThePageCallbacks) {
    const std::string bundle = prepareBundle(dir_, "bridge", GetParam());
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home(), "--open-url", "wharfe2e://launch/x?y=1"});
    ASSERT_FALSE(run.timedOut) << run.err;
    Value r = report();
    ASSERT_TRUE(r.is_object()) << run.err;
    EXPECT_EQ(run.status, 0) << r.dump();
    EXPECT_FALSE(r.contains("timedOut")) << "stuck at " << r.value("lastStep", "?");

    // An answer reaches the success callback with its payload.
    EXPECT_EQ(r["echo"]["ok"], true);
    EXPECT_EQ(r["echo"]["value"], Value::parse(R"({"a":1,"b":"x","c":[true,null]})"));
    // Keep-callback: three events to the one callback.
    EXPECT_EQ(r["keep"], Value::parse("[1,2,3]"));
    // An error status reaches the failure callback.
    EXPECT_EQ(r["error"], Value::parse(R"({"failure":"bad thing"})"));
    // Bytes round-trip exactly.
    EXPECT_EQ(r["buffer"]["isArrayBuffer"], true);
    EXPECT_EQ(r["buffer"]["bytes"], Value::parse("[0,1,255]"));
    // 200 calls queued at once (one batch, over the background-parse size) run in order.
    ASSERT_TRUE(r["queued"]["order"].is_array());
    std::vector<int> order;
    for (auto& v : r["queued"]["order"]) order.push_back(v.get<int>());
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
    EXPECT_EQ(r["queued"]["bigLength"], 5000);
    // A plug-in action that throws is logged; the bridge goes on.
    EXPECT_EQ(r["afterThrow"], "still here");
    // 1000 awaited calls and a burst of 1000 get their own answers, in order.
    EXPECT_EQ(r["awaited"], 1000);
    EXPECT_EQ(r["burst"], Value::parse(R"({"inOrder":true,"right":1000})"));
    // Answers delivered together: neither a callback nor a dispatcher that
    // throws stops the others; a call made inside a callback is answered.
    EXPECT_EQ(r["throwing"], Value::parse(R"(["one","two","four","again"])"));
    // Callbacks delivered together run before their promise continuations;
    // calls from either are answered, in the order the page made them.
    EXPECT_EQ(r["interleave"], Value::parse(R"(["cb x","cb y","cb z","then x","then y","then z",
                                                 "cb from callback","cb from continuation"])"));
    // Twenty answers delivered together: the call each callback made is answered.
    EXPECT_EQ(r["grouped"], 20);
    // Scripts evaluated around an answer run around the answer's callback;
    // a call made in such a script is answered.
    EXPECT_EQ(r["scriptOrder"], Value::parse(R"(["before","callback","after","call from a script"])"));
    // The page channel: the main frame has it, unlisted and not to be
    // replaced; a frame inside the page has none.
    EXPECT_EQ(r["channel"], Value::parse(R"({"main":"function","frame":"undefined","listed":false})"));
    EXPECT_NE(run.err.find("E2EEcho.fail throws on purpose"), std::string::npos);
    // The page start reset the plug-ins.
    EXPECT_GE(r["resets"].get<int>(), 1);
    // "AppendUserAgent" is in navigator.userAgent.
    const std::string ua = r["userAgent"].get<std::string>();
    EXPECT_NE(ua.find(" WharfE2E/7"), std::string::npos) << ua;
    // The launch's open-URL posted both notifications, in order.
    EXPECT_EQ(r["open"], Value::parse(R"(["open:wharfe2e://launch/x?y=1","openWithSource:wharfe2e://launch/x?y=1"])"));
}

INSTANTIATE_TEST_SUITE_P(Bridges, BridgeE2E, ::testing::Values(kShippedBridge, WHARF_CONTRACT_BRIDGE),
                         [](const auto& info) { return info.index == 0 ? "Shipped" : "Contract"; });

TEST_F(HostE2E, MissingStartPageLoadsTheErrorPageWithTheMessage) {
    const std::string bundle = prepareBundle(dir_, "missing");
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home()});
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.status, 0);
    Value r = report();
    ASSERT_TRUE(r.is_object()) << run.err;
    EXPECT_EQ(r["page"], "error.html");
    EXPECT_EQ(r["error"], "ERROR: Start Page at 'www/nothere.html' was not found.");
    EXPECT_NE(run.err.find("ERROR: Start Page at 'www/nothere.html' was not found."), std::string::npos);
}

// A start page that cannot load gives way to the configured error page, with
// the message in its query; the failed page is never reported as loaded.
TEST_F(HostE2E, FailedLoadShowsTheErrorPageNotWebKits) {
    const std::string bundle = prepareBundle(dir_, "failed");
    fs::copy_file(fs::path(WHARF_E2E_BUNDLES) / "missing/www/error.html", bundle + "/www/error.html");
    const int port = closedPort();
    setPort(bundle, port);
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home()});
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    Value r = report();
    ASSERT_TRUE(r.is_object()) << run.err;
    EXPECT_EQ(r["page"], "error.html");
    const std::string error = r["error"].get<std::string>();
    EXPECT_EQ(error.rfind("Failed to load webpage with error: ", 0), 0u) << error;
    EXPECT_EQ(r["search"], "?error=" + wharf::platform::percentEncode(error));
    const std::string failed = "http://127.0.0.1:" + std::to_string(port) + "/start.html";
    EXPECT_EQ(run.err.find("Finished load of: " + failed), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Finished load of: file://"), std::string::npos) << run.err;

    // Without an error page WebKit shows its own, which is no page of the application.
    const std::string errorUrl = "<preference name=\"ErrorUrl\" value=\"error.html\" />";
    std::string config = readFile(bundle + "/config.xml");
    config.erase(config.find(errorUrl), errorUrl.size());
    writeFile(bundle + "/config.xml", config);
    Host host = spawnHost(dir_, {"--bundle", bundle, "--home", home()}, "plain");
    const bool shown = waitForLog(host, "Showing the web engine's own error page for " + failed);
    RunResult plain = stopHost(host);
    EXPECT_TRUE(shown) << plain.err;
    EXPECT_NE(plain.err.find("Failed to load webpage with error: "), std::string::npos) << plain.err;
    EXPECT_EQ(plain.err.find("Finished load of"), std::string::npos) << plain.err;
    EXPECT_EQ(plain.err.find("Resetting plugins due to page load.", plain.err.find("Failed to load webpage")),
              std::string::npos)
        << plain.err;
}

// Cookies a server set survive a restart of the application (same home), and
// WebKit keeps its caches in the application's Library.
TEST_F(HostE2E, CookiesOutliveTheProcess) {
    httplib::Server server;
    std::mutex mutex;
    std::vector<std::string> cookies;
    server.Get("/page", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex);
            cookies.push_back(request.get_header_value("Cookie"));
        }
        response.set_header("Set-Cookie", "wharf=kept; Max-Age=3600; Path=/");
        // Stored in the disk cache, yet asked for again at every load: a fresh
        // copy kept by the first launch would spare the second its request.
        response.set_header("Cache-Control", "no-cache");
        response.set_content("<html><body>cookie page</body></html>", "text/html");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    wharf::test::ServingThread serving(server);
    const std::string bundle = prepareBundle(dir_, "cookies");
    setPort(bundle, port);
    const std::string page = "Finished load of: http://127.0.0.1:" + std::to_string(port) + "/page";

    for (const char* name : {"first", "second"}) {
        Host host = spawnHost(dir_, {"--bundle", bundle, "--home", home()}, name);
        const bool loaded = waitForLog(host, page);
        RunResult run = stopHost(host);
        EXPECT_TRUE(loaded) << run.err;
        EXPECT_EQ(run.status, 0) << run.err;
    }
    serving.stop();
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_EQ(cookies[0], "");
    EXPECT_EQ(cookies[1], "wharf=kept");
    EXPECT_TRUE(fs::is_regular_file(home() + "/Library/Cookies/cookies.sqlite"));
    EXPECT_TRUE(fs::is_directory(home() + "/Library/Caches/nsurlcache"));
}

// A page reads files of its own bundle and its container, and nothing else:
// not /etc/passwd, not a file beside the bundle, neither through a link in the
// container nor through encoded dot segments. The same launch checks the
// web-view preferences in the page and a batch with unpaired surrogates.
TEST_F(HostE2E, PagesReadOnlyTheApplicationsFiles) {
    const std::string bundle = prepareBundle(dir_, "confined");
    fs::create_directories(dir_.file("outside"));
    writeFile(dir_.file("outside/secret.txt"), "secret beside the bundle");
    fs::create_directories(home() + "/Documents");
    writeFile(home() + "/Documents/visible.txt", "in the container");
    fs::create_symlink(dir_.file("outside/secret.txt"), home() + "/Documents/link.txt");
    // A link further into the container: "deep/../../.." read through it ends
    // in Documents, read as written beside the home.
    fs::create_directories(home() + "/Documents/a/b/c");
    fs::create_directory_symlink("a/b/c", home() + "/Documents/deep");
    fs::create_directories(home() + "/Documents/outside");
    writeFile(home() + "/Documents/outside/secret.txt", "decoy");
    auto url = [](const std::string& path) { return wharf::platform::Url::fileURL(path).absoluteString(); };
    Value urls = {{"own", "data.txt"},
                  {"container", url(home() + "/Documents/visible.txt")},
                  {"passwd", "file:///etc/passwd"},
                  {"outside", url(dir_.file("outside/secret.txt"))},
                  {"link", url(home() + "/Documents/link.txt")},
                  {"dotdot", url(bundle + "/www") + "/%2e%2e/%2E%2E/outside/secret.txt"},
                  {"escapedSlashes", url(home() + "/Documents/deep") + "%2F..%2F..%2F..%2Foutside/secret.txt"}};
    writeFile(bundle + "/www/paths.js", "var E2E_URLS = " + urls.dump() + ";\n");

    // Where a download would land: the user's own directories.
    const std::string user = dir_.file("user");
    fs::create_directories(user);
    const std::string realHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", user.c_str(), 1);
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home()});
    setenv("HOME", realHome.c_str(), 1);
    ASSERT_FALSE(run.timedOut) << run.err;
    Value r = report();
    ASSERT_TRUE(r.is_object()) << run.err;
    EXPECT_EQ(run.status, 0) << r.dump();
    EXPECT_FALSE(r.contains("timedOut")) << r.dump();

    const Value& files = r["files"];
    EXPECT_EQ(files["own"].value("text", ""), "own data") << files.dump();
    EXPECT_EQ(files["container"].value("text", ""), "in the container") << files.dump();
    for (const char* refused : {"passwd", "outside", "link", "dotdot", "escapedSlashes"}) {
        const std::string text = files[refused].value("text", "");
        EXPECT_EQ(text.find("secret"), std::string::npos) << refused << ": " << files[refused].dump();
        EXPECT_EQ(text.find("root:"), std::string::npos) << refused << ": " << files[refused].dump();
    }
    EXPECT_NE(run.err.find("Refused a load outside the application: file:///etc/passwd"), std::string::npos) << run.err;
    // The page cannot copy a file out through a download either.
    EXPECT_NE(run.err.find("Refused a download of file:///etc/passwd"), std::string::npos) << run.err;
    for (const auto& entry : fs::recursive_directory_iterator(user))
        EXPECT_NE(entry.path().filename(), "passwd-copy") << "saved outside the application: " << entry.path();
    // A link to a page the bundle lacks fails as a missing file: the error page shows.
    const std::string errorPage = r.value("errorPage", "");
    EXPECT_EQ(errorPage.rfind("error.html?error=", 0), 0u) << r.dump();
    EXPECT_NE(errorPage.find("missing.html"), std::string::npos) << errorPage;
    EXPECT_EQ(run.err.find("Refused a load outside the application: " + url(bundle + "/www/missing.html")),
              std::string::npos)
        << run.err;

    // "DisallowOverscroll": no bouncing at the page's edges, whatever the page says.
    EXPECT_EQ(r["overscroll"], Value::parse(R"(["none","none"])"));
    // "EnableViewportScale": the 2000 px page is scaled to fit the 1024 px window.
    EXPECT_GE(r["innerWidth"].get<int>(), 1990) << r.dump();
    // The other calls of the batch ran; the surrogates became U+FFFD.
    EXPECT_EQ(r["echoed"], Value::parse("[\"first\",\"x\\ufffdy\\ufffdz\",\"third\"]"));
}

TEST_F(HostE2E, MalformedConfigExitsWithTheParseError) {
    const std::string bundle = prepareBundle(dir_, "bridge");
    writeFile(bundle + "/config.xml", "<?xml version=\"1.0\"?>\n<widget>\n  <content src=\"index.html\">\n</widget>\n");
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home()});
    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(run.status, 0);
    EXPECT_LT(run.status, 128) << "ended by a signal, not an exit";
    EXPECT_NE(run.err.find("config.xml parse error line 4 col"), std::string::npos) << run.err;
}

TEST_F(HostE2E, MissingConfigExitsWithTheMessage) {
    const std::string bundle = prepareBundle(dir_, "bridge");
    fs::remove(bundle + "/config.xml");
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home()});
    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(run.status, 0);
    EXPECT_LT(run.status, 128);
    EXPECT_NE(run.err.find("ERROR: config.xml not found in the main bundle!"), std::string::npos) << run.err;
}

TEST_F(HostE2E, ALineIntoAClosedPipeDoesNotEndTheProcess) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // the reader (a pager, say) is gone before the first line
    // The usage message is written before anything else has run.
    std::vector<std::string> args = {WHARF_E2E_HOST, "--no-such-option"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Host host{pid, dir_.file("pipe-stdout.txt"), dir_.file("pipe-stderr.txt")};
    RunResult run = waitHost(host);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 2) << "the usage error's exit, not SIGPIPE (141)";
}

TEST_F(HostE2E, BackgroundColorShowsBehindATransparentPage) {
    // The screenshot is what the screen shows: no other test's window on it.
    wharf::test::PrivateDisplay screen;
    ASSERT_TRUE(screen.started()) << screen.why();
    const std::string bundle = prepareBundle(dir_, "background");
    const std::string png = dir_.file("shot.png");
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home(), "--screenshot", png});
    ASSERT_FALSE(run.timedOut) << run.err;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(png), std::string::npos);
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(pixbuf, nullptr) << (error ? error->message : "");
    const guchar* p =
        gdk_pixbuf_get_pixels(pixbuf) + 10 * gdk_pixbuf_get_rowstride(pixbuf) + 10 * gdk_pixbuf_get_n_channels(pixbuf);
    EXPECT_EQ(p[0], 0x33);
    EXPECT_EQ(p[1], 0x66);
    EXPECT_EQ(p[2], 0x99);
    g_object_unref(pixbuf);
}

// SIGTERM ends the host through will-terminate, which empties the
// application's own tmp and nothing a link in it points to.
TEST_F(HostE2E, TerminationEmptiesOnlyTheApplicationsTmp) {
    const std::string bundle = prepareBundle(dir_, "background");
    TempDir outside;
    writeFile(outside.file("keep.txt"), "keep");
    fs::create_directories(home() + "/tmp/nested");
    writeFile(home() + "/tmp/nested/a.txt", "a");
    writeFile(home() + "/Documents.txt", "doc");
    fs::create_directory_symlink(outside.path(), home() + "/tmp/link");
    Host host = spawnHost(dir_, {"--bundle", bundle, "--home", home()});
    ASSERT_NE(host.pid, 0);
    // Wait for the page (the log says so), then ask the host to end.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (readFile(host.errPath).find("Finished load of:") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(host.pid, SIGTERM);
    RunResult run = waitHost(host);
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(home() + "/tmp"));
    EXPECT_TRUE(fs::is_empty(home() + "/tmp"));
    EXPECT_EQ(readFile(outside.file("keep.txt")), "keep");
    EXPECT_EQ(readFile(home() + "/Documents.txt"), "doc");
}

// A private session bus, its address in DBUS_SESSION_BUS_ADDRESS while it runs.
class SessionBus {
public:
    explicit SessionBus(const TempDir& dir) {
        const std::string addressFile = dir.file("bus-address");
        std::vector<std::string> args{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        std::string address;
        auto deadline = std::chrono::steady_clock::now() + wharf::test::kHangDeadline;
        while (pid_ && (address = readFile(addressFile)).find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        address = address.substr(0, address.find('\n'));
        if (!address.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        running_ = !address.empty();
    }
    ~SessionBus() {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!pid_) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool running() const { return running_; }

private:
    pid_t pid_ = 0;
    bool running_ = false;
};

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(15)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A second launch with --open-url hands the URL to the running host over the
// session bus (a private one here) and ends; the running host posts both
// notifications in order.
TEST_F(HostE2E, SecondLaunchHandsItsOpenURLToTheRunningHost) {
    WHARF_REQUIRE_COMPONENT(access("/usr/bin/dbus-daemon", X_OK) == 0, "a session bus (dbus-daemon)");
    SessionBus bus(dir_);
    ASSERT_TRUE(bus.running());
    const std::string bundle = prepareBundle(dir_, "second");
    Host first = spawnHost(dir_, {"--bundle", bundle, "--home", home()}, "first");
    waitForLog(first, "Finished load of:", std::chrono::seconds(15));
    RunResult second = waitHost(
        spawnHost(dir_, {"--bundle", bundle, "--home", home(), "--open-url", "wharfe2e://second/1"}, "second"));
    RunResult run = waitHost(first);

    EXPECT_EQ(second.status, 0) << second.err;
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(report()["open"], Value::parse(R"(["open:wharfe2e://second/1","openWithSource:wharfe2e://second/1"])"))
        << run.err;
}

// Background uploads that a process on this container left unanswered are
// sent again by the instance that owns the container, once: a second launch
// that hands its command line over sends none of them, neither those under
// way in the running instance nor one left since it started.
TEST_F(HostE2E, ASecondLaunchSendsNoBackgroundUploadAgain) {
    WHARF_REQUIRE_COMPONENT(access("/usr/bin/dbus-daemon", X_OK) == 0, "a session bus (dbus-daemon)");
    SessionBus bus(dir_);
    ASSERT_TRUE(bus.running());
    // Takes every upload and never answers: each stays under way.
    wharf::test::RawHttpServer server([](const wharf::test::RawRequest&) { return wharf::test::RawReply{"", true}; });
    auto uploads = [&](const std::string& path) {
        size_t n = 0;
        for (const auto& request : server.requests()) n += request.path == path;
        return n;
    };
    // A process that stages an upload and is killed before the answer.
    auto leaveUpload = [&](const std::string& path) {
        const size_t before = server.requests().size();
        std::string url = "NBNETWORK_CHILD_URL=" + server.url(path), owner = "NBNETWORK_CHILD_HOME=" + home();
        std::vector<std::string> args{WHARF_NIMBUS_NETWORK_TESTS,
                                      "--gtest_filter=NBNetworkChild.StagesABackgroundUpload"};
        std::vector<char*> argv, envp{url.data(), owner.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        envp.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return false;
        const bool sent = waitUntil([&] { return server.requests().size() > before; });
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return sent;
    };

    ASSERT_TRUE(leaveUpload("/before"));
    const std::string bundle = prepareBundle(dir_, "second");
    Host first = spawnHost(dir_, {"--bundle", bundle, "--home", home()}, "first");
    ASSERT_TRUE(waitUntil([&] { return uploads("/before") == 2; })) << readFile(first.errPath);
    ASSERT_TRUE(waitForLog(first, "Finished load of:"));
    ASSERT_TRUE(leaveUpload("/since"));

    RunResult second = waitHost(
        spawnHost(dir_, {"--bundle", bundle, "--home", home(), "--open-url", "wharfe2e://second/1"}, "second"));
    EXPECT_EQ(second.status, 0) << second.err;
    // Whatever the second launch started would be on its way by now.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(uploads("/before"), 2u) << "the running instance's upload went twice";
    EXPECT_EQ(uploads("/since"), 1u) << "a launch that handed over sent an upload";
    RunResult run = waitHost(first);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(report()["open"], Value::parse(R"(["open:wharfe2e://second/1","openWithSource:wharfe2e://second/1"])"))
        << run.err;
}

TEST_F(HostE2E, UnknownOptionIsAUsageError) {
    RunResult run = runHost(dir_, {"--no-such-option"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("usage: wharf"), std::string::npos);
}

}  // namespace
