#pragma once
// Percent-escaping of one URL argument, and query strings to and from a
// dictionary of arguments.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace wharf {

// Query arguments by name. Ordered by name, so that a query string built from
// it is the same on every run.
using TBURLArguments = std::map<std::string, std::string>;

// The UTF-8 bytes of `argument`, every one percent-escaped (upper-case hex)
// except letters, digits and "-._~": the reserved characters
// "!*'();:@&=+$,/?%#[]" cannot end or split the argument.
std::string tb_stringByEscapingForURLArgument(std::string_view argument);

// "+" read as a blank, then percent escapes decoded. nullopt when an escape is
// malformed or the decoded bytes are not UTF-8.
std::optional<std::string> tb_stringByUnescapingFromURLArgument(std::string_view argument);

// "a=1&b=2" → {a: "1", b: "2"}. Empty pieces are skipped; a piece without "="
// is a name with the value ""; names and values are unescaped ("" when that
// fails); of a repeated name the first occurrence wins.
TBURLArguments tb_dictionaryWithHttpArgumentsString(std::string_view argumentsString);

// "name=value" for each argument with both sides escaped, joined with "&".
std::string tb_httpArgumentsString(const TBURLArguments& arguments);

}  // namespace wharf
