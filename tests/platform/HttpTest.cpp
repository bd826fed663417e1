// HTTP tasks against a small server of our own on 127.0.0.1, which can also
// misbehave on purpose.
#include "platform/Http.h"

#include <sys/resource.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include "RawHttpServer.h"
#include "ServingThread.h"
#include "TestAuthority.h"
#include "TestSupport.h"
#include "platform/RunLoop.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

// Runs a task and pumps the main loop until its completion ran; counts calls.
struct Outcome {
    std::atomic<int> calls{0};
    http::Result result;
    bool onMain = false;
};

std::shared_ptr<Outcome> run(http::Request request, http::RedirectHandler redirect = nullptr,
                             std::chrono::milliseconds wait = test::kHangDeadline) {
    auto outcome = std::make_shared<Outcome>();
    http::startTask(
        std::move(request),
        [outcome](http::Result result) {
            outcome->onMain = RunLoop::isMainThread();
            outcome->result = std::move(result);
            ++outcome->calls;
        },
        nullptr, std::move(redirect));
    RunLoop::pumpUntil([&] { return outcome->calls > 0; }, wait);
    RunLoop::pumpFor(30ms);  // a second completion would show up here
    return outcome;
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// windowBits as deflateInit2 takes them: 16 + 15 gzip, 15 zlib, -15 raw.
std::string compressed(const std::string& data, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

TEST(Http, GetAndPostReachTheServerAsSent) {
    test::RawHttpServer s([](const test::RawRequest& r) {
        if (r.path == "/hello") return test::rawResponse(200, "hi " + r.header("X-Token"), "X-Answer: 42\r\n");
        return test::rawResponse(201, r.body + "|" + r.header("Content-Length"));
    });

    http::Request get;
    get.url = s.url("/hello");
    get.headers = {{"X-Token", "abc"}};
    auto out = run(get);
    ASSERT_EQ(out->calls, 1);
    EXPECT_TRUE(out->onMain);
    ASSERT_FALSE(out->result.error) << out->result.error->description();
    EXPECT_EQ(out->result.response->statusCode, 200);
    EXPECT_EQ(out->result.response->header("x-answer"), "42");
    EXPECT_EQ(text(out->result.body), "hi abc");

    test::TempDir dir;
    test::writeFile(dir.file("body"), "from a file");
    http::Request post;
    post.url = s.url("/echo");
    post.method = "POST";
    post.bodyFile = dir.file("body");
    out = run(post);
    ASSERT_FALSE(out->result.error);
    EXPECT_EQ(out->result.response->statusCode, 201);
    EXPECT_EQ(text(out->result.body), "from a file|11");

    post.bodyFile.clear();
    post.body = {};
    out = run(post);
    EXPECT_EQ(text(out->result.body), "|0");

    // The synchronous form from a plain thread.
    http::Result sync;
    std::thread([&] { sync = http::sendSynchronousRequest(get); }).join();
    EXPECT_EQ(text(sync.body), "hi abc");
}

TEST(Http, RedirectsAreOfferedToTheHandler) {
    test::RawHttpServer s([](const test::RawRequest& r) {
        if (r.path == "/found") return test::rawResponse(302, "moved", "Location: /target\r\n");
        if (r.path == "/other") return test::rawResponse(303, "", "Location: /target\r\n");
        if (r.path == "/loop") return test::rawResponse(307, "", "Location: /loop\r\n");
        return test::rawResponse(200, r.method + " " + r.body);
    });
    http::Request post;
    post.method = "POST";
    post.body = {'x'};

    post.url = s.url("/other");
    auto out = run(post);
    ASSERT_FALSE(out->result.error);
    EXPECT_EQ(text(out->result.body), "GET ");  // 303: the next hop is a GET without the body

    post.url = s.url("/found");
    std::vector<long> offered;
    out = run(post, [&](const http::Response& r, http::Request&) {
        offered.push_back(r.statusCode);
        return false;
    });
    ASSERT_FALSE(out->result.error);
    EXPECT_EQ(out->result.response->statusCode, 302);
    EXPECT_EQ(text(out->result.body), "moved");
    EXPECT_EQ(offered, std::vector<long>{302});

    post.url = s.url("/loop");
    post.maxRedirects = 3;
    out = run(post);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorHTTPTooManyRedirects);
    EXPECT_EQ(out->calls, 1);

    // Credentials follow a redirect on the same server only; other fields go along.
    test::RawHttpServer elsewhere([](const test::RawRequest&) { return test::rawResponse(200, ""); });
    test::RawHttpServer home([&](const test::RawRequest& r) {
        if (r.path == "/away") return test::rawResponse(301, "", "Location: " + elsewhere.url("/landed") + "\r\n");
        if (r.path == "/here") return test::rawResponse(302, "", "Location: /landed\r\n");
        return test::rawResponse(200, "");
    });
    http::Request get;
    get.headers = {{"Authorization", "Bearer secret"}, {"cookie", "session=1"}, {"X-Client", "wharf"}};
    for (const char* path : {"/away", "/here"}) {
        get.url = home.url(path);
        ASSERT_FALSE(run(get)->result.error) << path;
    }
    const auto away = elsewhere.requests();
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].header("Authorization"), "");
    EXPECT_EQ(away[0].header("Cookie"), "");
    EXPECT_EQ(away[0].header("X-Client"), "wharf");
    const auto here = home.requests();
    ASSERT_EQ(here.size(), 3u);
    EXPECT_EQ(here[2].header("Authorization"), "Bearer secret");
    EXPECT_EQ(here[2].header("Cookie"), "session=1");
}

// What is asked over https never goes on in clear: a redirect to plain http
// is refused (whatever the status, and even when the handler would follow
// it) and nothing reaches the plain server. One to https is followed.
TEST(Http, AnHttpsRequestIsNeverRedirectedToPlainHttp) {
    test::TestAuthority authority;
    WHARF_REQUIRE_COMPONENT(authority.ok(), "openssl, to make the test's certificate authority");
    test::RawHttpServer plain([](const test::RawRequest& r) { return test::rawResponse(200, "in clear " + r.body); });
    httplib::SSLServer tls(authority.serverCertificate("here", "IP:127.0.0.1").c_str(), authority.keyFile().c_str());
    ASSERT_TRUE(tls.is_valid());
    tls.set_keep_alive_max_count(1);  // no connection left for the server's stop to wait on
    const int port = tls.bind_to_any_port("127.0.0.1");
    const std::string secure = "https://127.0.0.1:" + std::to_string(port);
    for (int status : {301, 302, 303, 307, 308})
        tls.Post("/" + std::to_string(status), [&, status](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_header("Location", plain.url("/landed"));
        });
    tls.Post("/secure", [&](const httplib::Request&, httplib::Response& res) {
        res.status = 308;
        res.set_header("Location", secure + "/landed");
    });
    tls.Post("/landed", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("secure " + req.body, "text/plain");
    });
    test::ServingThread serving(tls);
    http::setCertificateAuthorityFile(authority.caFile());
    http::Request post;
    post.method = "POST";
    post.body = {'s', 'e', 'c', 'r', 'e', 't'};
    const http::RedirectHandler keepsThePost = [](const http::Response& r, http::Request&) {
        return r.statusCode == 307 || r.statusCode == 308;
    };
    for (int status : {301, 302, 303, 307, 308}) {
        post.url = secure + "/" + std::to_string(status);
        for (const auto& handler : {http::RedirectHandler(), keepsThePost}) {
            auto out = run(post, handler);
            ASSERT_EQ(out->calls, 1) << status;
            ASSERT_TRUE(out->result.response) << status;
            EXPECT_EQ(out->result.response->statusCode, status);
            if (!handler || status >= 307) {
                ASSERT_TRUE(out->result.error) << status << " was followed";
                EXPECT_EQ(out->result.error->code, http::URLErrorAppTransportSecurityRequiresSecureConnection);
            }
        }
    }
    EXPECT_TRUE(plain.requests().empty()) << plain.requests().size() << " requests in clear";

    post.url = secure + "/secure";
    auto out = run(post, keepsThePost);
    EXPECT_FALSE(out->result.error) << out->result.error->description();
    EXPECT_EQ(text(out->result.body), "secure secret");
    http::setCertificateAuthorityFile("");
}

TEST(Http, FailuresAreReportedOnceAndNeverAsSuccess) {
    test::RawHttpServer s([](const test::RawRequest& r) {
        if (r.path == "/short")
            return test::RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly this"};
        if (r.path == "/headers-then-hang")
            return test::RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab", true};
        return test::RawReply{"", true};
    });
    http::Request request;
    request.url = s.url("/short");
    auto out = run(request);
    ASSERT_EQ(out->calls, 1);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorNetworkConnectionLost);
    ASSERT_TRUE(out->result.response);  // the headers had come
    EXPECT_EQ(out->result.response->statusCode, 200);

    for (const char* path : {"/hang", "/headers-then-hang"}) {
        request.url = s.url(path);
        request.timeout = 300ms;
        auto started = std::chrono::steady_clock::now();
        out = run(request);
        auto took = std::chrono::steady_clock::now() - started;
        ASSERT_EQ(out->calls, 1) << path;
        ASSERT_TRUE(out->result.error) << path;
        EXPECT_EQ(out->result.error->code, http::URLErrorTimedOut) << path;
        EXPECT_GE(took, 300ms);
        EXPECT_LT(took, 2s);
    }

    // Cancelled while the server sits on it.
    request.url = s.url("/hang");
    request.timeout = 10s;
    auto outcome = std::make_shared<Outcome>();
    auto id = http::startTask(request, [outcome](http::Result r) {
        outcome->result = std::move(r);
        ++outcome->calls;
    });
    RunLoop::pumpFor(50ms);
    EXPECT_TRUE(http::cancelTask(id));
    RunLoop::pumpUntil([&] { return outcome->calls > 0; });
    RunLoop::pumpFor(30ms);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(outcome->result.error->code, http::URLErrorCancelled);
    EXPECT_FALSE(http::cancelTask(id));
}

// Compressed bodies are whole or an error; a body whose end is unknowable is
// refused rather than taken at whatever length arrived. A gzip body may be
// several members in a row; bytes after the end that begin none are a fault.
TEST(Http, CompressedBodiesAndLengthsMustAddUp) {
    std::string payload;
    for (int i = 0; payload.size() < 200000; ++i) payload += "{\"n\":" + std::to_string(i * 7919 % 100003) + "},";
    const std::string gzip = compressed(payload, 16 + MAX_WBITS);
    const std::string hello = compressed("hello", 16 + MAX_WBITS);
    test::RawHttpServer s([&](const test::RawRequest& r) {
        if (r.path == "/gzip") return test::rawResponse(200, gzip, "Content-Encoding: gzip\r\n");
        if (r.path == "/zlib")
            return test::rawResponse(200, compressed(payload, MAX_WBITS), "Content-Encoding: deflate\r\n");
        if (r.path == "/raw")
            return test::rawResponse(200, compressed(payload, -MAX_WBITS), "Content-Encoding: deflate\r\n");
        if (r.path == "/half")
            return test::rawResponse(200, gzip.substr(0, gzip.size() / 2), "Content-Encoding: gzip\r\n");
        if (r.path == "/garbage") return test::rawResponse(200, "not gzip at all", "Content-Encoding: gzip\r\n");
        if (r.path == "/members")
            return test::rawResponse(200, compressed("hello", 16 + MAX_WBITS) + compressed("world", 16 + MAX_WBITS),
                                     "Content-Encoding: gzip\r\n");
        // A second member that spans many reads; one that arrives in one read
        // but cut short, which leaves the body unfinished.
        if (r.path == "/members-long") return test::rawResponse(200, hello + gzip, "Content-Encoding: gzip\r\n");
        if (r.path == "/members-cut") {
            const std::string two = hello + compressed(payload.substr(0, 4000), 16 + MAX_WBITS);
            return test::rawResponse(200, two.substr(0, two.size() - 500), "Content-Encoding: gzip\r\n");
        }
        if (r.path == "/gzip-then-more")
            return test::rawResponse(200, compressed("hello", 16 + MAX_WBITS) + "world", "Content-Encoding: gzip\r\n");
        if (r.path == "/zlib-then-more")
            return test::rawResponse(200, compressed("hello", MAX_WBITS) + compressed("world", MAX_WBITS),
                                     "Content-Encoding: deflate\r\n");
        if (r.path == "/raw-then-more")
            return test::rawResponse(200, compressed("hello", -MAX_WBITS) + "world", "Content-Encoding: deflate\r\n");
        if (r.path == "/br") return test::rawResponse(200, "x", "Content-Encoding: br\r\n");
        if (r.path == "/huge-length")
            return test::RawReply{
                "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\nConnection: close\r\n\r\nhello"};
        if (r.path == "/two-lengths")
            return test::RawReply{
                "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello"};
        return test::RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\nConnection: close\r\n\r\nhello"};
    });
    http::Request request;
    for (const char* path : {"/gzip", "/zlib", "/raw"}) {
        request.url = s.url(path);
        auto out = run(request);
        ASSERT_EQ(out->calls, 1) << path;
        EXPECT_FALSE(out->result.error) << path << ": " << out->result.error->description();
        EXPECT_EQ(text(out->result.body), payload) << path;
    }
    request.url = s.url("/members");
    auto members = run(request);
    ASSERT_EQ(members->calls, 1);
    EXPECT_FALSE(members->result.error) << members->result.error->description();
    EXPECT_EQ(text(members->result.body), "helloworld");
    request.url = s.url("/members-long");
    members = run(request);
    ASSERT_EQ(members->calls, 1);
    EXPECT_FALSE(members->result.error) << members->result.error->description();
    EXPECT_TRUE(text(members->result.body) == "hello" + payload) << members->result.body.size() << " bytes";
    for (const char* path :
         {"/half", "/members-cut", "/garbage", "/br", "/gzip-then-more", "/zlib-then-more", "/raw-then-more"}) {
        request.url = s.url(path);
        auto out = run(request);
        ASSERT_EQ(out->calls, 1) << path;
        ASSERT_TRUE(out->result.error) << path << " reported success with " << out->result.body.size() << " bytes";
        EXPECT_EQ(out->result.error->code, http::URLErrorCannotDecodeContentData) << path;
    }
    for (const char* path : {"/huge-length", "/two-lengths", "/bad-length"}) {
        request.url = s.url(path);
        auto out = run(request);
        ASSERT_EQ(out->calls, 1) << path;
        ASSERT_TRUE(out->result.error) << path;
        EXPECT_EQ(out->result.error->code, http::URLErrorBadServerResponse) << path;
    }
}

TEST(Http, UnusableRequestsFailWithoutSending) {
    http::Request request;
    for (std::string url : {"", "ftp://127.0.0.1/x", "file:///etc/passwd", "not a url"}) {
        request.url = url;
        auto out = run(request);
        ASSERT_EQ(out->calls, 1) << url;
        ASSERT_TRUE(out->result.error) << url;
        EXPECT_FALSE(out->result.response);
    }
    // Nobody listens on this port (bound, then closed).
    int port;
    {
        test::RawHttpServer s([](const test::RawRequest&) { return test::RawReply{}; });
        port = s.port();
    }
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    auto out = run(request);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorCannotConnectToHost);

    request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    request.headers = {{"X-Bad", "a\r\nInjected: yes"}};
    out = run(request);
    ASSERT_TRUE(out->result.error);
    request.headers.clear();

    test::TempDir dir;
    request.method = "POST";
    request.bodyFile = dir.file("missing");
    out = run(request);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorFileDoesNotExist);
    EXPECT_EQ(http::activeTaskCount(), 0u);
}

namespace {

// The process's peak resident size so far, in bytes.
std::size_t peakResident() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantines hide the bound
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

// An answer larger than the request accepts fails with a clear error and is
// never held whole: neither a body of unknown length, nor one declared too
// long, nor a small gzip body that inflates to hundreds of megabytes.
TEST(Http, BodiesPastTheLimitFailWithoutBeingHeld) {
    constexpr std::size_t kLimit = 8u << 20;
    constexpr std::size_t kServed = 256u << 20;
    const std::string block(64 * 1024, 'x');
    // 256 MiB of zeros, gzip-compressed in pieces (a few hundred kilobytes).
    std::string bomb;
    {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
        std::string zeros(1 << 20, '\0');
        char out[1 << 16];
        for (std::size_t i = 0; i < kServed / zeros.size(); ++i) {
            z.next_in = reinterpret_cast<Bytef*>(zeros.data());
            z.avail_in = static_cast<uInt>(zeros.size());
            const int flush = i + 1 == kServed / zeros.size() ? Z_FINISH : Z_NO_FLUSH;
            do {
                z.next_out = reinterpret_cast<Bytef*>(out);
                z.avail_out = sizeof out;
                deflate(&z, flush);
                bomb.append(out, sizeof out - z.avail_out);
            } while (z.avail_out == 0);
        }
        deflateEnd(&z);
    }
    ASSERT_LT(bomb.size(), 1u << 20);
    test::RawHttpServer s([&](const test::RawRequest& r) {
        if (r.path == "/stream") {
            test::RawReply reply{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"};
            reply.repeated = block;
            reply.times = kServed / block.size();
            return reply;
        }
        if (r.path == "/declared")
            return test::RawReply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kServed) +
                                  "\r\nConnection: close\r\n\r\nxxxx"};
        if (r.path == "/bomb") return test::rawResponse(200, bomb, "Content-Encoding: gzip\r\n");
        if (r.path == "/unchanged")
            return test::RawReply{"HTTP/1.1 304 Not Modified\r\nContent-Length: " + std::to_string(kServed) +
                                  "\r\nConnection: close\r\n\r\n"};
        return test::rawResponse(200, std::string(kLimit, 'y'));  // exactly the limit: fine
    });
    // Read only in builds without a sanitizer (whose shadow memory blurs the figure).
    const std::size_t before = peakResident();  // NOLINT(clang-analyzer-deadcode.DeadStores)
    http::Request request;
    request.maxBodySize = kLimit;
    for (const char* path : {"/stream", "/declared", "/bomb"}) {
        request.url = s.url(path);
        auto out = run(request, nullptr, 30s);
        ASSERT_EQ(out->calls, 1) << path;
        ASSERT_TRUE(out->result.error) << path << " succeeded with " << out->result.body.size() << " bytes";
        EXPECT_EQ(out->result.error->code, http::URLErrorDataLengthExceedsMaximum) << path;
        EXPECT_NE(out->result.error->localizedDescription().find(std::to_string(kLimit)), std::string::npos);
        EXPECT_LE(out->result.body.size(), kLimit) << path;
    }
    request.url = s.url("/exact");
    auto out = run(request);
    ASSERT_FALSE(out->result.error) << out->result.error->description();
    EXPECT_EQ(out->result.body.size(), kLimit);

    // Answers that have no body may name a length past the limit: the size of
    // what a HEAD asks about, or of what a 304 says is unchanged.
    request.method = "HEAD";
    request.url = s.url("/declared");
    out = run(request);
    ASSERT_FALSE(out->result.error) << out->result.error->description();
    EXPECT_EQ(out->result.response->statusCode, 200);
    request.method = "GET";
    request.url = s.url("/unchanged");
    out = run(request);
    ASSERT_FALSE(out->result.error) << out->result.error->description();
    EXPECT_EQ(out->result.response->statusCode, 304);
    if (!kSanitized) {
        EXPECT_LT(peakResident() - before, 6 * kLimit) << "the answers were held whole";
    }
}

TEST(Http, AnAnswerThatIsNotHTTPIsABadServerResponse) {
    test::RawHttpServer s(
        [](const test::RawRequest&) { return test::RawReply{"SSH-2.0-OpenSSH_9.2\r\ngarbage\r\n\r\n"}; });
    http::Request request;
    request.url = s.url("/");
    auto out = run(request);
    ASSERT_EQ(out->calls, 1);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorBadServerResponse) << out->result.error->description();
    EXPECT_FALSE(out->result.response);
}

// Which wrapper a "deflate" body has is decided from its first two bytes,
// however the body was split on its way: a first byte alone (a chunk or a
// segment of its own) must not make a raw stream look like a broken zlib one.
TEST(Http, DeflateBodiesSplitAfterTheirFirstByte) {
    std::string payload;
    for (int i = 0; i < 3000; ++i) payload += "line " + std::to_string(i) + "\n";
    const std::string raw = compressed(payload, -MAX_WBITS), zlib = compressed(payload, MAX_WBITS);
    auto chunk = [](const std::string& bytes) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
        return size + bytes + "\r\n";
    };
    test::RawHttpServer s([&](const test::RawRequest& r) {
        const std::string& body = r.path.find("raw") != std::string::npos ? raw : zlib;
        test::RawReply reply;
        if (r.path.rfind("/chunked", 0) == 0) {
            reply.bytes = "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n"
                          "Connection: close\r\n\r\n" +
                          chunk(body.substr(0, 1));
            reply.later = {chunk(body.substr(1)) + "0\r\n\r\n"};
        } else {
            reply.bytes =
                "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body.substr(0, 1);
            reply.later = {body.substr(1, 1), body.substr(2)};
        }
        return reply;
    });
    http::Request request;
    for (const char* path : {"/chunked-raw", "/chunked-zlib", "/segments-raw", "/segments-zlib"}) {
        request.url = s.url(path);
        auto out = run(request);
        ASSERT_EQ(out->calls, 1) << path;
        ASSERT_FALSE(out->result.error) << path << ": " << out->result.error->description();
        EXPECT_EQ(text(out->result.body), payload) << path;
    }
    // A body of one byte never decides, and is no whole stream.
    test::RawHttpServer one(
        [](const test::RawRequest&) { return test::rawResponse(200, "x", "Content-Encoding: deflate\r\n"); });
    request.url = one.url("/");
    auto out = run(request);
    ASSERT_TRUE(out->result.error);
    EXPECT_EQ(out->result.error->code, http::URLErrorCannotDecodeContentData);
}

// A compressed body that inflates past the limit and is broken further on
// (here: a wrong checksum at its end) fails as too large, whether it arrives
// in one piece or in many; the outcome does not hang on the network's cuts.
TEST(Http, ABrokenBodyPastTheLimitIsTooLargeHoweverItArrives) {
    std::string payload;
    for (int i = 0; i < 800; ++i) payload += "row " + std::to_string(i) + "\n";
    std::string gzip = compressed(payload, 16 + MAX_WBITS);
    gzip[gzip.size() - 8] = static_cast<char>(gzip[gzip.size() - 8] ^ 0x55);  // the CRC-32
    test::RawHttpServer s([&](const test::RawRequest& r) {
        test::RawReply reply = test::rawResponse(200, r.path == "/whole" ? gzip : "", "Content-Encoding: gzip\r\n");
        if (r.path == "/pieces") {
            reply.bytes =
                "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gzip.size()) +
                "\r\nConnection: close\r\n\r\n";
            for (std::size_t at = 0; at < gzip.size(); at += 40) reply.later.push_back(gzip.substr(at, 40));
        }
        return reply;
    });
    ASSERT_LT(gzip.size(), 4096u);
    ASSERT_GT(payload.size(), 4000u);
    http::Request request;
    request.maxBodySize = 1000;
    for (const char* path : {"/whole", "/pieces"}) {
        request.url = s.url(path);
        auto out = run(request);
        ASSERT_TRUE(out->result.error) << path;
        EXPECT_EQ(out->result.error->code, http::URLErrorDataLengthExceedsMaximum) << path;
        EXPECT_LE(out->result.body.size(), 1000u) << path;
    }
}
