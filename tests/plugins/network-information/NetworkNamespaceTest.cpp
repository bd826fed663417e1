// The network-information plug-in over the system's real network monitor, in
// a network namespace of the test's own where it may add and remove routes,
// and over the system's telephony, with a fake ModemManager (python3-dbusmock)
// on a system bus of the test's own. Each test runs itself again under
// `unshare -rn`; where user and network namespaces are not allowed it is
// skipped with the reason.
#include <gtest/gtest.h>

#include <gio/gio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ProcessGroup.h"
#include "SentResults.h"
#include "TestSupport.h"
#include "host/testing/FakeViewController.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/Reachability.h"
#include "platform/net/Telephony.h"
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

// Runs the current test again inside a network namespace of its own.
void rerunInside() {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    Spawned inside = run({"unshare", "-rn", self, filter}, true);
    ASSERT_TRUE(inside.started);
    EXPECT_EQ(inside.status, 0) << inside.output;
    EXPECT_NE(inside.output.find("[  PASSED  ] 1 test"), std::string::npos) << inside.output;
}

// Outside the namespace the test runs itself inside one, and ends.
#define WHARF_INSIDE_NETWORK_NAMESPACE()                                                                      \
    do {                                                                                                      \
        if (!std::getenv(kInsideVariable)) {                                                                  \
            const Spawned probe = run({"unshare", "-rn", "ip", "link", "show", "lo"});                        \
            const bool allowed = probe.started && probe.status == 0;                                          \
            const std::string what = "a network namespace of our own (unshare -rn with ip): " + probe.output; \
            WHARF_REQUIRE_COMPONENT(allowed, what);                                                           \
            rerunInside();                                                                                    \
            return;                                                                                           \
        }                                                                                                     \
    } while (0)

// The plug-in with its kept callback "net", and a count of the network
// monitor's changes to wait on.
struct ConnectionUnderTest {
    ConnectionUnderTest() {
        NetworkMonitor::setShared(nullptr);  // GIO's and the kernel's
        monitor = NetworkMonitor::shared();
        controller = testing::FakeViewController::create();
        plugin = std::make_shared<WFConnection>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "NetworkInformation");
        // Registered after the plug-in's reference: when it runs, the plug-in has seen the change.
        token = monitor->addObserver([this] { ++changes; });
        plugin->getConnectionInfo(WFInvokedUrlCommand(Value::array(), "net", "WFConnection", "getConnectionInfo"));
        RunLoop::pumpFor(20ms);
    }
    ~ConnectionUnderTest() { monitor->removeObserver(token); }

    void routeChange(const std::string& command) {
        const int before = changes;
        ASSERT_TRUE(sh(command)) << command;
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return changes > before; })) << "no change seen after " << command;
        RunLoop::pumpFor(20ms);
    }
    std::vector<std::string> types() {
        std::vector<std::string> out;
        for (const auto& r : test::sentResults(*controller->engine())) {
            EXPECT_EQ(r.callbackId, "net");
            EXPECT_TRUE(r.keepCallback);
            out.push_back(r.message.get<std::string>());
        }
        return out;
    }

    std::shared_ptr<NetworkMonitor> monitor;
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFConnection> plugin;
    int changes = 0;
    uint64_t token = 0;
};

TEST(NetworkNamespace, DefaultRoutesComeAndGoAsTheKeptCallbacksTypes) {
    WHARF_INSIDE_NETWORK_NAMESPACE();

    // Two links without addresses: nothing here can send a packet anywhere.
    ASSERT_TRUE(sh("ip link add veth0 type veth peer name veth1 && ip link set veth0 up && ip link set veth1 up"));
    ASSERT_TRUE(sh("ip link add wwan0 type veth peer name wwpeer && ip link set wwan0 up && ip link set wwpeer up"));
    // Their operational state follows their carrier a moment later.
    for (const char* link : {"veth0", "veth1", "wwan0"})
        ASSERT_TRUE(RunLoop::pumpUntil([&] { return interfaceCarriesTraffic(link); }, 10s)) << link;
    Telephony::setShared(std::make_shared<FakeTelephony>());  // no radio to ask
    ConnectionUnderTest connection;
    auto routeChange = [&](const std::string& command) { connection.routeChange(command); };
    auto types = [&] { return connection.types(); };
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
    // The far end of the link goes down: the route stays, the link has no
    // carrier. The kernel tells of the link's new operational state a moment
    // after its carrier, with a message of its own.
    auto linkChange = [&](const std::string& command, const std::string& type) {
        routeChange(command);
        expected.push_back(type);
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return types().size() >= expected.size(); }, 10s)) << command;
        RunLoop::pumpFor(20ms);
        EXPECT_EQ(types(), expected);
    };
    linkChange("ip link set veth1 down", "none");
    linkChange("ip link set veth1 up", "wifi");
    Telephony::setShared(nullptr);
}

// A system bus of the test's own with a fake ModemManager on it, whose modem
// objects the test adds, changes and removes.
class FakeModemManager {
public:
    explicit FakeModemManager(const std::string& dir) {
        const std::string config = dir + "/system-bus.conf";
        test::writeFile(config, "<busconfig><type>system</type><listen>unix:path=" + dir +
                                    "/system_bus_socket</listen><auth>EXTERNAL</auth>"
                                    "<policy context=\"default\"><allow send_destination=\"*\"/>"
                                    "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        bus_ = test::spawnGroup({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork"}, 120s);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/system_bus_socket").c_str(), 1);
        if (!bus_ ||
            !RunLoop::pumpUntil([&] { return g_file_test((dir + "/system_bus_socket").c_str(), G_FILE_TEST_EXISTS); }))
            return;
        mock_ = test::spawnGroup(
            {"/usr/bin/python3", "-m", "dbusmock", "--system", "--is-object-manager", "org.freedesktop.ModemManager1",
             "/org/freedesktop/ModemManager1", "org.freedesktop.ModemManager1"},
            120s);
        // The socket's file is there from its bind, a moment before the bus
        // listens on it: a connection made then is refused.
        RunLoop::pumpUntil([&] { return (connection_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr)); });
        started_ = mock_ && connection_ && RunLoop::pumpUntil([&] {
                       GVariant* owned = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                              "NameHasOwner", g_variant_new("(s)", "org.freedesktop.ModemManager1"));
                       gboolean has = FALSE;
                       if (owned) g_variant_get(owned, "(b)", &has);
                       return has == TRUE;
                   });
    }
    ~FakeModemManager() {
        if (reply_) g_variant_unref(reply_);
        if (connection_) g_object_unref(connection_);
        test::endGroup(mock_);
        test::endGroup(bus_);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    bool started() const { return started_; }

    // As ModemManager does: the object, then the object manager's signal.
    bool addModem(const std::string& path, uint32_t technologies, int32_t state) {
        auto properties = [&] {
            GVariantBuilder b;
            g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
            g_variant_builder_add(&b, "{sv}", "AccessTechnologies", g_variant_new_uint32(technologies));
            g_variant_builder_add(&b, "{sv}", "State", g_variant_new_int32(state));
            return g_variant_builder_end(&b);
        };
        if (!mockCall("AddObject", g_variant_new("(ss@a{sv}a(ssss))", path.c_str(), kModem, properties(), nullptr)))
            return false;
        GVariantBuilder interfaces;
        g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
        g_variant_builder_add(&interfaces, "{s@a{sv}}", kModem, properties());
        return emit("InterfacesAdded", "oa{sa{sv}}",
                    {g_variant_new_object_path(path.c_str()), g_variant_builder_end(&interfaces)});
    }
    bool setTechnologies(const std::string& path, uint32_t technologies) {
        return call("org.freedesktop.ModemManager1", path.c_str(), "org.freedesktop.DBus.Properties", "Set",
                    g_variant_new("(ssv)", kModem, "AccessTechnologies", g_variant_new_uint32(technologies))) !=
               nullptr;
    }
    bool removeModem(const std::string& path) {
        const char* names[] = {kModem, nullptr};
        return emit("InterfacesRemoved", "oas",
                    {g_variant_new_object_path(path.c_str()), g_variant_new_strv(names, 1)}) &&
               mockCall("RemoveObject", g_variant_new("(s)", path.c_str()));
    }

private:
    static constexpr const char* kModem = "org.freedesktop.ModemManager1.Modem";

    // A signal of the object manager, sent by the mock.
    bool emit(const char* name, const char* signature, std::initializer_list<GVariant*> args) {
        GVariantBuilder values;
        g_variant_builder_init(&values, G_VARIANT_TYPE("av"));
        for (GVariant* a : args) g_variant_builder_add(&values, "v", a);
        return mockCall("EmitSignal",
                        g_variant_new("(sssav)", "org.freedesktop.DBus.ObjectManager", name, signature, &values));
    }
    bool mockCall(const char* method, GVariant* args) {
        return call("org.freedesktop.ModemManager1", "/org/freedesktop/ModemManager1", "org.freedesktop.DBus.Mock",
                    method, args) != nullptr;
    }
    // The reply (kept until the next call), or null.
    GVariant* call(const char* name, const char* path, const char* interface, const char* method, GVariant* args) {
        if (reply_) g_variant_unref(reply_);
        GError* error = nullptr;
        reply_ = g_dbus_connection_call_sync(connection_, name, path, interface, method, args, nullptr,
                                             G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (error) {
            ADD_FAILURE() << method << ": " << error->message;
            g_error_free(error);
        }
        return reply_;
    }

    pid_t bus_ = 0;
    pid_t mock_ = 0;
    GDBusConnection* connection_ = nullptr;
    GVariant* reply_ = nullptr;
    bool started_ = false;
};

TEST(NetworkNamespace, ModemManagersAccessTechnologyRefinesCellular) {
#if defined(__SANITIZE_THREAD__)
    // Calls are built on one thread and written by GDBus's own; the hand-over
    // goes through GIO's locks, which ThreadSanitizer cannot see.
    GTEST_SKIP() << "GDBus's threads hand messages over through locks ThreadSanitizer cannot see";
#endif
    WHARF_REQUIRE_COMPONENT(g_file_test("/usr/bin/dbus-daemon", G_FILE_TEST_IS_EXECUTABLE) &&
                                run({"/usr/bin/python3", "-c", "import dbusmock"}).status == 0,
                            "a fake ModemManager on a bus of our own (dbus-daemon, python3-dbusmock)");
    WHARF_INSIDE_NETWORK_NAMESPACE();

    // No IPv6 addresses: their routes coming later would make the plug-in look again by chance.
    ASSERT_TRUE(sh("ip link add wwan0 type veth peer name wwpeer && ip link set wwan0 addrgenmode none && "
                   "ip link set wwpeer addrgenmode none && ip link set wwan0 up && ip link set wwpeer up"));
    ASSERT_TRUE(RunLoop::pumpUntil([] { return interfaceCarriesTraffic("wwan0"); }, 10s));
    test::TempDir dir;
    FakeModemManager modems(dir.path());
    ASSERT_TRUE(modems.started());
    Telephony::setShared(nullptr);  // the system's: ModemManager over the system bus
    ConnectionUnderTest connection;
    connection.routeChange("ip route add default dev wwan0");
    std::vector<std::string> expected{"none", "cellular"};  // no modem yet
    EXPECT_EQ(connection.types(), expected);

    const std::string modem = "/org/freedesktop/ModemManager1/Modem/0";
    auto becomes = [&](const std::string& type) {
        expected.push_back(type);
        EXPECT_TRUE(RunLoop::pumpUntil([&] { return connection.types().size() >= expected.size(); }, 10s))
            << "still " << ::testing::PrintToString(connection.types());
        RunLoop::pumpFor(50ms);  // and nothing more
        EXPECT_EQ(connection.types(), expected);
    };
    // Connected over LTE (MM_MODEM_ACCESS_TECHNOLOGY_LTE, MM_MODEM_STATE_CONNECTED).
    ASSERT_TRUE(modems.addModem(modem, 1u << 14, 11));
    becomes("4g");
    ASSERT_TRUE(modems.setTechnologies(modem, (1u << 5) | (1u << 8)));  // UMTS with HSPA
    becomes("3g");
    ASSERT_TRUE(modems.setTechnologies(modem, 1u << 4));  // EDGE
    becomes("2g");
    ASSERT_TRUE(modems.removeModem(modem));
    becomes("cellular");
    Telephony::setShared(nullptr);
}

}  // namespace
}  // namespace wharf
