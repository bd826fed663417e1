#pragma once
// Strings tables ("Localizable.strings") of plug-in resource bundles.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace wharf {

namespace platform {
class Bundle;
}

// Parses the old-style text form: `"key" = "value";` entries (a bare `"key";`
// maps the key to itself), unquoted words, `/* */` and `//` comments, C-style
// escapes and "\U" followed by four hexadecimal digits, optionally inside one
// pair of braces. The bytes are UTF-8, or UTF-16 of either order after a byte
// order mark. Nothing when the text is malformed.
std::optional<std::map<std::string, std::string>> wf_parseStringsTable(std::string_view bytes);

// Reads a strings table from a file in the text form or as a property list
// (XML or binary) of strings. Nothing when it is neither.
std::optional<std::map<std::string, std::string>> wf_readStringsTable(const std::string& path);

// The text for `key` in a bundle's "Localizable.strings", looked up in the
// preferred language's folder, then Base, English and the bundle's top; the
// key itself when none has it.
std::string wf_localizedString(const platform::Bundle& bundle, const std::string& key);

}  // namespace wharf
