// `wharf --background-fetch` under Xvfb: the application starts hidden in the
// background, is handed one fetch event, and completes it once the page has
// configured its listener and finished, after the boot buffer; a page that
// never finishes has the launch end at the time limit.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "E2EProcess.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kComplete = "- BackgroundFetchManager Complete, UIBackgroundFetchResult: 0, responses: 1";

// The line's position in `lines`, or -1.
int indexOf(const std::vector<std::string>& lines, const std::string& text) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

// Seconds of the day from a log line's "YYYY-MM-DD HH:MM:SS.mmm" prefix.
double timeOf(const std::string& line) {
    int h = 0, m = 0;
    double s = 0;
    // NOLINTNEXTLINE(cert-err34-c): a time stamp our logger wrote; the count of fields is checked
    if (std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &h, &m, &s) != 3) return -1;
    return h * 3600 + m * 60 + s;
}

struct Launch {
    std::vector<std::string> lines;  // what the host wrote on stderr
    bool exited = false;  // ended by itself or by our SIGTERM, not killed
    int status = -1;
    bool terminated = false;  // we sent SIGTERM
};

constexpr const char* kShippedBridge = WHARF_DEMO_WWW "/wharf.js";

// Runs `app --background-fetch` on a copy of the "fetch" bundle whose page
// `edit` may change, with `bridge` as its bridge script, hidden and without a
// session bus, with `environment` ("NAME=value") added, and reads what it
// logs until it ends; sends it SIGTERM once a line holds `endAt` (when
// given).
Launch launchForFetch(const char* app, const std::string& edit, const std::string& endAt,
                      const std::vector<std::string>& environment = {}, const std::string& bridge = kShippedBridge) {
    wharf::test::TempDir dir;
    const fs::path bundle = fs::path(dir.path()) / "bundle";
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/fetch", bundle.string());
    fs::copy_file(bridge, bundle / "www" / "wharf.js");
    if (!edit.empty()) {
        std::string page = wharf::test::readFile((bundle / "www" / "index.html").string());
        page.replace(page.find(edit), edit.size(), "");
        wharf::test::writeFile((bundle / "www" / "index.html").string(), page);
    }

    GSubprocessLauncher* launcher = g_subprocess_launcher_new(
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDERR_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE));
    // Without a session bus the host runs on its own, never handing over to another instance.
    g_subprocess_launcher_unsetenv(launcher, "DBUS_SESSION_BUS_ADDRESS");
    for (const auto& entry : environment) {
        const auto equals = entry.find('=');
        g_subprocess_launcher_setenv(launcher, entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), TRUE);
    }
    const std::string bundlePath = bundle.string(), home = dir.file("home");
    const char* argv[] = {app, "--bundle", bundlePath.c_str(), "--home", home.c_str(), "--background-fetch", nullptr};
    GError* error = nullptr;
    GSubprocess* host = g_subprocess_launcher_spawnv(launcher, argv, &error);
    g_object_unref(launcher);
    Launch launch;
    if (!host) {
        launch.lines.emplace_back(error ? error->message : "cannot start the host");
        if (error) g_error_free(error);
        return launch;
    }

    // A stuck host is ended so that the reading below always finishes.
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return finished; })) g_subprocess_force_exit(host);
    });

    GDataInputStream* err = g_data_input_stream_new(g_subprocess_get_stderr_pipe(host));
    while (char* line = g_data_input_stream_read_line(err, nullptr, nullptr, nullptr)) {
        launch.lines.emplace_back(line);
        g_free(line);
        if (!launch.terminated && !endAt.empty() && launch.lines.back().find(endAt) != std::string::npos) {
            g_subprocess_send_signal(host, SIGTERM);
            launch.terminated = true;
        }
    }
    g_subprocess_wait(host, nullptr, nullptr);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    cv.notify_all();
    watchdog.join();
    launch.exited = g_subprocess_get_if_exited(host);
    if (launch.exited) launch.status = g_subprocess_get_exit_status(host);
    g_object_unref(err);
    g_object_unref(host);
    return launch;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

// Each text in `order` is logged, after the one before it.
void expectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& order) {
    int previous = -1;
    for (const auto& text : order) {
        const int at = indexOf(lines, text);
        EXPECT_GT(at, previous) << "\"" << text << "\" missing or out of order:\n" << joined(lines);
        previous = std::max(previous, at);
    }
}

// The demo's bridge, and one written to the host's contract alone: the
// page's finish, sent from its event listener, arrives either way.
class BackgroundFetchE2E : public ::testing::TestWithParam<std::string> {};

TEST_P(BackgroundFetchE2E, HiddenLaunchCompletesTheFetchAfterThePageFinishes) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    const Launch launch = launchForFetch(WHARF_APP, "", kComplete, {}, GetParam());
    const std::vector<std::string>& lines = launch.lines;
    const std::string all = joined(lines);
    ASSERT_TRUE(launch.terminated) << "the fetch never completed:\n" << all;
    EXPECT_TRUE(launch.exited) << all;
    EXPECT_GE(indexOf(lines, "page visibility: hidden"), 0) << all;

    // The event arrives before the page runs, stays open until the page's
    // listener registers and answers, and completes after the boot buffer.
    expectInOrder(lines, {
                             "WFBackgroundFetch AppDelegate received fetch event",
                             "- BackgroundFetchManager performFetchWithCompletionHandler",
                             "- WFBackgroundFetch configure",
                             "- BackgroundFetchManager started",
                             "- BackgroundFetchManager addListener: WFBackgroundFetch",
                             "- WFBackgroundFetch Rx Fetch Event",
                             "page heard the fetch event",
                             "- BackgroundFetchManager finish: WFBackgroundFetch",
                             kComplete,
                             "- BackgroundFetchManager onAppTerminate",
                         });
    EXPECT_EQ(indexOf(lines, "Background fetch not completed"), -1) << all;
    const int finish = indexOf(lines, "- BackgroundFetchManager finish: WFBackgroundFetch");
    const int complete = indexOf(lines, kComplete);
    ASSERT_GE(finish, 0);
    ASSERT_GE(complete, 0);
    double waited = timeOf(lines[complete]) - timeOf(lines[finish]);
    if (waited < 0) waited += 24 * 3600;  // midnight between the two
    EXPECT_GE(waited, 4.9) << all;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("received fetch event") != std::string::npos; }),
              1)
        << "one fetch event per launch";
}

INSTANTIATE_TEST_SUITE_P(Bridges, BackgroundFetchE2E, ::testing::Values(kShippedBridge, WHARF_CONTRACT_BRIDGE),
                         [](const auto& info) { return info.index == 0 ? "Shipped" : "Contract"; });

// A page that hears the fetch and never finishes it: at the time limit (two
// seconds in this host, thirty on the phone) the fetch is over as failed and
// the hidden launch ends by itself, as the phone ends an application that
// overruns its fetch.
TEST(BackgroundFetchE2ELimit, HiddenLaunchWhosePageNeverFinishesEndsAtTheTimeLimit) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    const Launch launch =
        launchForFetch(WHARF_E2E_FETCH_HOST, "exec(null, null, 'BackgroundFetch', 'finish', []);", "");
    const std::vector<std::string>& lines = launch.lines;
    const std::string all = joined(lines);
    EXPECT_TRUE(launch.exited && launch.status == 0) << "ended by the watchdog, or failed:\n" << all;
    // (A loaded machine may start the page too late to hear the event: the
    // limit holds all the same.)
    expectInOrder(lines, {
                             "WFBackgroundFetch AppDelegate received fetch event",
                             "Background fetch not completed within 2 s: it ends as failed",
                             "The launch into the background ends",
                             "- BackgroundFetchManager onAppTerminate",
                         });
    EXPECT_EQ(indexOf(lines, "- BackgroundFetchManager finish:"), -1) << all;
}

// The same page, in a launch whose window comes on screen before the limit:
// the fetch is over as failed at the limit, and the application on screen
// goes on (ended here by the test, once the limit has passed).
TEST(BackgroundFetchE2E, AnApplicationOnScreenWhoseFetchOverrunsGoesOn) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    const Launch launch = launchForFetch(WHARF_E2E_FETCH_HOST, "exec(null, null, 'BackgroundFetch', 'finish', []);",
                                         "Background fetch not completed within 2 s", {"WHARF_E2E_SHOW_WINDOW=1"});
    const std::vector<std::string>& lines = launch.lines;
    const std::string all = joined(lines);
    ASSERT_TRUE(launch.terminated) << "the fetch never ran out of time:\n" << all;
    EXPECT_TRUE(launch.exited && launch.status == 0) << all;
    expectInOrder(lines, {
                             "WFBackgroundFetch AppDelegate received fetch event",
                             "E2E host: the window is on screen",
                             "Background fetch not completed within 2 s: it ends as failed",
                         });
    EXPECT_EQ(indexOf(lines, "The launch into the background ends"), -1) << all;
}

}  // namespace
