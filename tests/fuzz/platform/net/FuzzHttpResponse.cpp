// An HTTP response from a server we do not control, through the handling
// every transfer uses: the header checks (Content-Length, encodings, the
// declared size against the bound), the decoders of gzip and deflate bodies and
// the size bound on what they produce.
//
// The input is a raw response ("HTTP/1.1 200 OK\r\n...\r\n\r\nbody"; 1xx
// blocks may come first) after two choice bytes: the request's method and
// bound, and how the body is cut into the pieces libcurl hands over (chunked
// coding is libcurl's and already undone there). Checked:
// - the pieces do not matter: the body fed whole gives the same outcome;
// - the body never exceeds the bound;
// - an identity body comes back byte for byte; a compressed one comes back
//   exactly as zlib inflates it in one go (each member of a gzip body), or
//   fails as too large (when that is more than the bound) or as undecodable
//   (when zlib cannot finish it, or bytes follow that begin no member).
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "platform/net/Http.h"

using namespace wharf;
using namespace wharf::platform;

namespace {

struct Response {
    std::vector<std::string> headerLines;
    std::string body;
    long status = 0;  // of the last block
    std::optional<std::string> encoding;
};

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string trimmed(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return "";
    return std::string(text.substr(start, text.find_last_not_of(" \t") - start + 1));
}

// Splits a raw response into header lines (with their line breaks) and the
// body, as libcurl reads it: a block of a 1xx status is followed by another.
Response split(std::string_view raw) {
    Response r;
    size_t at = 0;
    while (at < raw.size()) {
        const size_t end = raw.find('\n', at);
        const size_t next = end == std::string_view::npos ? raw.size() : end + 1;
        const std::string_view line = raw.substr(at, next - at);
        r.headerLines.emplace_back(line);
        at = next;
        std::string_view bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.remove_suffix(1);
        if (startsWith(bare, "HTTP/")) {
            r.encoding.reset();
            const size_t space = bare.find(' ');
            r.status = 0;
            if (space != std::string_view::npos && bare.size() >= space + 4) {
                const std::string code(bare.substr(space + 1, 3));
                if (code.find_first_not_of("0123456789") == std::string::npos) r.status = std::stol(code);
            }
        } else if (const size_t colon = bare.find(':');
                   colon != std::string_view::npos && lowered(bare.substr(0, colon)) == "content-encoding") {
            if (!r.encoding) r.encoding = trimmed(bare.substr(colon + 1));
        }
        if (bare.empty() && !(r.status >= 100 && r.status < 200 && startsWith(raw.substr(at), "HTTP/"))) break;
    }
    r.body = std::string(raw.substr(at));
    return r;
}

// zlib in one call on the whole body: the oracle for the decoders that are fed
// piece by piece. "deflate" is a zlib stream, or raw deflate from servers
// that send that under the name; the first two bytes tell which. A gzip body
// is one member or several in a row. Answers what inflated and whether the
// body ended where a stream did, with no bytes left over.
std::pair<std::string, bool> inflateWhole(const std::string& body, bool gzip) {
    if (body.empty()) return {"", true};
    int bits = 16 + MAX_WBITS;
    if (!gzip) {
        if (body.size() < 2) return {"", false};
        const auto cmf = static_cast<uint8_t>(body[0]), flg = static_cast<uint8_t>(body[1]);
        const bool zlibHeader = (cmf & 0x0f) == Z_DEFLATED && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
        bits = zlibHeader ? MAX_WBITS : -MAX_WBITS;
    }
    z_stream z{};
    if (inflateInit2(&z, bits) != Z_OK) return {"", false};
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    int rc = Z_OK;
    char chunk[4096];
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - z.avail_out);
        if (rc == Z_STREAM_END) {
            // Bytes after the end: another gzip member, or a fault.
            if (z.avail_in == 0) break;
            if (!gzip || inflateReset(&z) != Z_OK) {
                rc = Z_DATA_ERROR;
                break;
            }
            continue;
        }
        if (rc != Z_OK) break;
        if (z.avail_in == 0 && z.avail_out != 0) break;  // the input ran out mid-stream
    }
    inflateEnd(&z);
    return {out, rc == Z_STREAM_END};
}

http::Result run(const http::Request& request, const Response& response, const std::vector<size_t>& pieces) {
    http::ResponseFeed feed(request);
    bool going = true;
    for (const auto& line : response.headerLines) going = going && feed.header(line);
    const bool hasBody =
        request.method != "HEAD" && response.status >= 200 && response.status != 204 && response.status != 304;
    if (hasBody) {
        size_t at = 0;
        for (size_t i = 0; going && at < response.body.size(); ++i) {
            const size_t n = pieces.empty() ? response.body.size() : pieces[i % pieces.size()];
            going = feed.body(std::string_view(response.body).substr(at, n));
            at += n;
        }
    }
    return feed.finish();
}

int64_t codeOf(const http::Result& result) { return result.error ? result.error->code : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Choices choices(data, size);
    const uint8_t options = choices.byte();
    const uint8_t cutting = choices.byte();
    const Response response = split(choices.rest());

    http::Request request;
    request.url = "http://127.0.0.1/fuzz";
    request.method = options & 1 ? "HEAD" : options & 2 ? "POST" : "GET";
    request.collectBody = !(options & 4);
    static constexpr size_t kBounds[] = {0, 1, 16, 100, 1000, 4096, http::Request::kDefaultMaxBodySize, 20000};
    request.maxBodySize = kBounds[(options >> 3) & 7];

    // Piece sizes from 1 to 64 bytes, in a pattern the input picks.
    std::vector<size_t> pieces;
    for (unsigned i = 0, seed = cutting; i < 7; ++i, seed = seed * 37 + 11) pieces.push_back(seed % 64 + 1);

    const http::Result cut = run(request, response, pieces);
    const http::Result whole = run(request, response, {});
    FUZZ_CHECK(codeOf(cut) == codeOf(whole));
    // A failed task keeps what it had decoded; that part may depend on the pieces.
    if (!cut.error) FUZZ_CHECK(cut.body == whole.body);
    FUZZ_CHECK(cut.response.has_value() == whole.response.has_value());
    if (cut.response) FUZZ_CHECK(cut.response->headers == whole.response->headers);

    if (request.maxBodySize) FUZZ_CHECK(cut.body.size() <= request.maxBodySize);
    if (!request.collectBody) FUZZ_CHECK(cut.body.empty());
    if (!request.collectBody || request.method == "HEAD" || response.status < 200) return 0;
    if (!cut.error) FUZZ_CHECK(cut.response && cut.response->statusCode == response.status);

    const std::string encoding = lowered(response.encoding.value_or(""));
    const bool compressed = encoding == "gzip" || encoding == "x-gzip" || encoding == "deflate";
    const bool hasBody = response.status != 204 && response.status != 304;
    const std::string body = hasBody ? response.body : std::string();
    const std::string got(cut.body.begin(), cut.body.end());
    if (!cut.error && (encoding.empty() || encoding == "identity")) FUZZ_CHECK(got == body);
    if (!compressed) return 0;
    const auto [inflated, ended] = inflateWhole(body, encoding != "deflate");
    if (!cut.error) FUZZ_CHECK(ended && got == inflated);
    // An undecodable body is one zlib cannot finish either; one refused as
    // too large inflates past the bound.
    if (codeOf(cut) == http::URLErrorCannotDecodeContentData) FUZZ_CHECK(!ended);
    if (codeOf(cut) == http::URLErrorDataLengthExceedsMaximum)
        FUZZ_CHECK(request.maxBodySize && inflated.size() > request.maxBodySize);
    return 0;
}
