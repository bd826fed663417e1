#include "nimbus/toolbox/TBStringEncoding.h"

#include <algorithm>
#include <bit>
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

// Whole groups: a group of lcm(8, Shift) bits is a whole number of bytes (at
// most 7) and of characters, so it goes through one 64-bit word. With the
// shift known at compile time the loops unroll.
template <int Shift>
char* encodeGroups(const uint8_t* in, std::size_t groups, const char* map, char* out) {
    constexpr int kChars = std::lcm(8, Shift) / Shift;
    constexpr int kBytes = kChars * Shift / 8;
    constexpr uint64_t kMask = (1u << Shift) - 1;
    for (std::size_t g = 0; g < groups; ++g, in += kBytes, out += kChars) {
        uint64_t word = 0;
        for (int k = 0; k < kBytes; ++k) word = word << 8 | in[k];
        for (int c = kChars - 1; c >= 0; --c, word >>= Shift) out[c] = map[word & kMask];
    }
    return out;
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
    e.mask_ = static_cast<int>(length) - 1;
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
    const std::size_t groupBytes = static_cast<std::size_t>(padLen_ * shift_ / 8);
    const std::size_t groups = length / groupBytes;
    const std::size_t tailBits = (length % groupBytes) * 8;
    std::size_t outLength = groups * padLen_ + (tailBits + shift_ - 1) / shift_;
    if (doPad_) outLength = (outLength + padLen_ - 1) / padLen_ * padLen_;

    std::string out(outLength, paddingChar_);
    char* p = out.data();
    switch (shift_) {
    case 1: p = encodeGroups<1>(in, groups, charMap_.data(), p); break;
    case 2: p = encodeGroups<2>(in, groups, charMap_.data(), p); break;
    case 3: p = encodeGroups<3>(in, groups, charMap_.data(), p); break;
    case 4: p = encodeGroups<4>(in, groups, charMap_.data(), p); break;
    case 5: p = encodeGroups<5>(in, groups, charMap_.data(), p); break;
    case 6: p = encodeGroups<6>(in, groups, charMap_.data(), p); break;
    default: p = encodeGroups<7>(in, groups, charMap_.data(), p); break;
    }
    in += groups * groupBytes;
    uint64_t buffer = 0;
    int bits = 0;
    for (std::size_t k = 0; k < length % groupBytes; ++k) {
        buffer = buffer << 8 | in[k];
        for (bits += 8; bits >= shift_; bits -= shift_) *p++ = charMap_[(buffer >> (bits - shift_)) & mask_];
    }
    if (bits > 0) *p++ = charMap_[(buffer << (shift_ - bits)) & mask_];
    return out;
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
        platform::setError(error, platform::Error(TBStringEncodingErrorDomain, TBStringEncodingErrorNonZeroTrailingBits));
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
