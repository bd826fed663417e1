#pragma once
// Helpers shared by the tests.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace wharf::test {

// True in CI (CI=true), where every component the project installs must be present.
inline bool inCI() {
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

// For a test that needs a component scripts/install-deps.sh installs (gpsd,
// Xvfb, a session bus, poppler's tools, ...): where it is missing the test is
// skipped, saying what is missing; in CI it fails, since a skip there would
// hide that the test never ran. `what` is a stream expression ("gpsd: " << why),
// so it cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define WHARF_REQUIRE_COMPONENT(available, what)                            \
    do {                                                                    \
        if (!(available)) {                                                 \
            if (::wharf::test::inCI()) FAIL() << "missing in CI: " << what; \
            GTEST_SKIP() << "missing: " << what;                            \
        }                                                                   \
    } while (0)
// NOLINTEND(bugprone-macro-parentheses)

// How long a test waits for what should come at once. Only a hang takes that
// long: a loaded machine may hold a process back for seconds.
inline constexpr std::chrono::seconds kHangDeadline{30};

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes a temporary container home the process's home for the lifetime of the
// object (Container::setHome), restoring the previous state afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
};

// A tmpfs of `options` (e.g. "size=64k") mounted over a fresh directory, or
// over the existing directory `at`, and detached on destruction: a full or
// read-only disk for tests of what a failing write must not lose. Mounting
// needs root; mounted() says whether it worked, why() why not.
class SmallFilesystem {
public:
    explicit SmallFilesystem(const char* options, const char* type = "tmpfs", const std::string& at = "");
    ~SmallFilesystem();
    SmallFilesystem(const SmallFilesystem&) = delete;
    SmallFilesystem& operator=(const SmallFilesystem&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& path() const { return at_; }
    std::string file(const std::string& name) const { return at_ + "/" + name; }
    // Writes a filler file until the disk refuses; answers the errno that
    // stopped it (ENOSPC when the disk is full). remove("filler") frees it.
    int fill(const std::string& name = "filler") const;

private:
    TempDir dir_;
    std::string at_;
    bool mounted_ = false;
    std::string why_;
};

// Starts a process with `spawn` (its pid, or -1) once `directory` is
// watched, and kills it (SIGKILL) the moment a file there whose name
// `matches` sees one of the inotify `events`. With `stillSo`, the process is
// stopped at such an event and killed only if `stillSo()` holds while it is
// stopped (what the event showed may be over by the time it is read), else
// let go on to the next. False when none came within kHangDeadline; the
// process is killed then too.
bool killAtFileEvent(const std::function<pid_t()>& spawn, const std::string& directory, uint32_t events,
                     const std::function<bool(std::string_view name)>& matches,
                     const std::function<bool()>& stillSo = nullptr);

// Starts this test program again with only the test `childTest` (a gtest
// filter) and `environment` ("NAME=value" entries, replacing any of the same
// name); its pid, or -1.
pid_t spawnChildTest(const std::string& childTest, const std::vector<std::string>& environment);
// spawnChildTest, waited for: its exit status (0 when its test passed or was
// skipped), or -1 when it could not start or was killed.
int runChildTest(const std::string& childTest, const std::vector<std::string>& environment);

// killAtFileEvent for spawnChildTest.
bool killChildTestAtFileEvent(const std::string& childTest, const std::vector<std::string>& environment,
                              const std::string& directory, uint32_t events,
                              const std::function<bool(std::string_view name)>& matches,
                              const std::function<bool()>& stillSo = nullptr);

// Installs, in every thread of this process and for good, a seccomp filter
// that answers the system call `number` with `error` without running it, as
// a container runtime's filter answers calls it does not know. False with
// errno set when it cannot (an unknown architecture among them).
bool refuseSyscall(long number, int error);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
// The directory holding the source tree's test data for `subdir` (tests/<subdir>/data).
std::string sourceDir();

}  // namespace wharf::test
