#include "TestSupport.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <glib.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Container.h"
#include "platform/UserDefaults.h"

extern char** environ;

namespace wharf::test {

TempDir::TempDir() {
    GError* err = nullptr;
    char* p = g_dir_make_tmp("wharf-test-XXXXXX", &err);
    if (!p) {
        std::string msg = err ? err->message : "unknown";
        g_clear_error(&err);
        throw std::runtime_error("cannot make temporary directory: " + msg);
    }
    path_ = p;
    g_free(p);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempHome::TempHome() {
    platform::Container::setHome(dir_.path());
    platform::UserDefaults::resetStandard();
}

TempHome::~TempHome() {
    platform::UserDefaults::resetStandard();
    platform::Container::resetHome();
}

SmallFilesystem::SmallFilesystem(const char* options, const char* type, const std::string& at)
    : at_(at.empty() ? dir_.path() : at) {
    mounted_ = ::mount("wharf-test", at_.c_str(), type, MS_NOSUID | MS_NODEV, options) == 0;
    if (!mounted_) why_ = std::string("cannot mount a small ") + type + " (mounting needs root): " + strerror(errno);
}

SmallFilesystem::~SmallFilesystem() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

int SmallFilesystem::fill(const std::string& name) const {
    const int fd = ::open(file(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const std::string chunk(4096, 'f');
    int error = 0;
    for (;;) {
        const ssize_t n = ::write(fd, chunk.data(), chunk.size());
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) break;
    }
    // The last, partly written page: fill it byte by byte.
    while (::write(fd, "f", 1) == 1) {}
    ::close(fd);
    return error;
}

bool killAtFileEvent(const std::function<pid_t()>& spawn, const std::string& directory, uint32_t events,
                     const std::function<bool(std::string_view name)>& matches, const std::function<bool()>& stillSo) {
    // Why no kill came, for the failure the caller reports.
    auto failed = [&](const char* why, int watch) {
        std::fprintf(stderr, "killAtFileEvent on %s: %s\n", directory.c_str(), why);
        if (watch >= 0) ::close(watch);
        return false;
    };
    const int watch = ::inotify_init1(IN_CLOEXEC);
    if (watch < 0) return failed(std::strerror(errno), -1);  // EMFILE: too many watching already
    if (::inotify_add_watch(watch, directory.c_str(), events) < 0) return failed(std::strerror(errno), watch);
    const pid_t child = spawn();
    if (child <= 0) return failed("the process could not be started", watch);
    bool seen = false, ended = false;
    // Stops the child and asks; false (and the child let go) when it no longer holds.
    auto holds = [&] {
        if (!stillSo) return true;
        int status = 0;
        if (::kill(child, SIGSTOP) != 0) return false;
        pid_t waited = 0;
        while ((waited = ::waitpid(child, &status, WUNTRACED)) < 0 && errno == EINTR) {}
        if (waited != child || !WIFSTOPPED(status)) {
            ended = waited == child;  // it ended by itself, and is reaped
            return false;
        }
        if (stillSo()) return true;
        ::kill(child, SIGCONT);
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + kHangDeadline;
    while (!seen && !ended && std::chrono::steady_clock::now() < deadline) {
        alignas(inotify_event) char buffer[4096];
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n && !seen;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // The rest of a read is older than what was just asked about.
            if (event->len && matches(event->name) && !(seen = holds())) break;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    if (!seen) return failed(ended ? "the process ended by itself" : "no such event came in time", watch);
    ::close(watch);
    return true;
}

pid_t spawnChildTest(const std::string& childTest, const std::vector<std::string>& environment) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::string> args{self, "--gtest_filter=" + childTest};
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& own : environment) replaced = replaced || own.rfind(name, 0) == 0;
        if (!replaced) env.emplace_back(entry);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t child = 0;
    return ::posix_spawn(&child, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) == 0 ? child : -1;
}

int runChildTest(const std::string& childTest, const std::vector<std::string>& environment) {
    const pid_t child = spawnChildTest(childTest, environment);
    if (child <= 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool killChildTestAtFileEvent(const std::string& childTest, const std::vector<std::string>& environment,
                              const std::string& directory, uint32_t events,
                              const std::function<bool(std::string_view name)>& matches,
                              const std::function<bool()>& stillSo) {
    return killAtFileEvent([&] { return spawnChildTest(childTest, environment); }, directory, events, matches, stillSo);
}

bool refuseSyscall(long number, int error) {
#if defined(__x86_64__)
    constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    (void)number;
    (void)error;
    errno = ENOTSUP;
    return false;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
#endif
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string sourceDir() { return WHARF_SOURCE_DIR; }

}  // namespace wharf::test
