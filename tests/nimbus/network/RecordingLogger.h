#pragma once
// A network logger delegate that keeps every line it is given.
#include <mutex>
#include <string>
#include <vector>

#include "nimbus/network/NBNetworkLoggerDelegate.h"

namespace wharf::test {

class RecordingLogger : public NBNetworkLoggerDelegate {
public:
    struct Line {
        int level;
        int64_t code;
        std::string message;
        std::vector<platform::Value> contexts;
    };
    void nbNetwork_logWithLevelMessageCodeMessageContexts(int level, int64_t code,
                                                          const std::optional<std::string>& message,
                                                          const std::vector<platform::Value>& contexts) override {
        std::lock_guard lock(mutex);
        lines.push_back({level, code, message.value_or("(nil)"), contexts});
    }
    void nbNetwork_logWithLevelMessageCodeMessageContext(int level, int64_t code,
                                                         const std::optional<std::string>& message,
                                                         const platform::Value& context) override {
        nbNetwork_logWithLevelMessageCodeMessageContexts(level, code, message, {context});
    }
    void nbNetwork_logWithLevel(int level, int64_t code, const std::optional<std::string>& message) override {
        nbNetwork_logWithLevelMessageCodeMessageContexts(level, code, message, {});
    }
    bool has(int64_t code) {
        std::lock_guard lock(mutex);
        for (const auto& l : lines)
            if (l.code == code) return true;
        return false;
    }
    std::mutex mutex;
    std::vector<Line> lines;
};

}  // namespace wharf::test
