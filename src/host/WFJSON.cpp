#include "host/WFJSON.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

#include "host/WFStrings.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

namespace wharf {

using platform::Value;

std::optional<std::string> wf_JSONString(const Value& value) {
    const bool dictionary = value.is_object();
    try {
        return platform::toJSONString(value, dictionary);
    } catch (const std::exception& e) {
        platform::log(dictionary ? "NSDictionary JSONString error: %s" : "NSArray JSONString error: %s", e.what());
        return std::nullopt;
    }
}

namespace {

// The value of the four hex digits at `p`, or -1.
long fourHexDigits(const char* p) {
    long unit = 0;
    for (int k = 0; k < 4; ++k) {
        const char c = p[k];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// The code unit of a "\uXXXX" escape at `i` (the backslash), or -1.
long escapedUnit(std::string_view text, std::size_t i) {
    if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
    return fourHexDigits(text.data() + i + 2);
}

// A page's JSON.stringify escapes an unpaired UTF-16 surrogate ("\ud800") of
// a string cut inside a pair; it has no UTF-8 form and the parser refuses it,
// and with it the whole batch. Each one becomes U+FFFD. Nothing when the text
// holds none.
std::optional<std::string> replaceLoneSurrogates(std::string_view text) {
    std::optional<std::string> out;
    std::size_t copied = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') continue;
        const long unit = escapedUnit(text, i);
        if (unit < 0) {
            ++i;  // an escape of one character ("\\", "\"")
            continue;
        }
        const bool high = unit >= 0xD800 && unit <= 0xDBFF, low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high) {
            const long next = escapedUnit(text, i + 6);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                i += 11;  // a pair
                continue;
            }
        }
        if (high || low) {
            if (!out) out.emplace();
            out->append(text.substr(copied, i - copied)).append("\\ufffd");
            copied = i + 6;
        }
        i += 5;
    }
    if (out) out->append(text.substr(copied));
    return out;
}

// Arrays and objects deeper than this are refused (as the platform's reader
// refuses them) before anything recurses over them.
constexpr std::size_t kMaxDepth = 512;

// Reads JSON text into a value without the library's parser, which costs more
// than the rest of a call's dispatch. It takes only text it reads exactly as
// the library would; anything else (an error, an integer beyond 64 bits, a
// real out of range, an unpaired surrogate, deeper nesting) it leaves to the
// platform's reader, which then decides and says why. Numbers keep the kinds
// the library gives them: a negative integer is signed, any other unsigned.
class QuickReader {
public:
    explicit QuickReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Value> read() {
        Value result;
        skipSpace();
        if (!value(result, 0)) return std::nullopt;
        skipSpace();
        if (p_ != end_) return std::nullopt;
        return result;
    }

private:
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    bool take(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        return true;
    }

    bool value(Value& out, std::size_t depth) {
        if (p_ == end_) return false;
        switch (*p_) {
        case '{': return object(out, depth + 1);
        case '[': return array(out, depth + 1);
        case '"': {
            std::string text;
            if (!string(text)) return false;
            out = std::move(text);
            return true;
        }
        case 't': out = true; return literal("true");
        case 'f': out = false; return literal("false");
        case 'n': out = nullptr; return literal("null");
        default: return number(out);
        }
    }

    bool array(Value& out, std::size_t depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        out = Value::array();
        skipSpace();
        if (take(']')) return true;
        for (;;) {
            Value element;
            if (!value(element, depth)) return false;
            out.push_back(std::move(element));
            skipSpace();
            if (take(']')) return true;
            if (!take(',')) return false;
            skipSpace();
        }
    }

    bool object(Value& out, std::size_t depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        out = Value::object();
        skipSpace();
        if (take('}')) return true;
        for (;;) {
            std::string key;
            if (p_ == end_ || *p_ != '"' || !string(key)) return false;
            skipSpace();
            if (!take(':')) return false;
            skipSpace();
            Value member;
            if (!value(member, depth)) return false;
            out[key] = std::move(member);  // a later duplicate replaces an earlier one
            skipSpace();
            if (take('}')) return true;
            if (!take(',')) return false;
            skipSpace();
        }
    }

    // The text has been found valid UTF-8 as a whole.
    bool string(std::string& out) {
        ++p_;
        const char* run = p_;
        while (p_ != end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out.append(run, p_);
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                ++p_;
                continue;
            }
            out.append(run, p_);
            if (!escape(out)) return false;
            run = p_;
        }
        return false;
    }

    bool escape(std::string& out) {
        if (end_ - p_ < 2) return false;
        const char c = p_[1];
        p_ += 2;
        switch (c) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: return false;
        }
        long unit = hexUnit();
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            const long low = hexUnit();
            if (low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        platform::appendUTF8(out, static_cast<char32_t>(unit));
        return true;
    }

    // Four hex digits at p_, or -1.
    long hexUnit() {
        if (end_ - p_ < 4) return -1;
        const long unit = fourHexDigits(p_);
        p_ += 4;
        return unit;
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(Value& out) {
        const char* start = p_;
        const bool negative = take('-');
        if (p_ == end_ || !digit(*p_)) return false;
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        if (integral && negative) {
            int64_t n = 0;
            if (std::from_chars(start, p_, n).ec != std::errc()) return false;
            out = n;
        } else if (integral) {
            uint64_t n = 0;
            if (std::from_chars(start, p_, n).ec != std::errc()) return false;
            out = n;
        } else {
            double d = 0;
            if (std::from_chars(start, p_, d).ec != std::errc() || !std::isfinite(d)) return false;
            out = d;
        }
        return true;
    }

    const char* p_;
    const char* end_;
};

// The quick reading of valid UTF-8 text; nothing when the text does not read
// quickly (the platform's reader then decides).
std::optional<Value> readQuickly(std::string_view text) {
    if (!platform::isValidUTF8(text)) return std::nullopt;
    return QuickReader(text).read();
}

std::optional<Value> parse(std::string_view text, bool allowFragment, platform::Error& error) {
    const auto repaired = replaceLoneSurrogates(text);
    if (repaired) text = *repaired;
    auto parsed = readQuickly(text);
    if (!parsed) parsed = platform::parseJSON(text, &error);
    if (!parsed) return std::nullopt;
    if (!allowFragment && !parsed->is_array() && !parsed->is_object()) {
        error = platform::Error::withDescription("NSCocoaErrorDomain", 3840,
                                                 "JSON text did not start with array or object");
        return std::nullopt;
    }
    return parsed;
}

}  // namespace

std::optional<Value> wf_JSONObject(std::string_view text) {
    platform::Error error;
    auto parsed = parse(text, false, error);
    // A page can send a batch of any size: the line holds enough to know it by.
    if (!parsed)
        platform::log("NSString JSONObject error: %s, Malformed Data: %s", error.description().c_str(),
                      wf_logExcerpt(text).c_str());
    return parsed;
}

std::optional<Value> wf_JSONFragment(std::string_view text) {
    platform::Error error;
    auto parsed = parse(text, true, error);
    if (!parsed) platform::log("NSString JSONObject error: %s", error.description().c_str());
    return parsed;
}

}  // namespace wharf
