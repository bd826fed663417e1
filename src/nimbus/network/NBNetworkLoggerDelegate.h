#pragma once
// The log funnel of the network components: NBNetwork implements it and
// forwards to its owner's logger delegate or writes the lines itself; its
// URL sessions and reachability checkers log through it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Value.h"

namespace wharf {

class NBNetworkLoggerDelegate {
public:
    virtual ~NBNetworkLoggerDelegate() = default;
    // Levels are the core logger's (3 error, 4 warning, 6 info, 7 debug); the
    // code is the number of "I-NET%06ld". A context that is null stands as "(nil)".
    virtual void nbNetwork_logWithLevelMessageCodeMessageContexts(int level, int64_t messageCode,
                                                                  const std::optional<std::string>& message,
                                                                  const std::vector<platform::Value>& contexts) = 0;
    virtual void nbNetwork_logWithLevelMessageCodeMessageContext(int level, int64_t messageCode,
                                                                 const std::optional<std::string>& message,
                                                                 const platform::Value& context) = 0;
    virtual void nbNetwork_logWithLevel(int level, int64_t messageCode, const std::optional<std::string>& message) = 0;
};

}  // namespace wharf
