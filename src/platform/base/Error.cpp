#include "platform/base/Error.h"

#include <cstring>

namespace wharf::platform {

Error Error::withDescription(std::string domain, int64_t code, const std::string& description) {
    Value info = Value::object();
    info[kLocalizedDescriptionKey] = description;
    return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
    if (userInfo.is_object()) {
        auto it = userInfo.find(kLocalizedDescriptionKey);
        if (it != userInfo.end() && it->is_string()) return it->get<std::string>();
    }
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::description() const {
    // Replace rather than throw on invalid UTF-8: a description is for logs.
    std::string info =
        userInfo.is_object() ? userInfo.dump(-1, ' ', false, Value::error_handler_t::replace) : std::string("{}");
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription() +
           "\" UserInfo=" + info;
}

std::string errnoText(int err) {
    char buffer[256];
    // GNU's strerror_r: answers either `buffer` or a text of its own.
    return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace wharf::platform
