#include "host/WFJSON.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <exception>
#include <vector>

#include "platform/Error.h"
#include "platform/Log.h"

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

// The code unit of a "\uXXXX" escape at `i` (the backslash), or -1.
long escapedUnit(std::string_view text, std::size_t i) {
    if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t k = i + 2; k < i + 6; ++k) {
        const char c = text[k];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
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

// Builds the value from the reader's events. Numbers keep the kinds the
// platform's reader gives them: a negative integer is signed, any other
// integer unsigned, one beyond 64 bits a double.
class ValueBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ValueBuilder> {
public:
    bool Null() { return add(Value(nullptr)); }
    bool Bool(bool b) { return add(Value(b)); }
    bool Int(int i) { return add(Value(static_cast<int64_t>(i))); }
    bool Uint(unsigned u) { return add(Value(static_cast<uint64_t>(u))); }
    bool Int64(int64_t i) { return add(Value(i)); }
    bool Uint64(uint64_t u) { return add(Value(u)); }
    bool Double(double d) { return add(Value(d)); }
    bool String(const char* text, rapidjson::SizeType length, bool) { return add(Value(std::string(text, length))); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        key_.assign(text, length);
        return true;
    }
    bool StartObject() { return open(Value::object()); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(Value::array()); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    Value take() { return std::move(root_); }

private:
    // Places a value in the innermost open container (an object's member
    // under the key just read: a later duplicate replaces an earlier one).
    Value* place(Value&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Value& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        Value& slot = container[key_];
        slot = std::move(value);
        return &slot;
    }
    bool add(Value&& value) {
        place(std::move(value));
        return true;
    }
    bool open(Value&& container) {
        if (open_.size() >= kMaxDepth) return false;
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Value root_;
    std::vector<Value*> open_;  // pointers stay valid: only the innermost container grows
    std::string key_;
};

// The quick reading of valid UTF-8 text; nothing when the text does not read
// (the platform's reader then says why).
std::optional<Value> readQuickly(std::string_view text) {
    // Text that is valid UTF-8 as a whole holds only valid strings; the
    // reader need not check again (escapes it decodes itself, and refuses an
    // unpaired surrogate).
    if (!platform::isValidUTF8(text)) return std::nullopt;
    rapidjson::MemoryStream stream(text.data(), text.size());
    ValueBuilder builder;
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;
    // A short text reuses the reader's stack of the last one; a long one may
    // need a large stack, which is not kept.
    constexpr std::size_t kReuseBelow = 64 * 1024;
    thread_local rapidjson::Reader shortTexts;
    rapidjson::Reader longText;
    rapidjson::Reader& reader = text.size() < kReuseBelow ? shortTexts : longText;
    if (reader.Parse<kFlags>(stream, builder).IsError()) return std::nullopt;
    return builder.take();
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
    if (!parsed)
        platform::log("NSString JSONObject error: %s, Malformed Data: %.*s", error.description().c_str(),
                      static_cast<int>(text.size()), text.data());
    return parsed;
}

std::optional<Value> wf_JSONFragment(std::string_view text) {
    platform::Error error;
    auto parsed = parse(text, true, error);
    if (!parsed) platform::log("NSString JSONObject error: %s", error.description().c_str());
    return parsed;
}

}  // namespace wharf
