#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/base/Value.h"

namespace wharf::platform {

inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

// An error value: domain, code and a user-info dictionary.
struct Error {
    std::string domain;
    int64_t code = 0;
    Value userInfo = Value::object();

    Error() = default;
    Error(std::string d, int64_t c, Value info = Value::object())
        : domain(std::move(d)), code(c), userInfo(info.is_object() ? std::move(info) : Value::object()) {}
    static Error withDescription(std::string domain, int64_t code, const std::string& description);

    // userInfo's localized description, else "The operation couldn’t be completed. (<domain> error <code>.)"
    std::string localizedDescription() const;
    // "Error Domain=<domain> Code=<code> \"<localizedDescription>\" UserInfo={...}"
    std::string description() const;
};

// Fills an optional error out-parameter.
inline void setError(Error* out, Error e) {
    if (out) *out = std::move(e);
}

// The text of an errno value, as strerror gives it but without its shared
// buffer: safe on any thread.
std::string errnoText(int err);

// A configuration fault that the phone sent to the assertion handler: main()
// turns it into the message and a non-zero exit status.
class FatalConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace wharf::platform
