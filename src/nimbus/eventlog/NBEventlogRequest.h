#pragma once
// One event file waiting to be sent.
#include <string>

namespace wharf {

struct NBEventlogRequest {
    int logSource = 0;
    std::string account;  // unescaped
    std::string path;
    bool operator==(const NBEventlogRequest&) const = default;
};

}  // namespace wharf
