#include "plugins/background-fetch/WFBackgroundFetch.h"

#include "host/WFCommandDelegate.h"
#include "platform/base/Log.h"

namespace wharf {

namespace {
constexpr const char* kTag = "WFBackgroundFetch";
}

const WFActionTable& WFBackgroundFetch::actions() {
    static const WFActionTable table = WFMakeActionTable<WFBackgroundFetch>({
        {"configure", &WFBackgroundFetch::configure},
        {"start", &WFBackgroundFetch::start},
        {"stop", &WFBackgroundFetch::stop},
        {"finish", &WFBackgroundFetch::finish},
        {"status", &WFBackgroundFetch::status},
    });
    return table;
}

void registerBackgroundFetchPlugin() { WFRegisterPluginClass<WFBackgroundFetch>("WFBackgroundFetch"); }

BackgroundFetchManager& WFBackgroundFetch::manager() const {
    return manager_ ? *manager_ : BackgroundFetchManager::sharedInstance();
}

void WFBackgroundFetch::answer(const WFInvokedUrlCommand& command, const WFPluginResult& result) {
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}

void WFBackgroundFetch::configure(const WFInvokedUrlCommand& command) {
    platform::log("- %s configure", kTag);
    platform::Value config = command.argumentAtIndex(0, nullptr, WFValueClass::Dictionary);
    if (!config.is_object()) {
        platform::log("- %s configure needs a configuration object", kTag);
        answer(command, WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::Error,
                                                                        "configure needs a configuration object"));
        return;
    }
    BackgroundFetchManager& fetch = manager();
    fetch.configure(config);
    if (!fetch.start()) {
        platform::log("- %s failed to start", kTag);
        answer(command, WFPluginResult::resultWithStatus(WFResultStatus::Error));
        return;
    }
    configured_ = true;
    // The manager outlives the page; the listener reaches the host only while it is there.
    std::weak_ptr<WFCommandDelegate> delegate = commandDelegate();
    const std::optional<std::string>& callbackId = command.callbackId();
    fetch.addListener(kListenerName, [delegate, callbackId] {
        platform::log("- %s Rx Fetch Event", kTag);
        WFPluginResult result = WFPluginResult::resultWithStatus(WFResultStatus::OK);
        result.setKeepCallbackAsBool(true);
        if (auto host = delegate.lock()) host->sendPluginResult(result, callbackId);
    });
}

void WFBackgroundFetch::start(const WFInvokedUrlCommand& command) {
    platform::log("- %s start", kTag);
    answer(command, WFPluginResult::resultWithStatus(manager().start() ? WFResultStatus::OK : WFResultStatus::Error));
}

void WFBackgroundFetch::stop(const WFInvokedUrlCommand& command) {
    platform::log("- %s stop", kTag);
    manager().stop();
    answer(command, WFPluginResult::resultWithStatus(WFResultStatus::OK));
}

void WFBackgroundFetch::finish(const WFInvokedUrlCommand& command) {
    manager().finish(kListenerName, static_cast<unsigned long>(UIBackgroundFetchResult::NewData));
    answer(command, WFPluginResult::resultWithStatus(WFResultStatus::OK));
}

void WFBackgroundFetch::status(const WFInvokedUrlCommand& command) {
    answer(command, WFPluginResult::resultWithStatusMessageAsNSInteger(WFResultStatus::OK, manager().status()));
}

}  // namespace wharf
