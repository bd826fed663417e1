#include "platform/base/Value.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale.h>

#include "platform/base/Error.h"

namespace wharf::platform {

namespace {

// --- UTF-8 --------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes there
// are ill-formed (overlong forms, surrogates and code points above U+10FFFF
// included). `cp` receives the code point.
std::size_t utf8Sequence(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    const std::size_t left = s.size() - i;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    auto cont = [&](std::size_t k) { return k < left && (b(i + k) & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
        if (!cont(1)) return 0;
        cp = (char32_t(c & 0x1F) << 6) | (b(i + 1) & 0x3F);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        const unsigned char c1 = b(i + 1);
        if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
        if (c == 0xED && c1 >= 0xA0) return 0;  // surrogate
        cp = (char32_t(c & 0x0F) << 12) | (char32_t(c1 & 0x3F) << 6) | (b(i + 2) & 0x3F);
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        const unsigned char c1 = b(i + 1);
        if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
        if (c == 0xF4 && c1 >= 0x90) return 0;  // above U+10FFFF
        cp = (char32_t(c & 0x07) << 18) | (char32_t(c1 & 0x3F) << 12) | (char32_t(b(i + 2) & 0x3F) << 6) |
             (b(i + 3) & 0x3F);
        return 4;
    }
    return 0;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipSpace(std::string_view s, std::size_t i = 0) {
    while (i < s.size() && isSpace(s[i])) ++i;
    return i;
}

// Reads [space][sign]digits, saturating at the bounds of the target type.
template <typename T>
T parseSaturating(std::string_view s) {
    std::size_t i = skipSpace(s);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    // Accumulate as a negative number: its range is one larger.
    constexpr T lowest = std::numeric_limits<T>::min();
    T acc = 0;
    bool saturated = false;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        if (saturated) continue;
        const T d = s[i] - '0';
        if (acc < (lowest + d) / 10) {
            saturated = true;
            continue;
        }
        acc = acc * 10 - d;
    }
    if (saturated) return negative ? lowest : std::numeric_limits<T>::max();
    if (negative) return acc;
    return acc == lowest ? std::numeric_limits<T>::max() : -acc;
}

template <typename T>
T clampDouble(double d) {
    if (std::isnan(d)) return 0;
    if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    // max() of int64 is not representable as a double; 2^63 is the first value past it.
    if (d >= -static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::max();
    return static_cast<T>(d);
}

locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", nullptr);
    return loc;
}

// Shortest text that reads back as the same double; integral values within
// the int64 range are written as integers.
void appendNumber(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
        out += std::to_string(static_cast<int64_t>(d));
        return;
    }
    out += Value(d).dump();
}

std::string numberText(const Value& v) {
    std::string s;
    if (v.is_number_float())
        appendNumber(s, v.get<double>());
    else if (v.is_boolean())
        s = v.get<bool>() ? "1" : "0";
    else
        s = v.dump();
    return s;
}

void appendString(std::string& out, const std::string& s) {
    // Printable ASCII without quote or backslash is written as it stands;
    // anything else goes through the library's escaping.
    const bool plain =
        std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
    if (!plain) {
        out += Value(s).dump(-1, ' ', false, Value::error_handler_t::replace);
        return;
    }
    // A long string is most of a text: room for the little that closes the
    // text comes with it, where growing later would copy the whole.
    if (s.size() >= 4096) out.reserve(out.size() + s.size() + 64);
    out += '"';
    out += s;
    out += '"';
}

template <class Integer>
void appendInteger(std::string& out, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

void writeJSON(std::string& out, const Value& v, bool pretty, int depth) {
    auto newline = [&](int d) {
        if (!pretty) return;
        out += '\n';
        out.append(static_cast<std::size_t>(d) * 2, ' ');
    };
    switch (v.type()) {
    case Value::value_t::object: {
        if (v.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first) out += ',';
            first = false;
            newline(depth + 1);
            appendString(out, it.key());
            out += pretty ? " : " : ":";
            writeJSON(out, it.value(), pretty, depth + 1);
        }
        newline(depth);
        out += '}';
        return;
    }
    case Value::value_t::array: {
        if (v.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        bool first = true;
        for (const auto& e : v) {
            if (!first) out += ',';
            first = false;
            newline(depth + 1);
            writeJSON(out, e, pretty, depth + 1);
        }
        newline(depth);
        out += ']';
        return;
    }
    case Value::value_t::string: appendString(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::binary: {
        const Bytes& b = bytesOf(v);
        // Written where it goes, room for what closes the text with it.
        out.reserve(out.size() + (b.size() + 2) / 3 * 4 + 64);
        out += '"';
        appendBase64(out, b.data(), b.size());
        out += '"';
        return;
    }
    case Value::value_t::number_float: appendNumber(out, v.get<double>()); return;
    case Value::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case Value::value_t::number_integer: appendInteger(out, v.get<int64_t>()); return;
    case Value::value_t::number_unsigned: appendInteger(out, v.get<uint64_t>()); return;
    case Value::value_t::null:
    case Value::value_t::discarded: out += "null"; return;
    }
}

// Nesting depth of JSON text (brackets outside strings), so that hostile input
// is refused before anything recurses over it.
std::size_t nestingDepth(std::string_view text) {
    std::size_t depth = 0, maxDepth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            maxDepth = std::max(maxDepth, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return maxDepth;
}

constexpr std::size_t kMaxJSONDepth = 512;

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

// --- Bytes --------------------------------------------------------------------

Value bytesValue(Bytes bytes) { return Value::binary(std::move(bytes)); }

bool isBytes(const Value& v) { return v.is_binary(); }

const Bytes& bytesOf(const Value& v) {
    static const Bytes empty;
    if (!v.is_binary()) return empty;
    return static_cast<const Bytes&>(v.get_binary());
}

// --- Readers ------------------------------------------------------------------

int64_t stringIntegerValue(std::string_view s) { return parseSaturating<int64_t>(s); }

int32_t stringIntValue(std::string_view s) { return parseSaturating<int32_t>(s); }

double stringDoubleValue(std::string_view s) {
    // Only the decimal form is taken: no hex, no "inf", no "nan".
    std::size_t i = skipSpace(s);
    const std::size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) ++j;
            i = j;
        }
    }
    const std::string number(s.substr(start, i - start));
    return strtod_l(number.c_str(), nullptr, cLocale());
}

bool stringBoolValue(std::string_view s) {
    std::size_t i = skipSpace(s);
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    const char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t integerValue(const Value& v) {
    switch (v.type()) {
    case Value::value_t::number_integer: return v.get<int64_t>();
    case Value::value_t::number_unsigned: return static_cast<int64_t>(v.get<uint64_t>());
    case Value::value_t::number_float: return clampDouble<int64_t>(v.get<double>());
    case Value::value_t::boolean: return v.get<bool>() ? 1 : 0;
    case Value::value_t::string: return stringIntegerValue(v.get_ref<const std::string&>());
    default: return 0;
    }
}

int32_t intValue(const Value& v) {
    switch (v.type()) {
    case Value::value_t::number_integer: return static_cast<int32_t>(v.get<int64_t>());
    case Value::value_t::number_unsigned: return static_cast<int32_t>(v.get<uint64_t>());
    case Value::value_t::number_float: return clampDouble<int32_t>(v.get<double>());
    case Value::value_t::boolean: return v.get<bool>() ? 1 : 0;
    case Value::value_t::string: return stringIntValue(v.get_ref<const std::string&>());
    default: return 0;
    }
}

double doubleValue(const Value& v) {
    switch (v.type()) {
    case Value::value_t::number_integer: return static_cast<double>(v.get<int64_t>());
    case Value::value_t::number_unsigned: return static_cast<double>(v.get<uint64_t>());
    case Value::value_t::number_float: return v.get<double>();
    case Value::value_t::boolean: return v.get<bool>() ? 1.0 : 0.0;
    case Value::value_t::string: return stringDoubleValue(v.get_ref<const std::string&>());
    default: return 0.0;
    }
}

float floatValue(const Value& v) { return static_cast<float>(doubleValue(v)); }

bool boolValue(const Value& v) {
    switch (v.type()) {
    case Value::value_t::number_integer: return v.get<int64_t>() != 0;
    case Value::value_t::number_unsigned: return v.get<uint64_t>() != 0;
    case Value::value_t::number_float: return v.get<double>() != 0.0;
    case Value::value_t::boolean: return v.get<bool>();
    case Value::value_t::string: return stringBoolValue(v.get_ref<const std::string&>());
    default: return false;
    }
}

std::string stringValue(const Value& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number() || v.is_boolean()) return numberText(v);
    return "";
}

// --- JSON ---------------------------------------------------------------------

bool identical(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!identical(a[i], b[i])) return false;
        return true;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto it = a.begin(); it != a.end(); ++it) {
            auto other = b.find(it.key());
            if (other == b.end() || !identical(it.value(), *other)) return false;
        }
        return true;
    }
    if (a.is_number_float()) return a == b && std::signbit(a.get<double>()) == std::signbit(b.get<double>());
    return a == b;
}

void clearArray(Value& v) {
    if (v.is_array()) v.get_ref<Value::array_t&>().clear();
}

std::string toJSONString(const Value& v, bool pretty) {
    std::string out;
    writeJSON(out, v, pretty, 0);
    return out;
}

void appendJSON(std::string& out, const Value& v) { writeJSON(out, v, false, 0); }

std::optional<Value> parseJSON(std::string_view text, Error* error) {
    auto fail = [&](const std::string& debug) {
        Value info = {{kLocalizedDescriptionKey, "The data couldn’t be read because it isn’t in the correct format."},
                      {"NSDebugDescription", debug}};
        setError(error, Error("NSCocoaErrorDomain", 3840, std::move(info)));
        return std::nullopt;
    };
    if (nestingDepth(text) > kMaxJSONDepth) return fail("Too many nested arrays or dictionaries.");
    try {
        return Value::parse(text.begin(), text.end());
    } catch (const Value::parse_error& e) {
        if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return fail("No value.");
        return fail("Invalid value around character " + std::to_string(e.byte > 0 ? e.byte - 1 : 0) + ".");
    } catch (const Value::out_of_range&) {
        return fail("Number out of range.");
    } catch (const std::exception&) {
        return fail("Invalid value.");
    }
}

// --- UTF-8 --------------------------------------------------------------------

std::string sanitizeUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        const std::size_t n = utf8Sequence(s, i, cp);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        const std::size_t n = utf8Sequence(s, i, cp);
        if (!n) return false;
        i += n;
    }
    return true;
}

std::size_t utf16Length(std::string_view s) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        const std::size_t n = utf8Sequence(s, i, cp);
        if (!n) {
            ++units;  // counted as U+FFFD
            ++i;
            continue;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += n;
    }
    return units;
}

// --- Base64 -------------------------------------------------------------------

std::string base64Encode(const uint8_t* data, std::size_t size) {
    std::string out;
    appendBase64(out, data, size);
    return out;
}

void appendBase64(std::string& out, const uint8_t* data, std::size_t size) {
    out.reserve(out.size() + (size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t n = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    if (size - i == 1) {
        const uint32_t n = uint32_t(data[i]) << 16;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += "==";
    } else if (size - i == 2) {
        const uint32_t n = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += '=';
    }
}

std::optional<Bytes> base64Decode(std::string_view text) {
    static const std::array<int8_t, 256> table = [] {
        std::array<int8_t, 256> t{};
        t.fill(-1);
        for (int k = 0; k < 64; ++k) t[static_cast<unsigned char>(kBase64Alphabet[k])] = static_cast<int8_t>(k);
        return t;
    }();
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t present = last ? 4 - padding : 4;
        uint32_t n = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int8_t d = 0;
            if (k < present) {
                d = table[static_cast<unsigned char>(text[i + k])];
                if (d < 0) return std::nullopt;
            }
            n = (n << 6) | static_cast<uint32_t>(d);
        }
        out.push_back(static_cast<uint8_t>(n >> 16));
        if (present > 2) out.push_back(static_cast<uint8_t>(n >> 8));
        if (present > 3) out.push_back(static_cast<uint8_t>(n));
    }
    return out;
}

}  // namespace wharf::platform
