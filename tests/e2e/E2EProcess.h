#pragma once
// Runs a host binary to its end (or a deadline) with its output in files.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace wharf::test {

// A loopback port nothing listens on (it was free a moment ago).
inline int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind to 127.0.0.1");
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

// Copies an application bundle to `target` under an application id of its
// own: two tests side by side that ran one bundle would otherwise meet as two
// instances of one application, and the second would hand its command line to
// the first and exit.
inline void copyBundle(const std::string& source, const std::string& target) {
    std::filesystem::copy(source, target, std::filesystem::copy_options::recursive);
    const std::string plist = target + "/Info.plist";
    std::string text = readFile(plist);
    const size_t key = text.find("<key>CFBundleIdentifier</key>");
    if (key == std::string::npos) return;
    const size_t end = text.find("</string>", key);
    if (end == std::string::npos) return;
    static std::atomic<int> copies{0};
    text.insert(end, ".run" + std::to_string(getpid()) + "_" + std::to_string(copies++));
    writeFile(plist, text);
}

struct E2ERun {
    int status = -1;  // exit status, or 128 + signal
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Starts a host binary with its output in "<dir>/<name>-stdout.txt" and
// "<dir>/<name>-stderr.txt"; `environment` entries ("NAME=value") are added to
// this process's environment. Its pid, or -1.
inline pid_t spawnE2EHost(const std::string& binary, std::vector<std::string> args, const TempDir& dir,
                          const std::vector<std::string>& environment = {}, const std::string& name = "host") {
    args.insert(args.begin(), binary);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(environment);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outPath = dir.file(name + "-stdout.txt"), errPath = dir.file(name + "-stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return spawned ? pid : -1;
}

// Runs a host binary to its end, or kills it at the deadline.
inline E2ERun runE2EHost(const std::string& binary, std::vector<std::string> args, const TempDir& dir,
                         const std::vector<std::string>& environment = {},
                         std::chrono::seconds timeout = std::chrono::seconds(40)) {
    E2ERun run;
    const pid_t pid = spawnE2EHost(binary, std::move(args), dir, environment);
    if (pid < 0) return run;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readFile(dir.file("host-stdout.txt"));
    run.err = readFile(dir.file("host-stderr.txt"));
    return run;
}

}  // namespace wharf::test
