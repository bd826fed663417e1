#include "nimbus/toolbox/TBURLBuilder.h"

#include <functional>

#include "platform/base/Value.h"

namespace wharf {

std::optional<TBURLBuilder> TBURLBuilder::builderWithString(std::string_view urlString) {
    auto url = platform::Url::parse(urlString);
    if (!url) return std::nullopt;
    return builderWithURL(*url);
}

std::optional<TBURLBuilder> TBURLBuilder::builderWithURL(const platform::Url& url) {
    if (!url.valid()) return std::nullopt;
    TBURLBuilder builder;
    builder.baseURLString_ = url.absoluteString();
    if (url.hasQuery()) {
        // The text ends with "?query" and, when there is one, "#fragment":
        // cut just before the "?", the fragment going with the query.
        std::size_t tail = url.query().size() + 1;
        if (url.hasFragment()) tail += url.fragment().size() + 1;
        builder.baseURLString_.resize(builder.baseURLString_.size() - tail);
        builder.params_ = tb_dictionaryWithHttpArgumentsString(url.query());
    }
    return builder;
}

void TBURLBuilder::setIntegerValue(long value, const std::string& parameter) {
    params_[parameter] = std::to_string(value);
}

std::optional<std::string> TBURLBuilder::valueForParameter(const std::string& parameter) const {
    auto it = params_.find(parameter);
    if (it == params_.end()) return std::nullopt;
    return it->second;
}

long TBURLBuilder::integerValueForParameter(const std::string& parameter) const {
    auto it = params_.find(parameter);
    return it == params_.end() ? 0 : static_cast<long>(platform::stringIntegerValue(it->second));
}

std::optional<platform::Url> TBURLBuilder::URL() const {
    if (params_.empty()) return platform::Url::parse(baseURLString_);
    // The query goes before a fragment the base kept (one without a query of
    // its own): after it, it would be part of the fragment.
    const std::size_t fragment = baseURLString_.find('#');
    std::string url = baseURLString_.substr(0, fragment) + "?" + tb_httpArgumentsString(params_);
    if (fragment != std::string::npos) url += baseURLString_.substr(fragment);
    return platform::Url::parse(url);
}

std::string TBURLBuilder::URLString() const {
    auto url = URL();
    return url ? url->absoluteString() : std::string();
}

std::size_t TBURLBuilder::hash() const {
    std::size_t paramsHash = 0;
    for (const auto& [name, value] : params_)
        paramsHash = paramsHash * 31 + (std::hash<std::string>{}(name) ^ (std::hash<std::string>{}(value) << 1));
    return std::hash<std::string>{}(baseURLString_)*17 + paramsHash * 37;
}

}  // namespace wharf
