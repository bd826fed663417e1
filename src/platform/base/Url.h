#pragma once
// URLs over GLib's GUri.
#include <optional>
#include <string>
#include <string_view>

namespace wharf::platform {

class Url {
public:
    Url() = default;
    // Parses an absolute URL (RFC 3986, lenient about characters that should
    // have been escaped). nullopt when it is not an absolute URL.
    static std::optional<Url> parse(std::string_view text);
    // Resolves `reference` against `base` (relative references allowed).
    static std::optional<Url> resolve(const Url& base, std::string_view reference);
    // "file://" URL of an absolute path (percent-encoded as a path).
    static Url fileURL(const std::string& path);

    bool valid() const { return !text_.empty(); }
    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }  // lower-cased
    const std::string& host() const { return host_; }  // "" when none; IPv6 without brackets
    int port() const { return port_; }  // -1 when none
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The path percent-decoded (as the platform's `path`), and as written.
    std::string path() const;
    const std::string& encodedPath() const { return encodedPath_; }
    const std::string& query() const { return query_; }  // as written, without "?"
    bool hasQuery() const { return hasQuery_; }
    const std::string& fragment() const { return fragment_; }  // as written, without "#"
    bool hasFragment() const { return hasFragment_; }
    bool isFileURL() const { return scheme_ == "file"; }
    // The URL without its fragment.
    std::string withoutFragment() const;

    bool operator==(const Url& o) const { return text_ == o.text_; }

private:
    std::string text_, scheme_, host_, user_, password_, encodedPath_, query_, fragment_;
    int port_ = -1;
    bool hasQuery_ = false, hasFragment_ = false;
};

// Characters left alone by percentEncode with the path-allowed set
// (URLPathAllowedCharacterSet): unreserved, sub-delims but ";", ":", "@", "/".
inline constexpr const char* kPathAllowedCharacters =
    "!$&'()*+,-./0123456789:=@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~";
inline constexpr const char* kQueryAllowedCharacters =
    "!$&'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~";

// Percent-encodes every byte not in `allowed` (upper-case hex).
std::string percentEncode(std::string_view text, const char* allowed = kPathAllowedCharacters);
// A path with its "." and ".." segments applied (RFC 3986, 5.2.4):
// "/a/b/../c/./d" → "/a/c/d". Encoded dots are not dots: decode first.
std::string removeDotSegments(std::string_view path);
// Decodes %XX escapes; nullopt on a malformed escape.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace wharf::platform
