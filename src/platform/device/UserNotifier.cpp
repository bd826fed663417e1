#include "platform/device/UserNotifier.h"

#include <libnotify/notify.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/base/LoadedLibrary.h"
#include "platform/base/Log.h"

namespace wharf::platform {

namespace {

// libnotify is loaded with the first notification: linked in, it was loaded
// with every launch, before the window showed, for notices only the debug
// narration and a page's local notifications give.
struct Notify {
    decltype(&notify_init) init = nullptr;
    decltype(&notify_set_app_name) setAppName = nullptr;
    decltype(&notify_notification_new) notificationNew = nullptr;
    decltype(&notify_notification_show) notificationShow = nullptr;
    std::string failure;  // why it is not there
};

const Notify& notify() {
    static const Notify loaded = [] {
        Notify n;
        LoadedLibrary library(WHARF_LIBNOTIFY_LIBRARY);
        library.find(n.init, "notify_init");
        library.find(n.setAppName, "notify_set_app_name");
        library.find(n.notificationNew, "notify_notification_new");
        library.find(n.notificationShow, "notify_notification_show");
        n.failure = library.failure();
        return n;
    }();
    return loaded;
}

// Only a session bus that is already there: asking GIO for one where none runs
// would start a bus of its own (autolaunch) just to find no server on it.
bool sessionBusExists() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && ::access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
}

}  // namespace

UserNotifier& UserNotifier::shared() {
    static auto* notifier = new UserNotifier;
    return *notifier;
}

UserNotifier::UserNotifier() : queue_(dispatch::createSerialQueue("wharf.notifications")) {}

void UserNotifier::setApplicationName(const std::string& name) {
    queue_->async([this, name] {
        applicationName_ = name;
        if (initialised_ && serverUsable_) notify().setAppName(name.c_str());
    });
}

void UserNotifier::scheduleLocalNotification(const LocalNotification& notification) {
    const auto delay = notification.fireDate - Clock::shared()->now();
    const std::string body = notification.alertBody;
    if (delay > std::chrono::milliseconds(0)) {
        queue_->after(delay, [this, body] { show(body); });
    } else {
        queue_->async([this, body] { show(body); });
    }
}

void UserNotifier::flush() {
    queue_->sync([] {});
}

void UserNotifier::show(const std::string& body) {
    if (!initialised_) {
        initialised_ = true;
        if (sessionBusExists() && !notify().failure.empty())
            log("Notifications cannot be shown: %s", notify().failure.c_str());
        serverUsable_ = sessionBusExists() && notify().failure.empty() && notify().init(applicationName_.c_str());
    }
    if (serverUsable_) {
        NotifyNotification* n = notify().notificationNew(applicationName_.c_str(), body.c_str(), nullptr);
        GError* error = nullptr;
        const bool shown = notify().notificationShow(n, &error);
        g_object_unref(n);
        if (shown) {
            lastFailure_.clear();
            return;
        }
        // Said once per cause, not once per notification.
        const std::string why = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        if (why != lastFailure_) log("Notifications cannot be shown: %s", why.c_str());
        lastFailure_ = why;
    }
    log("Notification: %s", body.c_str());
}

}  // namespace wharf::platform
