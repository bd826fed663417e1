#pragma once
// Local notifications: shown through the desktop's notification server
// (libnotify over the session bus) when one runs, else written as a log line
// "Notification: <body>" so that nothing is lost. Showing happens on a queue
// of its own, so a slow notification server never holds up the caller.
#include <memory>
#include <string>

#include "platform/base/Clock.h"
#include "platform/dispatch/Dispatch.h"

namespace wharf::platform {

struct LocalNotification {
    std::string alertBody;
    Clock::WallTime fireDate{};  // now or earlier: shown at once
    std::string timeZone;  // the zone the fire date was read in (kept for the record)
};

class UserNotifier {
public:
    static UserNotifier& shared();

    // The title of every notification (the application's name).
    void setApplicationName(const std::string& name);
    void scheduleLocalNotification(const LocalNotification& notification);
    // Waits until every notification scheduled for now has been handed on
    // (tests, and the end of the process).
    void flush();

private:
    UserNotifier();
    void show(const std::string& body);

    dispatch::QueuePtr queue_;
    std::string applicationName_ = "Wharf";  // used on queue_ only
    bool initialised_ = false;  // queue_ only
    bool serverUsable_ = false;  // queue_ only
    std::string lastFailure_;  // queue_ only
};

}  // namespace wharf::platform
