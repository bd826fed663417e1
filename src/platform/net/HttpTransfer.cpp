#include "platform/net/HttpTransfer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "platform/base/Url.h"

namespace wharf::platform::http {

namespace transfer {

namespace {

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

// Whether a refused certificate was refused for the name it carries. The
// host check is libcurl's own, made after the chain was verified, and it
// records no verification result for it: the result then still reads as
// "unspecified" (1), the value it has before any verification. OpenSSL's
// own name checks report 62 to 64.
bool namesAnotherHost(long verifyResult) {
    constexpr long kUnspecified = 1, kHostnameMismatch = 62, kIpAddressMismatch = 64;
    return verifyResult == kUnspecified || (verifyResult >= kHostnameMismatch && verifyResult <= kIpAddressMismatch);
}

}  // namespace

Error urlError(int64_t code, const std::string& url, const std::string& description) {
    Value info = Value::object();
    info[kLocalizedDescriptionKey] = description;
    info[kURLErrorFailingURLStringKey] = url;
    return Error(kURLErrorDomain, code, std::move(info));
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

bool isScheme(const std::string& url, const char* scheme) {
    size_t n = std::strlen(scheme);
    return url.size() > n && strncasecmp(url.c_str(), scheme, n) == 0;
}

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

std::optional<Error> transferError(Task& task, CURLcode code) {
    if (code != CURLE_OK && task.protocolError) return std::move(*task.protocolError);
    if (code != CURLE_OK) return errorForCurlCode(code, task.request.url, task.errorText);
    if (task.decoder && !task.decoder->complete()) return cannotDecode(task);
    return std::nullopt;
}

Result resultOf(Task& task, std::optional<Error> error, bool withResponse) {
    Result result;
    if (withResponse) result.response = std::move(task.response);
    result.body = std::move(task.body);
    result.error = std::move(error);
    result.serverTrust = task.serverTrust;
    return result;
}

}  // namespace transfer

void setCertificateAuthorityFile(std::string path) {
    std::lock_guard lock(transfer::authorities().mutex);
    transfer::authorities().file = std::move(path);
}

}  // namespace wharf::platform::http
