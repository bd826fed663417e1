// Local notifications reach a notification server on a private session bus
// through libnotify, and become log lines where no session bus exists.
// (Each test runs in a process of its own: the notifier keeps what it learnt
// of the bus.)
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/device/UserNotifier.h"
#include "platform/dispatch/RunLoop.h"

namespace {

using namespace wharf::platform;

constexpr const char* kIntrospection = R"(<node><interface name="org.freedesktop.Notifications">
  <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/></method>
  <method name="GetCapabilities"><arg type="as" direction="out"/></method>
  <method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
    <arg type="s" direction="out"/><arg type="s" direction="out"/></method>
  <method name="CloseNotification"><arg type="u" direction="in"/></method>
</interface></node>)";

// A notification server answering on the main context.
struct NotificationServer {
    std::vector<std::pair<std::string, std::string>> shown;  // summary, body
    bool owned = false;

    static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<NotificationServer*>(data);
        const std::string name = method;
        if (name == "Notify") {
            const gchar *app, *icon, *summary, *body;
            guint32 replaces;
            g_variant_get(parameters, "(&su&s&s&s@as@a{sv}i)", &app, &replaces, &icon, &summary, &body, nullptr,
                          nullptr, nullptr);
            self->shown.emplace_back(summary, body);
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", guint32(self->shown.size())));
        } else if (name == "GetCapabilities") {
            const gchar* caps[] = {"body", nullptr};
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
        } else if (name == "GetServerInformation") {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "test", "wharf", "1", "1.2"));
        } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }
};

TEST(UserNotifier, NotificationsReachTheServerOnTheSessionBus) {
#if defined(__SANITIZE_THREAD__)
    // Its messages are built on one thread and written by GDBus's own; the
    // hand-over goes through GIO's locks, which ThreadSanitizer cannot see.
    GTEST_SKIP() << "GDBus's threads hand messages over through locks ThreadSanitizer cannot see";
#endif
    WHARF_REQUIRE_COMPONENT(g_file_test("/usr/bin/dbus-daemon", G_FILE_TEST_IS_EXECUTABLE),
                            "a session bus (dbus-daemon)");
    // A private session bus for this process.
    const gchar* argv[] = {"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    GPid daemon = 0;
    gint out = -1;
    // It ends with this process whatever happens, and keeps off its output.
    auto dieWithParent = [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGTERM); };
    ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), nullptr,
                                         GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                         dieWithParent, nullptr, &daemon, nullptr, &out, nullptr, nullptr));
    std::string address;
    char c;
    while (::read(out, &c, 1) == 1 && c != '\n') address += c;
    ::close(out);
    ASSERT_FALSE(address.empty());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    NotificationServer server;
    GError* error = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    ASSERT_TRUE(connection) << (error ? error->message : "");
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {&NotificationServer::call, nullptr, nullptr, {}};
    const guint object = g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications",
                                                           info->interfaces[0], &vtable, &server, nullptr, nullptr);
    const guint name = g_bus_own_name_on_connection(
        connection, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer data) { static_cast<NotificationServer*>(data)->owned = true; },
        nullptr, &server, nullptr);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.owned; }));

    LogCapture capture;
    UserNotifier::shared().setApplicationName("Wharf Test");
    UserNotifier::shared().scheduleLocalNotification({"Exit stationary region", Clock::shared()->now(), "UTC"});
    UserNotifier::shared().scheduleLocalNotification({"Aggressive monitoring engaged", {}, "UTC"});
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return server.shown.size() == 2; }));
    ASSERT_EQ(server.shown.size(), 2u);
    EXPECT_EQ(server.shown[0], std::make_pair(std::string("Wharf Test"), std::string("Exit stationary region")));
    EXPECT_EQ(server.shown[1].second, "Aggressive monitoring engaged");
    EXPECT_FALSE(capture.contains("Notification: "));

    g_bus_unown_name(name);
    g_dbus_connection_unregister_object(connection, object);
    g_dbus_node_info_unref(info);
    g_object_unref(connection);
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
}

TEST(UserNotifier, WithoutASessionBusTheNotificationIsLogged) {
    wharf::test::TempDir runtime;  // a runtime directory with no bus in it
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    LogCapture capture;
    UserNotifier::shared().scheduleLocalNotification({"Location update: FG", Clock::shared()->now(), "UTC"});
    UserNotifier::shared().flush();
    EXPECT_TRUE(capture.contains("Notification: Location update: FG"));
}

}  // namespace
