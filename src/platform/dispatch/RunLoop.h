#pragma once
// The main thread's run loop: the GLib default main context.
#include <chrono>
#include <functional>

namespace wharf::platform {

class RunLoop {
public:
    // Records the calling thread as the main thread and makes it the owner of
    // the default main context. Called once, first thing in main() (and by the
    // test main). Later calls from the same thread do nothing.
    static void initMainThread();
    static bool isMainThread();

    // Runs the main loop until quit() is called.
    static void run();
    static void quit();

    // performSelectorOnMainThread:waitUntilDone:NO — always later, never inline.
    static void performOnMain(std::function<void()> fn);
    // Runs fn on the main thread after the delay.
    static void performAfter(std::chrono::milliseconds delay, std::function<void()> fn);

    // Runs one iteration of the main context; `mayBlock` waits for an event.
    // Must be called on the main thread. Returns true when something was dispatched.
    static bool iterate(bool mayBlock = false);

    // Test helper: iterates the main context until `cond` holds or the timeout
    // passes. Returns the final value of cond(). The default only bounds a
    // hang: a loaded machine may hold a process back for seconds.
    static bool pumpUntil(const std::function<bool()>& cond,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Iterates the main context for the given time.
    static void pumpFor(std::chrono::milliseconds duration);
};

}  // namespace wharf::platform
