#pragma once
// Gzip, zlib and raw deflate streams of a block of bytes, and inflation back.
// Every function answers a new buffer or nullopt; failures fill the optional
// error out-parameter as described next to the error codes.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

namespace wharf {

inline constexpr const char* TBNSDataZlibErrorDomain = "com.rovude.TBNSDataZlibErrorDomain";
inline constexpr const char* TBNSDataZlibErrorKey = "TBNSDataZlibErrorKey";
inline constexpr const char* TBNSDataZlibRemainingBytesKey = "TBNSDataZlibRemainingBytesKey";

enum TBNSDataZlibError : int64_t {
    TBNSDataZlibErrorGreaterThan32BitsToCompress = 1024,  // input longer than 4,294,967,295 bytes
    TBNSDataZlibErrorInternal = 1025,  // zlib failed ("TBNSDataZlibErrorKey")
    TBNSDataZlibErrorDataRemaining = 1026,  // bytes after the end of the stream
    TBNSDataZlibErrorInflatedTooLarge = 1027,  // inflation passed the caller's maximum
};

// Inflation stops with TBNSDataZlibErrorInflatedTooLarge past this many bytes
// unless the caller allows more (zero: no limit): a small hostile stream can
// otherwise inflate to gigabytes.
inline constexpr std::size_t kTBDefaultInflationLimit = 64u << 20;

// Compression mode of the core.
enum class TBZlibMode : int { Zlib = 0, Gzip = 1, Raw = 2 };

using TBData = std::optional<platform::Bytes>;

// The two cores. Level -1 is zlib's default; others are clamped to 1..9.
TBData tb_dataByCompressingBytes(const void* bytes, std::size_t length, int compressionLevel, TBZlibMode mode,
                                 platform::Error* error);
TBData tb_dataByInflatingBytes(const void* bytes, std::size_t length, bool isRawData, platform::Error* error,
                               std::size_t maximumLength = kTBDefaultInflationLimit);

// gzip (level -1)
TBData tb_dataByGzippingBytes(const void* bytes, std::size_t length, platform::Error* error = nullptr);
TBData tb_dataByGzippingData(const platform::Bytes& data, platform::Error* error = nullptr);
// gzip with a level
TBData tb_dataByGzippingBytes(const void* bytes, std::size_t length, int compressionLevel,
                              platform::Error* error = nullptr);
TBData tb_dataByGzippingData(const platform::Bytes& data, int compressionLevel, platform::Error* error = nullptr);
// zlib
TBData tb_dataByDeflatingBytes(const void* bytes, std::size_t length, platform::Error* error = nullptr);
TBData tb_dataByDeflatingData(const platform::Bytes& data, platform::Error* error = nullptr);
TBData tb_dataByDeflatingBytes(const void* bytes, std::size_t length, int compressionLevel,
                               platform::Error* error = nullptr);
TBData tb_dataByDeflatingData(const platform::Bytes& data, int compressionLevel, platform::Error* error = nullptr);
// raw deflate
TBData tb_dataByRawDeflatingBytes(const void* bytes, std::size_t length, platform::Error* error = nullptr);
TBData tb_dataByRawDeflatingData(const platform::Bytes& data, platform::Error* error = nullptr);
TBData tb_dataByRawDeflatingBytes(const void* bytes, std::size_t length, int compressionLevel,
                                  platform::Error* error = nullptr);
TBData tb_dataByRawDeflatingData(const platform::Bytes& data, int compressionLevel, platform::Error* error = nullptr);
// inflation of a zlib or gzip stream (detected), or of a raw deflate stream,
// to at most `maximumLength` bytes
TBData tb_dataByInflatingBytes(const void* bytes, std::size_t length, platform::Error* error = nullptr,
                               std::size_t maximumLength = kTBDefaultInflationLimit);
TBData tb_dataByInflatingData(const platform::Bytes& data, platform::Error* error = nullptr,
                              std::size_t maximumLength = kTBDefaultInflationLimit);
TBData tb_dataByRawInflatingBytes(const void* bytes, std::size_t length, platform::Error* error = nullptr,
                                  std::size_t maximumLength = kTBDefaultInflationLimit);
TBData tb_dataByRawInflatingData(const platform::Bytes& data, platform::Error* error = nullptr,
                                 std::size_t maximumLength = kTBDefaultInflationLimit);

}  // namespace wharf
