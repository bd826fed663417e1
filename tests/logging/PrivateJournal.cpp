#include "PrivateJournal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <systemd/sd-journal.h>

#include "LoggingTestSupport.h"
#include "TestSupport.h"

namespace wharf::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Set for the child only: where it leaves its verdict, the mount namespace it
// must not be in, and the daemon to start.
constexpr const char* kResultVariable = "WHARF_PRIVATE_JOURNAL_RESULT";
constexpr const char* kHostNamespaceVariable = "WHARF_PRIVATE_JOURNAL_HOST_NAMESPACE";
constexpr const char* kDaemonVariable = "WHARF_PRIVATE_JOURNAL_DAEMON";

constexpr const char* kSocket = "/run/systemd/journal/socket";
constexpr const char* kDaemonLog = "/run/wharf-journald.log";
// Runtime storage only, and nothing read from or sent to the kernel, syslog or terminals.
constexpr const char* kConfiguration =
    "[Journal]\nStorage=volatile\nReadKMsg=no\nForwardToSyslog=no\nForwardToKMsg=no\n"
    "ForwardToConsole=no\nForwardToWall=no\n";

std::string readLink(const char* path) {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(path, buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::string readText(const std::string& path) {
    try {
        return readFile(path);
    } catch (...) {
        return {};
    }
}

std::string findDaemon() {
    for (const char* path : {"/usr/lib/systemd/systemd-journald", "/lib/systemd/systemd-journald"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return {};
}

// Waits for `pid` to end, at most `timeout`; false when it is still running.
bool waitForExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool journalFileExists() {
    std::error_code ec;
    for (fs::directory_iterator it("/run/log/journal", ec), end; !ec && it != end; it.increment(ec)) {
        if (fs::exists(it->path() / "system.journal", ec)) return true;
    }
    return false;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

PrivateJournal::~PrivateJournal() {
    stopDaemon();
    if (resultPath_.empty() || !::testing::Test::IsSkipped()) return;
    // A skip in the child is the parent's skip, with its reason.
    std::string why;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    for (int i = 0; info && i < info->result()->total_part_count(); ++i) {
        const auto& part = info->result()->GetTestPartResult(i);
        if (part.skipped()) why = part.message();
    }
    writeFile(resultPath_, "unavailable: " + why);
}

PrivateJournal::Status PrivateJournal::unavailable(std::string why) {
    reason_ = std::move(why);
    return Status::Unavailable;
}

PrivateJournal::Status PrivateJournal::enter() {
    const char* result = std::getenv(kResultVariable);
    if (!result) return runInChild();
    resultPath_ = result;
    const char* host = std::getenv(kHostNamespaceVariable);
    if (!host || readLink("/proc/self/ns/mnt") == host) {
        writeFile(resultPath_, "ready");
        ADD_FAILURE() << "not in a mount namespace of its own: refusing to mount anything";
        return Status::Settled;
    }
    return startDaemon();
}

PrivateJournal::Status PrivateJournal::runInChild() {
    std::string daemon = findDaemon();
    if (daemon.empty()) return unavailable("systemd-journald is not installed");
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string self = readLink("/proc/self/exe");
    std::string hostNamespace = readLink("/proc/self/ns/mnt");
    if (!info || self.empty() || hostNamespace.empty()) {
        return unavailable("cannot find this test's binary or mount namespace");
    }

    TempDir dir;
    std::string resultPath = dir.file("result");
    std::string outputPath = dir.file("output");
    std::vector<std::string> args = {"unshare", "--mount", "--propagation", "private"};
    // Without root a user namespace grants the mounts (where the kernel allows it).
    if (::geteuid() != 0) args.push_back("--map-root-user");
    args.insert(args.end(), {"--", self, std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name(),
                             "--gtest_color=no"});
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
        // Not the parent's report file or shard: the child runs exactly this test.
        if (std::strncmp(*variable, "GTEST_", 6) != 0) environment.emplace_back(*variable);
    }
    environment.push_back(std::string(kResultVariable) + "=" + resultPath);
    environment.push_back(std::string(kHostNamespaceVariable) + "=" + hostNamespace);
    environment.push_back(std::string(kDaemonVariable) + "=" + daemon);
    auto argv = pointers(args);
    auto envp = pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t child = -1;
    int rc = posix_spawnp(&child, "unshare", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == ENOENT) return unavailable("unshare (util-linux) is not installed");
    if (rc != 0) return unavailable(std::string("cannot run unshare: ") + strerror(rc));

    int status = 0;
    if (!waitForExit(child, 60s, &status)) {
        ::kill(child, SIGKILL);  // its journald goes with it
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "the test under a private journal did not end within 60 s:\n" << readText(outputPath);
        return Status::Settled;
    }
    std::string verdict = readText(resultPath);
    std::string output = readText(outputPath);
    if (verdict.starts_with("unavailable: ")) return unavailable(verdict.substr(13));
    if (verdict.empty()) {
        // unshare itself failed: no namespaces for us here.
        if (output.starts_with("unshare:")) {
            return unavailable("no private mount namespace here (" + output.substr(0, output.find('\n')) + ")");
        }
        ADD_FAILURE() << "the test did not start under a private journal (wait status " << status << "):\n" << output;
        return Status::Settled;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "failed under a private journal (wait status " << status << "):\n" << output;
    }
    return Status::Settled;
}

PrivateJournal::Status PrivateJournal::startDaemon() {
    const char* daemon = std::getenv(kDaemonVariable);
    if (!daemon) return unavailable("no systemd-journald given");
    // These mounts exist in this process's namespace only; they vanish with it.
    if (::mount("wharf-journal", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=16m") != 0) {
        return unavailable(std::string("cannot mount a tmpfs on /run: ") + strerror(errno));
    }
    std::error_code ec;
    if (fs::is_directory("/var/log/journal", ec) &&
        ::mount("wharf-journal", "/var/log/journal", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0) {
        return unavailable(std::string("cannot mount a tmpfs on /var/log/journal: ") + strerror(errno));
    }
    fs::create_directories("/run/systemd/journald.conf.d", ec);
    writeFile("/run/systemd/journald.conf.d/zz-wharf-test.conf", kConfiguration);

    // Everything the forked child needs is made before the fork: it may only
    // make system calls until it execs.
    int log = ::open(kDaemonLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || null < 0) return unavailable(std::string("cannot open the daemon's log: ") + strerror(errno));
    char* argv[] = {const_cast<char*>(daemon), nullptr};
    char* envp[] = {const_cast<char*>("SYSTEMD_LOG_TARGET=console"), nullptr};
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Dies with this process, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
            for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        }
        ::execve(daemon, argv, envp);
        ::_exit(127);
    }
    int forkError = errno;
    ::close(log);
    ::close(null);
    if (pid < 0) return unavailable(std::string("cannot fork: ") + strerror(forkError));
    daemon_ = pid;

    auto deadline = std::chrono::steady_clock::now() + kHangDeadline;
    while (::access(kSocket, F_OK) != 0 || !journalFileExists()) {
        int status = 0;
        if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
            daemon_ = -1;
            return unavailable("systemd-journald could not run here (wait status " + std::to_string(status) +
                               "): " + readText(kDaemonLog));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return unavailable("systemd-journald did not come up within " + std::to_string(kHangDeadline.count()) +
                               " s: " + readText(kDaemonLog));
        }
        std::this_thread::sleep_for(5ms);
    }
    writeFile(resultPath_, "ready");
    return Status::Ready;
}

void PrivateJournal::stopDaemon() {
    if (daemon_ < 0) return;
    int status = 0;
    ::kill(daemon_, SIGTERM);
    if (!waitForExit(daemon_, 2s, &status)) {
        ::kill(daemon_, SIGKILL);
        ::waitpid(daemon_, &status, 0);
    }
    daemon_ = -1;
}

std::vector<JournalEntry> journalEntries(const std::string& text) {
    std::vector<JournalEntry> entries;
    sd_journal* journal = nullptr;
    if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return entries;
    std::string match = "MESSAGE=" + text;
    sd_journal_add_match(journal, match.data(), match.size());
    while (sd_journal_next(journal) > 0) {
        JournalEntry entry;
        const void* data = nullptr;
        size_t length = 0;
        while (sd_journal_enumerate_data(journal, &data, &length) > 0) {
            std::string_view field(static_cast<const char*>(data), length);
            std::size_t equals = field.find('=');
            if (equals != std::string_view::npos) entry.emplace(field.substr(0, equals), field.substr(equals + 1));
        }
        entries.push_back(std::move(entry));
    }
    sd_journal_close(journal);
    return entries;
}

std::vector<JournalEntry> waitForJournalEntries(const std::string& text) {
    std::vector<JournalEntry> entries;
    waitUntil([&] {
        entries = journalEntries(text);
        return !entries.empty();
    });
    return entries;
}

}  // namespace wharf::test
