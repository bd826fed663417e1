// The server-trust lines of a request over TLS, against a loopback server
// whose self-signed certificate the test makes with openssl.
#include <httplib.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "TestSupport.h"
#include "nimbus/network/NBNetwork.h"
#include "platform/Reachability.h"
#include "platform/RunLoop.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

std::vector<int64_t> trustCodes(test::RecordingLogger& logger) {
    std::lock_guard lock(logger.mutex);
    std::vector<int64_t> codes;
    for (const auto& line : logger.lines)
        if (line.code >= 901004 && line.code <= 901008) codes.push_back(line.code);
    return codes;
}

}  // namespace

TEST(NBNetworkServerTrust, AnUntrustedCertificateIsLoggedAndCancelled) {
    test::TempDir dir;
    const std::string key = dir.file("key.pem"), cert = dir.file("cert.pem");
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                             " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    httplib::SSLServer server(cert.c_str(), key.c_str());
    ASSERT_TRUE(server.is_valid());
    int posts = 0;
    server.Post("/log", [&](const httplib::Request&, httplib::Response& res) {
        ++posts;
        res.set_content("", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });

    NetworkMonitor::setShared(std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable));
    auto network = NBNetwork::initWithReachabilityHost("example.invalid");
    ASSERT_TRUE(network);
    auto logger = std::make_shared<test::RecordingLogger>();
    network->setLoggerDelegate(logger);
    std::optional<Error> error;
    bool done = false;
    network->postURL("https://127.0.0.1:" + std::to_string(port) + "/log", Bytes{1, 2, 3}, nullptr, false,
                     [&](const std::optional<http::Response>&, const std::optional<Bytes>&, const Error* e) {
                         if (e) error = *e;
                         done = true;
                     });
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return done; }));
    server.stop();
    serving.join();
    NetworkMonitor::setShared(nullptr);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, http::URLErrorServerCertificateUntrusted) << error->description();
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(trustCodes(*logger), (std::vector<int64_t>{901006, 901007}));
    std::lock_guard lock(logger->mutex);
    for (const auto& line : logger->lines) {
        if (line.code != 901007) continue;
        EXPECT_EQ(line.message, "Cancelling authentication challenge for host. Host");
        ASSERT_EQ(line.contexts.size(), 1u);
        EXPECT_EQ(line.contexts[0], "https://127.0.0.1:" + std::to_string(port) + "/log");
    }
}
