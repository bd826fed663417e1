#include "platform/net/HttpContentDecoder.h"

#include <algorithm>
#include <cstdint>

namespace wharf::platform::http {

ContentDecoder::ContentDecoder(Kind kind) : gzip_(kind == Kind::Gzip) {
    if (gzip_) initialised_ = ok_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
}

ContentDecoder::~ContentDecoder() {
    if (initialised_) inflateEnd(&z_);
}

ContentDecoder::Fed ContentDecoder::feed(const char* data, size_t size, Bytes& out, size_t limit) {
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

ContentDecoder::Fed ContentDecoder::inflateSome(const char* data, size_t size, Bytes& out, size_t limit) {
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

ContentDecoder::Fed ContentDecoder::fail() {
    ok_ = false;
    ended_ = false;
    return Fed::Corrupt;
}

}  // namespace wharf::platform::http
