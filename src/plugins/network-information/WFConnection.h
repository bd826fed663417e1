#pragma once
// Tells the page which kind of network the device is on ("none", "wifi", "2g",
// "3g", "4g", "cellular" or "unknown") and tells it again on every change.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "plugins/network-information/WFReachability.h"

namespace wharf {

class WFConnection : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFConnection"; }

    void pluginInitialize() override;

    // Answers the current type with the callback kept; the call's callback
    // identifier then receives every later change instead of any earlier one.
    void getConnectionInfo(const WFInvokedUrlCommand& command);

    // Sends the current type to the kept callback.
    void sendPluginResult();
    std::string w3cConnectionTypeFor(const WFReachability& reachability) const;
    // With a reachability: stores and sends a changed type. Without: sends the current one.
    void updateReachability(WFReachability* reachability);
    void updateConnectionType(const platform::Notification& notification);
    void onPause();
    void onResume();
    bool isCellularConnection(const std::string& type) const;

    std::string connectionType() const;
    void setConnectionType(const std::string& type);
    std::shared_ptr<WFReachability> internetReach() const;
    void setInternetReach(std::shared_ptr<WFReachability> reachability);

private:
    mutable std::mutex mutex_;
    std::string connectionType_ = "none";
    std::shared_ptr<WFReachability> internetReach_;
    std::optional<std::string> callbackId_;
    std::vector<platform::ObserverToken> observations_;
};

// Registers "WFConnection".
void registerNetworkInformationPlugin();

}  // namespace wharf
