#pragma once
// A base-2^n encoder and decoder driven by an alphabet of 2 to 128 ASCII
// characters: binary, hexadecimal, the base32 and base64 alphabets of
// RFC 4648, Crockford's base32, or any other power-of-two alphabet.
//
// Bits are taken from the most significant end of each byte; the last group is
// filled with zero bits. Decoding accepts the alphabet, its synonyms, ignored
// characters, and padding characters at the end only.
//
// An encoder is a plain value: copies are independent, and one encoder may be
// used from several threads as long as none of them changes it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

namespace wharf {

inline constexpr const char* TBStringEncodingErrorDomain = "com.rovude.TBStringEncodingErrorDomain";
// Index (in characters) of the offending character, for 1026 and 1027.
inline constexpr const char* TBStringEncodingBadCharacterIndexKey = "TBStringEncodingBadCharacterIndexKey";

enum TBStringEncodingError : int64_t {
    TBStringEncodingErrorNotASCII = 1024,  // the text to decode is not ASCII
    TBStringEncodingErrorNotUTF8 = 1025,  // the text to encode is not UTF-8
    TBStringEncodingErrorBadCharacter = 1026,  // a character outside the alphabet
    TBStringEncodingErrorDigitAfterPadding = 1027,  // an alphabet character after padding
    TBStringEncodingErrorNonZeroTrailingBits = 1028,  // the last, incomplete group has bits set
};

class TBStringEncoding {
public:
    // The ready-made encoders; each call answers a new one.
    static TBStringEncoding binaryStringEncoding();
    static TBStringEncoding hexStringEncoding();  // decodes a-f as A-F
    static TBStringEncoding rfc4648Base32StringEncoding();  // padded with "="
    static TBStringEncoding rfc4648Base32HexStringEncoding();  // padded with "="
    static TBStringEncoding crockfordBase32StringEncoding();  // o/O → 0, i/I/l/L → 1, any case
    static TBStringEncoding rfc4648Base64StringEncoding();  // padded with "="
    static TBStringEncoding rfc4648Base64WebsafeStringEncoding();  // "-" and "_", padded with "="

    // An encoder over `alphabet`; nullopt unless it is ASCII, 2 to 128
    // characters long, a power of two, and free of repeated characters.
    static std::optional<TBStringEncoding> stringEncodingWithString(std::string_view alphabet);

    // Each character of `synonyms` that the decoder knows (a digit, padding or
    // an ignored character) becomes the current value; each following one it
    // does not know yet decodes as that value. False, changing nothing, when
    // `synonyms` holds a non-ASCII byte.
    bool addDecodeSynonyms(std::string_view synonyms);
    // The decoder skips these characters. False, changing nothing, on a
    // non-ASCII byte.
    bool ignoreCharacters(std::string_view characters);
    // The character that pads the output and that the decoder takes as padding.
    // False, changing nothing, for a non-ASCII character. "=" until set, but
    // decoded as padding only once set.
    bool setPaddingChar(char c);
    char paddingChar() const { return paddingChar_; }
    bool doPad() const { return doPad_; }
    void setDoPad(bool doPad) { doPad_ = doPad; }

    // The characters for `data`; the empty string for no data. Never fails:
    // the alphabet and the padding character are ASCII by construction.
    std::string encode(const platform::Bytes& data) const { return encode(data.data(), data.size()); }
    std::string encode(const void* bytes, std::size_t length) const;
    // The characters for the UTF-8 bytes of `text` (1025 when it is not UTF-8).
    std::optional<std::string> encodeString(std::string_view text, platform::Error* error = nullptr) const;
    // The bytes that `text` encodes; nullopt with 1024 and 1026 to 1028.
    std::optional<platform::Bytes> decode(std::string_view text, platform::Error* error = nullptr) const;
    // decode, read as UTF-8 text; nullopt (leaving `error` alone) when the
    // bytes are not UTF-8.
    std::optional<std::string> stringByDecoding(std::string_view text, platform::Error* error = nullptr) const;

    // "<Base%d StringEncoder: <alphabet bytes in hex>>".
    std::string description() const;

    int shift() const { return shift_; }
    int padLen() const { return padLen_; }

private:
    TBStringEncoding() = default;

    std::string charMap_;
    // One entry per ASCII code: the digit, or one of the marks below.
    int32_t reverseCharMap_[128];
    int shift_ = 0;
    int padLen_ = 0;
    bool doPad_ = false;
    char paddingChar_ = '=';
};

}  // namespace wharf
