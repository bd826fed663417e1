#include "host/plugins/WFLogger.h"

#include "platform/base/Log.h"

namespace wharf {

const WFActionTable& WFLogger::actions() {
    static const WFActionTable table = WFMakeActionTable<WFLogger>({{"logLevel", &WFLogger::logLevel}});
    return table;
}

void WFLogger::logLevel(const WFInvokedUrlCommand& command) {
    std::string level = platform::stringValue(command.argumentAtIndex(0, ""));
    std::string message = platform::stringValue(command.argumentAtIndex(1, ""));
    if (level == "LOG")
        platform::logMessage(message);
    else
        platform::logMessage(level + ": " + message);
}

}  // namespace wharf
