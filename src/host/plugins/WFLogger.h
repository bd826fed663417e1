#pragma once
// Writes the page's console messages to the log.
#include "host/WFPlugin.h"

namespace wharf {

class WFLogger : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    // Arguments [level, message]: "LOG" logs the message alone, any other level
    // "<level>: <message>". Sends no result.
    void logLevel(const WFInvokedUrlCommand& command);
};

}  // namespace wharf
