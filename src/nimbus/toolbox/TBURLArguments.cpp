#include "nimbus/toolbox/TBURLArguments.h"

#include <algorithm>

#include "platform/base/Url.h"
#include "platform/base/Value.h"

namespace wharf {

namespace {

constexpr const char* kArgumentAllowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

}  // namespace

std::string tb_stringByEscapingForURLArgument(std::string_view argument) {
    return platform::percentEncode(argument, kArgumentAllowed);
}

std::optional<std::string> tb_stringByUnescapingFromURLArgument(std::string_view argument) {
    std::string blanks(argument);
    std::replace(blanks.begin(), blanks.end(), '+', ' ');
    auto decoded = platform::percentDecode(blanks);
    if (!decoded || !platform::isValidUTF8(*decoded)) return std::nullopt;
    return decoded;
}

TBURLArguments tb_dictionaryWithHttpArgumentsString(std::string_view argumentsString) {
    TBURLArguments arguments;
    // Walking from the last piece to the first lets the first occurrence of a
    // repeated name overwrite the later ones.
    std::size_t end = argumentsString.size();
    while (true) {
        const std::size_t amp = end == 0 ? std::string_view::npos : argumentsString.rfind('&', end - 1);
        const std::size_t begin = amp == std::string_view::npos ? 0 : amp + 1;
        const std::string_view piece = argumentsString.substr(begin, end - begin);
        if (!piece.empty()) {
            const std::size_t eq = piece.find('=');
            const std::string_view name = piece.substr(0, eq);
            const std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
            arguments[tb_stringByUnescapingFromURLArgument(name).value_or("")] =
                tb_stringByUnescapingFromURLArgument(value).value_or("");
        }
        if (amp == std::string_view::npos) break;
        end = amp;
    }
    return arguments;
}

std::string tb_httpArgumentsString(const TBURLArguments& arguments) {
    std::string out;
    for (const auto& [name, value] : arguments) {
        if (!out.empty()) out += '&';
        out += tb_stringByEscapingForURLArgument(name);
        out += '=';
        out += tb_stringByEscapingForURLArgument(value);
    }
    return out;
}

}  // namespace wharf
