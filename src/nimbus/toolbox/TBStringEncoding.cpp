#include "nimbus/toolbox/TBStringEncoding.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

namespace wharf {

namespace {

constexpr int32_t kInvalid = -1;
constexpr int32_t kPadding = -2;
constexpr int32_t kIgnored = -3;

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Every reverse-map lookup goes through here with a byte already known to be
// ASCII; the table has exactly 128 entries.
inline std::size_t slot(char c) { return static_cast<unsigned char>(c); }

platform::Error badCharacter(int64_t code, std::size_t index) {
    platform::Value info = platform::Value::object();
    info[TBStringEncodingBadCharacterIndexKey] = static_cast<uint64_t>(index);
    return platform::Error(TBStringEncodingErrorDomain, code, std::move(info));
}

TBStringEncoding make(std::string_view alphabet) { return *TBStringEncoding::stringEncodingWithString(alphabet); }

TBStringEncoding padded(std::string_view alphabet) {
    TBStringEncoding e = make(alphabet);
    e.setPaddingChar('=');
    e.setDoPad(true);
    return e;
}

// A group of lcm(8, Shift) bits is a whole number of bytes (at most 7) and of
// characters, so it goes through one 64-bit word; with the shift known at
// compile time the loops unroll and the lengths need no division at run time.
// The last, partial group is encoded as a whole one filled with zero bytes, of
// which only the characters it needs are kept; padding fills the rest.
template <int Shift>
std::string encodeGroups(const uint8_t* in, std::size_t length, const char* map, bool pad, char padding) {
    constexpr int kChars = std::lcm(8, Shift) / Shift;
    constexpr int kBytes = kChars * Shift / 8;
    constexpr uint64_t kMask = (1u << Shift) - 1;
    const auto group = [map](const uint8_t* bytes, char* chars) {
        uint64_t word = 0;
        for (int k = 0; k < kBytes; ++k) word = word << 8 | bytes[k];
        for (int c = kChars - 1; c >= 0; --c, word >>= Shift) chars[c] = map[word & kMask];
    };
    const std::size_t groups = length / kBytes;
    const std::size_t rest = length % kBytes;
    const std::size_t restChars = (rest * 8 + Shift - 1) / Shift;
    std::string text(groups * kChars + (rest == 0 ? 0 : pad ? kChars : restChars), padding);
    char* out = text.data();
    for (std::size_t g = 0; g < groups; ++g, in += kBytes, out += kChars) group(in, out);
    if (rest != 0) {
        uint8_t last[kBytes] = {};
        std::memcpy(last, in, rest);
        char chars[kChars];
        group(last, chars);
        std::memcpy(out, chars, restChars);
    }
    return text;
}

}  // namespace

TBStringEncoding TBStringEncoding::binaryStringEncoding() { return make("01"); }

TBStringEncoding TBStringEncoding::hexStringEncoding() {
    TBStringEncoding e = make("0123456789ABCDEF");
    e.addDecodeSynonyms("AaBbCcDdEeFf");
    return e;
}

TBStringEncoding TBStringEncoding::rfc4648Base32StringEncoding() { return padded("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"); }

TBStringEncoding TBStringEncoding::rfc4648Base32HexStringEncoding() {
    return padded("0123456789ABCDEFGHIJKLMNOPQRSTUV");
}

TBStringEncoding TBStringEncoding::crockfordBase32StringEncoding() {
    TBStringEncoding e = make("0123456789ABCDEFGHJKMNPQRSTVWXYZ");
    e.addDecodeSynonyms("0oO1iIlLAaBbCcDdEeFfGgHhJjKkMmNnPpQqRrSsTtVvWwXxYyZz");
    return e;
}

TBStringEncoding TBStringEncoding::rfc4648Base64StringEncoding() {
    return padded("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TBStringEncoding TBStringEncoding::rfc4648Base64WebsafeStringEncoding() {
    return padded("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
}

std::optional<TBStringEncoding> TBStringEncoding::stringEncodingWithString(std::string_view alphabet) {
    if (!isASCII(alphabet)) return std::nullopt;
    const std::size_t length = alphabet.size();
    if (length < 2 || length > 128 || !std::has_single_bit(length)) return std::nullopt;
    TBStringEncoding e;
    std::fill(std::begin(e.reverseCharMap_), std::end(e.reverseCharMap_), kInvalid);
    for (std::size_t i = 0; i < length; ++i) {
        int32_t& entry = e.reverseCharMap_[slot(alphabet[i])];
        if (entry != kInvalid) return std::nullopt;
        entry = static_cast<int32_t>(i);
    }
    e.charMap_ = std::string(alphabet);
    e.shift_ = std::countr_zero(length);
    e.padLen_ = std::lcm(8, e.shift_) / e.shift_;
    return e;
}

bool TBStringEncoding::addDecodeSynonyms(std::string_view synonyms) {
    if (!isASCII(synonyms)) return false;
    int32_t current = kInvalid;
    for (char c : synonyms) {
        int32_t& entry = reverseCharMap_[slot(c)];
        if (entry != kInvalid)
            current = entry;
        else
            entry = current;
    }
    return true;
}

bool TBStringEncoding::ignoreCharacters(std::string_view characters) {
    if (!isASCII(characters)) return false;
    for (char c : characters) reverseCharMap_[slot(c)] = kIgnored;
    return true;
}

bool TBStringEncoding::setPaddingChar(char c) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    paddingChar_ = c;
    reverseCharMap_[slot(c)] = kPadding;
    return true;
}

std::string TBStringEncoding::encode(const void* bytes, std::size_t length) const {
    if (!bytes || length == 0) return {};
    const auto* in = static_cast<const uint8_t*>(bytes);
    const char* map = charMap_.data();
    switch (shift_) {
    case 1: return encodeGroups<1>(in, length, map, doPad_, paddingChar_);
    case 2: return encodeGroups<2>(in, length, map, doPad_, paddingChar_);
    case 3: return encodeGroups<3>(in, length, map, doPad_, paddingChar_);
    case 4: return encodeGroups<4>(in, length, map, doPad_, paddingChar_);
    case 5: return encodeGroups<5>(in, length, map, doPad_, paddingChar_);
    case 6: return encodeGroups<6>(in, length, map, doPad_, paddingChar_);
    default: return encodeGroups<7>(in, length, map, doPad_, paddingChar_);
    }
}

std::optional<std::string> TBStringEncoding::encodeString(std::string_view text, platform::Error* error) const {
    if (!platform::isValidUTF8(text)) {
        platform::setError(error, platform::Error(TBStringEncodingErrorDomain, TBStringEncodingErrorNotUTF8));
        return std::nullopt;
    }
    return encode(text.data(), text.size());
}

std::optional<platform::Bytes> TBStringEncoding::decode(std::string_view text, platform::Error* error) const {
    if (!isASCII(text)) {
        platform::setError(error, platform::Error(TBStringEncodingErrorDomain, TBStringEncodingErrorNotASCII));
        return std::nullopt;
    }
    platform::Bytes out;
    out.reserve(text.size() * shift_ / 8);
    uint32_t buffer = 0;  // never more than 7 + shift_ bits
    int bits = 0;
    bool paddingSeen = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int32_t value = reverseCharMap_[slot(text[i])];
        if (value == kIgnored) continue;
        if (value == kPadding) {
            paddingSeen = true;
            continue;
        }
        if (value == kInvalid) {
            platform::setError(error, badCharacter(TBStringEncodingErrorBadCharacter, i));
            return std::nullopt;
        }
        if (paddingSeen) {
            platform::setError(error, badCharacter(TBStringEncodingErrorDigitAfterPadding, i));
            return std::nullopt;
        }
        buffer = buffer << shift_ | static_cast<uint32_t>(value);
        bits += shift_;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(buffer >> bits));
            buffer &= (1u << bits) - 1;
        }
    }
    if (buffer != 0) {
        platform::setError(error,
                           platform::Error(TBStringEncodingErrorDomain, TBStringEncodingErrorNonZeroTrailingBits));
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> TBStringEncoding::stringByDecoding(std::string_view text, platform::Error* error) const {
    auto bytes = decode(text, error);
    if (!bytes) return std::nullopt;
    std::string s(bytes->begin(), bytes->end());
    if (!platform::isValidUTF8(s)) return std::nullopt;
    return s;
}

std::string TBStringEncoding::description() const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string data = "<";
    for (std::size_t i = 0; i < charMap_.size(); ++i) {
        if (i > 0 && i % 4 == 0) data += ' ';
        const auto b = static_cast<unsigned char>(charMap_[i]);
        data += kHex[b >> 4];
        data += kHex[b & 15];
    }
    data += '>';
    return "<Base" + std::to_string(1 << shift_) + " StringEncoder: " + data + ">";
}

}  // namespace wharf
