// 2,000 sequential 10 KiB gzip POSTs on loopback through NBNetwork, against
// raw libcurl with a new handle per request sending the same gzip body.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <curl/curl.h>
#include <httplib.h>

#include "BenchRatio.h"
#include "nimbus/network/NBNetwork.h"
#include "nimbus/toolbox/TBZLibAdditions.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Container.h"

using namespace wharf;

namespace {

constexpr int kPosts = 2000;

struct Server {
    Server() {
        server.Post("/log", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~Server() {
        server.stop();
        thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/log"; }
    httplib::Server server;
    int port = 0;
    std::thread thread;
};

Server& server() {
    static Server s;
    return s;
}

const platform::Bytes& payload() {
    static const platform::Bytes p = [] {
        std::string s;
        std::mt19937 rng(3);
        char pair[64];
        while (s.size() < 10 * 1024) {
            std::snprintf(pair, sizeof pair, "k%u=v%u&", static_cast<unsigned>(rng() % 1000),
                          static_cast<unsigned>(rng()));
            s += pair;
        }
        s.resize(10 * 1024);
        return platform::Bytes(s.begin(), s.end());
    }();
    return p;
}

void NBNetworkPosts(benchmark::State& state) {
    auto network = NBNetwork::initWithReachabilityHost("localhost");
    const std::string url = server().url();
    for (auto _ : state) {
        for (int i = 0; i < kPosts; ++i) {
            bool done = false;
            network->postURL(url, payload(), nullptr, false,
                             [&](const auto&, const auto&, const platform::Error* error) {
                                 if (error) state.SkipWithError(error->description().c_str());
                                 done = true;
                             });
            while (!done) platform::RunLoop::iterate(true);
        }
    }
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void RawCurlPosts(benchmark::State& state) {
    const std::string url = server().url();
    for (auto _ : state) {
        for (int i = 0; i < kPosts; ++i) {
            auto body = tb_dataByGzippingData(payload());
            CURL* easy = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
            headers = curl_slist_append(headers, "Content-Encoding: gzip");
            curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body->data());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
            if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("curl failed");
            curl_slist_free_all(headers);
            curl_easy_cleanup(easy);
        }
    }
}

}  // namespace

BENCHMARK(NBNetworkPosts)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(RawCurlPosts)->Iterations(2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    platform::RunLoop::initMainThread();
    platform::setLogToStderr(false);
    auto home = std::filesystem::temp_directory_path() / ("wharf-bench-" + std::to_string(::getpid()));
    platform::Container::setHome(home.string());
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = bench::runWithRatios(
        argc, argv,
        {{"2000 gzip POSTs: NBNetwork vs raw libcurl", "NBNetworkPosts/iterations:2", "RawCurlPosts/iterations:2"}});
    std::filesystem::remove_all(home);
    return rc;
}
