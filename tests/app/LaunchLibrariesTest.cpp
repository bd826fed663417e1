// What the dynamic loader loads before `wharf` runs a line of its own: each
// library costs every launch its loading and relocation, before the window
// shows. Those only some runs need (transfers, rendering print files) are
// loaded when first used, and must stay out of this list.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

// The libraries the loader would load for `program` (ldd's list).
std::string loadedLibraries(const std::string& program) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> env{"LD_TRACE_LOADED_OBJECTS=1"};
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    const bool spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (spawned) ::waitpid(pid, nullptr, 0);
    return out;
}

TEST(LaunchLibraries, TransfersAndPrintFilesAreNotLoadedAtLaunch) {
    const std::string libraries = loadedLibraries(WHARF_APP);
    ASSERT_NE(libraries.find("libwebkit2gtk"), std::string::npos) << libraries;
    EXPECT_EQ(libraries.find("libcurl"), std::string::npos) << libraries;
    EXPECT_EQ(libraries.find("libpoppler"), std::string::npos) << libraries;
}

}  // namespace
