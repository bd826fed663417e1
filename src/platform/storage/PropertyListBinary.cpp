// The binary property-list encoding ("bplist00"): a header, the objects, a
// table of their offsets and a 32-byte trailer naming the top object.
#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/storage/PropertyList.h"
#include "platform/storage/PropertyListFormats.h"

namespace wharf::platform::plist::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

// Object markers: the high nibble is the type, the low one a size or length.
enum : uint8_t {
    kSimple = 0x0,
    kInteger = 0x1,
    kReal = 0x2,
    kDate = 0x3,
    kData = 0x4,
    kAsciiString = 0x5,
    kUnicodeString = 0x6,
    kUid = 0x8,
    kArray = 0xA,
    kSet = 0xC,
    kDict = 0xD,
};
constexpr uint8_t kFalse = 0x08;
constexpr uint8_t kTrue = 0x09;

uint64_t readBigEndian(const uint8_t* p, std::size_t n) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

void appendBigEndian(Bytes& out, uint64_t v, std::size_t n) {
    for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Bytes needed for an unsigned number: 1, 2, 4 or 8.
std::size_t widthFor(uint64_t v) {
    if (v <= 0xFF) return 1;
    if (v <= 0xFFFF) return 2;
    if (v <= 0xFFFFFFFF) return 4;
    return 8;
}

// --- reading -------------------------------------------------------------------

class Reader {
public:
    explicit Reader(const Bytes& data) : data_(data.data()), size_(data.size()) {}

    std::optional<Value> read(Error* error) {
        if (!readTrailer()) return fail(error);
        // A shared object is expanded wherever it is referenced; the budget keeps
        // a small file of objects referencing each other many times from
        // growing into gigabytes.
        budget_ = std::max<uint64_t>(uint64_t{64} << 20, uint64_t{32} * size_);
        onPath_.assign(count_, false);
        Value out;
        if (!readObject(top_, 0, out)) return fail(error);
        return out;
    }

private:
    std::optional<Value> fail(Error* error) {
        setError(error, readError(why_));
        return std::nullopt;
    }

    bool bad(std::string why) {
        if (why_.empty()) why_ = std::move(why);
        return false;
    }

    bool readTrailer() {
        if (size_ < kHeaderSize + 1 + kTrailerSize || std::memcmp(data_, "bplist00", kHeaderSize) != 0)
            return bad("not a binary property list of a known version");
        const uint8_t* trailer = data_ + size_ - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        count_ = readBigEndian(trailer + 8, 8);
        top_ = readBigEndian(trailer + 16, 8);
        const uint64_t table = readBigEndian(trailer + 24, 8);
        objectsEnd_ = size_ - kTrailerSize;
        if (offsetSize_ == 0 || offsetSize_ > 8 || refSize_ == 0 || refSize_ > 8) return bad("bad trailer");
        if (count_ == 0 || top_ >= count_) return bad("bad object count");
        if (table < kHeaderSize || table > objectsEnd_ || count_ > (objectsEnd_ - table) / offsetSize_)
            return bad("the offset table lies outside the file");
        table_ = data_ + table;
        objectsEnd_ = table;
        return true;
    }

    // The offset of object `index`, checked to lie among the objects.
    bool offsetOf(uint64_t index, uint64_t& offset) {
        offset = readBigEndian(table_ + index * offsetSize_, offsetSize_);
        if (offset < kHeaderSize || offset >= objectsEnd_) return bad("an object offset lies outside the objects");
        return true;
    }

    // The length in the low nibble of the marker at `at`, or the integer
    // object after it; `at` moves past both.
    bool readLength(uint64_t& at, uint64_t& length) {
        const uint8_t nibble = data_[at] & 0x0F;
        ++at;
        if (nibble != 0x0F) {
            length = nibble;
            return true;
        }
        if (at >= objectsEnd_ || (data_[at] >> 4) != kInteger || (data_[at] & 0x0F) > 3)
            return bad("a length is not an integer");
        const std::size_t width = std::size_t{1} << (data_[at] & 0x0F);
        if (width > objectsEnd_ - at - 1) return bad("a length runs past the objects");
        length = readBigEndian(data_ + at + 1, width);
        at += 1 + width;
        return true;
    }

    // `count` items of `unit` bytes each from `at` fit before the offset table.
    bool fits(uint64_t at, uint64_t count, uint64_t unit) {
        if (at > objectsEnd_ || count > (objectsEnd_ - at) / unit) return bad("an object runs past the objects");
        return true;
    }

    bool spend(uint64_t cost) {
        if (cost > budget_) return bad("shared objects expand beyond any sensible size");
        budget_ -= cost;
        return true;
    }

    bool readObject(uint64_t index, int depth, Value& out) {
        if (depth > kMaxDepth) return bad("nested too deeply");
        if (onPath_[index]) return bad("an object contains itself");
        uint64_t at = 0;
        if (!offsetOf(index, at) || !spend(64)) return false;
        const uint8_t marker = data_[at];
        const uint8_t type = marker >> 4, nibble = marker & 0x0F;
        switch (type) {
        case kSimple:
            if (marker == kFalse || marker == kTrue) {
                out = marker == kTrue;
                return true;
            }
            return bad(marker == 0 ? "null has no value here" : "unknown object type");
        case kInteger: return readInteger(at, nibble, out);
        case kReal: {
            if (nibble != 2 && nibble != 3) return bad("a real of unknown size");
            const std::size_t width = std::size_t{1} << nibble;
            if (!fits(at + 1, width, 1)) return false;
            const uint64_t bits = readBigEndian(data_ + at + 1, width);
            out = width == 4 ? static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(bits)))
                             : std::bit_cast<double>(bits);
            return true;
        }
        case kDate: {
            if (nibble != 3 || !fits(at + 1, 8, 1)) return bad("a malformed date");
            const double sinceReference = std::bit_cast<double>(readBigEndian(data_ + at + 1, 8));
            out = dateValueSince2001(sinceReference);
            return true;
        }
        case kData: {
            uint64_t length = 0;
            if (!readLength(at, length) || !fits(at, length, 1) || !spend(length)) return false;
            out = bytesValue(Bytes(data_ + at, data_ + at + length));
            return true;
        }
        case kAsciiString: {
            uint64_t length = 0;
            if (!readLength(at, length) || !fits(at, length, 1) || !spend(length)) return false;
            std::string s(reinterpret_cast<const char*>(data_ + at), length);
            // Some writers put UTF-8 here; anything else has no faithful reading.
            if (!isValidUTF8(s)) return bad("a string is not valid UTF-8");
            out = std::move(s);
            return true;
        }
        case kUnicodeString: {
            uint64_t length = 0;
            if (!readLength(at, length) || !fits(at, length, 2) || !spend(length * 2)) return false;
            std::string s;
            if (!utf16ToUtf8(data_ + at, length, s)) return bad("a string holds an unpaired UTF-16 surrogate");
            out = std::move(s);
            return true;
        }
        case kUid: {
            const std::size_t width = std::size_t{nibble} + 1;
            if (width > 8 || !fits(at + 1, width, 1)) return bad("a malformed UID");
            out = readBigEndian(data_ + at + 1, width);
            return true;
        }
        case kArray:
        case kSet:
        case kDict: return readContainer(index, at, type, depth, out);
        default: return bad("unknown object type");
        }
    }

    bool readInteger(uint64_t at, uint8_t nibble, Value& out) {
        if (nibble > 4) return bad("an integer of unknown size");
        const std::size_t width = std::size_t{1} << nibble;
        if (!fits(at + 1, width, 1)) return false;
        const uint8_t* p = data_ + at + 1;
        if (width <= 8) {  // up to 4 bytes unsigned, 8 bytes signed: the same bits either way
            out = static_cast<int64_t>(readBigEndian(p, width));
        } else {  // 128-bit, written for unsigned values above INT64_MAX
            const uint64_t high = readBigEndian(p, 8), low = readBigEndian(p + 8, 8);
            const bool fitsSigned = (high == 0 && (low >> 63) == 0) || (high == ~uint64_t{0} && (low >> 63) != 0);
            if (fitsSigned)
                out = static_cast<int64_t>(low);
            else if (high == 0)
                out = low;
            else
                return bad("an integer does not fit in 64 bits");
        }
        return true;
    }

    bool readContainer(uint64_t index, uint64_t at, uint8_t type, int depth, Value& out) {
        uint64_t length = 0;
        if (!readLength(at, length)) return false;
        const uint64_t refs = type == kDict ? length * 2 : length;
        if ((type == kDict && refs / 2 != length) || !fits(at, refs, refSize_) || !spend(refs * 8)) return false;
        auto ref = [&](uint64_t i, uint64_t& target) {
            target = readBigEndian(data_ + at + i * refSize_, refSize_);
            return target < count_ || bad("a reference to a missing object");
        };
        onPath_[index] = true;
        bool ok = true;
        if (type == kDict) {
            out = Value::object();
            for (uint64_t i = 0; ok && i < length; ++i) {
                uint64_t keyRef = 0, valueRef = 0;
                Value key, value;
                ok = ref(i, keyRef) && ref(length + i, valueRef) && readObject(keyRef, depth + 1, key) &&
                     (key.is_string() || bad("a dictionary key is not a string")) &&
                     readObject(valueRef, depth + 1, value);
                if (ok) out[key.get_ref<const std::string&>()] = std::move(value);
            }
        } else {
            out = Value::array();
            for (uint64_t i = 0; ok && i < length; ++i) {
                uint64_t target = 0;
                Value item;
                ok = ref(i, target) && readObject(target, depth + 1, item);
                if (ok) out.push_back(std::move(item));
            }
        }
        onPath_[index] = false;
        return ok;
    }

    static bool utf16ToUtf8(const uint8_t* p, uint64_t units, std::string& out) {
        out.reserve(units);
        for (uint64_t i = 0; i < units; ++i) {
            char32_t c = static_cast<char32_t>(p[2 * i] << 8 | p[2 * i + 1]);
            if (c >= 0xDC00 && c <= 0xDFFF) return false;
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 1 >= units) return false;
                const char32_t low = static_cast<char32_t>(p[2 * i + 2] << 8 | p[2 * i + 3]);
                if (low < 0xDC00 || low > 0xDFFF) return false;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
            appendUTF8(out, c);
        }
        return true;
    }

    const uint8_t* data_;
    std::size_t size_;
    const uint8_t* table_ = nullptr;
    uint64_t objectsEnd_ = 0;
    std::size_t offsetSize_ = 0, refSize_ = 0;
    uint64_t count_ = 0, top_ = 0;
    uint64_t budget_ = 0;
    std::vector<bool> onPath_;
    std::string why_;
};

// --- writing -------------------------------------------------------------------

class Writer {
public:
    std::optional<Bytes> write(const Value& root, Error* error) {
        uint64_t nodes = 0;
        if (!countNodes(root, 0, nodes)) {
            setError(error, writeError(why_));
            return std::nullopt;
        }
        // References are sized for the most objects there can be; sharing
        // equal objects only makes the count smaller.
        refSize_ = widthFor(nodes - 1);
        out_.assign({'b', 'p', 'l', 'i', 's', 't', '0', '0'});
        const uint64_t top = add(root);
        const uint64_t table = out_.size();
        const std::size_t offsetSize = widthFor(offsets_.empty() ? 0 : offsets_.back());
        for (uint64_t offset : offsets_) appendBigEndian(out_, offset, offsetSize);
        out_.insert(out_.end(), 6, 0);
        out_.push_back(static_cast<uint8_t>(offsetSize));
        out_.push_back(static_cast<uint8_t>(refSize_));
        appendBigEndian(out_, offsets_.size(), 8);
        appendBigEndian(out_, top, 8);
        appendBigEndian(out_, table, 8);
        return std::move(out_);
    }

private:
    // Checks that every value has a binary form and counts the objects a
    // tree without sharing would need.
    bool countNodes(const Value& v, int depth, uint64_t& nodes) {
        if (depth > kMaxDepth) return bad("nesting too deep");
        ++nodes;
        switch (v.type()) {
        case Value::value_t::object:
            if (isDate(v)) return true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!isValidUTF8(it.key())) return bad("a key is not valid UTF-8");
                ++nodes;
                if (!countNodes(it.value(), depth + 1, nodes)) return false;
            }
            return true;
        case Value::value_t::array:
            for (const auto& e : v)
                if (!countNodes(e, depth + 1, nodes)) return false;
            return true;
        case Value::value_t::string:
            return isValidUTF8(v.get_ref<const std::string&>()) || bad("a string is not valid UTF-8");
        case Value::value_t::null:
        case Value::value_t::discarded: return bad("null has no property-list form");
        default: return true;
        }
    }

    bool bad(std::string why) {
        why_ = std::move(why);
        return false;
    }

    void appendMarker(Bytes& bytes, uint8_t type, uint64_t length) {
        if (length < 15) {
            bytes.push_back(static_cast<uint8_t>(type << 4 | length));
            return;
        }
        bytes.push_back(static_cast<uint8_t>(type << 4 | 0x0F));
        const std::size_t width = widthFor(length);
        bytes.push_back(static_cast<uint8_t>(kInteger << 4 | std::countr_zero(width)));
        appendBigEndian(bytes, length, width);
    }

    void appendString(Bytes& bytes, const std::string& s) {
        if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            appendMarker(bytes, kAsciiString, s.size());
            bytes.insert(bytes.end(), s.begin(), s.end());
            return;
        }
        std::vector<char16_t> units;
        units.reserve(s.size());
        for (std::size_t i = 0; i < s.size();) {  // valid UTF-8, checked before
            const auto c = static_cast<unsigned char>(s[i]);
            const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
            for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            i += n;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                units.push_back(static_cast<char16_t>(cp));
            }
        }
        appendMarker(bytes, kUnicodeString, units.size());
        for (char16_t u : units) appendBigEndian(bytes, u, 2);
    }

    static void appendInteger(Bytes& bytes, uint64_t magnitude, bool negative) {
        if (negative || magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            if (negative) {  // eight bytes, two's complement
                bytes.push_back(kInteger << 4 | 3);
                appendBigEndian(bytes, magnitude, 8);
            } else {  // beyond a signed 64-bit integer: 128 bits, the high half zero
                bytes.push_back(kInteger << 4 | 4);
                appendBigEndian(bytes, 0, 8);
                appendBigEndian(bytes, magnitude, 8);
            }
            return;
        }
        const std::size_t width = widthFor(magnitude);
        bytes.push_back(static_cast<uint8_t>(kInteger << 4 | std::countr_zero(width)));
        appendBigEndian(bytes, magnitude, width);
    }

    // Appends the object (its children first) and answers its index; an
    // object equal byte for byte to one written before is shared.
    uint64_t add(const Value& v) {
        Bytes bytes;
        switch (v.type()) {
        case Value::value_t::object:
            if (isDate(v)) {
                bytes.push_back(kDate << 4 | 3);
                appendBigEndian(bytes, std::bit_cast<uint64_t>(dateSecondsSince2001(v)), 8);
                break;
            } else {
                std::vector<uint64_t> keys, values;
                for (auto it = v.begin(); it != v.end(); ++it) {
                    Bytes key;
                    appendString(key, it.key());
                    keys.push_back(intern(std::move(key)));
                    values.push_back(add(it.value()));
                }
                appendMarker(bytes, kDict, keys.size());
                for (uint64_t k : keys) appendBigEndian(bytes, k, refSize_);
                for (uint64_t k : values) appendBigEndian(bytes, k, refSize_);
            }
            break;
        case Value::value_t::array: {
            std::vector<uint64_t> items;
            for (const auto& e : v) items.push_back(add(e));
            appendMarker(bytes, kArray, items.size());
            for (uint64_t k : items) appendBigEndian(bytes, k, refSize_);
            break;
        }
        case Value::value_t::string: appendString(bytes, v.get_ref<const std::string&>()); break;
        case Value::value_t::number_integer: {
            const int64_t i = v.get<int64_t>();
            appendInteger(bytes, static_cast<uint64_t>(i), i < 0);
            break;
        }
        case Value::value_t::number_unsigned: appendInteger(bytes, v.get<uint64_t>(), false); break;
        case Value::value_t::number_float:
            bytes.push_back(kReal << 4 | 3);
            appendBigEndian(bytes, std::bit_cast<uint64_t>(v.get<double>()), 8);
            break;
        case Value::value_t::boolean: bytes.push_back(v.get<bool>() ? kTrue : kFalse); break;
        case Value::value_t::binary: {
            const Bytes& b = bytesOf(v);
            appendMarker(bytes, kData, b.size());
            bytes.insert(bytes.end(), b.begin(), b.end());
            break;
        }
        case Value::value_t::null:
        case Value::value_t::discarded: break;  // refused by countNodes
        }
        return intern(std::move(bytes));
    }

    uint64_t intern(Bytes bytes) {
        const std::size_t hash =
            std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        auto [first, last] = seen_.equal_range(hash);
        for (auto it = first; it != last; ++it) {
            const uint64_t index = it->second;
            const uint64_t offset = offsets_[index];
            const uint64_t end = index + 1 < offsets_.size() ? offsets_[index + 1] : out_.size();
            if (end - offset == bytes.size() &&
                std::equal(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(offset)))
                return index;
        }
        const uint64_t index = offsets_.size();
        offsets_.push_back(out_.size());
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        seen_.emplace(hash, index);
        return index;
    }

    Bytes out_;
    std::vector<uint64_t> offsets_;
    std::unordered_multimap<std::size_t, uint64_t> seen_;
    std::size_t refSize_ = 1;
    std::string why_;
};

}  // namespace

std::optional<Value> parseBinary(const Bytes& data, Error* error) { return Reader(data).read(error); }

std::optional<Bytes> writeBinary(const Value& value, Error* error) { return Writer().write(value, error); }

}  // namespace wharf::platform::plist::detail
