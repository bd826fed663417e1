// Narration sounds played through libcanberra into a private PulseAudio server
// of the test's own, and what is logged where no server can be reached.
#include <glob.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProcessGroup.h"
#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/device/SystemSound.h"

extern char** environ;

namespace {

using namespace wharf::platform;
using wharf::test::TempDir;

// The sound "complete" of the freedesktop theme.
constexpr SystemSoundID kComplete = 1052;
constexpr const char* kCompleteFile = "/usr/share/sounds/freedesktop/stereo/complete.oga";
constexpr const char* kChildEnv = "WHARF_SOUND_CHILD";

bool executable(const char* path) { return ::access(path, X_OK) == 0; }

bool exists(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// libcanberra's PulseAudio driver (libcanberra-pulse), wherever the multiarch
// directory puts it.
bool canberraPulseDriverInstalled() {
    glob_t found{};
    const bool any = ::glob("/usr/lib/*/libcanberra-*/libcanberra-pulse.so", 0, nullptr, &found) == 0;
    ::globfree(&found);
    return any || exists("/usr/lib/libcanberra-0.30/libcanberra-pulse.so");
}

// Settings that keep a PulseAudio client (libpulse) off the machine's own
// server and files: it connects to `server` only, never spawns one, and
// keeps its cookie in `dir`. As "NAME=value".
std::vector<std::string> pulseClientEnvironment(const TempDir& dir, const std::string& server) {
    wharf::test::writeFile(dir.file("client.conf"), "autospawn = no\nenable-shm = no\n");
    // Only PulseAudio plays: where it fails, an ALSA card of the machine must
    // not play the sound instead.
    return {"PULSE_SERVER=" + server, "PULSE_CLIENTCONFIG=" + dir.file("client.conf"),
            "PULSE_COOKIE=" + dir.file("cookie"), "CANBERRA_DRIVER=pulse"};
}

// A PulseAudio server with one null sink, listening only on a socket in a
// directory of its own; its home, runtime directory and session bus are
// its own too. It logs what it does to a file, streams with all their
// properties. It runs in a process group of its own, ended with the object
// (and after a minute whatever becomes of the test).
class PrivateSoundServer {
public:
    PrivateSoundServer() {
        const std::string home = dir_.file("home"), runtime = dir_.file("runtime");
        wharf::test::writeFile(home + "/.keep", "");
        wharf::test::writeFile(runtime + "/.keep", "");
        ::chmod(runtime.c_str(), 0700);
        wharf::test::writeFile(dir_.file("server.pa"),
                               "load-module module-null-sink sink_name=wharf_test\n"
                               "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                                   socket() + "\n");
        std::vector<std::string> env = {
            "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + home + "/.config",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_.file("no-bus"), "PATH=/usr/bin:/bin"};
        pid_ = wharf::test::spawnGroup(
            {"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1", "--disable-shm",
             "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--log-level=info",
             "--log-target=file:" + logPath(), "-F", dir_.file("server.pa")},
            std::chrono::seconds(60), std::move(env));
        if (!pid_) {
            why_ = "pulseaudio could not be started";
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + wharf::test::kHangDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                why_ = "pulseaudio ended before it listened (it cannot run here):\n" + log();
                return;
            }
            if (log().find("Daemon startup complete.") != std::string::npos) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        why_ = "pulseaudio did not start within " + std::to_string(wharf::test::kHangDeadline.count()) + " s";
    }
    ~PrivateSoundServer() { wharf::test::endGroup(pid_); }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    bool started() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    std::string socket() const { return dir_.file("native"); }
    std::string log() const { return wharf::test::readFile(logPath()); }

    // The server's record of the stream named `name` that came to the null
    // sink: its line and its properties' lines, once all of them are logged.
    // Unlike a listing of the streams it is there however late the test
    // looks, after the sound has played out. Empty when none came in time.
    std::string streamRecord(const std::string& name) const {
        const std::string created = "Created input ", on = " \"" + name + "\" on wharf_test ";
        const auto deadline = std::chrono::steady_clock::now() + wharf::test::kHangDeadline;
        do {
            std::istringstream lines(log());
            std::string line, record;
            bool inRecord = false;
            while (std::getline(lines, line)) {
                if (inRecord && line.find("sink-input.c:     ") == std::string::npos) return record;
                if (!inRecord && (line.find(created) == std::string::npos || line.find(on) == std::string::npos))
                    continue;
                inRecord = true;
                record += line + "\n";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return "";
    }

    // Settings for a client of this server alone.
    std::vector<std::string> clientEnvironment() const { return pulseClientEnvironment(dir_, "unix:" + socket()); }

private:
    std::string logPath() const { return dir_.file("server.log"); }

    TempDir dir_;
    pid_t pid_ = 0;
    std::string why_;
};

}  // namespace

TEST(SystemSound, NarrationSoundReachesTheSoundServer) {
#if defined(__SANITIZE_THREAD__)
    // The sound is decoded and sent on libcanberra's and libpulse's own
    // threads, which hand their objects over through locks ThreadSanitizer
    // cannot see (neither library is instrumented).
    GTEST_SKIP() << "libcanberra's and libpulse's threads hand objects over through locks ThreadSanitizer cannot see";
#endif
    WHARF_REQUIRE_COMPONENT(executable("/usr/bin/pulseaudio"), "a PulseAudio server (pulseaudio)");
    WHARF_REQUIRE_COMPONENT(canberraPulseDriverInstalled(), "libcanberra's PulseAudio driver (libcanberra-pulse)");
    WHARF_REQUIRE_COMPONENT(exists(kCompleteFile), "the freedesktop sound theme (sound-theme-freedesktop)");
    PrivateSoundServer server;
    WHARF_REQUIRE_COMPONENT(server.started(), "a private PulseAudio server: " << server.why());
    for (const auto& setting : server.clientEnvironment()) {
        const auto equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }

    LogCapture log;
    AudioServicesPlaySystemSound(kComplete);
    EXPECT_EQ(log.count("not played"), 0u) << (log.lines().empty() ? "" : log.lines().front());

    // A stream of Wharf's came to the sink, carrying the theme's event and its file.
    const std::string stream = server.streamRecord("complete");
    ASSERT_NE(stream, "") << "no stream arrived; the server logged:\n" << server.log();
    EXPECT_NE(stream.find("event.id = \"complete\""), std::string::npos) << stream;
    EXPECT_NE(stream.find("application.name = \"Wharf\""), std::string::npos) << stream;
    EXPECT_NE(stream.find("media.filename = \"" + std::string(kCompleteFile) + "\""), std::string::npos) << stream;
}

// The child half of the test below; does nothing when run directly. It plays
// a sound where no server listens and writes what was logged to the file the
// environment names.
TEST(SystemSoundChild, PlayWithoutServer) {
    const char* linesPath = std::getenv(kChildEnv);
    if (!linesPath) GTEST_SKIP() << "runs only as a child of the test without a sound server";
    LogCapture log;
    AudioServicesPlaySystemSound(kComplete);
    std::string text;
    for (const auto& line : log.lines()) text += line + "\n";
    wharf::test::writeFile(linesPath, text);
}

// libcanberra opens its context once a process: a process of its own, whose
// sound server is a socket nothing listens on.
TEST(SystemSound, WithoutASoundServerTheSoundIsLoggedAsNotPlayed) {
#if defined(__SANITIZE_THREAD__)
    // As above: the child plays through the same threads.
    GTEST_SKIP() << "libcanberra's and libpulse's threads hand objects over through locks ThreadSanitizer cannot see";
#endif
    WHARF_REQUIRE_COMPONENT(canberraPulseDriverInstalled(), "libcanberra's PulseAudio driver (libcanberra-pulse)");
    TempDir dir;
    const std::string linesPath = dir.file("lines");
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    envStore.push_back(std::string(kChildEnv) + "=" + linesPath);
    for (const auto& setting : pulseClientEnvironment(dir, "unix:" + dir.file("nobody-listens"))) {
        const std::string name = setting.substr(0, setting.find('=') + 1);
        std::erase_if(envStore, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        envStore.push_back(setting);
    }
    std::vector<char*> envp;
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=SystemSoundChild.PlayWithoutServer",
                brief = "--gtest_brief=1";
    char* argv[] = {self.data(), filter.data(), brief.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    const std::string lines = wharf::test::readFile(linesPath);
    EXPECT_NE(lines.find("System sound 1052 (\"complete\" not played: "), std::string::npos) << lines;
}
