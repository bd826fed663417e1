#include "platform/net/Http.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <strings.h>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>
#include <zlib.h>

#include "platform/base/Clock.h"
#include "platform/base/Log.h"
#include "platform/base/Url.h"
#include "platform/device/Application.h"

namespace wharf::platform::http {

std::optional<std::string> headerValue(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    return std::nullopt;
}

namespace {

using Clock = std::chrono::steady_clock;

Error urlError(int64_t code, const std::string& url, const std::string& description) {
    Value info = Value::object();
    info[kLocalizedDescriptionKey] = description;
    info[kURLErrorFailingURLStringKey] = url;
    return Error(kURLErrorDomain, code, std::move(info));
}

Error errorForCurlCode(CURLcode code, const std::string& url, const char* detail) {
    std::string text = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return urlError(URLErrorTimedOut, url, "The request timed out.");
    case CURLE_COULDNT_RESOLVE_HOST:
        return urlError(URLErrorCannotFindHost, url, "A server with the specified hostname could not be found.");
    case CURLE_COULDNT_CONNECT: return urlError(URLErrorCannotConnectToHost, url, "Could not connect to the server.");
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return urlError(URLErrorNetworkConnectionLost, url, "The network connection was lost. (" + text + ")");
    case CURLE_URL_MALFORMAT: return urlError(URLErrorBadURL, url, "bad URL");
    case CURLE_PEER_FAILED_VERIFICATION:
        return urlError(URLErrorServerCertificateUntrusted, url,
                        "The certificate for this server is invalid. (" + text + ")");
    case CURLE_SSL_CONNECT_ERROR:
        return urlError(URLErrorSecureConnectionFailed, url, "An SSL error has occurred. (" + text + ")");
    case CURLE_BAD_CONTENT_ENCODING: return urlError(URLErrorCannotDecodeContentData, url, "cannot decode raw data");
    // The scheme was checked before sending: libcurl says this of an answer
    // that is not HTTP at all (HTTP/0.9 is refused).
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
        return urlError(URLErrorBadServerResponse, url, "bad server response (" + text + ")");
    default: return urlError(URLErrorUnknown, url, text);
    }
}

// Undoes a response's Content-Encoding. libcurl's own decoder cannot tell a
// compressed body that stops half-way from a whole one, and would hand the
// part over as the complete body; this one knows whether its stream ended.
// A gzip body may be several members one after another: each is read. Any
// other bytes after the end (after a deflate stream's one end, or where a
// gzip member would begin) make the body undecodable, never a shorter one.
class ContentDecoder {
public:
    enum class Kind { Gzip, Deflate };
    enum class Fed { Ok, Corrupt, TooLarge };
    explicit ContentDecoder(Kind kind) : gzip_(kind == Kind::Gzip) {
        if (gzip_) initialised_ = ok_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
    }
    ~ContentDecoder() {
        if (initialised_) inflateEnd(&z_);
    }
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Appends what `data` decodes to, keeping `out` at most `limit` bytes
    // (zero: no limit).
    Fed feed(const char* data, size_t size, Bytes& out, size_t limit) {
        if (!initialised_) {
            // "deflate" is a zlib stream, but some servers send raw deflate
            // under that name. Its first two bytes tell which, so the choice
            // waits for them, however the body was split on the way.
            header_.append(data, size);
            if (header_.size() < 2) return Fed::Ok;
            const auto cmf = static_cast<uint8_t>(header_[0]), flg = static_cast<uint8_t>(header_[1]);
            const bool zlibHeader = (cmf & 0x0f) == Z_DEFLATED && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
            ok_ = inflateInit2(&z_, zlibHeader ? MAX_WBITS : -MAX_WBITS) == Z_OK;
            initialised_ = ok_;
            if (!ok_) return Fed::Corrupt;
            std::string pending = std::move(header_);
            header_.clear();
            return inflateSome(pending.data(), pending.size(), out, limit);
        }
        return inflateSome(data, size, out, limit);
    }
    // Whether the body ended where a compressed stream did (an empty body
    // is whole too).
    bool complete() const { return ended_ || (!started_ && header_.empty()); }

private:
    Fed inflateSome(const char* data, size_t size, Bytes& out, size_t limit) {
        if (!ok_) return Fed::Corrupt;
        if (size) started_ = true;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_.avail_in = static_cast<uInt>(size);
        uint8_t chunk[16384];
        for (;;) {
            if (ended_) {
                if (z_.avail_in == 0) break;
                // More after the end: the next gzip member, or bytes that
                // belong to no stream.
                if (!gzip_ || inflateReset(&z_) != Z_OK) return fail();
                ended_ = false;
            }
            z_.next_out = chunk;
            z_.avail_out = sizeof chunk;
            const int rc = inflate(&z_, Z_NO_FLUSH);
            const size_t produced = sizeof chunk - z_.avail_out;
            if (rc == Z_BUF_ERROR && produced == 0) return z_.avail_in == 0 ? Fed::Ok : fail();
            // What decoded before a fault counts against the limit first, so
            // that the outcome does not depend on how the body was split.
            if (limit && produced > limit - std::min(limit, out.size())) return Fed::TooLarge;
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return fail();
            out.insert(out.end(), chunk, chunk + produced);
            if (rc == Z_STREAM_END) ended_ = true;
            // Output still pending inside zlib shows as a full chunk.
            if (!ended_ && z_.avail_in == 0 && z_.avail_out != 0) break;
        }
        return Fed::Ok;
    }
    Fed fail() {
        ok_ = false;
        ended_ = false;
        return Fed::Corrupt;
    }

    z_stream z_{};
    const bool gzip_;
    bool ok_ = false;
    bool initialised_ = false;
    bool started_ = false;
    bool ended_ = false;
    std::string header_;  // deflate: the first bytes, until the wrapper is known
};

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

std::string trimmed(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return "";
    const size_t end = text.find_last_not_of(" \t");
    return std::string(text.substr(start, end - start + 1));
}

// Picks the decoder for the response's Content-Encoding; false for an
// encoding this client never asked for.
bool chooseDecoder(Task& task) {
    task.decoder.reset();
    auto encoding = headerValue(task.response.headers, "Content-Encoding");
    if (!encoding) return true;
    const std::string name = trimmed(*encoding);
    if (name.empty() || strcasecmp(name.c_str(), "identity") == 0) return true;
    if (strcasecmp(name.c_str(), "gzip") == 0 || strcasecmp(name.c_str(), "x-gzip") == 0) {
        task.decoder = std::make_unique<ContentDecoder>(ContentDecoder::Kind::Gzip);
        return true;
    }
    if (strcasecmp(name.c_str(), "deflate") == 0) {
        task.decoder = std::make_unique<ContentDecoder>(ContentDecoder::Kind::Deflate);
        return true;
    }
    return false;
}

Error cannotDecode(const Task& task) {
    return urlError(URLErrorCannotDecodeContentData, task.request.url, "cannot decode raw data");
}

Error tooLarge(const Task& task) {
    return urlError(
        URLErrorDataLengthExceedsMaximum, task.request.url,
        "The response is larger than the " + std::to_string(task.request.maxBodySize) + " bytes this request accepts.");
}

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* task = static_cast<Task*>(user);
    size_t n = size * count;
    task->lastActivity = Clock::now();
    if (!task->request.collectBody) return n;
    try {
        if (!task->bodyStarted) {
            task->bodyStarted = true;
            if (!chooseDecoder(*task)) {
                task->protocolError = cannotDecode(*task);
                return 0;
            }
        }
        const size_t limit = task->request.maxBodySize;
        if (!task->decoder) {
            if (limit && n > limit - std::min(limit, task->body.size())) {
                task->protocolError = tooLarge(*task);
                return 0;
            }
            task->body.insert(task->body.end(), data, data + n);
        } else if (auto fed = task->decoder->feed(data, n, task->body, limit); fed != ContentDecoder::Fed::Ok) {
            task->protocolError = fed == ContentDecoder::Fed::TooLarge ? tooLarge(*task) : cannotDecode(*task);
            return 0;
        }
    } catch (const std::bad_alloc&) {
        return 0;  // libcurl then ends the transfer with a write error
    }
    return n;
}

// A Content-Length that is not a number, does not fit, or disagrees with
// another one leaves the body's end unknown: the answer is refused.
bool contentLengthIsSound(const Headers& headers) {
    std::optional<std::string> seen;
    for (const auto& [key, raw] : headers) {
        if (strcasecmp(key.c_str(), "Content-Length") != 0) continue;
        const std::string value = trimmed(raw);
        if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (seen && *seen != value) return false;
        seen = value;
    }
    return true;
}

// Whether the answer whose headers just ended carries a body.
bool answerHasBody(const Task& task) {
    const long status = task.headerStatus;
    return task.request.method != "HEAD" && status >= 200 && status != 204 && status != 304;
}

// The code of a status line ("HTTP/1.1 200 OK", "HTTP/2 204"), 0 when it has none.
long statusOf(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) return 0;
    long status = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        status = status * 10 + (line[i] - '0');
    }
    return status;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* task = static_cast<Task*>(user);
    size_t n = size * count;
    task->lastActivity = Clock::now();
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        // A new header block (after a 100 Continue, say) replaces the last one.
        task->response.headers.clear();
        task->haveStatusLine = true;
        task->headerStatus = statusOf(line);
        task->bodyStarted = false;
        task->decoder.reset();
        return n;
    }
    if (line.empty() && !contentLengthIsSound(task->response.headers)) {
        task->protocolError = urlError(URLErrorBadServerResponse, task->request.url, "bad server response");
        return 0;
    }
    // An identity body declared past the limit is refused before any of it.
    // Answers without a body (to a HEAD, a 204, a 304, a 1xx) may still name
    // the size of what they stand for.
    if (line.empty() && task->request.collectBody && task->request.maxBodySize && task->haveStatusLine &&
        answerHasBody(*task) && !headerValue(task->response.headers, "Content-Encoding")) {
        if (auto length = headerValue(task->response.headers, "Content-Length");
            length && std::strtoull(trimmed(*length).c_str(), nullptr, 10) > task->request.maxBodySize) {
            task->protocolError = tooLarge(*task);
            return 0;
        }
    }
    auto colon = line.find(':');
    if (colon != std::string::npos && colon > 0) {
        std::string value = line.substr(colon + 1);
        size_t start = value.find_first_not_of(" \t");
        value = start == std::string::npos ? "" : value.substr(start);
        task->response.headers.emplace_back(line.substr(0, colon), std::move(value));
    }
    return n;
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* task = static_cast<Task*>(user);
    size_t room = size * count;
    task->lastActivity = Clock::now();
    if (task->bodyFile) {
        size_t n = std::fread(buffer, 1, room, task->bodyFile);
        if (n == 0 && std::ferror(task->bodyFile)) return CURL_READFUNC_ABORT;
        return n;
    }
    const Bytes& body = task->request.body;
    size_t left = body.size() - static_cast<size_t>(task->bodyOffset);
    size_t n = std::min(left, room);
    if (n) std::memcpy(buffer, body.data() + task->bodyOffset, n);
    task->bodyOffset += static_cast<curl_off_t>(n);
    return n;
}

int onSeek(void* user, curl_off_t offset, int origin) {
    auto* task = static_cast<Task*>(user);
    if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    if (task->bodyFile)
        return std::fseek(task->bodyFile, offset, SEEK_SET) == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
    if (offset < 0 || static_cast<size_t>(offset) > task->request.body.size()) return CURL_SEEKFUNC_FAIL;
    task->bodyOffset = offset;
    return CURL_SEEKFUNC_OK;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded) {
    auto* task = static_cast<Task*>(user);
    task->request.uploadProgress(static_cast<uint64_t>(std::max<curl_off_t>(uploaded, 0)),
                                 static_cast<uint64_t>(std::max<curl_off_t>(uploadTotal, 0)));
    return 0;
}

bool isScheme(const std::string& url, const char* scheme) {
    size_t n = std::strlen(scheme);
    return url.size() > n && strncasecmp(url.c_str(), scheme, n) == 0;
}

struct Authorities {
    std::mutex mutex;
    std::string file;
};
Authorities& authorities() {
    static Authorities* a = new Authorities();  // never destroyed: tasks outlive exit
    return *a;
}

std::string certificateAuthorityFile() {
    std::lock_guard lock(authorities().mutex);
    return authorities().file;
}

// Prepares the task's easy handle for its current request. Answers an error
// when the request cannot be sent at all.
std::optional<Error> configure(Task& task) {
    task.release();
    task.response = Response{};
    task.haveStatusLine = false;
    task.headerStatus = 0;
    task.body.clear();
    task.bodyStarted = false;
    task.decoder.reset();
    task.protocolError.reset();
    task.serverTrust.reset();
    task.bodyOffset = 0;
    task.errorText[0] = 0;
    const Request& r = task.request;
    if (!isScheme(r.url, "http://") && !isScheme(r.url, "https://"))
        return urlError(r.url.empty() ? URLErrorBadURL : URLErrorUnsupportedURL, r.url,
                        r.url.empty() ? "bad URL" : "unsupported URL");

    curl_off_t bodySize = static_cast<curl_off_t>(r.body.size());
    if (!r.bodyFile.empty()) {
        task.bodyFile = std::fopen(r.bodyFile.c_str(), "rb");
        if (!task.bodyFile || std::fseek(task.bodyFile, 0, SEEK_END) != 0)
            return urlError(URLErrorFileDoesNotExist, r.url, "The file doesn’t exist.");
        bodySize = std::ftell(task.bodyFile);
        std::rewind(task.bodyFile);
    }

    CURL* easy = curl_easy_init();
    if (!easy) return urlError(URLErrorUnknown, r.url, "Cannot create a transfer");
    task.easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (std::string authorities = certificateAuthorityFile(); !authorities.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, authorities.c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    }
    // Asks for compressed answers but decodes them in onWrite.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, task.errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &task);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &task);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &task);
    if (r.uploadProgress) {
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &task);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    }
    long timeoutMs = static_cast<long>(std::max<int64_t>(1, r.timeout.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    if (r.resourceTimeout.count() > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(r.resourceTimeout.count()));

    const bool hasBody = !r.body.empty() || task.bodyFile;
    if (r.method == "GET" && !hasBody) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (r.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (r.method == "POST" || hasBody) {
        // A POST with a known size: libcurl writes Content-Length (unless
        // the caller did) and reads the body through onRead.
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, bodySize);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, &task);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &task);
        if (r.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }

    for (const auto& [name, value] : r.headers) {
        if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
            return urlError(URLErrorBadURL, r.url, "A header field holds a line break");
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        task.headerList = curl_slist_append(task.headerList, line.c_str());
    }
    // No "Expect: 100-continue" round trip before the body.
    task.headerList = curl_slist_append(task.headerList, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, task.headerList);
    task.lastActivity = Clock::now();
    return std::nullopt;
}

// Whether a refused certificate was refused for the name it carries. The
// host check is libcurl's own, made after the chain was verified, and it
// records no verification result for it: the result then still reads as
// "unspecified" (1), the value it has before any verification. OpenSSL's
// own name checks report 62 to 64.
bool namesAnotherHost(long verifyResult) {
    constexpr long kUnspecified = 1, kHostnameMismatch = 62, kIpAddressMismatch = 64;
    return verifyResult == kUnspecified || (verifyResult >= kHostnameMismatch && verifyResult <= kIpAddressMismatch);
}

// What the transfer learnt of the server's certificate: nothing for plain
// http or a server never reached.
std::optional<ServerTrust> serverTrustOf(Task& task, CURLcode code) {
    if (!isScheme(task.request.url, "https://") || !task.easy) return std::nullopt;
    ServerTrust trust;
    trust.status = static_cast<int>(code);
    switch (code) {
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: trust.outcome = ServerTrust::Outcome::NoTrustStore; return trust;
    case CURLE_OK:
    case CURLE_PEER_FAILED_VERIFICATION: break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: {
        // A server that was reached and broke the handshake off (reset it, or
        // answered in plain text) showed no certificate to judge. The same
        // failures once the handshake is done are no business of trust.
        curl_off_t handshaken = 0;
        curl_easy_getinfo(task.easy, CURLINFO_APPCONNECT_TIME_T, &handshaken);
        if (handshaken > 0) return std::nullopt;
        trust.outcome = ServerTrust::Outcome::NoCertificate;
        return trust;
    }
    default: return std::nullopt;  // the server was not reached, or the failure is not the handshake's
    }
    long verify = 0;
    if (curl_easy_getinfo(task.easy, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK) {
        trust.outcome = ServerTrust::Outcome::Unevaluated;
        return trust;
    }
    trust.verifyResult = verify;
    if (code == CURLE_PEER_FAILED_VERIFICATION && namesAnotherHost(verify)) {
        trust.outcome = ServerTrust::Outcome::NotForHost;
    } else if (verify != 0 || code == CURLE_PEER_FAILED_VERIFICATION) {
        trust.outcome = ServerTrust::Outcome::Untrusted;
    } else {
        trust.outcome = ServerTrust::Outcome::Trusted;
    }
    return trust;
}

// --- background upload records ------------------------------------------------------
// A record is held with an exclusive flock for as long as its upload runs, by
// the process that runs it: another process on the same container (a second
// launch) sees the lock and leaves the upload alone. The kernel lets go of
// the lock when the process ends, however it ends, so the next launch may
// send the upload again.

struct LiveRecords {
    std::mutex mutex;
    std::map<std::string, int> locks;  // record path -> the descriptor holding its lock
};
LiveRecords& liveRecords() {
    static LiveRecords* records = new LiveRecords();  // never destroyed: tasks outlive exit
    return *records;
}

// The upload is over (answered or failed for good): nothing is left to resend.
// The record goes before its lock, so that whoever waits for the lock finds
// the record gone.
void finishBackgroundUpload(const std::string& record) {
    if (record.empty()) return;
    ::unlink(record.c_str());
    std::lock_guard lock(liveRecords().mutex);
    if (auto it = liveRecords().locks.find(record); it != liveRecords().locks.end()) {
        ::close(it->second);
        liveRecords().locks.erase(it);
    }
}

// The upload stays staged for a later launch: the record is kept and its lock
// let go, so that another process (or this one) may send it again.
void releaseBackgroundUpload(const std::string& record) {
    std::lock_guard lock(liveRecords().mutex);
    if (auto it = liveRecords().locks.find(record); it != liveRecords().locks.end()) {
        ::close(it->second);
        liveRecords().locks.erase(it);
    }
}

// Whether a resent upload ended without reaching a server that answered,
// for a reason the network may mend (refused, unreachable, cut off, timed
// out): it is then sent again at a later launch. A request that can never be
// sent, and any answer at all, end it.
bool reachedNoServer(const Result& result) {
    if (result.response || !result.error || result.error->domain != kURLErrorDomain) return false;
    switch (result.error->code) {
    case URLErrorBadURL:
    case URLErrorUnsupportedURL:
    case URLErrorFileDoesNotExist:
    case URLErrorCancelled: return false;
    default: return true;
    }
}

// Takes the lock of the record at `path` for this process: the descriptor
// that holds it, or -1 when the record is gone, not ours, or held by another
// process (or by this one).
int lockRecord(const std::string& path) {
    {
        std::lock_guard lock(liveRecords().mutex);
        if (liveRecords().locks.count(path)) return -1;  // under way here
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat held {};
    struct stat named {};
    // A record finished while we waited was unlinked first: the lock is then
    // on a file that is no longer the one of that name.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 || ::lstat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        ::close(fd);
        return -1;
    }
    std::lock_guard lock(liveRecords().mutex);
    if (!liveRecords().locks.emplace(path, fd).second) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes the record and keeps it locked: the lock is taken before the record
// appears under its name, so that no other process can take it in between.
bool writeRecord(const std::string& path, const std::string& text) {
    const std::string temp = path + ".partial";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const bool ok = written == text.size() && ::fsync(fd) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    std::lock_guard lock(liveRecords().mutex);
    if (auto [it, added] = liveRecords().locks.emplace(path, fd); !added) {
        ::close(it->second);  // a record of this name that went before without finishing
        it->second = fd;
    }
    return true;
}

std::string recordText(const std::string& sessionIdentifier, const Request& r) {
    Value headers = Value::array();
    for (const auto& [name, value] : r.headers) headers.push_back(Value::array({name, value}));
    Value record{{"session", sessionIdentifier},
                 {"url", r.url},
                 {"method", r.method},
                 {"headers", std::move(headers)},
                 {"body", baseName(r.bodyFile)},
                 {"timeoutMs", r.timeout.count()},
                 {"resourceTimeoutMs", r.resourceTimeout.count()},
                 {"maxBodySize", r.maxBodySize},
                 {"maxRedirects", r.maxRedirects},
                 {"collectBody", r.collectBody}};
    return toJSONString(record);
}

// The session and request of a record read from `fd`, or nothing for a record
// that is not one of ours or whose body file is not a plain file beside it.
std::optional<std::pair<std::string, Request>> readRecord(int fd, const std::string& directory,
                                                          const std::string& name) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0 && text.size() < (1u << 20))
        text.append(buffer, n);
    auto value = parseJSON(text);
    if (!value || !value->is_object()) return std::nullopt;
    try {
        const Value& v = *value;
        Request r;
        const std::string body = v.at("body").get<std::string>();
        const std::string expected = name.substr(0, name.size() - std::strlen(kBackgroundUploadRecordSuffix));
        if (body != expected) return std::nullopt;
        r.bodyFile = directory + "/" + body;
        struct stat st {};
        if (::lstat(r.bodyFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        r.url = v.at("url").get<std::string>();
        r.method = v.at("method").get<std::string>();
        for (const auto& h : v.at("headers"))
            r.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
        r.timeout = std::chrono::milliseconds(v.at("timeoutMs").get<int64_t>());
        r.resourceTimeout = std::chrono::milliseconds(v.at("resourceTimeoutMs").get<int64_t>());
        r.maxBodySize = v.at("maxBodySize").get<size_t>();
        r.maxRedirects = v.at("maxRedirects").get<int>();
        r.collectBody = v.at("collectBody").get<bool>();
        return std::make_pair(v.at("session").get<std::string>(), std::move(r));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Scheme, host and port alike (the port a scheme implies counts as written).
bool sameOrigin(const std::string& a, const std::string& b) {
    const auto first = Url::parse(a), second = Url::parse(b);
    if (!first || !second) return false;
    auto port = [](const Url& url) { return url.port() >= 0 ? url.port() : url.scheme() == "https" ? 443 : 80; };
    return first->scheme() == second->scheme() && strcasecmp(first->host().c_str(), second->host().c_str()) == 0 &&
           port(*first) == port(*second);
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The error of a transfer that libcurl ended with `code`, if it failed.
std::optional<Error> transferError(Task& task, CURLcode code) {
    if (code != CURLE_OK && task.protocolError) return std::move(*task.protocolError);
    if (code != CURLE_OK) return errorForCurlCode(code, task.request.url, task.errorText);
    if (task.decoder && !task.decoder->complete()) return cannotDecode(task);
    return std::nullopt;
}

// What the completion receives; the response and body are moved out of the task.
Result resultOf(Task& task, std::optional<Error> error, bool withResponse) {
    Result result;
    if (withResponse) result.response = std::move(task.response);
    result.body = std::move(task.body);
    result.error = std::move(error);
    result.serverTrust = task.serverTrust;
    return result;
}

class Worker {
public:
    static Worker& shared() {
        // Never destroyed: tasks may still complete while the process exits.
        static Worker* worker = new Worker();
        return *worker;
    }

    TaskId start(std::shared_ptr<Task> task) {
        std::lock_guard lock(mutex_);
        const TaskId id = task->id = ++lastId_;
        task->started = Clock::now();
        pending_.push_back(std::move(task));
        ++active_;
        if (multi_) curl_multi_wakeup(multi_);
        return id;
    }

    bool cancel(TaskId id) {
        std::lock_guard lock(mutex_);
        if (!liveIds_.count(id) &&
            std::none_of(pending_.begin(), pending_.end(), [&](const auto& t) { return t->id == id; }))
            return false;
        cancels_.insert(id);
        curl_multi_wakeup(multi_);
        return true;
    }

    std::size_t activeCount() {
        std::lock_guard lock(mutex_);
        return active_;
    }

private:
    Worker() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        thread_ = std::thread([this] { run(); });
        thread_.detach();
    }

    void run() {
        for (;;) {
            takeNewWork();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Task* raw = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
                finished(raw, msg->data.result);
            }
            enforceIdleTimeouts();
            curl_multi_poll(multi_, nullptr, 0, running ? 50 : 1000, nullptr);
        }
    }

    void takeNewWork() {
        std::vector<std::shared_ptr<Task>> incoming;
        std::set<TaskId> cancels;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(pending_);
            cancels.swap(cancels_);
            for (const auto& t : incoming) liveIds_.insert(t->id);
        }
        for (auto& task : incoming) {
            tasks_[task.get()] = task;
            if (auto error = configure(*task)) {
                complete(*task, std::move(*error), false);
                continue;
            }
            curl_multi_add_handle(multi_, task->easy);
        }
        for (TaskId id : cancels) {
            for (auto& [raw, task] : tasks_) {
                if (task->id != id || task->completed) continue;
                complete(*task, urlError(URLErrorCancelled, task->request.url, "cancelled"), false);
                break;
            }
        }
        sweep();
    }

    void enforceIdleTimeouts() {
        auto now = Clock::now();
        for (auto& [raw, task] : tasks_) {
            if (task->completed) continue;
            if (now - task->lastActivity >= task->request.timeout)
                complete(*task, urlError(URLErrorTimedOut, task->request.url, "The request timed out."), true);
        }
        sweep();
    }

    void finished(Task* raw, CURLcode code) {
        auto it = tasks_.find(raw);
        if (it == tasks_.end()) return;
        Task& task = *it->second;
        if (task.completed) return;
        long status = 0;
        curl_easy_getinfo(task.easy, CURLINFO_RESPONSE_CODE, &status);
        task.response.statusCode = status;
        if (char* effective = nullptr;
            curl_easy_getinfo(task.easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            task.response.url = effective;
        const bool haveResponse = task.haveStatusLine && status > 0;
        task.serverTrust = serverTrustOf(task, code);
        if (auto error = transferError(task, code)) {
            complete(task, std::move(*error), haveResponse);
        } else if (isRedirectStatus(status) && followRedirect(task)) {
            // restarted with the next hop
        } else {
            finishOk(task);
        }
        sweep();
    }

    // Answers true when the task goes on with the next hop of a redirect.
    bool followRedirect(Task& task) {
        char* location = nullptr;
        if (curl_easy_getinfo(task.easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) return false;
        Request next = task.request;
        next.url = location;
        const long status = task.response.statusCode;
        const bool dropBody =
            status == 303 ? next.method != "HEAD" : ((status == 301 || status == 302) && next.method == "POST");
        if (dropBody) {
            next.method = "GET";
            next.body.clear();
            next.bodyFile.clear();
            next.headers.erase(std::remove_if(next.headers.begin(), next.headers.end(),
                                              [](const auto& h) {
                                                  return strcasecmp(h.first.c_str(), "Content-Length") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Content-Type") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Content-Encoding") == 0;
                                              }),
                               next.headers.end());
        }
        if (!sameOrigin(task.request.url, next.url)) {
            // Credentials given for one server are not handed to another that
            // a redirect names (the handler may put them back).
            next.headers.erase(std::remove_if(next.headers.begin(), next.headers.end(),
                                              [](const auto& h) {
                                                  return strcasecmp(h.first.c_str(), "Authorization") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Proxy-Authorization") == 0 ||
                                                         strcasecmp(h.first.c_str(), "Cookie") == 0;
                                              }),
                               next.headers.end());
        }
        if (task.willRedirect) {
            bool follow = false;
            try {
                follow = task.willRedirect(task.response, next);
            } catch (const std::exception& e) {
                log("HTTP redirect handler failed: %s", e.what());
            }
            if (!follow) return false;
        }
        // What was asked over https never goes on in clear, whoever asks.
        if (isScheme(task.request.url, "https://") && !isScheme(next.url, "https://")) {
            log("HTTP: the redirect from %s to %s leaves https; refused", task.request.url.c_str(), next.url.c_str());
            complete(task,
                     urlError(URLErrorAppTransportSecurityRequiresSecureConnection, task.request.url,
                              "The resource could not be loaded because a secure connection is required: the "
                              "server redirected to a URL that is not https."),
                     true);
            return true;
        }
        if (task.redirects >= task.request.maxRedirects) {
            complete(task, urlError(URLErrorHTTPTooManyRedirects, task.request.url, "too many HTTP redirects"), true);
            return true;
        }
        curl_multi_remove_handle(multi_, task.easy);
        ++task.redirects;
        task.request = std::move(next);
        if (auto error = configure(task)) {
            complete(task, std::move(*error), false);
            return true;
        }
        curl_multi_add_handle(multi_, task.easy);
        return true;
    }

    void finishOk(Task& task) { deliver(task, resultOf(task, std::nullopt, true)); }

    void complete(Task& task, Error error, bool withResponse) {
        deliver(task, resultOf(task, std::move(error), withResponse));
    }

    // Hands the result to the completion, once, and retires the transfer.
    void deliver(Task& task, Result result) {
        if (task.completed) return;
        task.completed = true;
        if (task.easy) curl_multi_remove_handle(multi_, task.easy);
        task.release();
        if (task.waitsForAServer && reachedNoServer(result)) {
            log("HTTP: the background upload %s reached no server (%s); it waits for a later launch",
                task.recordFile.c_str(), result.error->localizedDescription().c_str());
            releaseBackgroundUpload(task.recordFile);
        } else {
            finishBackgroundUpload(task.recordFile);
        }
        Completion completion = std::move(task.completion);
        {
            std::lock_guard lock(mutex_);
            liveIds_.erase(task.id);
            --active_;
        }
        if (!completion) return;
        if (task.deliverInline) {
            completion(std::move(result));
            return;
        }
        dispatch::QueuePtr queue = task.queue ? task.queue : dispatch::mainQueue();
        queue->async([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    }

    void sweep() {
        for (auto it = tasks_.begin(); it != tasks_.end();)
            it = it->second->completed ? tasks_.erase(it) : std::next(it);
    }

    std::mutex mutex_;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    TaskId lastId_ = 0;
    std::size_t active_ = 0;
    std::vector<std::shared_ptr<Task>> pending_;
    std::set<TaskId> cancels_;
    std::set<TaskId> liveIds_;
    // Worker thread only.
    std::map<Task*, std::shared_ptr<Task>> tasks_;
};

}  // namespace

namespace {

TaskId start(Request request, Completion completion, dispatch::QueuePtr queue, RedirectHandler willRedirect,
             std::string recordFile = {}, bool waitsForAServer = false) {
    auto task = std::make_shared<Task>();
    task->request = std::move(request);
    task->completion = std::move(completion);
    task->queue = std::move(queue);
    task->willRedirect = std::move(willRedirect);
    task->recordFile = std::move(recordFile);
    task->waitsForAServer = waitsForAServer;
    return Worker::shared().start(std::move(task));
}

// Tells the application (on the main queue) that the background session's
// events are over; as the phone's system does, the application is kept
// running until it says it has handled them.
void handOverSessionEvents(const BackgroundEventsHandler& handler, const std::string& session) {
    auto task = std::make_shared<std::atomic<BackgroundTaskIdentifier>>(
        Application::shared().beginBackgroundTask("background URL session " + session, nullptr));
    auto done = [task] {
        if (auto id = task->exchange(kInvalidBackgroundTask)) Application::shared().endBackgroundTask(id);
    };
    if (handler)
        handler(session, done);
    else
        done();
}

// Whether the record held open as `fd` was staged longer ago than an upload may wait.
bool outlivedItsWait(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const auto staged =
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    return platform::Clock::shared()->now() - staged > kBackgroundUploadLifetime;
}

}  // namespace

TaskId startTask(Request request, Completion completion, dispatch::QueuePtr queue, RedirectHandler willRedirect) {
    return start(std::move(request), std::move(completion), std::move(queue), std::move(willRedirect));
}

bool startBackgroundUpload(const std::string& sessionIdentifier, Request request, Completion completion,
                           dispatch::QueuePtr queue, RedirectHandler willRedirect, TaskId* taskId) {
    if (request.bodyFile.empty()) return false;
    const std::string record = request.bodyFile + kBackgroundUploadRecordSuffix;
    if (!writeRecord(record, recordText(sessionIdentifier, request))) return false;
    TaskId id = start(std::move(request), std::move(completion), std::move(queue), std::move(willRedirect), record);
    if (taskId) *taskId = id;
    return true;
}

std::size_t resumeBackgroundUploads(const std::string& directory, const BackgroundEventsHandler& handleEvents,
                                    const RedirectHandler& willRedirect) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            const size_t suffix = std::strlen(kBackgroundUploadRecordSuffix);
            if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kBackgroundUploadRecordSuffix) == 0)
                names.push_back(std::move(name));
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::size_t resent = 0;
    for (const std::string& name : names) {
        const std::string record = directory + "/" + name;
        // Under way here or in another process on this container.
        const int fd = lockRecord(record);
        if (fd < 0) continue;
        auto upload = readRecord(fd, directory, name);
        if (!upload) {
            log("HTTP: dropping the unusable background upload record %s", record.c_str());
            finishBackgroundUpload(record);
            continue;
        }
        if (outlivedItsWait(fd)) {
            // Given up, as a transfer that timed out: the application hears
            // that its session is over and lets the staged body go.
            log("HTTP: dropping the background upload %s to %s: staged more than %lld days ago", record.c_str(),
                upload->second.url.c_str(), static_cast<long long>(kBackgroundUploadLifetime.count() / 24));
            finishBackgroundUpload(record);
            dispatch::mainQueue()->async(
                [handleEvents, session = upload->first] { handOverSessionEvents(handleEvents, session); });
            continue;
        }
        start(
            std::move(upload->second),
            [handleEvents, session = upload->first](const Result& result) {
                // Still staged: nothing is over for the application yet.
                if (reachedNoServer(result)) return;
                handOverSessionEvents(handleEvents, session);
            },
            dispatch::mainQueue(), willRedirect, record, true);
        ++resent;
    }
    return resent;
}

bool cancelTask(TaskId id) { return Worker::shared().cancel(id); }

void setCertificateAuthorityFile(std::string path) {
    std::lock_guard lock(authorities().mutex);
    authorities().file = std::move(path);
}

struct ResponseFeed::State {
    Task task;
    bool stopped = false;
};

ResponseFeed::ResponseFeed(Request request) : state_(std::make_unique<State>()) {
    state_->task.request = std::move(request);
}

ResponseFeed::~ResponseFeed() = default;

bool ResponseFeed::header(std::string_view line) {
    if (state_->stopped) return false;
    std::string copy(line);  // libcurl's callbacks take writable buffers
    state_->stopped = onHeader(copy.data(), 1, copy.size(), &state_->task) != copy.size();
    return !state_->stopped;
}

bool ResponseFeed::body(std::string_view bytes) {
    if (state_->stopped) return false;
    std::string copy(bytes);
    state_->stopped = onWrite(copy.data(), 1, copy.size(), &state_->task) != copy.size();
    return !state_->stopped;
}

Result ResponseFeed::finish() {
    Task& task = state_->task;
    // A callback that takes less than it was given makes libcurl end the
    // transfer with a write error.
    const CURLcode code = state_->stopped ? CURLE_WRITE_ERROR : CURLE_OK;
    task.response.statusCode = task.headerStatus;
    const bool haveResponse = task.haveStatusLine && task.headerStatus > 0;
    auto error = transferError(task, code);
    const bool withResponse = !error || haveResponse;
    return resultOf(task, std::move(error), withResponse);
}

Result sendSynchronousRequest(Request request, RedirectHandler willRedirect) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    auto task = std::make_shared<Task>();
    task->request = std::move(request);
    task->completion = [promise](Result result) { promise->set_value(std::move(result)); };
    task->willRedirect = std::move(willRedirect);
    task->deliverInline = true;
    Worker::shared().start(std::move(task));
    return future.get();
}

std::size_t activeTaskCount() { return Worker::shared().activeCount(); }

}  // namespace wharf::platform::http
