#include "platform/dispatch/RunLoop.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"

namespace wharf::platform {

namespace {

std::atomic<bool> gInitialised{false};
std::atomic<std::thread::id> gMainThread{};

// The loops of run(), innermost last; quit() ends the innermost. Never
// destroyed, since quit() may come from another thread while we exit.
struct Loops {
    std::mutex mutex;
    std::vector<GMainLoop*> running;
    std::exception_ptr fatal;  // thrown by a main-thread block; run() rethrows it
};

Loops& loops() {
    static Loops* l = new Loops;
    return *l;
}

// One pass over the default context that waits at most `capMs` for an event,
// so pumpUntil() can see conditions that no source signals.
bool iterateAtMost(int capMs) {
    GMainContext* context = g_main_context_default();
    if (!g_main_context_acquire(context)) return false;
    gint maxPriority = 0;
    g_main_context_prepare(context, &maxPriority);
    std::vector<GPollFD> fds(16);
    gint timeout = 0;
    gint n;
    while ((n = g_main_context_query(context, maxPriority, &timeout, fds.data(), static_cast<gint>(fds.size()))) >
           static_cast<gint>(fds.size())) {
        fds.resize(static_cast<std::size_t>(n));
    }
    if (timeout < 0 || timeout > capMs) timeout = capMs;
    GPollFunc poll = g_main_context_get_poll_func(context);
    poll(fds.data(), static_cast<guint>(n), timeout);
    bool ready = g_main_context_check(context, maxPriority, fds.data(), n);
    if (ready) g_main_context_dispatch(context);
    g_main_context_release(context);
    return ready;
}

bool onMainThreadOrLog(const char* what) {
    if (RunLoop::isMainThread()) return true;
    platform::log("RunLoop::%s called off the main thread; ignored", what);
    return false;
}

}  // namespace

void RunLoop::initMainThread() {
    if (gInitialised.load()) {
        if (!isMainThread()) platform::log("RunLoop::initMainThread called again from another thread; ignored");
        return;
    }
    gMainThread.store(std::this_thread::get_id());
    gInitialised.store(true);
    if (!g_main_context_acquire(g_main_context_default())) {
        platform::log("RunLoop: the default main context is owned by another thread");
    }
    dispatch::mainQueue();  // attaches the main queue's wake-up source now
}

bool RunLoop::isMainThread() {
    return gInitialised.load(std::memory_order_acquire) &&
           gMainThread.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void RunLoop::run() {
    if (!onMainThreadOrLog("run")) return;
    Loops& l = loops();
    GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
    {
        std::lock_guard lock(l.mutex);
        l.running.push_back(loop);
    }
    g_main_loop_run(loop);
    std::exception_ptr fatal;
    {
        std::lock_guard lock(l.mutex);
        l.running.erase(std::find(l.running.begin(), l.running.end(), loop));
        fatal = std::exchange(l.fatal, nullptr);
    }
    g_main_loop_unref(loop);
    if (fatal) std::rethrow_exception(fatal);
}

void RunLoop::quit() {
    Loops& l = loops();
    std::lock_guard lock(l.mutex);
    if (!l.running.empty()) g_main_loop_quit(l.running.back());
}

void RunLoop::performOnMain(std::function<void()> fn) { dispatch::mainQueue()->async(std::move(fn)); }

void RunLoop::performAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
    dispatch::mainQueue()->after(delay, std::move(fn));
}

bool RunLoop::iterate(bool mayBlock) {
    if (!onMainThreadOrLog("iterate")) return false;
    return g_main_context_iteration(g_main_context_default(), mayBlock);
}

bool RunLoop::pumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    if (!onMainThreadOrLog("pumpUntil")) return cond();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return cond();
        iterateAtMost(static_cast<int>(std::min<long long>(left.count(), 10)));
    }
    return true;
}

void RunLoop::pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

namespace dispatch::detail {

std::thread::id mainThreadId() {
    return gInitialised.load(std::memory_order_acquire) ? gMainThread.load(std::memory_order_acquire)
                                                        : std::thread::id();
}

// Every running loop ends so that the error reaches the outermost run() and
// main(); with no loop running, the log line is all there is.
void reportFatal(std::exception_ptr error) {
    Loops& l = loops();
    std::lock_guard lock(l.mutex);
    if (l.running.empty()) return;
    if (!l.fatal) l.fatal = std::move(error);
    for (GMainLoop* loop : l.running) g_main_loop_quit(loop);
}

}  // namespace dispatch::detail

}  // namespace wharf::platform
