#include "HostTestSupport.h"

#include <chrono>
#include <stdexcept>

#include "host/WFCommandDelegate.h"

namespace wharf::test {

const WFActionTable& RecordingPlugin::actions() {
    static const WFActionTable table = WFMakeActionTable<RecordingPlugin>({{"record", &RecordingPlugin::record},
                                                                           {"echo", &RecordingPlugin::echo},
                                                                           {"work", &RecordingPlugin::work},
                                                                           {"hook", &RecordingPlugin::hook},
                                                                           {"fail", &RecordingPlugin::fail}});
    return table;
}

void RecordingPlugin::record(const WFInvokedUrlCommand& command) {
    calls.push_back(platform::stringValue(command.argumentAtIndex(0)));
    commands.push_back(command);
}

void RecordingPlugin::echo(const WFInvokedUrlCommand& command) {
    record(command);
    commandDelegate()->sendPluginResult(WFPluginResult::resultWithStatusMessageAsString(
                                            WFResultStatus::OK, platform::stringValue(command.argumentAtIndex(0))),
                                        command.callbackId());
}

void RecordingPlugin::work(const WFInvokedUrlCommand& command) {
    record(command);
    if (clock) clock->advance(std::chrono::milliseconds(platform::integerValue(command.argumentAtIndex(0))));
}

void RecordingPlugin::hook(const WFInvokedUrlCommand& command) {
    record(command);
    if (onHook) onHook(command);
}

void RecordingPlugin::fail(const WFInvokedUrlCommand& command) {
    record(command);
    throw std::runtime_error("plugin failure");
}

std::string entry(const std::string& callbackId, const std::string& service, const std::string& action,
                  const std::string& argumentsJSON) {
    const std::string id = callbackId == "null" ? "null" : "\"" + callbackId + "\"";
    return "[" + id + ",\"" + service + "\",\"" + action + "\"," + argumentsJSON + "]";
}

std::string batch(const std::vector<std::string>& entries) {
    std::string text = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? "," : "") + entries[i];
    return text + "]";
}

}  // namespace wharf::test
