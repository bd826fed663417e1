#include "E2EEchoPlugin.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/WharfMain.h"
#include "host/WFCommandDelegate.h"
#include "platform/storage/Container.h"

namespace wharf::e2e {

using platform::Value;

void E2EEcho::registerClass() { WFRegisterPluginClass<E2EEcho>("E2EEcho"); }

const WFActionTable& E2EEcho::actions() {
    static const WFActionTable table = WFMakeActionTable<E2EEcho>({
        {"echo", &E2EEcho::echo},
        {"echoError", &E2EEcho::echoError},
        {"keep", &E2EEcho::keep},
        {"echoArrayBuffer", &E2EEcho::echoArrayBuffer},
        {"resets", &E2EEcho::resets},
        {"openEvents", &E2EEcho::openEvents},
        {"fail", &E2EEcho::fail},
        {"evalAroundEcho", &E2EEcho::evalAroundEcho},
        {"memory", &E2EEcho::memory},
        {"record", &E2EEcho::record},
        {"finish", &E2EEcho::finish},
    });
    return table;
}

void E2EEcho::answer(const WFInvokedUrlCommand& command, const WFPluginResult& result) {
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}

void E2EEcho::echo(const WFInvokedUrlCommand& command) {
    answer(command, WFPluginResult(static_cast<int>(WFResultStatus::OK), command.argumentAtIndex(0)));
}

void E2EEcho::evalAroundEcho(const WFInvokedUrlCommand& command) {
    auto evaluate = [&](std::size_t index) {
        const Value script = command.argumentAtIndex(index);
        if (auto delegate = commandDelegate(); delegate && script.is_string())
            delegate->evalJs(script.get<std::string>());
    };
    evaluate(0);
    answer(command, WFPluginResult(static_cast<int>(WFResultStatus::OK), command.argumentAtIndex(1)));
    evaluate(2);
}

void E2EEcho::echoError(const WFInvokedUrlCommand& command) {
    answer(command, WFPluginResult(static_cast<int>(WFResultStatus::Error), command.argumentAtIndex(0)));
}

void E2EEcho::keep(const WFInvokedUrlCommand& command) {
    for (int i = 1; i <= 3; ++i) {
        auto result = WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, i);
        result.setKeepCallbackAsBool(true);
        answer(command, result);
    }
}

void E2EEcho::echoArrayBuffer(const WFInvokedUrlCommand& command) {
    answer(command, WFPluginResult::resultWithStatusMessageAsArrayBuffer(
                        WFResultStatus::OK, platform::bytesOf(command.argumentAtIndex(0))));
}

void E2EEcho::resets(const WFInvokedUrlCommand& command) {
    answer(command, WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, resetCount_));
}

void E2EEcho::openEvents(const WFInvokedUrlCommand& command) {
    Value events = Value::array();
    for (auto& e : openEvents_) events.push_back(e);
    answer(command, WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, events));
}

void E2EEcho::fail(const WFInvokedUrlCommand&) { throw std::runtime_error("E2EEcho.fail throws on purpose"); }

void E2EEcho::memory(const WFInvokedUrlCommand& command) {
    if (command.argumentAtIndex(0) == Value(true)) std::ofstream("/proc/self/clear_refs") << "5";
    Value sizes = Value::object();
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        for (const auto& [field, key] : {std::pair{"VmRSS:", "rss"}, std::pair{"VmHWM:", "peak"}})
            if (line.rfind(field, 0) == 0) sizes[key] = std::stoull(line.substr(6)) * 1024;
    }
    int descriptors = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++descriptors;
    }
    sizes["fds"] = descriptors;
    answer(command, WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, sizes));
}

void E2EEcho::record(const WFInvokedUrlCommand& command) {
    Value text = command.argumentAtIndex(0);
    std::ofstream out(platform::Container::home() + "/e2e-report.json", std::ios::trunc);
    out << (text.is_string() ? text.get<std::string>() : text.dump());
    out.flush();
    answer(command, WFPluginResult::resultWithStatus(WFResultStatus::OK));
}

void E2EEcho::finish(const WFInvokedUrlCommand& command) {
    Value status = command.argumentAtIndex(0);
    wharfQuit(status.is_number_integer() ? status.get<int>() : 0);
}

void E2EEcho::handleOpenURL(const platform::Notification& notification) {
    auto* url = static_cast<const platform::Url*>(notification.object);
    openEvents_.push_back("open:" + (url ? url->absoluteString() : std::string("?")));
}

void E2EEcho::handleOpenURLWithApplicationSourceAndAnnotation(const platform::Notification& notification) {
    std::string url = "?";
    if (notification.userInfo.is_object() && notification.userInfo.contains("url"))
        url = notification.userInfo["url"].get<std::string>();
    openEvents_.push_back("openWithSource:" + url);
}

}  // namespace wharf::e2e
