// The server-trust lines of requests over TLS, against loopback servers whose
// certificates an authority of the test's own signs (handed to libcurl in
// place of the system's store), and servers that break the handshake off.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "ServingThread.h"
#include "TestAuthority.h"
#include "TestSupport.h"
#include "nimbus/network/NBNetwork.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/Reachability.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    std::vector<int64_t> codes;  // the trust lines, in order
    std::vector<test::RecordingLogger::Line> lines;
    std::optional<Error> error;
};

// A TLS server on 127.0.0.1 counting the posts that reach it.
class TlsServer {
public:
    TlsServer(const std::string& cert, const std::string& key) : server_(cert.c_str(), key.c_str()) {
        server_.Post("/log", [this](const httplib::Request&, httplib::Response& res) {
            ++posts;
            res.set_content("", "text/plain");
        });
        port_ = server_.is_valid() ? server_.bind_to_any_port("127.0.0.1") : -1;
        if (port_ > 0) serving_.emplace(server_);
    }
    bool valid() const { return port_ > 0; }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/log"; }
    std::atomic<int> posts{0};

private:
    httplib::SSLServer server_;
    int port_ = -1;
    std::optional<test::ServingThread> serving_;
};

// Takes each connection, reads what the client says first (its hello), and
// then either resets the connection or answers in plain HTTP.
class RudeServer {
public:
    enum class Answer { Reset, PlainText };
    explicit RudeServer(Answer answer) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0) return;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, answer] {
            for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0;) {
                char hello[512];
                (void)::recv(c, hello, sizeof hello, 0);
                if (answer == Answer::PlainText) {
                    static constexpr char kPlain[] =
                        "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                    (void)::send(c, kPlain, sizeof kPlain - 1, MSG_NOSIGNAL);
                } else {
                    linger reset{1, 0};
                    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                }
                ::close(c);
            }
        });
    }
    ~RudeServer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/log"; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

class NBNetworkServerTrust : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(authority.ok()) << "openssl could not make the test's certificate authority";
        NetworkMonitor::setShared(std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable));
    }
    void TearDown() override {
        http::setCertificateAuthorityFile("");
        NetworkMonitor::setShared(nullptr);
    }

    // Posts to `url` through a new client and answers what it logged of trust.
    static Outcome post(const std::string& url) {
        auto network = NBNetwork::initWithReachabilityHost("example.invalid");
        auto logger = std::make_shared<test::RecordingLogger>();
        network->setLoggerDelegate(logger);
        Outcome outcome;
        bool done = false;
        network->postURL(url, Bytes{1, 2, 3}, nullptr, false,
                         [&](const std::optional<http::Response>&, const std::optional<Bytes>&, const Error* e) {
                             if (e) outcome.error = *e;
                             done = true;
                         });
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return done; })) << url;
        std::lock_guard lock(logger->mutex);
        for (const auto& line : logger->lines) {
            if (line.code < 901004 || line.code > 901008) continue;
            outcome.codes.push_back(line.code);
            outcome.lines.push_back(line);
        }
        return outcome;
    }

    test::TestAuthority authority;
};

}  // namespace

// A certificate of a trusted authority for this address: the challenge is
// received and the request goes through.
TEST_F(NBNetworkServerTrust, ACertificateOfATrustedAuthorityIsUsed) {
    TlsServer server(authority.serverCertificate("here", "IP:127.0.0.1"), authority.keyFile());
    ASSERT_TRUE(server.valid());
    http::setCertificateAuthorityFile(authority.caFile());
    Outcome outcome = post(server.url());
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(server.posts, 1);
    EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901006}));
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0].message, "Received SSL challenge for host. Host");
    EXPECT_EQ(outcome.lines[0].contexts, (std::vector<Value>{server.url()}));

    // The same server, with the system's store again: nobody vouches for it.
    http::setCertificateAuthorityFile("");
    outcome = post(server.url());
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, http::URLErrorServerCertificateUntrusted);
    EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901006, 901007}));
    EXPECT_EQ(server.posts, 1);
}

// Refused certificates: one no authority vouches for is judged and the
// challenge cancelled; a trusted one for another host gives no credential;
// authorities that cannot be read leave the certificate unjudged.
TEST_F(NBNetworkServerTrust, RefusedCertificatesAreLoggedAndCancelled) {
    {
        TlsServer server(authority.selfSignedCertificate("self"), authority.file("self.key"));
        ASSERT_TRUE(server.valid());
        Outcome outcome = post(server.url());
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, http::URLErrorServerCertificateUntrusted) << outcome.error->description();
        EXPECT_EQ(server.posts, 0);
        EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901006, 901007}));
        ASSERT_EQ(outcome.lines.size(), 2u);
        EXPECT_EQ(outcome.lines[1].message, "Cancelling authentication challenge for host. Host");
        EXPECT_EQ(outcome.lines[1].contexts, (std::vector<Value>{server.url()}));
    }
    http::setCertificateAuthorityFile(authority.caFile());
    {
        TlsServer server(authority.serverCertificate("elsewhere", "IP:127.0.0.2"), authority.keyFile());
        ASSERT_TRUE(server.valid());
        Outcome outcome = post(server.url());
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(server.posts, 0);
        EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901005}));
        ASSERT_EQ(outcome.lines.size(), 1u);
        EXPECT_EQ(outcome.lines[0].level, 4);
        EXPECT_EQ(outcome.lines[0].message, "Unable to verify server identity. Host");
    }
    {
        TlsServer server(authority.serverCertificate("here", "IP:127.0.0.1"), authority.keyFile());
        ASSERT_TRUE(server.valid());
        test::writeFile(authority.file("garbage.pem"), "-----BEGIN CERTIFICATE-----\nnot one\n");
        http::setCertificateAuthorityFile(authority.file("garbage.pem"));
        Outcome outcome = post(server.url());
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(server.posts, 0);
        EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901006, 901008, 901007}));
        ASSERT_EQ(outcome.lines.size(), 3u);
        EXPECT_EQ(outcome.lines[1].level, 3);
        EXPECT_EQ(outcome.lines[1].message, "Cannot evaluate server trust. Error, host");
        ASSERT_EQ(outcome.lines[1].contexts.size(), 2u);
        EXPECT_NE(outcome.lines[1].contexts[0], 0) << "the failure's status";
        EXPECT_EQ(outcome.lines[1].contexts[1], server.url());
    }
}

// A server that resets the handshake, or answers it in plain text, shows no
// certificate: there is no trust to judge, and the request simply fails.
TEST_F(NBNetworkServerTrust, AHandshakeWithoutACertificateHasAnEmptyTrust) {
    RudeServer resetting(RudeServer::Answer::Reset), plain(RudeServer::Answer::PlainText);
    for (const std::string& url : {resetting.url(), plain.url()}) {
        Outcome outcome = post(url);
        ASSERT_TRUE(outcome.error) << url;
        EXPECT_EQ(outcome.codes, (std::vector<int64_t>{901004})) << url << ": " << outcome.error->description();
        ASSERT_EQ(outcome.lines.size(), 1u) << url;
        EXPECT_EQ(outcome.lines[0].message, "Received empty server trust for host. Host");
        EXPECT_EQ(outcome.lines[0].contexts, (std::vector<Value>{url}));
    }
}
