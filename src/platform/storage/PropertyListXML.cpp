// The XML property-list encoding, read over expat and written by hand.
//
// Writers of this encoding (ours before, and the platform's own) put control
// characters (and U+FFFE, U+FFFF) raw into strings, which XML forbids and
// expat refuses, and a carriage return raw, which XML turns into a line feed.
// So before expat sees the document, each such character is replaced by
// placeholders, and text inside <string> and <key> is taken from the original
// bytes wherever expat reports it unchanged from its source.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include <expat.h>

#include "platform/storage/PropertyList.h"
#include "platform/storage/PropertyListFormats.h"

namespace wharf::platform::plist::detail {

namespace {

constexpr char kPlaceholder = 'x';

// Dates are written within about ±31 million years, where their whole
// seconds stay exact in a double.
constexpr int64_t kMaxDateSeconds = 1'000'000'000'000'000;

bool isXMLSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isXMLSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isXMLSpace(s.back())) s.remove_suffix(1);
    return s;
}

// --- the calendar (proleptic Gregorian, UTC) --------------------------------------

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

unsigned daysInMonth(int64_t y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// 10^k - f for the k fraction digits f, as k digits (f not all zero).
std::string complementFraction(std::string_view digits) {
    std::string out(digits);
    for (char& c : out) c = static_cast<char>('9' - (c - '0'));
    for (std::size_t i = out.size(); i-- > 0;) {  // + 1 in the last place
        if (out[i] == '9') {
            out[i] = '0';
            continue;
        }
        ++out[i];
        break;
    }
    return out;
}

// A date's text carries whole seconds and the decimal digits of the fraction
// after them. Both directions go through the one decimal number they denote,
// so a date written and read back is the same double.
double secondsFromParts(int64_t whole, std::string_view fraction) {
    if (fraction.empty()) return static_cast<double>(whole);
    std::string decimal;
    if (whole >= 0)
        decimal = std::to_string(whole) + "." + std::string(fraction);
    else  // whole + 0.f = -((|whole| - 1) + (1 - 0.f))
        decimal = "-" + std::to_string(-(whole + 1)) + "." + complementFraction(fraction);
    double out = 0;
    std::from_chars(decimal.data(), decimal.data() + decimal.size(), out);
    return out;
}

std::optional<std::string> formatDate(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > static_cast<double>(kMaxDateSeconds)) return std::nullopt;
    char buffer[1200];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    if (written.ec != std::errc()) return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    const auto point = text.find('.');
    std::string_view digits = text.substr(0, point);
    std::string fraction(point == std::string_view::npos ? std::string_view() : text.substr(point + 1));
    int64_t whole = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), whole);
    if (negative) whole = -whole;
    if (negative && !fraction.empty()) {
        whole -= 1;
        fraction = complementFraction(fraction);
    }
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();

    const int64_t days = (whole >= 0 ? whole : whole - 86399) / 86400;
    const int64_t secondOfDay = whole - days * 86400;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    char head[64];
    std::snprintf(head, sizeof head, "%s%04lld-%02u-%02uT%02u:%02u:%02u", year < 0 ? "-" : "",
                  static_cast<long long>(year < 0 ? -year : year), month, day,
                  static_cast<unsigned>(secondOfDay / 3600), static_cast<unsigned>(secondOfDay / 60 % 60),
                  static_cast<unsigned>(secondOfDay % 60));
    std::string out = head;
    if (!fraction.empty()) out += "." + fraction;
    return out + "Z";
}

// "[-]YYYY-MM-DDTHH:MM:SS[.fraction][Z]", the year four digits or more.
std::optional<double> parseDate(std::string_view s) {
    std::size_t i = 0;
    auto number = [&](std::size_t minDigits, std::size_t maxDigits, int64_t& out) {
        const std::size_t start = i;
        while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9') ++i;
        if (i - start < minDigits) return false;
        std::from_chars(s.data() + start, s.data() + i, out);
        return true;
    };
    auto expect = [&](char c) { return i < s.size() && s[i++] == c; };
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!number(4, 9, year) || !expect('-') || !number(2, 2, month) || !expect('-') || !number(2, 2, day) ||
        !expect('T') || !number(2, 2, hour) || !expect(':') || !number(2, 2, minute) || !expect(':') ||
        !number(2, 2, second))
        return std::nullopt;
    if (negative) year = -year;
    std::string_view fraction;
    if (i < s.size() && s[i] == '.') {
        const std::size_t start = ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == start) return std::nullopt;
        fraction = s.substr(start, i - start);
    }
    if (i < s.size() && s[i] == 'Z') ++i;
    if (i != s.size()) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, static_cast<unsigned>(month)) || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    const int64_t whole = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                          hour * 3600 + minute * 60 + second;
    if (whole > kMaxDateSeconds || whole < -kMaxDateSeconds) return std::nullopt;
    return secondsFromParts(whole, fraction);
}

// Decimal, or hexadecimal after "0x"; a sign may lead.
std::optional<Value> parseInteger(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative) {
        if (magnitude > kMax + 1) return std::nullopt;
        return Value(static_cast<int64_t>(0 - magnitude));
    }
    if (magnitude <= kMax) return Value(static_cast<int64_t>(magnitude));
    return Value(magnitude);
}

// Whether a decimal number, digits with an optional point and exponent, is
// at least 1 in magnitude: the place of its first nonzero digit, moved by its
// exponent, is not right of the point.
bool atLeastOne(std::string_view s) {
    std::size_t i = 0;
    int64_t place = 0;  // of the first nonzero digit, 0 for the units
    bool found = false;
    int64_t integerDigits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        found = found || s[i] != '0';
        if (found) ++integerDigits;
    }
    if (found) place = integerDigits - 1;
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            if (found) continue;
            --place;
            found = s[i] != '0';
        }
    }
    if (!found) return false;
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        const bool negative = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        // Far beyond any double's range, an exponent need not be read on.
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
            if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (s[i] - '0');
        if (negative) exponent = -exponent;
    }
    return place + exponent >= 0;
}

std::optional<double> parseReal(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return std::nullopt;
    }
    double out = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (s.empty() || (ec != std::errc() && ec != std::errc::result_out_of_range) || end != s.data() + s.size())
        return std::nullopt;
    // Out of range still answers the nearest, as strtod does: infinity for a
    // value too large, zero for one too small, whatever its exponent's sign.
    if (ec == std::errc::result_out_of_range) {
        const bool negative = s.front() == '-';
        out = atLeastOne(negative ? s.substr(1) : s) ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) out = -out;
    }
    return out;
}

std::optional<Bytes> parseData(std::string_view s) {
    std::string compact;
    compact.reserve(s.size());
    for (char c : s)
        if (!isXMLSpace(c)) compact += c;
    while (compact.size() % 4 != 0) compact += '=';  // tolerate dropped padding
    return base64Decode(compact);
}

// --- reading -------------------------------------------------------------------

class Reader {
public:
    std::optional<Value> read(const Bytes& data, Error* error) {
        if (data.size() > static_cast<std::size_t>(INT_MAX)) {
            setError(error, readError("too large"));
            return std::nullopt;
        }
        original_ = &data;
        const Bytes* input = &data;
        Bytes& masked = masked_;
        masked.clear();
        if (asciiCompatible(data)) {
            for (std::size_t i = 0; i < data.size(); ++i) {
                const uint8_t c = data[i];
                std::size_t length = 0;
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    length = 1;
                else if (c == 0xEF && i + 2 < data.size() && data[i + 1] == 0xBF && (data[i + 2] & 0xFE) == 0xBE)
                    length = 3;  // U+FFFE, U+FFFF
                if (length == 0) continue;
                if (masked.empty()) masked = data;
                for (std::size_t k = 0; k < length; ++k, ++i) {
                    masked[i] = kPlaceholder;
                    placeholders_.push_back(i);
                }
                --i;
            }
            if (!masked.empty()) input = &masked;
        }
        input_ = input;

        parser_ = XML_ParserCreate(nullptr);
        if (!parser_) {
            setError(error, readError("out of memory"));
            return std::nullopt;
        }
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &Reader::onStart, &Reader::onEnd);
        XML_SetCharacterDataHandler(parser_, &Reader::onText);
        // Nothing in a property list needs entities of its own; refusing them
        // shuts out entity expansion attacks altogether.
        XML_SetEntityDeclHandler(parser_, &Reader::onEntityDecl);
        XML_SetSkippedEntityHandler(parser_, &Reader::onSkippedEntity);
        const auto status =
            XML_Parse(parser_, reinterpret_cast<const char*>(input->data()), static_cast<int>(input->size()), XML_TRUE);
        std::string why = why_;
        if (status != XML_STATUS_OK && why.empty())
            why = std::string(XML_ErrorString(XML_GetErrorCode(parser_))) + " at line " +
                  std::to_string(XML_GetCurrentLineNumber(parser_));
        XML_ParserFree(parser_);
        if (why.empty() && !root_) why = "no value";
        if (!why.empty()) {
            setError(error, readError(why));
            return std::nullopt;
        }
        return std::move(root_);
    }

private:
    enum class Kind { Plist, Dict, Array, Key, String, Integer, Real, True, False, Data, Date };

    struct Frame {
        Kind kind;
        Value value;
        std::optional<std::string> key;  // a dictionary's key waiting for its value
        bool holdsValue = false;  // a <plist> that has its one value
        std::string text;
    };

    // Documents in UTF-16 (or UTF-32) are left to expat as they are.
    static bool asciiCompatible(const Bytes& data) {
        if (data.size() >= 2 && ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE)))
            return false;
        return !(data.size() >= 2 && (data[0] == 0 || data[1] == 0));
    }

    static std::optional<Kind> kindNamed(std::string_view name) {
        static constexpr std::pair<std::string_view, Kind> kNames[] = {
            {"plist", Kind::Plist},   {"dict", Kind::Dict},       {"array", Kind::Array}, {"key", Kind::Key},
            {"string", Kind::String}, {"integer", Kind::Integer}, {"real", Kind::Real},   {"true", Kind::True},
            {"false", Kind::False},   {"data", Kind::Data},       {"date", Kind::Date}};
        for (const auto& [n, k] : kNames)
            if (n == name) return k;
        return std::nullopt;
    }

    static bool isLeaf(Kind k) { return k != Kind::Plist && k != Kind::Dict && k != Kind::Array; }

    void fail(std::string why) {
        if (!why_.empty()) return;
        why_ = std::move(why) + " at line " + std::to_string(XML_GetCurrentLineNumber(parser_));
        XML_StopParser(parser_, XML_FALSE);
    }

    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char**) {
        static_cast<Reader*>(self)->start(name);
    }
    static void XMLCALL onEnd(void* self, const XML_Char*) { static_cast<Reader*>(self)->end(); }
    static void XMLCALL onText(void* self, const XML_Char* s, int length) {
        static_cast<Reader*>(self)->text(std::string_view(s, static_cast<std::size_t>(length)));
    }
    static void XMLCALL onEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                     const XML_Char*, const XML_Char*, const XML_Char*) {
        static_cast<Reader*>(self)->fail("an entity declaration");
    }
    static void XMLCALL onSkippedEntity(void* self, const XML_Char* name, int) {
        static_cast<Reader*>(self)->fail(std::string("an undefined entity &") + name + ";");
    }

    void start(std::string_view name) {
        if (!why_.empty()) return;
        const auto kind = kindNamed(name);
        if (!kind) return fail("an unknown element <" + std::string(name) + ">");
        if (!stack_.empty()) {
            Frame& parent = stack_.back();
            if (isLeaf(parent.kind)) return fail("an element inside <" + std::string(nameOf(parent.kind)) + ">");
            if (*kind == Kind::Plist) return fail("<plist> inside a value");
            if (parent.kind == Kind::Plist && parent.holdsValue) return fail("a second value in <plist>");
            if (parent.kind == Kind::Dict && (*kind == Kind::Key) == parent.key.has_value())
                return fail(parent.key ? "a key without a value" : "a value without a key");
        }
        if (*kind == Kind::Key && (stack_.empty() || stack_.back().kind != Kind::Dict))
            return fail("a key outside a dictionary");
        if (*kind != Kind::Plist && *kind != Kind::Key && containers_ > kMaxDepth) return fail("nested too deeply");
        if (*kind == Kind::Dict || *kind == Kind::Array) ++containers_;
        stack_.push_back(Frame{*kind, Value(), std::nullopt, false, {}});
        if (*kind == Kind::Dict) stack_.back().value = Value::object();
        if (*kind == Kind::Array) stack_.back().value = Value::array();
    }

    void end() {
        if (!why_.empty() || stack_.empty()) return;
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        if (frame.kind == Kind::Dict || frame.kind == Kind::Array) --containers_;
        switch (frame.kind) {
        case Kind::Plist:
            if (!frame.holdsValue) return fail("an empty <plist>");
            root_ = std::move(frame.value);
            return;
        case Kind::Dict:
            if (frame.key) return fail("a key without a value");
            break;
        case Kind::Key: stack_.back().key = std::move(frame.text); return;
        case Kind::String: frame.value = std::move(frame.text); break;
        case Kind::True:
        case Kind::False:
            if (!trimmed(frame.text).empty()) return fail("text inside <" + std::string(nameOf(frame.kind)) + ">");
            frame.value = frame.kind == Kind::True;
            break;
        case Kind::Integer: {
            auto v = parseInteger(trimmed(frame.text));
            if (!v) return fail("an integer that is not one or does not fit in 64 bits");
            frame.value = std::move(*v);
            break;
        }
        case Kind::Real: {
            auto v = parseReal(trimmed(frame.text));
            if (!v) return fail("a malformed real");
            frame.value = *v;
            break;
        }
        case Kind::Data: {
            auto v = parseData(frame.text);
            if (!v) return fail("malformed Base64 data");
            frame.value = bytesValue(std::move(*v));
            break;
        }
        case Kind::Date: {
            auto v = parseDate(trimmed(frame.text));
            if (!v) return fail("a malformed date");
            frame.value = dateValue(*v);
            break;
        }
        case Kind::Array: break;
        }
        if (stack_.empty()) {  // a bare value at the root
            root_ = std::move(frame.value);
            return;
        }
        Frame& parent = stack_.back();
        if (parent.kind == Kind::Dict) {
            parent.value[*parent.key] = std::move(frame.value);
            parent.key.reset();
        } else if (parent.kind == Kind::Array) {
            parent.value.push_back(std::move(frame.value));
        } else {
            parent.value = std::move(frame.value);
            parent.holdsValue = true;
        }
    }

    void text(std::string_view s) {
        if (!why_.empty() || stack_.empty()) return;
        Frame& frame = stack_.back();
        if (!isLeaf(frame.kind)) {
            if (!trimmed(s).empty()) fail("text inside <" + std::string(nameOf(frame.kind)) + ">");
            return;
        }
        // Where expat passes source text through unchanged, the source bytes
        // are the text: they keep the control characters masked above and the
        // carriage returns expat turned into line feeds.
        const auto index = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser_));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser_));
        if (count > 0 && index <= input_->size() && count <= input_->size() - index) {
            const auto* source = reinterpret_cast<const char*>(input_->data() + index);
            const auto* original = reinterpret_cast<const char*>(original_->data() + index);
            const std::string_view raw(original, count);
            if (std::string_view(source, count) == s || (s == "\n" && (raw == "\r\n" || raw == "\r"))) {
                frame.text += raw;
                return;
            }
            const auto masked = std::lower_bound(placeholders_.begin(), placeholders_.end(), index);
            if (masked != placeholders_.end() && *masked < index + count)
                return fail("a control character that cannot be read back");
        }
        frame.text += s;
    }

    static std::string_view nameOf(Kind k) {
        switch (k) {
        case Kind::Plist: return "plist";
        case Kind::Dict: return "dict";
        case Kind::Array: return "array";
        case Kind::Key: return "key";
        case Kind::String: return "string";
        case Kind::Integer: return "integer";
        case Kind::Real: return "real";
        case Kind::True: return "true";
        case Kind::False: return "false";
        case Kind::Data: return "data";
        case Kind::Date: return "date";
        }
        return "";
    }

    XML_Parser parser_ = nullptr;
    const Bytes* original_ = nullptr;
    const Bytes* input_ = nullptr;
    Bytes masked_;  // the input with the characters XML refuses masked, when it has any
    std::vector<std::size_t> placeholders_;
    std::vector<Frame> stack_;
    int containers_ = 0;  // dictionaries and arrays open: the depth of the next value
    std::optional<Value> root_;
    std::string why_;
};

// --- writing -------------------------------------------------------------------

class Writer {
public:
    std::optional<Bytes> write(const Value& root, Error* error) {
        out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n";
        if (!value(root, 0)) {
            setError(error, writeError(why_));
            return std::nullopt;
        }
        out_ += "</plist>\n";
        return Bytes(out_.begin(), out_.end());
    }

private:
    bool bad(std::string why) {
        why_ = std::move(why);
        return false;
    }

    void indent(int depth) { out_.append(static_cast<std::size_t>(depth), '\t'); }

    // Markup characters as entities and a carriage return as a reference (XML
    // would read a raw one as a line feed). Other characters XML forbids go
    // raw, as the platform writes them; the reader above takes them back.
    bool escaped(std::string_view s) {
        if (!isValidUTF8(s)) return bad("a string is not valid UTF-8");
        for (char c : s) {
            switch (c) {
            case '&': out_ += "&amp;"; break;
            case '<': out_ += "&lt;"; break;
            case '>': out_ += "&gt;"; break;
            case '\r': out_ += "&#13;"; break;
            default: out_ += c;
            }
        }
        return true;
    }

    bool element(int depth, std::string_view name, std::string_view text) {
        indent(depth);
        out_.append("<").append(name).append(">").append(text).append("</").append(name).append(">\n");
        return true;
    }

    bool value(const Value& v, int depth) {
        if (depth > kMaxDepth) return bad("nesting too deep");
        switch (v.type()) {
        case Value::value_t::object: {
            if (isDate(v)) {
                const auto text = formatDate(dateSeconds(v));
                if (!text) return bad("a date beyond the years XML dates can hold");
                return element(depth, "date", *text);
            }
            indent(depth);
            if (v.empty()) {
                out_ += "<dict/>\n";
                return true;
            }
            out_ += "<dict>\n";
            for (auto it = v.begin(); it != v.end(); ++it) {
                indent(depth + 1);
                out_ += "<key>";
                if (!escaped(it.key())) return false;
                out_ += "</key>\n";
                if (!value(it.value(), depth + 1)) return false;
            }
            indent(depth);
            out_ += "</dict>\n";
            return true;
        }
        case Value::value_t::array:
            indent(depth);
            if (v.empty()) {
                out_ += "<array/>\n";
                return true;
            }
            out_ += "<array>\n";
            for (const auto& e : v)
                if (!value(e, depth + 1)) return false;
            indent(depth);
            out_ += "</array>\n";
            return true;
        case Value::value_t::string:
            indent(depth);
            out_ += "<string>";
            if (!escaped(v.get_ref<const std::string&>())) return false;
            out_ += "</string>\n";
            return true;
        case Value::value_t::number_integer: return element(depth, "integer", std::to_string(v.get<int64_t>()));
        case Value::value_t::number_unsigned: return element(depth, "integer", std::to_string(v.get<uint64_t>()));
        case Value::value_t::number_float: {
            const double d = v.get<double>();
            if (std::isnan(d)) return element(depth, "real", "nan");
            if (std::isinf(d)) return element(depth, "real", d > 0 ? "+infinity" : "-infinity");
            char buffer[64];
            const auto written = std::to_chars(buffer, buffer + sizeof buffer, d);
            return element(depth, "real", std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)));
        }
        case Value::value_t::boolean:
            indent(depth);
            out_ += v.get<bool>() ? "<true/>\n" : "<false/>\n";
            return true;
        case Value::value_t::binary: {
            const Bytes& b = bytesOf(v);
            const std::string encoded = base64Encode(b);
            indent(depth);
            out_ += "<data>\n";
            for (std::size_t at = 0; at < encoded.size(); at += 76) {
                indent(depth);
                out_.append(encoded, at, 76).append("\n");
            }
            indent(depth);
            out_ += "</data>\n";
            return true;
        }
        case Value::value_t::null:
        case Value::value_t::discarded: break;
        }
        return bad("null has no property-list form");
    }

    std::string out_;
    std::string why_;
};

}  // namespace

std::optional<Value> parseXML(const Bytes& data, Error* error) { return Reader().read(data, error); }

std::optional<Bytes> writeXML(const Value& value, Error* error) { return Writer().write(value, error); }

}  // namespace wharf::platform::plist::detail
