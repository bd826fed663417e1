// The connection type from reachability flags and radio technology, and the
// channel that reports it: one kept callback, changes only, taken over by the
// latest call, quiet while the application is in the background.
#include <gtest/gtest.h>

#include "SentResults.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/net/Reachability.h"
#include "platform/net/Telephony.h"
#include "plugins/network-information/WFConnection.h"

namespace wharf {
namespace {

using namespace platform;
using test::SentResult;

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application::shared().resetForTesting();
        NetworkMonitor::setShared(monitor);
        Telephony::setShared(telephony);
    }
    void TearDown() override {
        plugin.reset();
        controller.reset();
        NetworkMonitor::setShared(nullptr);
        Telephony::setShared(nullptr);
        Application::shared().resetForTesting();
    }

    void startPlugin() {
        controller = testing::FakeViewController::create();
        plugin = std::make_shared<WFConnection>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "NetworkInformation");
        RunLoop::pumpFor(std::chrono::milliseconds(5));  // the notifier's first report
    }
    void getConnectionInfo(const std::string& callbackId) {
        plugin->getConnectionInfo(WFInvokedUrlCommand(Value::array(), callbackId, "WFConnection", "getConnectionInfo"));
    }
    // Every report sent so far, after letting pending ones through.
    std::vector<SentResult> reports() {
        RunLoop::pumpFor(std::chrono::milliseconds(5));
        return test::sentResults(*controller->engine());
    }
    std::string typeFor(ReachabilityFlags flags, std::optional<std::string> technology = std::nullopt) {
        telephony->setRadioAccessTechnology(std::move(technology));
        monitor->setFlags(flags);
        return plugin->w3cConnectionTypeFor(*plugin->internetReach());
    }

    std::shared_ptr<FakeNetworkMonitor> monitor = std::make_shared<FakeNetworkMonitor>(0);
    std::shared_ptr<FakeTelephony> telephony = std::make_shared<FakeTelephony>();
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFConnection> plugin;
};

TEST_F(ConnectionTest, TypeForEveryKindOfFlagsAndRadio) {
    startPlugin();
    const ReachabilityFlags reachable = kReachabilityFlagReachable;
    const ReachabilityFlags wwan = reachable | kReachabilityFlagIsWWAN;
    EXPECT_EQ(typeFor(0), "none");  // airplane mode
    EXPECT_EQ(typeFor(kReachabilityFlagIsWWAN), "none");
    EXPECT_EQ(typeFor(reachable), "wifi");
    // Wi-Fi that must first be brought up is not there yet, even where it would
    // come up by itself on traffic or on demand (which makes it Wi-Fi to the
    // status, unless the user would have to step in).
    const ReachabilityFlags required = reachable | kReachabilityFlagConnectionRequired;
    EXPECT_EQ(typeFor(required), "none");
    EXPECT_EQ(WFReachability::networkStatusForFlags(required), NotReachable);
    for (ReachabilityFlags automatic : {kReachabilityFlagConnectionOnTraffic, kReachabilityFlagConnectionOnDemand}) {
        EXPECT_EQ(typeFor(required | automatic), "none");
        EXPECT_EQ(WFReachability::networkStatusForFlags(required | automatic), ReachableViaWiFi);
        EXPECT_EQ(WFReachability::networkStatusForFlags(required | automatic | kReachabilityFlagInterventionRequired),
                  NotReachable);
    }
    EXPECT_EQ(WFReachability::networkStatusForFlags(wwan | kReachabilityFlagConnectionRequired), ReachableViaWWAN);
    EXPECT_EQ(typeFor(wwan | kReachabilityFlagConnectionRequired, CTRadioAccessTechnologyLTE), "none");

    EXPECT_EQ(typeFor(wwan), "cellular");  // no technology reported
    EXPECT_EQ(typeFor(wwan, "CTRadioAccessTechnologyNRNSA"), "cellular");
    EXPECT_EQ(typeFor(wwan, CTRadioAccessTechnologyLTE), "4g");
    for (const char* tech : {CTRadioAccessTechnologyGPRS, CTRadioAccessTechnologyEdge})
        EXPECT_EQ(typeFor(wwan, tech), "2g") << tech;
    for (const char* tech :
         {CTRadioAccessTechnologyWCDMA, CTRadioAccessTechnologyHSDPA, CTRadioAccessTechnologyHSUPA,
          CTRadioAccessTechnologyCDMA1x, CTRadioAccessTechnologyCDMAEVDORev0, CTRadioAccessTechnologyCDMAEVDORevA,
          CTRadioAccessTechnologyCDMAEVDORevB, CTRadioAccessTechnologyeHRPD})
        EXPECT_EQ(typeFor(wwan, tech), "3g") << tech;
    for (const char* type : {"2g", "3g", "4g", "cellular"}) EXPECT_TRUE(plugin->isCellularConnection(type));
    for (const char* type : {"none", "wifi", "unknown"}) EXPECT_FALSE(plugin->isCellularConnection(type));
}

TEST_F(ConnectionTest, KeptCallbackHearsEachChangeOnceAndTheLatestCallTakesOver) {
    monitor->setFlags(kReachabilityFlagReachable);
    LogCapture log;
    startPlugin();
    monitor->setFlags(0);  // a change before any call has nowhere to go
    EXPECT_TRUE(log.contains("Invalid callback id received by sendPluginResult"));
    EXPECT_TRUE(reports().empty());

    getConnectionInfo("first");
    monitor->setFlags(kReachabilityFlagReachable);
    monitor->setFlags(kReachabilityFlagReachable);  // the same state again: nothing
    monitor->setFlags(kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress);  // same type: nothing
    auto sent = reports();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].callbackId, "first");
    EXPECT_EQ(sent[0].message, "none");
    EXPECT_EQ(sent[1].message, "wifi");
    for (const auto& r : sent) {
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.keepCallback);
    }

    getConnectionInfo("second");  // answered even though nothing changed
    monitor->setFlags(kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    sent = reports();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2].callbackId, "second");
    EXPECT_EQ(sent[2].message, "wifi");
    EXPECT_EQ(sent[3].callbackId, "second");
    EXPECT_EQ(sent[3].message, "cellular");

    // A new radio technology alone refreshes a cellular type.
    telephony->setRadioAccessTechnology(CTRadioAccessTechnologyHSDPA);
    telephony->setRadioAccessTechnology(CTRadioAccessTechnologyLTE);
    sent = reports();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[4].message, "3g");
    EXPECT_EQ(sent[5].message, "4g");
}

TEST_F(ConnectionTest, InTheBackgroundChangesWaitAndTheForegroundReportsOnlyADifference) {
    monitor->setFlags(kReachabilityFlagReachable);
    startPlugin();
    getConnectionInfo("cb");
    ASSERT_EQ(reports().size(), 1u);
    auto& app = Application::shared();

    app.setState(ApplicationState::Background);
    monitor->setFlags(0);
    monitor->setFlags(kReachabilityFlagReachable);
    app.setState(ApplicationState::Active);  // back on the same network
    EXPECT_EQ(reports().size(), 1u);

    app.setState(ApplicationState::Background);
    monitor->setFlags(kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    EXPECT_EQ(reports().size(), 1u);
    app.setState(ApplicationState::Active);
    auto sent = reports();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].message, "cellular");
    monitor->setFlags(0);  // watched again
    EXPECT_EQ(reports().size(), 3u);
}

}  // namespace
}  // namespace wharf
