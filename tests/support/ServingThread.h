#pragma once
// A cpp-httplib server, already bound (bind_to_any_port), serving on a thread
// of its own until stop() or destruction. It waits for the server to run: a
// stop() that comes before the thread began to listen is lost, and the join
// then waits for good (seen when a test's client failed before connecting,
// on a loaded machine).
#include <httplib.h>

#include <chrono>
#include <thread>

namespace wharf::test {

class ServingThread {
public:
    explicit ServingThread(httplib::Server& server)
        : server_(server), thread_([this] { server_.listen_after_bind(); }) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ServingThread() { stop(); }
    ServingThread(const ServingThread&) = delete;
    ServingThread& operator=(const ServingThread&) = delete;

    void stop() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

private:
    httplib::Server& server_;
    std::thread thread_;
};

}  // namespace wharf::test
