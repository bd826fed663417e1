#include "nimbus/toolbox/TBZLibAdditions.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace wharf {

namespace {

constexpr std::size_t kMaxInputLength = 4294967295u;  // the stream's length field is 32 bits wide
constexpr std::size_t kChunk = 1024;
// Inflation starts from four times the input, but no more than this: a small
// hostile input must not make us reserve gigabytes before zlib says a word.
constexpr std::size_t kMaxInflateReservation = 1u << 20;

platform::Error zlibError(int status, const char* message = nullptr) {
    platform::Value info = platform::Value::object();
    info[TBNSDataZlibErrorKey] = status;
    if (message && *message) info[platform::kLocalizedDescriptionKey] = message;
    return platform::Error(TBNSDataZlibErrorDomain, TBNSDataZlibErrorInternal, std::move(info));
}

int windowBitsFor(TBZlibMode mode) {
    switch (mode) {
    case TBZlibMode::Gzip: return 31;
    case TBZlibMode::Raw: return -15;
    case TBZlibMode::Zlib: break;
    }
    return 15;
}

int clampLevel(int level) {
    if (level == -1) return Z_DEFAULT_COMPRESSION;
    return std::clamp(level, 1, 9);
}

}  // namespace

TBData tb_dataByCompressingBytes(const void* bytes, std::size_t length, int compressionLevel, TBZlibMode mode,
                                 platform::Error* error) {
    if (!bytes || length == 0) return std::nullopt;
    if (length > kMaxInputLength) {
        platform::setError(error,
                           platform::Error(TBNSDataZlibErrorDomain, TBNSDataZlibErrorGreaterThan32BitsToCompress));
        return std::nullopt;
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int status =
        deflateInit2(&stream, clampLevel(compressionLevel), Z_DEFLATED, windowBitsFor(mode), 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        platform::setError(error, zlibError(status));
        return std::nullopt;
    }
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    stream.avail_in = static_cast<uInt>(length);

    platform::Bytes result;
    result.reserve(length / 4);
    uint8_t buffer[kChunk];
    for (;;) {
        stream.next_out = buffer;
        stream.avail_out = kChunk;
        status = deflate(&stream, Z_FINISH);
        if (status != Z_OK && status != Z_STREAM_END) {
            platform::setError(error, zlibError(status));
            deflateEnd(&stream);
            return std::nullopt;
        }
        result.insert(result.end(), buffer, buffer + (kChunk - stream.avail_out));
        if (status == Z_STREAM_END) break;
    }
    deflateEnd(&stream);
    return result;
}

TBData tb_dataByInflatingBytes(const void* bytes, std::size_t length, bool isRawData, platform::Error* error,
                               std::size_t maximumLength) {
    if (!bytes || length == 0 || length > kMaxInputLength) return std::nullopt;
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int status = inflateInit2(&stream, isRawData ? -15 : 47);
    if (status != Z_OK) {
        platform::setError(error, zlibError(status, stream.msg));
        return std::nullopt;
    }
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    stream.avail_in = static_cast<uInt>(length);

    platform::Bytes result;
    std::size_t reservation = std::min(length * 4, kMaxInflateReservation);
    if (maximumLength) reservation = std::min(reservation, maximumLength);
    result.reserve(reservation);
    uint8_t buffer[kChunk];
    do {
        stream.next_out = buffer;
        stream.avail_out = kChunk;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            platform::setError(error, zlibError(status, stream.msg));
            inflateEnd(&stream);
            return std::nullopt;
        }
        const std::size_t produced = kChunk - stream.avail_out;
        if (maximumLength && produced > maximumLength - result.size()) {
            platform::Value info = platform::Value::object();
            info[platform::kLocalizedDescriptionKey] =
                "The inflated data is larger than the " + std::to_string(maximumLength) + " bytes allowed.";
            platform::setError(
                error, platform::Error(TBNSDataZlibErrorDomain, TBNSDataZlibErrorInflatedTooLarge, std::move(info)));
            inflateEnd(&stream);
            return std::nullopt;
        }
        result.insert(result.end(), buffer, buffer + produced);
    } while (status == Z_OK);

    if (stream.avail_in > 0) {
        platform::Value info = platform::Value::object();
        info[TBNSDataZlibRemainingBytesKey] = static_cast<uint64_t>(stream.avail_in);
        platform::setError(error,
                           platform::Error(TBNSDataZlibErrorDomain, TBNSDataZlibErrorDataRemaining, std::move(info)));
        inflateEnd(&stream);
        return std::nullopt;
    }
    inflateEnd(&stream);
    return result;
}

// --- the public forms ---------------------------------------------------------

TBData tb_dataByGzippingBytes(const void* bytes, std::size_t length, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, -1, TBZlibMode::Gzip, error);
}
TBData tb_dataByGzippingData(const platform::Bytes& data, platform::Error* error) {
    return tb_dataByGzippingBytes(data.data(), data.size(), error);
}
TBData tb_dataByGzippingBytes(const void* bytes, std::size_t length, int compressionLevel, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, compressionLevel, TBZlibMode::Gzip, error);
}
TBData tb_dataByGzippingData(const platform::Bytes& data, int compressionLevel, platform::Error* error) {
    return tb_dataByGzippingBytes(data.data(), data.size(), compressionLevel, error);
}

TBData tb_dataByDeflatingBytes(const void* bytes, std::size_t length, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, -1, TBZlibMode::Zlib, error);
}
TBData tb_dataByDeflatingData(const platform::Bytes& data, platform::Error* error) {
    return tb_dataByDeflatingBytes(data.data(), data.size(), error);
}
TBData tb_dataByDeflatingBytes(const void* bytes, std::size_t length, int compressionLevel, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, compressionLevel, TBZlibMode::Zlib, error);
}
TBData tb_dataByDeflatingData(const platform::Bytes& data, int compressionLevel, platform::Error* error) {
    return tb_dataByDeflatingBytes(data.data(), data.size(), compressionLevel, error);
}

TBData tb_dataByRawDeflatingBytes(const void* bytes, std::size_t length, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, -1, TBZlibMode::Raw, error);
}
TBData tb_dataByRawDeflatingData(const platform::Bytes& data, platform::Error* error) {
    return tb_dataByRawDeflatingBytes(data.data(), data.size(), error);
}
TBData tb_dataByRawDeflatingBytes(const void* bytes, std::size_t length, int compressionLevel, platform::Error* error) {
    return tb_dataByCompressingBytes(bytes, length, compressionLevel, TBZlibMode::Raw, error);
}
TBData tb_dataByRawDeflatingData(const platform::Bytes& data, int compressionLevel, platform::Error* error) {
    return tb_dataByRawDeflatingBytes(data.data(), data.size(), compressionLevel, error);
}

TBData tb_dataByInflatingBytes(const void* bytes, std::size_t length, platform::Error* error,
                               std::size_t maximumLength) {
    return tb_dataByInflatingBytes(bytes, length, false, error, maximumLength);
}
TBData tb_dataByInflatingData(const platform::Bytes& data, platform::Error* error, std::size_t maximumLength) {
    return tb_dataByInflatingBytes(data.data(), data.size(), false, error, maximumLength);
}
TBData tb_dataByRawInflatingBytes(const void* bytes, std::size_t length, platform::Error* error,
                                  std::size_t maximumLength) {
    return tb_dataByInflatingBytes(bytes, length, true, error, maximumLength);
}
TBData tb_dataByRawInflatingData(const platform::Bytes& data, platform::Error* error, std::size_t maximumLength) {
    return tb_dataByInflatingBytes(data.data(), data.size(), true, error, maximumLength);
}

}  // namespace wharf
