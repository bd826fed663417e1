#pragma once
// Writes each message to the system log, marked so that the capture side
// never reads it back.
#include <memory>

#include "logging/LGAbstractLogger.h"

namespace wharf {

class LGASLLogger : public LGAbstractLogger {
public:
    static std::shared_ptr<LGASLLogger> sharedInstance();
    // Null while the shared instance exists: one per process.
    static std::shared_ptr<LGASLLogger> create();

    // The system-log level for a message flag (2 critical … 5 notice).
    static int levelForFlag(uint64_t flag);

    std::string loggerName() override { return "wharf.logging.aslLogger"; }
    void logMessage(const LGLogMessage& message) override;

protected:
    LGASLLogger() = default;
};

}  // namespace wharf
