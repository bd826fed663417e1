// End-to-end tests: the real host binary with the echo plug-in on test
// bundles, in WebKitGTK under Xvfb. Each test runs the host once with a fresh
// home and reads back what the page reported through the bridge.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Value.h"
#include "TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using wharf::platform::Value;
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

RunResult runHost(const TempDir& dir, std::vector<std::string> args) { return waitHost(spawnHost(dir, std::move(args))); }

// A copy of a test bundle with the page-side bridge script of the demo.
std::string prepareBundle(const TempDir& dir, const std::string& name) {
    const fs::path target = fs::path(dir.path()) / "bundle";
    fs::copy(fs::path(WHARF_E2E_BUNDLES) / name, target, fs::copy_options::recursive);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", target / "www" / "wharf.js");
    return target.string();
}

class HostE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "needs a display (run under xvfb-run)";
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

TEST_F(HostE2E, BridgeCallsReachThePageCallbacks) {
    const std::string bundle = prepareBundle(dir_, "bridge");
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
    EXPECT_NE(run.err.find("E2EEcho.fail throws on purpose"), std::string::npos);
    // The page start reset the plug-ins.
    EXPECT_GE(r["resets"].get<int>(), 1);
    // "AppendUserAgent" is in navigator.userAgent.
    const std::string ua = r["userAgent"].get<std::string>();
    EXPECT_NE(ua.find(" WharfE2E/7"), std::string::npos) << ua;
    // The launch's open-URL posted both notifications, in order.
    EXPECT_EQ(r["open"], Value::parse(R"(["open:wharfe2e://launch/x?y=1","openWithSource:wharfe2e://launch/x?y=1"])"));
}

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

TEST_F(HostE2E, BackgroundColorShowsBehindATransparentPage) {
    const std::string bundle = prepareBundle(dir_, "background");
    const std::string png = dir_.file("shot.png");
    RunResult run = runHost(dir_, {"--bundle", bundle, "--home", home(), "--screenshot", png});
    ASSERT_FALSE(run.timedOut) << run.err;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(png), std::string::npos);
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(pixbuf, nullptr) << (error ? error->message : "");
    const guchar* p = gdk_pixbuf_get_pixels(pixbuf) + 10 * gdk_pixbuf_get_rowstride(pixbuf) +
                      10 * gdk_pixbuf_get_n_channels(pixbuf);
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

// A second launch with --open-url hands the URL to the running host over the
// session bus (a private one here) and ends; the running host posts both
// notifications in order.
TEST_F(HostE2E, SecondLaunchHandsItsOpenURLToTheRunningHost) {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
    const std::string addressFile = dir_.file("bus-address");
    pid_t bus = 0;
    {
        std::vector<std::string> args{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&bus, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    std::string address;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((address = readFile(addressFile)).find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    address = address.substr(0, address.find('\n'));
    ASSERT_FALSE(address.empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    const std::string bundle = prepareBundle(dir_, "second");
    Host first = spawnHost(dir_, {"--bundle", bundle, "--home", home()}, "first");
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (readFile(first.errPath).find("Finished load of:") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RunResult second =
        waitHost(spawnHost(dir_, {"--bundle", bundle, "--home", home(), "--open-url", "wharfe2e://second/1"}, "second"));
    RunResult run = waitHost(first);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    kill(bus, SIGTERM);
    waitpid(bus, nullptr, 0);

    EXPECT_EQ(second.status, 0) << second.err;
    ASSERT_FALSE(run.timedOut) << run.err;
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
