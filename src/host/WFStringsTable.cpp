#include "host/WFStringsTable.h"

#include <cctype>
#include <fstream>
#include <iterator>

#include "platform/device/Device.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/PropertyList.h"

namespace wharf {

namespace {

using platform::appendUTF8;

// Turns UTF-16 code units into UTF-8; a lone surrogate becomes U+FFFD.
class UTF16Writer {
public:
    explicit UTF16Writer(std::string& out) : out_(out) {}
    void put(char16_t unit) {
        if (pendingHigh_) {
            const char16_t high = pendingHigh_;
            pendingHigh_ = 0;
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                appendUTF8(out_, 0x10000 + ((char32_t(high) - 0xD800) << 10) + (unit - 0xDC00));
                return;
            }
            appendUTF8(out_, 0xFFFD);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF)
            pendingHigh_ = unit;
        else if (unit >= 0xDC00 && unit <= 0xDFFF)
            appendUTF8(out_, 0xFFFD);
        else
            appendUTF8(out_, unit);
    }
    void flush() {
        if (pendingHigh_) appendUTF8(out_, 0xFFFD);
        pendingHigh_ = 0;
    }

private:
    std::string& out_;
    char16_t pendingHigh_ = 0;  // a high surrogate waiting for its low half; 0 for none
};

// The text as UTF-8, after its byte-order mark.
std::optional<std::string> decode(std::string_view bytes) {
    auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
    const bool little = starts("\xFF\xFE"), big = starts("\xFE\xFF");
    if (!little && !big) return std::string(starts("\xEF\xBB\xBF") ? bytes.substr(3) : bytes);
    if (bytes.size() % 2) return std::nullopt;
    std::string out;
    UTF16Writer writer(out);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        writer.put(static_cast<char16_t>(little ? (b << 8 | a) : (a << 8 | b)));
    }
    writer.flush();
    return out;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<std::map<std::string, std::string>> table() {
        std::map<std::string, std::string> entries;
        if (!skipSpace()) return std::nullopt;
        const bool braced = peek('{');
        if (braced) ++pos_;
        for (;;) {
            if (!skipSpace()) return std::nullopt;
            if (pos_ == text_.size()) {
                if (braced) return std::nullopt;
                return entries;
            }
            if (braced && peek('}')) {
                ++pos_;
                if (!skipSpace() || pos_ != text_.size()) return std::nullopt;
                return entries;
            }
            auto key = word();
            if (!key || !skipSpace()) return std::nullopt;
            std::string value = *key;
            if (peek('=')) {
                ++pos_;
                if (!skipSpace()) return std::nullopt;
                auto given = word();
                if (!given || !skipSpace()) return std::nullopt;
                value = std::move(*given);
            }
            if (!peek(';')) return std::nullopt;
            ++pos_;
            entries[*key] = std::move(value);
        }
    }

private:
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    // Skips blanks and comments; false for a comment left open.
    bool skipSpace() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                const auto end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else if (text_.substr(pos_, 2) == "/*") {
                const auto end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) return false;
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool unquotedChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
               c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
    }

    std::optional<std::string> word() {
        if (peek('"')) return quoted();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && unquotedChar(text_[pos_])) ++pos_;
        if (pos_ == start) return std::nullopt;
        return std::string(text_.substr(start, pos_ - start));
    }

    std::optional<std::string> quoted() {
        ++pos_;  // the opening quote
        std::string out;
        UTF16Writer units(out);
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                units.flush();
                return out;
            }
            if (c != '\\') {
                units.flush();
                out += c;
                continue;
            }
            if (pos_ == text_.size()) break;
            const char e = text_[pos_++];
            if (e == 'U' || e == 'u') {
                unsigned unit = 0;
                int digits = 0;
                for (; digits < 4 && pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]));
                     ++digits)
                    unit = unit * 16 + hexValue(text_[pos_++]);
                if (digits == 0) return std::nullopt;
                units.put(static_cast<char16_t>(unit));
                continue;
            }
            units.flush();
            if (e >= '0' && e <= '7') {
                unsigned value = static_cast<unsigned>(e - '0');
                for (int n = 1; n < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++n)
                    value = value * 8 + static_cast<unsigned>(text_[pos_++] - '0');
                appendUTF8(out, value & 0xFF);
                continue;
            }
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            default: out += e; break;  // \" \\ \' and any other character stand for themselves
            }
        }
        return std::nullopt;  // no closing quote
    }

    static unsigned hexValue(char c) {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        return static_cast<unsigned>((c | 0x20) - 'a' + 10);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::map<std::string, std::string>> wf_parseStringsTable(std::string_view bytes) {
    auto text = decode(bytes);
    if (!text) return std::nullopt;
    return Parser(*text).table();
}

std::optional<std::map<std::string, std::string>> wf_readStringsTable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (auto table = wf_parseStringsTable(bytes)) return table;
    // Compiled tables are property lists.
    auto plist = platform::plist::readFile(path);
    if (!plist || !plist->is_object()) return std::nullopt;
    std::map<std::string, std::string> table;
    for (auto it = plist->begin(); it != plist->end(); ++it)
        if (it->is_string()) table[it.key()] = it->get<std::string>();
    return table;
}

std::string wf_localizedString(const platform::Bundle& bundle, const std::string& key) {
    std::string language = platform::Device::preferredLanguage();
    language = language.substr(0, language.find('-'));
    for (const std::string& folder :
         {language + ".lproj", std::string("Base.lproj"), std::string("en.lproj"), std::string()}) {
        auto path = bundle.pathForResource("Localizable", "strings", folder);
        if (!path) continue;
        auto table = wf_readStringsTable(*path);
        if (!table) continue;
        if (auto it = table->find(key); it != table->end()) return it->second;
    }
    return key;
}

}  // namespace wharf
