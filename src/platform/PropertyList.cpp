#include "platform/PropertyList.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <plist/plist.h>

namespace wharf::platform::plist {

namespace {

// Codes in the PropertyList domain (the platform's Cocoa numbers).
constexpr int64_t kNoSuchFile = 260;
constexpr int64_t kReadUnknown = 256;
constexpr int64_t kWriteUnknown = 512;
constexpr int64_t kCorrupt = 3840;
constexpr int64_t kInvalidForFormat = 3851;

// Seconds from 1970-01-01 to 2001-01-01, the reference date libplist counts from.
constexpr double kReferenceDateOffset = 978307200.0;

// Deeper documents are refused rather than recursed over.
constexpr int kMaxDepth = 512;

// Files larger than this are not property lists anyone means to load.
constexpr std::size_t kMaxFileSize = 256u * 1024 * 1024;

constexpr const char* kDateKey = "$date";

Error makeError(int64_t code, const std::string& description) {
    return Error::withDescription(kErrorDomain, code, description);
}

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist 2.2 keeps integers as 64-bit patterns; only its XML writer knows
// whether a pattern with the top bit set was an unsigned value. Ask it in that
// rare case.
bool isLargeUnsigned(plist_t node) {
    PlistPtr copy(plist_copy(node));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(copy.get(), &xml, &length);
    if (!xml) return false;
    const std::string text(xml, length);
    plist_to_xml_free(xml);
    const auto open = text.find("<integer>");
    return open != std::string::npos && open + 9 < text.size() && text[open + 9] != '-';
}

uint64_t readBigEndian(const uint8_t* p, std::size_t n) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// What the pre-checks below need of a binary plist: its trailer, and for each
// object its type and where its `length` items (characters or references) start.
struct BinaryLayout {
    const Bytes& data;
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    uint64_t count = 0;
    uint64_t top = 0;
    uint64_t tableOffset = 0;

    struct Object {
        unsigned type = 0;
        uint64_t length = 0;
        uint64_t start = 0;
    };

    // Nullopt for data that is not a binary plist or whose offset table does
    // not fit in it.
    static std::optional<BinaryLayout> of(const Bytes& data) {
        const std::size_t size = data.size();
        if (size < 40 || std::memcmp(data.data(), "bplist", 6) != 0) return std::nullopt;
        const uint8_t* trailer = data.data() + size - 32;
        BinaryLayout layout{data, trailer[6], trailer[7], readBigEndian(trailer + 8, 8), readBigEndian(trailer + 16, 8),
                            readBigEndian(trailer + 24, 8)};
        if (layout.offsetSize == 0 || layout.offsetSize > 8 || layout.tableOffset >= size ||
            layout.count > (size - layout.tableOffset) / layout.offsetSize)
            return std::nullopt;
        return layout;
    }

    std::optional<Object> object(uint64_t index) const {
        const std::size_t size = data.size();
        const uint64_t offset = readBigEndian(data.data() + tableOffset + index * offsetSize, offsetSize);
        if (offset >= size) return std::nullopt;
        Object o{static_cast<unsigned>(data[offset] >> 4), data[offset] & 0x0Fu, offset + 1};
        if (o.length == 0x0F) {  // the length follows as an integer object
            if (o.start >= size || (data[o.start] >> 4) != 0x1) return std::nullopt;
            const std::size_t intSize = std::size_t{1} << (data[o.start] & 0x0F);
            if (intSize > 8 || o.start + 1 + intSize > size) return std::nullopt;
            o.length = readBigEndian(data.data() + o.start + 1, intSize);
            o.start += 1 + intSize;
        }
        return o;
    }
};

// libplist 2.2 aborts (an assertion) when a dictionary key of a binary plist
// holds a NUL character. Such a document is refused before it gets there: any
// string object with a NUL in it makes the document malformed.
bool binaryHasStringWithNul(const Bytes& data) {
    const auto layout = BinaryLayout::of(data);
    if (!layout) return false;
    const std::size_t size = data.size();
    for (uint64_t i = 0; i < layout->count; ++i) {
        const auto o = layout->object(i);
        if (!o || (o->type != 0x5 && o->type != 0x6)) continue;
        const uint64_t unit = o->type == 0x6 ? 2 : 1;
        if (o->start > size || o->length > (size - o->start) / unit) continue;
        for (uint64_t k = 0; k < o->length; ++k) {
            const uint8_t* c = data.data() + o->start + k * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
        }
    }
    return false;
}

// libplist parses and frees containers recursively: a document nested a
// hundred thousand levels deep overflows the stack. Nesting is measured
// before libplist sees the data and documents deeper than we read are refused.
bool binaryNestsTooDeep(const Bytes& data) {
    const auto layout = BinaryLayout::of(data);
    if (!layout || layout->refSize == 0 || layout->refSize > 8 || layout->top >= layout->count)
        return false;  // libplist refuses these itself
    const std::size_t size = data.size();
    const std::size_t refSize = layout->refSize;
    const uint64_t count = layout->count;
    const uint64_t top = layout->top;
    // The children of a container object, or nothing for any other object.
    auto children = [&](uint64_t object, std::vector<uint64_t>& out) {
        out.clear();
        const auto o = layout->object(object);
        if (!o || (o->type != 0xA && o->type != 0xC && o->type != 0xD)) return;
        const uint64_t refs = o->type == 0xD ? o->length * 2 : o->length;
        if (o->type == 0xD && refs / 2 != o->length) return;
        if (o->start > size || refs > (size - o->start) / refSize) return;
        for (uint64_t i = 0; i < refs; ++i) {
            const uint64_t ref = readBigEndian(data.data() + o->start + i * refSize, refSize);
            if (ref < count) out.push_back(ref);
        }
    };
    // Depth-first with an explicit stack; objects shared between containers
    // are measured once. A reference cycle counts as too deep.
    enum : uint8_t { kUnseen, kOpen, kDone };
    std::vector<uint8_t> state(count, kUnseen);
    std::vector<uint32_t> height(count, 0);
    struct Frame {
        uint64_t object;
        std::vector<uint64_t> children;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{top, {}});
    children(top, stack.back().children);
    state[top] = kOpen;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
            const uint64_t child = frame.children[frame.next++];
            if (state[child] == kOpen) return true;
            if (state[child] == kDone) continue;
            if (stack.size() > static_cast<std::size_t>(kMaxDepth)) return true;
            state[child] = kOpen;
            Frame next{child, {}};
            children(child, next.children);
            stack.push_back(std::move(next));
            continue;
        }
        uint32_t h = 1;
        for (uint64_t child : frame.children) h = std::max(h, height[child] + 1);
        if (h > static_cast<uint32_t>(kMaxDepth) + 1) return true;
        height[frame.object] = h;
        state[frame.object] = kDone;
        stack.pop_back();
    }
    return false;
}

bool xmlNestsTooDeep(const Bytes& data) {
    if (data.size() >= 6 && std::memcmp(data.data(), "bplist", 6) == 0) return false;
    const char* p = reinterpret_cast<const char*>(data.data());
    const char* end = p + data.size();
    int depth = 0;
    auto startsWith = [&](const char* at, std::string_view word) {
        return static_cast<std::size_t>(end - at) >= word.size() && std::memcmp(at, word.data(), word.size()) == 0;
    };
    for (const char* c = static_cast<const char*>(std::memchr(p, '<', data.size())); c;
         c = static_cast<const char*>(std::memchr(c + 1, '<', static_cast<std::size_t>(end - c - 1)))) {
        const char* name = c + 1;
        const bool closing = name < end && *name == '/';
        if (closing) ++name;
        std::size_t length = startsWith(name, "array") ? 5 : startsWith(name, "dict") ? 4 : 0;
        if (length == 0 || name + length >= end) continue;
        const char after = name[length];
        if (after != '>' && after != '/' && !std::isspace(static_cast<unsigned char>(after))) continue;
        if (closing) {
            depth = std::max(0, depth - 1);
            continue;
        }
        const char* close = static_cast<const char*>(std::memchr(name, '>', static_cast<std::size_t>(end - name)));
        if (close && close[-1] == '/') continue;  // <array/>
        if (++depth > kMaxDepth + 1) return true;
    }
    return false;
}

bool toValue(plist_t node, Value& out, int depth, std::string& why) {
    if (depth > kMaxDepth) {
        why = "nesting too deep";
        return false;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        out = Value::object();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return true;
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            Value child;
            ok = toValue(item, child, depth + 1, why);
            if (ok) out[key ? key : ""] = std::move(child);
            std::free(key);
            if (!ok) break;
        }
        std::free(it);
        return ok;
    }
    case PLIST_ARRAY: {
        out = Value::array();
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            Value child;
            if (!toValue(plist_array_get_item(node, i), child, depth + 1, why)) return false;
            out.push_back(std::move(child));
        }
        return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        out = s ? std::string(s, length) : std::string();
        return true;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) && isLargeUnsigned(node))
            out = v;
        else
            out = static_cast<int64_t>(v);
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        out = d;
        return true;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = b != 0;
        return true;
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* p = plist_get_data_ptr(node, &length);
        Bytes bytes;
        if (p && length) bytes.assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + length);
        out = bytesValue(std::move(bytes));
        return true;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist 2.2 truncates a binary date toward zero and hands back the
        // fraction without its sign, so a date before 2001 lies further back.
        const double fraction = std::fabs(static_cast<double>(usec)) / 1e6;
        const double t = sec < 0 ? static_cast<double>(sec) - fraction : static_cast<double>(sec) + fraction;
        out = dateValue(t + kReferenceDateOffset);
        return true;
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        out = v;
        return true;
    }
    default:
        why = "unknown node type";
        return false;
    }
}

plist_t fromValue(const Value& v, int depth, std::string& why) {
    if (depth > kMaxDepth) {
        why = "nesting too deep";
        return nullptr;
    }
    switch (v.type()) {
    case Value::value_t::object: {
        if (isDate(v)) {
            const double t = dateSeconds(v) - kReferenceDateOffset;
            if (!std::isfinite(t) || t < std::numeric_limits<int32_t>::min() ||
                t >= static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0) {
                why = "date out of range";
                return nullptr;
            }
            const long long micros = std::llround(t * 1e6);
            long long sec = micros / 1000000, usec = micros % 1000000;
            if (usec < 0) usec += 1000000, sec -= 1;
            return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
        }
        PlistPtr dict(plist_new_dict());
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.key().find('\0') != std::string::npos) {
                why = "key holds a NUL character";
                return nullptr;
            }
            plist_t child = fromValue(it.value(), depth + 1, why);
            if (!child) return nullptr;
            plist_dict_set_item(dict.get(), sanitizeUTF8(it.key()).c_str(), child);
        }
        return static_cast<plist_t>(dict.release());
    }
    case Value::value_t::array: {
        PlistPtr array(plist_new_array());
        for (const auto& e : v) {
            plist_t child = fromValue(e, depth + 1, why);
            if (!child) return nullptr;
            plist_array_append_item(array.get(), child);
        }
        return static_cast<plist_t>(array.release());
    }
    case Value::value_t::string: {
        const auto& s = v.get_ref<const std::string&>();
        if (s.find('\0') != std::string::npos) {
            why = "string holds a NUL character";
            return nullptr;
        }
        return plist_new_string(sanitizeUTF8(s).c_str());
    }
    case Value::value_t::number_integer:
        return plist_new_uint(static_cast<uint64_t>(v.get<int64_t>()));
    case Value::value_t::number_unsigned:
        return plist_new_uint(v.get<uint64_t>());
    case Value::value_t::number_float:
        return plist_new_real(v.get<double>());
    case Value::value_t::boolean:
        return plist_new_bool(v.get<bool>() ? 1 : 0);
    case Value::value_t::binary: {
        const Bytes& b = bytesOf(v);
        return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::value_t::null:
    case Value::value_t::discarded:
        break;
    }
    why = "null has no property-list form";
    return nullptr;
}

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<Value> parse(const Bytes& data, Error* error) {
    if (data.empty()) {
        setError(error, makeError(kCorrupt, "The property list is empty."));
        return std::nullopt;
    }
    if (data.size() > std::numeric_limits<uint32_t>::max()) {
        setError(error, makeError(kCorrupt, "The property list is too large."));
        return std::nullopt;
    }
    if (binaryHasStringWithNul(data)) {
        setError(error, makeError(kCorrupt, "The property list holds a string with a NUL character."));
        return std::nullopt;
    }
    if (binaryNestsTooDeep(data) || xmlNestsTooDeep(data)) {
        setError(error, makeError(kCorrupt, "The property list is nested too deeply."));
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<uint32_t>(data.size()), &root);
    if (!root) {
        setError(error, makeError(kCorrupt, "The data couldn’t be read because it isn’t in the correct format."));
        return std::nullopt;
    }
    PlistPtr owner(root);
    Value out;
    std::string why;
    if (!toValue(root, out, 0, why)) {
        setError(error, makeError(kCorrupt, "The property list could not be read: " + why + "."));
        return std::nullopt;
    }
    return out;
}

std::optional<Value> readFile(const std::string& path, Error* error) {
    // Non-blocking: a FIFO at the path must not hang the reader until someone writes to it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        setError(error, makeError(e == ENOENT ? kNoSuchFile : kReadUnknown,
                                  "The file “" + path + "” couldn’t be opened: " + std::strerror(e) + "."));
        return std::nullopt;
    }
    Bytes data;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setError(error, makeError(kReadUnknown, "The file “" + path + "” is not a regular file."));
        return std::nullopt;
    }
    if (static_cast<std::size_t>(st.st_size) <= kMaxFileSize) data.reserve(static_cast<std::size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            setError(error, makeError(kReadUnknown, "The file “" + path + "” couldn’t be read: " + std::strerror(e) + "."));
            return std::nullopt;
        }
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            ::close(fd);
            setError(error, makeError(kReadUnknown, "The file “" + path + "” is too large."));
            return std::nullopt;
        }
        data.insert(data.end(), buf, buf + n);
    }
    ::close(fd);
    return parse(data, error);
}

std::optional<Bytes> serialize(const Value& value, Format format, Error* error) {
    std::string why;
    PlistPtr root(fromValue(value, 0, why));
    if (!root) {
        setError(error, makeError(kInvalidForFormat, "Property list invalid for format: " + why + "."));
        return std::nullopt;
    }
    char* out = nullptr;
    uint32_t length = 0;
    if (format == Format::Binary)
        plist_to_bin(root.get(), &out, &length);
    else
        plist_to_xml(root.get(), &out, &length);
    if (!out) {
        setError(error, makeError(kWriteUnknown, "The property list could not be written."));
        return std::nullopt;
    }
    Bytes bytes(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
    if (format == Format::Binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    return bytes;
}

bool writeFile(const std::string& path, const Value& value, Format format, Error* error) {
    auto bytes = serialize(value, format, error);
    if (!bytes) return false;
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + ".XXXXXX";
    auto fail = [&](const std::string& what, int e) {
        setError(error, makeError(kWriteUnknown, "The file “" + path + "” couldn’t be saved: " + what + ": " +
                                                     std::strerror(e) + "."));
        return false;
    };
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail("cannot create a temporary file", errno);
    // Keep the permissions of the file being replaced; new files are private.
    struct stat st {};
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600);
    if (!writeAll(fd, bytes->data(), bytes->size()) || ::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        return fail("cannot write", e);
    }
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot write", e);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot replace the file", e);
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

Value dateValue(double secondsSince1970) { return Value{{kDateKey, secondsSince1970}}; }

bool isDate(const Value& v) {
    if (!v.is_object() || v.size() != 1) return false;
    const auto it = v.find(kDateKey);
    return it != v.end() && it->is_number();
}

double dateSeconds(const Value& v) { return isDate(v) ? v.find(kDateKey)->get<double>() : 0.0; }

}  // namespace wharf::platform::plist
