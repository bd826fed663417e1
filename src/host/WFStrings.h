#pragma once
// Small string helpers shared inside the host.
#include <string>
#include <string_view>

namespace wharf {

// Lower-cased as the platform's string does (Unicode-aware for UTF-8 text).
std::string wf_lowercase(std::string_view text);

}  // namespace wharf
