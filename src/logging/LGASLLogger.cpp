#include "logging/LGASLLogger.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "logging/LGInternal.h"
#include "platform/device/SystemLog.h"

namespace wharf {

namespace {

std::mutex& instanceMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<LGASLLogger>& instanceSlot() {
    static auto* slot = new std::shared_ptr<LGASLLogger>;
    return *slot;
}

}  // namespace

std::shared_ptr<LGASLLogger> LGASLLogger::sharedInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    auto& slot = instanceSlot();
    if (!slot) slot = std::shared_ptr<LGASLLogger>(new LGASLLogger);
    return slot;
}

std::shared_ptr<LGASLLogger> LGASLLogger::create() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (instanceSlot()) return nullptr;
    return std::shared_ptr<LGASLLogger>(new LGASLLogger);
}

int LGASLLogger::levelForFlag(uint64_t flag) {
    switch (flag) {
    case LGLogFlagError: return 2;
    case LGLogFlagWarning: return 3;
    case LGLogFlagInfo: return 4;
    default: return 5;
    }
}

void LGASLLogger::logMessage(const LGLogMessage& message) {
    // Already in the system log: it came from there through the capture.
    if (message.fileName() == "LGASLLogCapture") return;

    std::optional<std::string> formatted;
    if (logFormatter_) {
        formatted = logFormatter_->formatLogMessage(message);
        // A formatter that gives no text means the message is not written.
        if (!formatted) return;
    }
    std::string_view text = formatted ? std::string_view(*formatted) : message.message();

    char euid[16];
    int length = std::snprintf(euid, sizeof euid, "%d", static_cast<int>(::geteuid()));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof euid) {
        LG_MISUSE("Formatted euid is too long.");
        return;
    }
    platform::SystemLog::write(levelForFlag(message.flag()), text, {{"READ_UID", euid}, {"LGLOG", "1"}});
}

}  // namespace wharf
