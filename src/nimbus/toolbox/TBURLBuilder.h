#pragma once
// A URL split into a base (everything before the query) and its query
// arguments, which can be read and changed and then built into a URL again.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "nimbus/toolbox/TBURLArguments.h"
#include "platform/base/Url.h"

namespace wharf {

class TBURLBuilder {
public:
    // nullopt when `urlString` is not an absolute URL.
    static std::optional<TBURLBuilder> builderWithString(std::string_view urlString);
    static std::optional<TBURLBuilder> builderWithURL(const platform::Url& url);

    void setValue(std::string value, const std::string& parameter) { params_[parameter] = std::move(value); }
    void setIntegerValue(long value, const std::string& parameter);  // stored as its decimal text
    std::optional<std::string> valueForParameter(const std::string& parameter) const;
    // The stored text read as an integer (leading digits; 0 when absent or not a number).
    long integerValueForParameter(const std::string& parameter) const;
    void removeParameter(const std::string& parameter) { params_.erase(parameter); }
    void setParameters(TBURLArguments parameters) { params_ = std::move(parameters); }
    const TBURLArguments& parameters() const { return params_; }

    // The base, then "?" and the escaped arguments when there are any.
    // nullopt when that is no longer a URL.
    std::optional<platform::Url> URL() const;
    // URL()'s text; "" when there is none.
    std::string URLString() const;
    const std::string& baseURLString() const { return baseURLString_; }

    bool operator==(const TBURLBuilder& other) const = default;
    std::size_t hash() const;

private:
    TBURLBuilder() = default;

    std::string baseURLString_;
    TBURLArguments params_;
};

}  // namespace wharf
