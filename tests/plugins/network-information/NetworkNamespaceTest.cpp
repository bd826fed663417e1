// The network-information plug-in over the system's real network monitor, in
// a network namespace of the test's own where it may add and remove routes.
// The test runs itself again under `unshare -rn`; where user and network
// namespaces are not allowed it is skipped with the reason.
#include <gtest/gtest.h>

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "SentResults.h"
#include "TestSupport.h"
#include "host/testing/FakeViewController.h"
#include "platform/Reachability.h"
#include "platform/RunLoop.h"
#include "plugins/network-information/WFConnection.h"

namespace wharf {
namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr const char* kInsideVariable = "WHARF_TEST_INSIDE_NETNS";

struct Spawned {
    bool started = false;
    int status = -1;
    std::string output;
};

Spawned run(const std::vector<std::string>& args, bool inside = false) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    gchar** env = g_get_environ();
    if (inside) env = g_environ_setenv(env, kInsideVariable, "1", TRUE);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint wait = 0;
    Spawned result;
    result.started =
        g_spawn_sync(nullptr, argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &wait, nullptr);
    g_strfreev(env);
    if (result.started) {
        result.status = g_spawn_check_wait_status(wait, nullptr) ? 0 : (WIFEXITED(wait) ? WEXITSTATUS(wait) : 128);
        result.output = std::string(out ? out : "") + (err ? err : "");
    }
    g_free(out);
    g_free(err);
    return result;
}

bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

TEST(NetworkNamespace, DefaultRoutesComeAndGoAsTheKeptCallbacksTypes) {
    if (!std::getenv(kInsideVariable)) {
        Spawned probe = run({"unshare", "-rn", "ip", "link", "show", "lo"});
        WHARF_REQUIRE_COMPONENT(probe.started && probe.status == 0,
                                "a network namespace of our own (unshare -rn with ip): " << probe.output);
        char self[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        Spawned inside = run({"unshare", "-rn", self, "--gtest_filter=NetworkNamespace.*"}, true);
        ASSERT_TRUE(inside.started);
        EXPECT_EQ(inside.status, 0) << inside.output;
        EXPECT_NE(inside.output.find("[  PASSED  ] 1 test"), std::string::npos) << inside.output;
        return;
    }

    // Two links without addresses: nothing here can send a packet anywhere.
    ASSERT_TRUE(sh("ip link add veth0 type veth peer name veth1 && ip link set veth0 up && ip link set veth1 up"));
    ASSERT_TRUE(sh("ip link add wwan0 type veth peer name wwpeer && ip link set wwan0 up && ip link set wwpeer up"));
    NetworkMonitor::setShared(nullptr);  // GIO's
    int changes = 0;
    auto monitor = NetworkMonitor::shared();
    // Registered after the plug-in's reference: when it runs, the plug-in has seen the change.
    auto routeChange = [&](const std::string& command) {
        const int before = changes;
        ASSERT_TRUE(sh(command)) << command;
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return changes > before; })) << "no change seen after " << command;
        RunLoop::pumpFor(20ms);
    };

    auto controller = testing::FakeViewController::create();
    auto plugin = std::make_shared<WFConnection>();
    plugin->initWithWebViewEngine(controller->engine());
    controller->registerPlugin(plugin, "NetworkInformation");
    const uint64_t token = monitor->addObserver([&] { ++changes; });
    plugin->getConnectionInfo(WFInvokedUrlCommand(Value::array(), "net", "WFConnection", "getConnectionInfo"));
    auto types = [&] {
        std::vector<std::string> out;
        for (const auto& r : test::sentResults(*controller->engine())) {
            EXPECT_EQ(r.callbackId, "net");
            EXPECT_TRUE(r.keepCallback);
            out.push_back(r.message.get<std::string>());
        }
        return out;
    };
    RunLoop::pumpFor(20ms);
    EXPECT_EQ(types(), std::vector<std::string>{"none"});

    routeChange("ip route add default dev veth0");
    EXPECT_EQ(types(), (std::vector<std::string>{"none", "wifi"}));
    // A second default route, and then the loss of the first, change the
    // routes but not the type: nothing is sent.
    routeChange("ip route add default dev veth1 metric 200");
    routeChange("ip route del default dev veth0");
    EXPECT_EQ(types(), (std::vector<std::string>{"none", "wifi"}));
    routeChange("ip route del default dev veth1");
    EXPECT_EQ(types(), (std::vector<std::string>{"none", "wifi", "none"}));
    // A default route through a mobile-broadband link is cellular (no radio technology known).
    routeChange("ip route add default dev wwan0");
    std::vector<std::string> expected{"none", "wifi", "none", "cellular"};
    EXPECT_EQ(types(), expected);
    // Losing it is one report, of the state the routes now have.
    routeChange("ip route del default dev wwan0");
    expected.push_back("none");
    EXPECT_EQ(types(), expected);

    // A blackhole default route carries nothing, and in front of a real one
    // it takes all the traffic.
    routeChange("ip route add blackhole default");
    EXPECT_EQ(types(), expected);
    routeChange("ip route add default dev veth0 metric 100");
    EXPECT_EQ(types(), expected);
    routeChange("ip route del blackhole default");
    expected.push_back("wifi");
    EXPECT_EQ(types(), expected);
    // The far end of the link goes down: the route stays, the link has no carrier.
    routeChange("ip link set veth1 down");
    expected.push_back("none");
    EXPECT_EQ(types(), expected);
    routeChange("ip link set veth1 up");
    expected.push_back("wifi");
    EXPECT_EQ(types(), expected);

    monitor->removeObserver(token);
}

}  // namespace
}  // namespace wharf
