#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for tests that need to inject faults a
// real server library would not produce: a body cut short, a server that
// never answers. Every request is recorded with its headers in wire order.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <strings.h>
#include <thread>
#include <utility>
#include <vector>

namespace wharf::test {

struct RawRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string header(const std::string& name) const {
        for (const auto& [k, v] : headers)
            if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
        return "";
    }
};

struct RawReply {
    std::string bytes;  // written as they stand
    bool hang = false;  // then keep the connection open without a word
    // Written after `bytes`, each in a write of its own after a short pause
    // (so the client sees them arrive apart).
    std::vector<std::string> later = {};
    // Then `repeated`, `times` times over: large bodies without holding them.
    std::string repeated = {};
    std::size_t times = 0;
};

inline RawReply rawResponse(int status, const std::string& body, const std::string& extraHeaders = "") {
    return {"HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body,
            false};
}

class RawHttpServer {
public:
    using Handler = std::function<RawReply(const RawRequest&)>;

    explicit RawHttpServer(Handler handler) : handler_(std::move(handler)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 64) != 0)
            throw std::runtime_error("the test server cannot listen on 127.0.0.1");
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { acceptLoop(); });
    }
    ~RawHttpServer() {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        {
            std::lock_guard lock(mutex_);
            for (int c : clients_) ::shutdown(c, SHUT_RDWR);
        }
        hangCv_.notify_all();
        thread_.join();
        for (auto& t : workers_) t.join();
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<RawRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void acceptLoop() {
        while (!stopping_) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) break;
            std::lock_guard lock(mutex_);
            clients_.push_back(c);
            workers_.emplace_back([this, c] { serve(c); });
        }
    }

    void serve(int c) {
        std::string data;
        char buf[65536];
        size_t headerEnd;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) return finish(c);
            data.append(buf, n);
        }
        RawRequest request;
        std::string head = data.substr(0, headerEnd);
        size_t lineEnd = head.find("\r\n");
        std::string first = head.substr(0, lineEnd);
        request.method = first.substr(0, first.find(' '));
        request.path = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            size_t end = head.find("\r\n", pos);
            if (end == std::string::npos) end = head.size();
            std::string line = head.substr(pos, end - pos);
            size_t colon = line.find(':');
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            request.headers.emplace_back(line.substr(0, colon), value);
            pos = end + 2;
        }
        size_t length = std::strtoul(request.header("Content-Length").c_str(), nullptr, 10);
        request.body = data.substr(headerEnd + 4);
        while (request.body.size() < length) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.body.append(buf, n);
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        RawReply reply = handler_(request);
        bool open = sendAll(c, reply.bytes);
        for (const auto& piece : reply.later) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            open = open && sendAll(c, piece);
        }
        for (std::size_t i = 0; open && i < reply.times; ++i) open = sendAll(c, reply.repeated);
        if (reply.hang) {
            std::unique_lock lock(mutex_);
            hangCv_.wait(lock, [this] { return stopping_.load(); });
        }
        finish(c);
    }

    // False once the client has gone.
    static bool sendAll(int c, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(c, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    void finish(int c) {
        ::shutdown(c, SHUT_RDWR);
        std::lock_guard lock(mutex_);
        for (auto& fd : clients_)
            if (fd == c) fd = -1;
        ::close(c);
    }

    Handler handler_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable hangCv_;
    std::vector<int> clients_;
    std::vector<RawRequest> requests_;
    std::thread thread_;
    std::vector<std::thread> workers_;
};

}  // namespace wharf::test
