#pragma once
// One transfer of a request: its state while libcurl runs it, the easy
// handle's configuration for it, the callbacks that read its answer (the
// headers checked as they come, the body decoded and bounded as it comes),
// and what its completion is told. The worker in Http.cpp runs transfers,
// one thread for them all, and the background uploads' records.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "platform/base/Error.h"
#include "platform/net/Http.h"
#include "platform/net/HttpContentDecoder.h"

namespace wharf::platform::http::transfer {

using Clock = std::chrono::steady_clock;

struct Task {
    TaskId id = 0;
    Request request;
    Completion completion;
    dispatch::QueuePtr queue;
    RedirectHandler willRedirect;
    bool deliverInline = false;  // the synchronous form waits on the worker itself
    std::string recordFile;  // a background upload's record, removed when it is done
    // A resent upload: its record stays while no server answers.
    bool waitsForAServer = false;

    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    FILE* bodyFile = nullptr;
    curl_off_t bodyOffset = 0;
    char errorText[CURL_ERROR_SIZE] = {0};
    Clock::time_point lastActivity;
    Clock::time_point started;
    int redirects = 0;
    bool completed = false;

    Response response;
    bool haveStatusLine = false;
    long headerStatus = 0;  // the status of the header block being read
    Bytes body;
    // The body's decoder, chosen at its first bytes; an answer that breaks the
    // protocol stops the transfer with this error.
    bool bodyStarted = false;
    std::unique_ptr<ContentDecoder> decoder;
    std::optional<Error> protocolError;
    std::optional<ServerTrust> serverTrust;

    ~Task() { release(); }
    void release() {
        if (easy) curl_easy_cleanup(easy);
        easy = nullptr;
        if (headerList) curl_slist_free_all(headerList);
        headerList = nullptr;
        if (bodyFile) std::fclose(bodyFile);
        bodyFile = nullptr;
    }
};

Error urlError(int64_t code, const std::string& url, const std::string& description);
bool isScheme(const std::string& url, const char* scheme);
// Prepares the task's easy handle for its current request. Answers an error
// when the request cannot be sent at all.
std::optional<Error> configure(Task& task);
// libcurl's header and body callbacks (also fed by ResponseFeed).
size_t onHeader(char* data, size_t size, size_t count, void* user);
size_t onWrite(char* data, size_t size, size_t count, void* user);
// What the transfer learnt of the server's certificate: nothing for plain
// http or a server never reached.
std::optional<ServerTrust> serverTrustOf(Task& task, CURLcode code);
// Scheme, host and port alike (the port a scheme implies counts as written).
bool sameOrigin(const std::string& a, const std::string& b);
bool isRedirectStatus(long status);
// The error of a transfer that libcurl ended with `code`, if it failed.
std::optional<Error> transferError(Task& task, CURLcode code);
// What the completion receives; the response and body are moved out of the task.
Result resultOf(Task& task, std::optional<Error> error, bool withResponse);

}  // namespace wharf::platform::http::transfer
