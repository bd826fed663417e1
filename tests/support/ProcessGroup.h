#pragma once
// A helper program of a test (gpsfake, Xvfb) run under timeout(1) in a
// process group of its own: the whole group is ended with it, and it ends
// by itself after `limit` even when the test dies without cleaning up.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace wharf::test {

// The group's leader, or 0. Output goes to /dev/null; `environment` (as
// "NAME=value") replaces this process's when not empty; `fd3`, when not -1,
// is the program's fd 3.
inline pid_t spawnGroup(std::vector<std::string> args, std::chrono::seconds limit,
                        std::vector<std::string> environment = {}, int fd3 = -1) {
    args.insert(args.begin(), {"/usr/bin/timeout", "--kill-after=5", std::to_string(limit.count())});
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (fd3 != -1) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environment.empty() ? environ : envp.data()) != 0)
        pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Asks the group to end and reaps its leader; whatever has not ended within
// a few seconds is killed, so a test never waits on it.
inline void endGroup(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace wharf::test
