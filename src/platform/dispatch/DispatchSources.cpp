// Timer and fd sources. A source's GSource lives on the target queue's own
// context (the manager's for a concurrent queue). On a serial or the main
// queue the handler runs straight from the GSource callback, on that queue's
// thread; for a concurrent queue the callback posts one handler run at a time.
#include <glib-unix.h>

#include <algorithm>

#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"

namespace wharf::platform::dispatch {

namespace detail {

struct SourceBase : std::enable_shared_from_this<SourceBase> {
    std::mutex mutex;
    QueuePtr queue;
    QueueBase* base = nullptr;  // set when the handler runs on the queue's own context
    GMainContext* context = nullptr;
    Block handler;
    Block cancelHandler;
    GSource* source = nullptr;  // our reference; null once cancelled
    int suspendCount = 1;  // sources start suspended
    bool cancelled = false;
    bool inflight = false;  // a handler run is posted to a concurrent queue
    std::mutex handlerMutex;  // one handler at a time on a concurrent queue

    virtual ~SourceBase() = default;

    void bind(QueuePtr target, const char* kind) {
        if (!target) {
            platform::log("dispatch: %s source without a queue; using the default global queue", kind);
            target = globalQueue();
        }
        queue = std::move(target);
        auto* b = dynamic_cast<QueueBase*>(queue.get());
        context = b ? b->context() : nullptr;
        base = context ? b : nullptr;
        if (!context) context = managerContext();
    }

    // Attaches `s` with `fire` as its callback; the callback data keeps this
    // state alive until the GSource is destroyed.
    void attach(GSource* s, GSourceFunc fire) {
        auto* box = new std::shared_ptr<SourceBase>(shared_from_this());
        g_source_set_callback(s, fire, box, [](gpointer p) {
            handoffAcquire(p);
            delete static_cast<std::shared_ptr<SourceBase>*>(p);
        });
        handoffRelease(box);
        g_source_attach(s, context);
    }

    static std::shared_ptr<SourceBase> unbox(gpointer p) {
        handoffAcquire(p);
        return *static_cast<std::shared_ptr<SourceBase>*>(p);
    }

    void setHandler(Block h, bool forCancel) {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        std::swap(forCancel ? cancelHandler : handler, h);  // the old one dies after the unlock
    }

    // Runs or posts one delivery. Called from the GSource callback with the
    // handler copied under the lock.
    void deliver(Block& h, bool post) {
        if (base) {
            runBlock(base, h);
        } else if (post) {
            queue->async([self = shared_from_this()] { self->runPosted(); });
        }
    }

    void runPosted() {
        std::lock_guard running(handlerMutex);
        Block h;
        {
            std::lock_guard lock(mutex);
            if (!cancelled) h = handler;
        }
        struct Done {
            SourceBase* s;
            ~Done() { s->postedDone(); }
        } done{this};
        if (h) h();
    }

    // Called with no lock held once a posted handler run has finished.
    virtual void postedDone() {
        std::lock_guard lock(mutex);
        inflight = false;
    }

    void cancel() {
        GSource* s = nullptr;
        Block h;
        Block ch;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            cancelled = true;
            s = std::exchange(source, nullptr);
            h = std::move(handler);
            ch = std::move(cancelHandler);
            handler = nullptr;
            cancelHandler = nullptr;
        }
        if (s) {
            g_source_destroy(s);
            g_source_unref(s);
        }
        if (!ch) return;
        if (base) {
            // FIFO behind any handler run in progress on that queue.
            queue->async(std::move(ch));
        } else {
            queue->async([self = shared_from_this(), ch = std::move(ch)] {
                std::lock_guard running(self->handlerMutex);
                ch();
            });
        }
    }

    // Returns false for a resume without a matching suspend.
    bool resumeLocked(const char* kind) {
        if (suspendCount == 0) {
            platform::log("dispatch: %s source resumed more often than suspended; ignored", kind);
            return false;
        }
        --suspendCount;
        return true;
    }
};

}  // namespace detail

using detail::SourceBase;

// ---- timer ----

struct TimerSource::State final : SourceBase {
    bool armed = false;  // a fire is due at `next`
    gint64 next = 0;  // monotonic microseconds
    gint64 interval = 0;

    void updateLocked() {
        if (!source) return;
        bool live = !cancelled && suspendCount == 0 && armed;
        g_source_set_ready_time(source, live ? std::max<gint64>(next, 0) : -1);
    }

    static gboolean fire(gpointer p) {
        auto self = unbox(p);
        auto* st = static_cast<State*>(self.get());
        Block h;
        bool post = false;
        {
            std::lock_guard lock(st->mutex);
            if (st->cancelled || st->suspendCount > 0 || !st->armed) {
                st->updateLocked();
                detail::handoffRelease(p);
                return G_SOURCE_CONTINUE;
            }
            gint64 now = g_get_monotonic_time();
            if (st->interval > 0) {
                st->next += st->interval;
                if (st->next <= now) st->next = now + st->interval;  // missed fires coalesce
            } else {
                st->armed = false;
            }
            st->updateLocked();
            if (st->base) {
                h = st->handler;
            } else if (!st->inflight) {
                st->inflight = post = true;
            }
        }
        detail::handoffRelease(p);
        st->deliver(h, post);
        return G_SOURCE_CONTINUE;
    }
};

TimerSource::TimerSource(QueuePtr queue) : state_(std::make_shared<State>()) {
    state_->bind(std::move(queue), "timer");
    GSource* s = detail::newReadySource(-1, "wharf.dispatch.timer");
    {
        std::lock_guard lock(state_->mutex);
        state_->source = s;
    }
    state_->attach(s, &State::fire);
}

TimerSource::~TimerSource() { state_->cancel(); }

void TimerSource::setEventHandler(Block handler) { state_->setHandler(std::move(handler), false); }
void TimerSource::setCancelHandler(Block handler) { state_->setHandler(std::move(handler), true); }

void TimerSource::setTimer(Duration start, Duration interval, Duration) {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->armed = start < Duration::max();
    state_->next = g_get_monotonic_time() + detail::toMicros(start);
    state_->interval = interval == Duration::max() ? 0 : detail::toMicros(interval);
    state_->updateLocked();
}

void TimerSource::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumeLocked("timer")) state_->updateLocked();
}

void TimerSource::suspend() {
    std::lock_guard lock(state_->mutex);
    ++state_->suspendCount;
    state_->updateLocked();
}

void TimerSource::cancel() { state_->cancel(); }

bool TimerSource::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

bool TimerSource::isSuspended() const {
    std::lock_guard lock(state_->mutex);
    return state_->suspendCount > 0;
}

// ---- fd ----

// While suspended, or while a handler run is posted, the fd is not watched at
// all (the GSource is dropped), so a readable fd cannot spin the context.
struct FdSource::State final : SourceBase {
    int fd = -1;
    GIOCondition condition = G_IO_IN;

    void armLocked() {
        if (cancelled || suspendCount > 0 || inflight || source) return;
        source = g_unix_fd_source_new(fd, condition);
        g_source_set_name(source, "wharf.dispatch.fd");
        attach(source, G_SOURCE_FUNC(&State::fire));
    }

    void disarmLocked() {
        if (GSource* s = std::exchange(source, nullptr)) {
            g_source_destroy(s);
            g_source_unref(s);
        }
    }

    void postedDone() override {
        std::lock_guard lock(mutex);
        inflight = false;
        armLocked();
    }

    static gboolean fire(gint fd, GIOCondition condition, gpointer p) {
        auto self = unbox(p);
        auto* st = static_cast<State*>(self.get());
        Block h;
        bool post = false;
        bool closed = false;
        {
            std::lock_guard lock(st->mutex);
            if (st->cancelled || st->source != g_main_current_source()) {
                detail::handoffRelease(p);
                return G_SOURCE_REMOVE;  // a source that was replaced or dropped
            }
            if (condition & G_IO_NVAL) {
                closed = true;
            } else if (st->suspendCount > 0) {
                st->disarmLocked();
            } else if (st->base) {
                h = st->handler;
            } else {
                st->inflight = post = true;
                st->disarmLocked();
            }
        }
        detail::handoffRelease(p);
        if (closed) {
            // Polling a closed fd would spin this context forever.
            platform::log("dispatch: fd %d of a source is not open; the source is cancelled", fd);
            st->cancel();
            return G_SOURCE_REMOVE;
        }
        st->deliver(h, post);
        return G_SOURCE_CONTINUE;
    }
};

FdSource::FdSource(int fd, Condition condition, QueuePtr queue) : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->condition = condition == Condition::Readable ? G_IO_IN : G_IO_OUT;
    state_->bind(std::move(queue), "fd");
}

FdSource::~FdSource() { state_->cancel(); }

void FdSource::setEventHandler(Block handler) { state_->setHandler(std::move(handler), false); }
void FdSource::setCancelHandler(Block handler) { state_->setHandler(std::move(handler), true); }

void FdSource::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumeLocked("fd")) state_->armLocked();
}

void FdSource::suspend() {
    std::lock_guard lock(state_->mutex);
    if (++state_->suspendCount == 1) state_->disarmLocked();
}

void FdSource::cancel() { state_->cancel(); }

}  // namespace wharf::platform::dispatch
