// What the dynamic loader loads before `wharf` runs a line of its own: each
// library costs every launch its loading and relocation, before the window
// shows. Those only some runs need (transfers, rendering print files, sounds
// and notifications) are loaded when first used, and must stay out of this
// list. Nor does `wharf` export its own symbols: each would stand first in
// every lookup the libraries make as they load.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

// What `argv` writes on its standard output; with `environment` added.
std::string output(std::vector<std::string> argv, const std::vector<std::string>& environment = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const bool spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (spawned) ::waitpid(pid, nullptr, 0);
    return out;
}

TEST(LaunchLibraries, OnlyWhatEveryLaunchNeedsIsLoadedAtLaunch) {
    const std::string libraries = output({WHARF_APP}, {"LD_TRACE_LOADED_OBJECTS=1"});
    ASSERT_NE(libraries.find("libwebkit2gtk"), std::string::npos) << libraries;
    for (const char* later : {"libcurl", "libpoppler", "libcanberra", "libnotify"})
        EXPECT_EQ(libraries.find(later), std::string::npos) << later << " in\n" << libraries;
    // Its dynamic symbols are what it takes from the libraries, none of its own.
    const std::string exported = output({"nm", "-D", "--defined-only", WHARF_APP});
    EXPECT_EQ(exported.find("wharf"), std::string::npos) << exported.substr(0, 2000);
}

}  // namespace
