#pragma once
// HTTP requests over libcurl: tasks that complete once on a dispatch queue, a
// synchronous form, and cancellation by task id.
//
// Every task runs on one shared worker thread that drives libcurl's multi
// interface, one easy handle per request. Redirects are not left to libcurl:
// each hop is offered to the task's redirect handler (follow by default, at
// most Request::maxRedirects hops); a hop from https to anything but https is
// never taken, whatever the handler says. Server certificates are always
// verified, against the system's trust store unless setCertificateAuthorityFile
// names other authorities. Only http and https URLs are accepted.
//
// A response body is held once, in the task, and moved (never copied) to the
// completion; it may grow to Request::maxBodySize bytes after decoding, and
// past that the task fails with URLErrorDataLengthExceedsMaximum without
// buffering more.
//
// Background uploads stand in for the phone's transfer service: the request
// is recorded beside its staged body file, so that an upload whose process
// ended before the answer is sent again at the next launch.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/Value.h"
#include "platform/dispatch/Dispatch.h"

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
    // The largest body (after decoding) the task keeps; zero means no limit.
    std::size_t maxBodySize = kDefaultMaxBodySize;
    // When set, told the bytes of the body sent so far and the body's size
    // as the transfer moves, on the transfer's own thread.
    std::function<void(uint64_t sent, uint64_t expected)> uploadProgress;

    static constexpr std::size_t kDefaultMaxBodySize = 64u << 20;
};

struct Response {
    long statusCode = 0;
    std::string url;  // the URL that answered
    Headers headers;
    std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
};

// What became of the server's certificate on an https request that reached
// the server. libcurl verifies against the system's trust store (or the
// authorities of setCertificateAuthorityFile); this says what it found, so
// that callers can tell their own users.
struct ServerTrust {
    enum class Outcome {
        NoCertificate,  // the handshake ended before the server presented a certificate
        Trusted,
        Untrusted,  // presented, and refused by the verification
        NotForHost,  // presented and signed by a trusted authority, but for another host
        NoTrustStore,  // our trust store could not be used to verify anything
        Unevaluated,  // the verification's result could not be read
    };
    Outcome outcome = Outcome::NoCertificate;
    long verifyResult = 0;  // the X.509 verification result (0 = ok)
    int status = 0;  // libcurl's code for the transfer
};

// The outcome of a task. A task may end with a response *and* an error (the
// body was cut short, or the timeout struck after the headers): callers must
// treat any error as a failure.
struct Result {
    std::optional<Response> response;
    Bytes body;
    std::optional<Error> error;
    std::optional<ServerTrust> serverTrust;  // https requests that reached the server
};

using Completion = std::function<void(Result result)>;

// The certificate authorities (a PEM file) that https requests started from
// now on trust instead of the system's store; empty restores the system's
// store. For servers of a private authority, and tests.
void setCertificateAuthorityFile(std::string path);

// Offered every redirect. `redirect` is the 3xx response; `next` is the request
// that would follow (for 303, and for 301/302 after a POST, already a GET
// without a body) and may be changed. Answer false to stop: the task then
// completes with the redirect response itself. A hop that would leave https
// for plain http is refused all the same: the task completes with the
// redirect response and URLErrorAppTransportSecurityRequiresSecureConnection.
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
    URLErrorAppTransportSecurityRequiresSecureConnection = -1022,
    URLErrorFileDoesNotExist = -1100,
    URLErrorDataLengthExceedsMaximum = -1103,
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

// --- a response without a transfer --------------------------------------------------
// Hands a response to the handling every transfer uses (the checks of its
// headers, the decoders of compressed bodies, the size bound) without a
// connection, for tests and fuzzing: header lines as libcurl passes them on
// (the status line first, each line with its line break, an empty line ending
// a block), then body bytes in whatever pieces they arrive, after libcurl has
// undone any chunked transfer coding.
class ResponseFeed {
public:
    explicit ResponseFeed(Request request);
    ~ResponseFeed();
    ResponseFeed(const ResponseFeed&) = delete;
    ResponseFeed& operator=(const ResponseFeed&) = delete;

    // False once the transfer would have been stopped; nothing more is read.
    bool header(std::string_view line);
    bool body(std::string_view bytes);
    // What the completion would receive had the connection ended here
    // with the whole body (libcurl's own checks passed).
    Result finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// --- background uploads --------------------------------------------------------------
// The record of an upload is "<body file>.request" beside the body file, which
// must lie directly in the directory given to resumeBackgroundUploads.
inline constexpr const char* kBackgroundUploadRecordSuffix = ".request";
// How long a staged upload may wait for a server, counted from its record's
// own time: the phone gives up on a background transfer after a week.
inline constexpr std::chrono::hours kBackgroundUploadLifetime{24 * 7};

// Starts an upload of `request.bodyFile` in the background session
// `sessionIdentifier`. The record is written before the transfer starts and
// removed once the task is over, just before `completion` is queued (the
// caller hears of a failure and decides what to do). False (and nothing
// started) when the record cannot be written; the caller then sends the body
// some other way.
bool startBackgroundUpload(const std::string& sessionIdentifier, Request request, Completion completion,
                           dispatch::QueuePtr queue = nullptr, RedirectHandler willRedirect = nullptr,
                           TaskId* taskId = nullptr);

// The application hears of a background session's events: `completionHandler`
// is to be called once it has handled them.
using BackgroundEventsHandler =
    std::function<void(const std::string& sessionIdentifier, std::function<void()> completionHandler)>;

// Sends again every upload recorded in `directory` by a process that ended
// before the answer. A record is locked (flock) by the process whose upload
// is under way, so that uploads of this process, or of another one running
// on the same container, are left alone. An upload that reaches no server (no
// answer at all) keeps its record and waits for a later launch, as the phone's
// transfers wait for the network; any answer of the server ends it, and so
// does a request that can never be sent, or a record staged more than
// kBackgroundUploadLifetime ago (logged). When one is over, `handleEvents`
// runs on the main queue with its session; a background task keeps the
// application running until the application calls the completion handler.
// Unreadable records are removed. Answers how many were resent.
std::size_t resumeBackgroundUploads(const std::string& directory, const BackgroundEventsHandler& handleEvents,
                                    const RedirectHandler& willRedirect = nullptr);

}  // namespace wharf::platform::http
