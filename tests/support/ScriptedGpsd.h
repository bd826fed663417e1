#pragma once
// A gpsd of our own on a loopback port, for reports no real gpsd sends (the
// tests of the gpsd location source and its fuzz target).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace wharf::test {

// A gpsd of our own on a loopback port: each client that asks to watch gets
// the script, and the connection is then held until the client hangs up.
// One client at a time.
class ScriptedGpsd {
public:
    explicit ScriptedGpsd(std::string script = {}) : script_(std::move(script)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedGpsd() {
        stopped_ = true;
        thread_.join();
        ::close(fd_);
    }
    ScriptedGpsd(const ScriptedGpsd&) = delete;
    ScriptedGpsd& operator=(const ScriptedGpsd&) = delete;

    // Report lines as gpsd ends them.
    static std::string lines(const std::vector<std::string>& reports) {
        std::string text;
        for (const auto& r : reports) text += r + "\r\n";
        return text;
    }

    std::string port() const { return std::to_string(port_); }
    // What the next client gets.
    void setScript(std::string script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    // The next client gets `script` instead, and the server hangs up once it
    // is sent (as a gpsd that restarts); scripts queued so go to one client
    // each, in order, before the standing one.
    void queueScriptThenHangUp(std::string script) {
        std::lock_guard lock(mutex_);
        once_.push_back(std::move(script));
    }
    // Clients that hung up after they were served.
    int hangups() const {
        std::lock_guard lock(mutex_);
        return hangups_;
    }
    // Waits until `count` clients have hung up; false when `timeout` passes first.
    bool waitForHangups(int count, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return hangups_ >= count; });
    }

private:
    void serve() {
        while (!stopped_) {
            pollfd listening{fd_, POLLIN, 0};
            if (::poll(&listening, 1, 50) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            // A connection that does not ask to watch is not the source.
            if (askedToWatch(client)) {
                std::string script;
                bool hangUp = false;
                {
                    std::lock_guard lock(mutex_);
                    hangUp = !once_.empty();
                    if (hangUp) {
                        script = std::move(once_.front());
                        once_.pop_front();
                    } else {
                        script = script_;
                    }
                }
                // The client may hang up before the end: no SIGPIPE for that.
                for (std::size_t sent = 0; sent < script.size();) {
                    const auto n = ::send(client, script.data() + sent, script.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
                if (!hangUp && heldUntilHangup(client)) {
                    std::lock_guard lock(mutex_);
                    ++hangups_;
                    changed_.notify_all();
                }
            }
            ::close(client);
        }
    }
    // Reads the first line (gpsd's clients send ?WATCH={...}).
    bool askedToWatch(int client) const {
        std::string request;
        char chunk[512];
        while (request.find('\n') == std::string::npos) {
            pollfd peer{client, POLLIN, 0};
            if (::poll(&peer, 1, 5000) <= 0) return false;
            const auto n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            request.append(chunk, static_cast<std::size_t>(n));
        }
        return request.rfind("?WATCH=", 0) == 0;
    }
    // True when the client hung up, false when the server was stopped first.
    bool heldUntilHangup(int client) const {
        char chunk[512];
        while (!stopped_) {
            pollfd peer{client, POLLIN, 0};
            if (::poll(&peer, 1, 50) > 0 && ::recv(client, chunk, sizeof chunk, 0) <= 0) return true;
        }
        return false;
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string script_;
    std::deque<std::string> once_;
    int hangups_ = 0;
    std::thread thread_;
};

}  // namespace wharf::test
