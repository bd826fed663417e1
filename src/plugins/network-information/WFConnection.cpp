#include "plugins/network-information/WFConnection.h"

#include <map>

#include "host/WFCommandDelegate.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/net/Telephony.h"

namespace wharf {

namespace {

std::string typeForRadioAccessTechnology(const std::optional<std::string>& technology) {
    using namespace platform;
    static const std::map<std::string, std::string, std::less<>> types = {
        {CTRadioAccessTechnologyGPRS, "2g"},         {CTRadioAccessTechnologyEdge, "2g"},
        {CTRadioAccessTechnologyWCDMA, "3g"},        {CTRadioAccessTechnologyHSDPA, "3g"},
        {CTRadioAccessTechnologyHSUPA, "3g"},        {CTRadioAccessTechnologyCDMA1x, "3g"},
        {CTRadioAccessTechnologyCDMAEVDORev0, "3g"}, {CTRadioAccessTechnologyCDMAEVDORevA, "3g"},
        {CTRadioAccessTechnologyCDMAEVDORevB, "3g"}, {CTRadioAccessTechnologyeHRPD, "3g"},
        {CTRadioAccessTechnologyLTE, "4g"},
    };
    if (!technology) return "cellular";
    auto found = types.find(*technology);
    return found == types.end() ? "cellular" : found->second;
}

}  // namespace

const WFActionTable& WFConnection::actions() {
    static const WFActionTable table =
        WFMakeActionTable<WFConnection>({{"getConnectionInfo", &WFConnection::getConnectionInfo}});
    return table;
}

void registerNetworkInformationPlugin() { WFRegisterPluginClass<WFConnection>("WFConnection"); }

void WFConnection::pluginInitialize() {
    // The radio is watched from now on, so that its changes are posted.
    platform::Telephony::shared();
    setConnectionType("none");
    setInternetReach(WFReachability::reachabilityForInternetConnection());
    auto reach = internetReach();
    if (reach) {
        setConnectionType(w3cConnectionTypeFor(*reach));
        reach->startNotifier();
    }

    std::weak_ptr<WFPlugin> weak = weak_from_this();
    auto observe = [&](const char* name, void (*handler)(WFConnection&, const platform::Notification&)) {
        observations_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
            name, nullptr, [weak, handler](const platform::Notification& notification) {
                if (auto self = weak.lock()) handler(static_cast<WFConnection&>(*self), notification);
            }));
    };
    auto update = [](WFConnection& self, const platform::Notification& n) { self.updateConnectionType(n); };
    observe(kNetworkReachabilityChangedNotification, update);
    observe(platform::CTRadioAccessTechnologyDidChangeNotification, update);
    observe(platform::kUIApplicationDidEnterBackgroundNotification,
            [](WFConnection& self, const platform::Notification&) { self.onPause(); });
    observe(platform::kUIApplicationWillEnterForegroundNotification,
            [](WFConnection& self, const platform::Notification&) { self.onResume(); });
}

void WFConnection::getConnectionInfo(const WFInvokedUrlCommand& command) {
    {
        std::lock_guard lock(mutex_);
        callbackId_ = command.callbackId();
    }
    sendPluginResult();
}

void WFConnection::sendPluginResult() {
    auto result = WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, connectionType());
    result.setKeepCallbackAsBool(true);
    std::optional<std::string> callbackId;
    {
        std::lock_guard lock(mutex_);
        callbackId = callbackId_;
    }
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, callbackId);
}

std::string WFConnection::w3cConnectionTypeFor(const WFReachability& reachability) const {
    switch (reachability.currentReachabilityStatus()) {
    case NotReachable: return "none";
    case ReachableViaWiFi: return reachability.connectionRequired() ? "none" : "wifi";
    case ReachableViaWWAN:
        if (reachability.connectionRequired()) return "none";
        return typeForRadioAccessTechnology(platform::Telephony::shared()->currentRadioAccessTechnology());
    }
    return "unknown";
}

void WFConnection::updateReachability(WFReachability* reachability) {
    if (reachability) {
        std::string type = w3cConnectionTypeFor(*reachability);
        if (type == connectionType()) return;
        setConnectionType(type);
    }
    sendPluginResult();
}

void WFConnection::updateConnectionType(const platform::Notification& notification) {
    if (WFReachability* reachability = WFReachability::fromObject(notification.object)) {
        updateReachability(reachability);
    } else if (notification.name == platform::CTRadioAccessTechnologyDidChangeNotification) {
        // A new radio technology changes a cellular type ("3g" to "4g") while
        // reachability stays the same, so it refreshes the type too.
        auto reach = internetReach();
        if (reach) updateReachability(reach.get());
    }
}

void WFConnection::onPause() {
    if (auto reach = internetReach()) reach->stopNotifier();
}

void WFConnection::onResume() {
    auto reach = internetReach();
    if (!reach) return;
    reach->startNotifier();
    updateReachability(reach.get());
}

bool WFConnection::isCellularConnection(const std::string& type) const {
    return type == "2g" || type == "3g" || type == "4g" || type == "cellular";
}

std::string WFConnection::connectionType() const {
    std::lock_guard lock(mutex_);
    return connectionType_;
}

void WFConnection::setConnectionType(const std::string& type) {
    std::lock_guard lock(mutex_);
    connectionType_ = type;
}

std::shared_ptr<WFReachability> WFConnection::internetReach() const {
    std::lock_guard lock(mutex_);
    return internetReach_;
}

void WFConnection::setInternetReach(std::shared_ptr<WFReachability> reachability) {
    std::lock_guard lock(mutex_);
    internetReach_ = std::move(reachability);
}

}  // namespace wharf
