#pragma once
// HTTP requests over libcurl: tasks that complete once on a dispatch queue, a
// synchronous form, and cancellation by task id.
//
// Every task runs on one shared worker thread that drives libcurl's multi
// interface, one easy handle per request. Redirects are not left to libcurl:
// each hop is offered to the task's redirect handler (follow by default, at
// most Request::maxRedirects hops). Server certificates are always verified
// against the system's trust store. Only http and https URLs are accepted.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace wharf::platform::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The value of a header, matched without regard to case.
std::optional<std::string> headerValue(const Headers& headers, std::string_view name);

struct Request {
    std::string url;
    std::string method = "GET";
    Headers headers;  // sent in this order, before anything libcurl adds
    Bytes body;
    // When set, the body is read from this file instead of `body`
    // (background uploads hand the body over this way).
    std::string bodyFile;
    // No byte moving for this long fails the task with URLErrorTimedOut.
    std::chrono::milliseconds timeout{60000};
    // The whole transfer may take at most this long; zero means no limit.
    std::chrono::milliseconds resourceTimeout{0};
    // False for upload tasks: the response body is read and dropped.
    bool collectBody = true;
    int maxRedirects = 16;
};

struct Response {
    long statusCode = 0;
    std::string url;  // the URL that answered
    Headers headers;
    std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
};

// The outcome of a task. A task may end with a response *and* an error (the
// body was cut short, or the timeout struck after the headers): callers must
// treat any error as a failure.
struct Result {
    std::optional<Response> response;
    Bytes body;
    std::optional<Error> error;
};

using Completion = std::function<void(Result result)>;

// Offered every redirect. `redirect` is the 3xx response; `next` is the request
// that would follow (for 303, and for 301/302 after a POST, already a GET
// without a body) and may be changed. Answer false to stop: the task then
// completes with the redirect response itself.
using RedirectHandler = std::function<bool(const Response& redirect, Request& next)>;

using TaskId = uint64_t;

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

enum URLError : int64_t {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorBadServerResponse = -1011,
    URLErrorCannotDecodeContentData = -1016,
    URLErrorFileDoesNotExist = -1100,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
};

// Starts a task. `completion` runs exactly once, on `queue` (the main queue
// when null), whatever ends the task: an answer, a failure or cancelTask().
TaskId startTask(Request request, Completion completion, dispatch::QueuePtr queue = nullptr,
                 RedirectHandler willRedirect = nullptr);

// Cancels a task that has not completed; its completion then reports
// URLErrorCancelled. False when the task is unknown or already done.
bool cancelTask(TaskId id);

// Runs a request on the worker and waits for it (any thread but the worker's).
Result sendSynchronousRequest(Request request, RedirectHandler willRedirect = nullptr);

// The number of tasks started and not yet handed to their completion queue.
std::size_t activeTaskCount();

}  // namespace wharf::platform::http
