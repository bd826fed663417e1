#include "host/WFJSON.h"

#include <exception>

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

std::optional<Value> parse(std::string_view text, bool allowFragment, platform::Error& error) {
    const auto repaired = replaceLoneSurrogates(text);
    if (repaired) text = *repaired;
    auto parsed = platform::parseJSON(text, &error);
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
