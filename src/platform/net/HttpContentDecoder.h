#pragma once
// Undoes a response's Content-Encoding. libcurl's own decoder cannot tell a
// compressed body that stops half-way from a whole one, and would hand the
// part over as the complete body; this one knows whether its stream ended.
// A gzip body may be several members one after another: each is read. Any
// other bytes after the end (after a deflate stream's one end, or where a
// gzip member would begin) make the body undecodable, never a shorter one.
#include <cstddef>
#include <string>

#include <zlib.h>

#include "platform/base/Value.h"

namespace wharf::platform::http {

class ContentDecoder {
public:
    enum class Kind { Gzip, Deflate };
    enum class Fed { Ok, Corrupt, TooLarge };
    explicit ContentDecoder(Kind kind);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Appends what `data` decodes to, keeping `out` at most `limit` bytes
    // (zero: no limit).
    Fed feed(const char* data, size_t size, Bytes& out, size_t limit);
    // Whether the body ended where a compressed stream did (an empty body
    // is whole too).
    bool complete() const { return ended_ || (!started_ && header_.empty()); }

private:
    Fed inflateSome(const char* data, size_t size, Bytes& out, size_t limit);
    Fed fail();

    z_stream z_{};
    const bool gzip_;
    bool ok_ = false;
    bool initialised_ = false;
    bool started_ = false;
    bool ended_ = false;
    std::string header_;  // deflate: the first bytes, until the wrapper is known
};

}  // namespace wharf::platform::http
