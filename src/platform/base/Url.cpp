#include "platform/base/Url.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

#include <glib.h>

namespace wharf::platform {

namespace {

// Components stay as written (GLib would otherwise decode them), a user-info
// "user:password" is split, and hosts are taken literally rather than as IDN.
constexpr GUriFlags kFlags = GUriFlags(G_URI_FLAGS_ENCODED | G_URI_FLAGS_HAS_PASSWORD | G_URI_FLAGS_NON_DNS);

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isHexEscape(std::string_view s, std::size_t i) {
    return i + 2 < s.size() && s[i] == '%' && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0;
}

// Escapes what a lenient reader accepts but a URL may not contain: controls,
// space, non-ASCII bytes, the characters RFC 3986 excludes, a "%" that starts
// no escape, and every "#" after the one that opens the fragment. Text that is
// already a valid URL passes unchanged.
std::string escapeLenient(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inFragment = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        bool escape = c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr;
        if (c == '%' && !isHexEscape(text, i)) escape = true;
        if (c == '#') {
            if (inFragment) escape = true;
            inFragment = true;
        }
        if (escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct Pieces {
    std::string_view path, query, fragment;
    bool hasQuery = false, hasFragment = false;
};

// The generic split of RFC 3986 (appendix B), which keeps the components
// exactly as written.
Pieces splitComponents(std::string_view s) {
    Pieces p;
    std::size_t i = s.find_first_of(":/?#");
    if (i != std::string_view::npos && s[i] == ':') s.remove_prefix(i + 1);
    if (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
        const std::size_t end = s.find_first_of("/?#", 2);
        s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    }
    const std::size_t hash = s.find('#');
    if (hash != std::string_view::npos) {
        p.hasFragment = true;
        p.fragment = s.substr(hash + 1);
        s = s.substr(0, hash);
    }
    const std::size_t question = s.find('?');
    if (question != std::string_view::npos) {
        p.hasQuery = true;
        p.query = s.substr(question + 1);
        s = s.substr(0, question);
    }
    p.path = s;
    return p;
}

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

std::string take(char* s) {
    GCharPtr owner(s);
    return s ? std::string(s) : std::string();
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::string escaped = escapeLenient(text);
    char *scheme = nullptr, *user = nullptr, *password = nullptr, *host = nullptr;
    int port = -1;
    const bool split = g_uri_split_with_user(escaped.c_str(), kFlags, &scheme, &user, &password, nullptr, &host, &port,
                                             nullptr, nullptr, nullptr, nullptr);
    // A failure can leave components already filled in (user info before a bad port): take them all.
    Url url;
    url.scheme_ = take(scheme);
    url.user_ = take(user);
    url.password_ = take(password);
    url.host_ = take(host);
    if (!split || url.scheme_.empty()) return std::nullopt;  // malformed, or a relative reference
    for (char& c : url.scheme_) c = static_cast<char>(g_ascii_tolower(c));
    url.port_ = port;
    const Pieces p = splitComponents(escaped);
    url.encodedPath_ = p.path;
    url.query_ = p.query;
    url.hasQuery_ = p.hasQuery;
    url.fragment_ = p.fragment;
    url.hasFragment_ = p.hasFragment;
    url.text_ = escaped;
    return url;
}

std::optional<Url> Url::resolve(const Url& base, std::string_view reference) {
    if (!base.valid()) return parse(reference);
    const std::string escaped = escapeLenient(reference);
    std::unique_ptr<GUri, decltype(&g_uri_unref)> parsedBase(g_uri_parse(base.text_.c_str(), kFlags, nullptr),
                                                             &g_uri_unref);
    if (!parsedBase) return std::nullopt;
    std::unique_ptr<GUri, decltype(&g_uri_unref)> resolved(
        g_uri_parse_relative(parsedBase.get(), escaped.c_str(), kFlags, nullptr), &g_uri_unref);
    if (!resolved) return std::nullopt;
    // Removing dot segments can leave a path starting "//" with no authority
    // ("x:/.//y"): written out, it would read as a host. GLib asserts on
    // joining such a URL, so there is none to answer.
    const char* path = g_uri_get_path(resolved.get());
    if (!g_uri_get_host(resolved.get()) && path[0] == '/' && path[1] == '/') return std::nullopt;
    return parse(take(g_uri_to_string(resolved.get())));
}

Url Url::fileURL(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        std::string dir = cwd ? cwd.get() : "/";
        if (dir.back() != '/') dir += '/';
        absolute = dir + absolute;
    }
    auto url = parse("file://" + percentEncode(absolute, kPathAllowedCharacters));
    return url ? *url : Url();
}

std::string Url::path() const {
    auto decoded = percentDecode(encodedPath_);
    std::string p = decoded ? std::move(*decoded) : std::string(encodedPath_);
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string Url::withoutFragment() const {
    const auto hash = text_.find('#');
    return hash == std::string::npos ? text_ : text_.substr(0, hash);
}

std::string percentEncode(std::string_view text, const char* allowed) {
    bool keep[256] = {};
    for (const char* a = allowed ? allowed : ""; *a; ++a) keep[static_cast<unsigned char>(*a)] = true;
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (keep[c]) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string removeDotSegments(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    auto dropLastSegment = [&out] {
        const auto slash = out.rfind('/');
        out.resize(slash == std::string::npos ? 0 : slash);
    };
    while (!path.empty()) {
        if (path.starts_with("../")) {
            path.remove_prefix(3);
        } else if (path.starts_with("./") || path.starts_with("/./")) {
            path.remove_prefix(2);
        } else if (path == "/.") {
            path = "/";
        } else if (path.starts_with("/../")) {
            path.remove_prefix(3);
            dropLastSegment();
        } else if (path == "/..") {
            path = "/";
            dropLastSegment();
        } else if (path == "." || path == "..") {
            path = {};
        } else {
            const auto next = path.find('/', 1);
            const auto segment = path.substr(0, next);
            out += segment;
            path.remove_prefix(segment.size());
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (!isHexEscape(text, i)) return std::nullopt;
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

}  // namespace wharf::platform
