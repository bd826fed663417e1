#pragma once
// An X server of a test's own (Xvfb), named by DISPLAY while the object lives.
// For tests that read what the screen shows or click on it: on a display that
// tests running side by side share, another test's window may lie over theirs
// (no window manager places them apart), so a screenshot shows that window
// and a click lands in it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "ProcessGroup.h"

namespace wharf::test {

class PrivateDisplay {
public:
    PrivateDisplay() {
        if (::access("/usr/bin/Xvfb", X_OK) != 0) {
            why_ = "/usr/bin/Xvfb is not installed";
            return;
        }
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            why_ = "no pipe for Xvfb";
            return;
        }
        // Xvfb takes the first free display number (a lock file decides) and
        // writes it to fd 3.
        pid_ = spawnGroup({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                          std::chrono::seconds(600), {}, report[1]);
        ::close(report[1]);
        if (!pid_) {
            why_ = "Xvfb could not be started";
            ::close(report[0]);
            return;
        }
        // The number and a newline once it listens; end of file if it ends first.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        pollfd readable{report[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            char chunk[32];
            if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
            const auto n = ::read(report[0], chunk, sizeof chunk);
            if (n <= 0) break;
            number.append(chunk, static_cast<size_t>(n));
        }
        ::close(report[0]);
        if (number.empty() || number.find('\n') == std::string::npos) {
            why_ = "Xvfb did not report a display within 30 s";
            return;
        }
        name_ = ":" + number.substr(0, number.find('\n'));
        if (const char* outer = std::getenv("DISPLAY")) outer_ = outer;
        ::setenv("DISPLAY", name_.c_str(), 1);
    }

    ~PrivateDisplay() {
        if (!name_.empty()) {
            if (outer_)
                ::setenv("DISPLAY", outer_->c_str(), 1);
            else
                ::unsetenv("DISPLAY");
        }
        endGroup(pid_);
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    bool started() const { return !name_.empty(); }
    const std::string& why() const { return why_; }

private:
    pid_t pid_ = 0;
    std::string name_;
    std::string why_;
    std::optional<std::string> outer_;
};

}  // namespace wharf::test
