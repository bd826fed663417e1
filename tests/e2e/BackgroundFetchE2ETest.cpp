// `wharf --background-fetch` under Xvfb: the application starts hidden in the
// background, is handed one fetch event, and completes it once the page has
// configured its listener and finished, after the boot buffer.
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

TEST(BackgroundFetchE2E, HiddenLaunchCompletesTheFetchAfterThePageFinishes) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    wharf::test::TempDir dir;
    const fs::path bundle = fs::path(dir.path()) / "bundle";
    fs::copy(fs::path(WHARF_E2E_BUNDLES) / "fetch", bundle, fs::copy_options::recursive);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", bundle / "www" / "wharf.js");

    GSubprocessLauncher* launcher = g_subprocess_launcher_new(
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDERR_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE));
    // Without a session bus the host runs on its own, never handing over to another instance.
    g_subprocess_launcher_unsetenv(launcher, "DBUS_SESSION_BUS_ADDRESS");
    const std::string bundlePath = bundle.string(), home = dir.file("home");
    const char* argv[] = {WHARF_APP, "--bundle", bundlePath.c_str(), "--home", home.c_str(), "--background-fetch",
                          nullptr};
    GError* error = nullptr;
    GSubprocess* host = g_subprocess_launcher_spawnv(launcher, argv, &error);
    g_object_unref(launcher);
    ASSERT_NE(host, nullptr) << (error ? error->message : "");

    // A stuck host is ended so that the reading below always finishes.
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return finished; })) g_subprocess_force_exit(host);
    });

    GDataInputStream* err = g_data_input_stream_new(g_subprocess_get_stderr_pipe(host));
    std::vector<std::string> lines;
    bool terminated = false;
    while (char* line = g_data_input_stream_read_line(err, nullptr, nullptr, nullptr)) {
        lines.emplace_back(line);
        g_free(line);
        if (!terminated && lines.back().find(kComplete) != std::string::npos) {
            g_subprocess_send_signal(host, SIGTERM);
            terminated = true;
        }
    }
    g_subprocess_wait(host, nullptr, nullptr);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    cv.notify_all();
    watchdog.join();
    const bool exited = g_subprocess_get_if_exited(host);
    g_object_unref(err);
    g_object_unref(host);

    std::string all;
    for (const auto& l : lines) all += l + "\n";
    ASSERT_TRUE(terminated) << "the fetch never completed:\n" << all;
    EXPECT_TRUE(exited) << all;
    EXPECT_GE(indexOf(lines, "page visibility: hidden"), 0) << all;

    // The event arrives before the page runs, stays open until the page's
    // listener registers and answers, and completes after the boot buffer.
    const std::vector<std::string> order = {
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
    };
    int previous = -1;
    for (const auto& text : order) {
        const int at = indexOf(lines, text);
        EXPECT_GT(at, previous) << "\"" << text << "\" missing or out of order:\n" << all;
        previous = std::max(previous, at);
    }
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

}  // namespace
