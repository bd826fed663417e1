#pragma once
// Private to the dispatch implementation (Dispatch.cpp, DispatchSources.cpp, RunLoop.cpp).
#include <glib.h>

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace wharf::platform::dispatch::detail {

// GLib is not built with ThreadSanitizer, so the ordering its context and
// source locks give (attach here, dispatch on the owner thread) is invisible
// to it. Objects handed to GLib callbacks are marked on both sides.
inline void handoffRelease([[maybe_unused]] void* p) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(p);
#endif
}
inline void handoffAcquire([[maybe_unused]] void* p) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(p);
#endif
}

// Every queue the factories make derives from this.
class QueueBase : public Queue {
public:
    QueueBase(std::string label, bool serial) : label_(std::move(label)), serial_(serial) {}

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return serial_; }
    bool isCurrent() const override;
    void setSpecific(SpecificKey key, void* value) override;
    void* specific(SpecificKey key) const override;

    // The context whose thread runs this queue's blocks; nullptr for a
    // concurrent queue.
    virtual GMainContext* context() const = 0;

private:
    const std::string label_;
    const bool serial_;
    mutable std::mutex specificMutex_;
    std::vector<std::pair<SpecificKey, void*>> specifics_;
};

// A queue as seen by the calling thread: the queues whose blocks it runs,
// innermost last. Frames marked `inherited` belong to a thread that waits in
// sync() for this one; they make a sync back onto those queues refuse instead
// of deadlocking, but they are not "current".
struct Frame {
    QueueBase* queue;
    bool inherited;
};
std::vector<Frame> callerFrames();

// Runs `block` as a block of `queue` on this thread, after pushing `inherited`.
// Exceptions stop here: they are logged (a FatalConfigurationError is handed
// to the main loop as well).
void runBlock(QueueBase* queue, Block& block, const std::vector<Frame>* inherited = nullptr);

// The context that keeps timers of the concurrent queues.
GMainContext* managerContext();

// A source that fires at its ready time (g_source_set_ready_time). Its
// callback is a GSourceFunc.
GSource* newReadySource(gint64 readyTime, const char* name);

// Converts a delay to GLib microseconds, rounding up so nothing fires early;
// negative delays are zero, huge ones are clamped.
gint64 toMicros(Duration d);

// The thread of RunLoop::initMainThread() (none before it).
std::thread::id mainThreadId();

// Hands an exception thrown by a main-thread block to RunLoop::run().
void reportFatal(std::exception_ptr error);

}  // namespace wharf::platform::dispatch::detail
