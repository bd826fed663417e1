#include "platform/dispatch/Dispatch.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <map>
#include <thread>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::platform::dispatch {

namespace {
thread_local uint64_t tRenames = 0;
}  // namespace

// Thread names are at most 15 bytes; cut on a UTF-8 character boundary.
void setThreadName(const std::string& name) {
    std::string n = name.substr(0, 15);
    if (name.size() > 15) {
        while (!n.empty() && (static_cast<unsigned char>(name[n.size()]) & 0xC0) == 0x80) n.pop_back();
    }
    pthread_setname_np(pthread_self(), n.c_str());
    ++tRenames;
}

uint64_t threadRenames() { return tRenames; }

namespace detail {

namespace {

thread_local std::vector<Frame> tFrames;

// Blocks longer than this are "forever": adding them to now would overflow.
constexpr Duration kForever = std::chrono::hours(24 * 365 * 100);

bool onThisThread(const Queue* queue, bool includeInherited) {
    for (const Frame& f : tFrames) {
        if (f.queue == queue && (includeInherited || !f.inherited)) return true;
    }
    return false;
}

template <typename Lock, typename Pred>
bool waitFor(std::condition_variable& cv, Lock& lock, Duration timeout, Pred pred) {
    if (timeout >= kForever) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::max(timeout, Duration::zero()), pred);
}

gboolean dispatchReady(GSource*, GSourceFunc callback, gpointer data) {
    return callback ? callback(data) : G_SOURCE_REMOVE;
}

GSourceFuncs gReadyFuncs = {nullptr, nullptr, dispatchReady, nullptr, nullptr, nullptr};

}  // namespace

std::vector<Frame> callerFrames() {
    std::vector<Frame> frames = tFrames;
    for (Frame& f : frames) f.inherited = true;
    return frames;
}

void runBlock(QueueBase* queue, Block& block, const std::vector<Frame>* inherited) {
    const std::size_t mark = tFrames.size();
    if (inherited) tFrames.insert(tFrames.end(), inherited->begin(), inherited->end());
    tFrames.push_back({queue, false});
    try {
        if (block) block();
    } catch (const FatalConfigurationError& e) {
        platform::log("dispatch: a block on queue \"%s\" failed: %s", queue->label().c_str(), e.what());
        reportFatal(std::current_exception());
    } catch (const std::exception& e) {
        platform::log("dispatch: a block on queue \"%s\" threw: %s", queue->label().c_str(), e.what());
    } catch (...) {
        platform::log("dispatch: a block on queue \"%s\" threw an unknown exception", queue->label().c_str());
    }
    tFrames.resize(mark);
}

GSource* newReadySource(gint64 readyTime, const char* name) {
    GSource* source = g_source_new(&gReadyFuncs, sizeof(GSource));
    g_source_set_ready_time(source, readyTime);
    g_source_set_name(source, name);
    return source;
}

gint64 toMicros(Duration d) {
    if (d <= Duration::zero()) return 0;
    if (d >= kForever) return std::chrono::duration_cast<std::chrono::microseconds>(kForever).count();
    return std::chrono::ceil<std::chrono::microseconds>(d).count();
}

bool QueueBase::isCurrent() const { return onThisThread(this, false); }

void QueueBase::setSpecific(SpecificKey key, void* value) {
    std::lock_guard lock(specificMutex_);
    auto it = std::find_if(specifics_.begin(), specifics_.end(), [&](const auto& p) { return p.first == key; });
    if (it != specifics_.end()) {
        if (value) {
            it->second = value;
        } else {
            specifics_.erase(it);
        }
    } else if (value) {
        specifics_.emplace_back(key, value);
    }
}

void* QueueBase::specific(SpecificKey key) const {
    std::lock_guard lock(specificMutex_);
    for (const auto& p : specifics_) {
        if (p.first == key) return p.second;
    }
    return nullptr;
}

namespace {

// The caller of sync() waits on this until the block has run.
struct SyncWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;

    void signal() {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return done; });
    }
};

struct Item {
    Block fn;
    QueuePtr keep;  // a pending block keeps its queue alive
    std::vector<Frame> inherited;
    SyncWaiter* waiter = nullptr;
};

// A block of after(): run on the context's own thread (`direct`), or handed
// to its concurrent queue from the manager's context.
struct Timed {
    Block fn;
    QueuePtr queue;
    bool direct;
};

// The FIFO of a queue run by a GMainContext: one wake-up source per queue,
// armed through its ready time (safe from any thread) once per batch.
class ContextCore {
public:
    ContextCore(GMainContext* context, bool recursive) : context_(context) {
        wake_ = newReadySource(-1, "wharf.dispatch.queue");
        g_source_set_can_recurse(wake_, recursive);
        g_source_set_callback(wake_, &ContextCore::onWake, this, nullptr);
        g_source_attach(wake_, context_);
        timer_ = newReadySource(-1, "wharf.dispatch.after");
        g_source_set_can_recurse(timer_, recursive);
        g_source_set_callback(timer_, &ContextCore::onTimer, this, nullptr);
        g_source_attach(timer_, context_);
    }
    ~ContextCore() {
        for (GSource* s : {wake_, timer_}) {
            g_source_destroy(s);
            g_source_unref(s);
        }
        g_main_context_unref(context_);
    }
    ContextCore(const ContextCore&) = delete;
    ContextCore& operator=(const ContextCore&) = delete;

    GMainContext* context() const { return context_; }

    std::atomic<std::thread::id> owner{};  // a serial queue's thread, once started

    void push(Item&& item) {
        bool arm = false;
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
            if (!wakePending_) {
                wakePending_ = true;
                arm = true;
            }
        }
        if (arm) g_source_set_ready_time(wake_, 0);
    }

    // One source per context for every after(): blocks due together run in
    // deadline order (then submission order), which separate GSources would
    // not give when a busy thread finds several of them ready at once.
    void addTimed(gint64 deadline, Timed&& timed) {
        std::lock_guard lock(mutex_);
        auto it = timed_.emplace(std::make_pair(deadline, timedSeq_++), std::move(timed)).first;
        if (it == timed_.begin()) g_source_set_ready_time(timer_, deadline);
    }

    // The last reference to the queue went: finish once the FIFO is empty.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        g_source_set_ready_time(wake_, 0);
    }
    bool finished() const { return finished_.load(std::memory_order_acquire); }

private:
    static gboolean onTimer(gpointer data) {
        static_cast<ContextCore*>(data)->runDue();
        return G_SOURCE_CONTINUE;
    }

    void runDue() {
        const gint64 now = g_get_monotonic_time();  // blocks added meanwhile wait for the next pass
        for (;;) {
            Timed timed;
            {
                std::lock_guard lock(mutex_);
                if (timed_.empty() || timed_.begin()->first.first > now) {
                    g_source_set_ready_time(timer_, timed_.empty() ? -1 : timed_.begin()->first.first);
                    return;
                }
                timed = std::move(timed_.begin()->second);
                timed_.erase(timed_.begin());
            }
            if (timed.direct) {
                runBlock(static_cast<QueueBase*>(timed.queue.get()), timed.fn);
            } else {
                timed.queue->async(std::move(timed.fn));
            }
        }
    }

    static gboolean onWake(gpointer data) {
        static_cast<ContextCore*>(data)->drain();
        return G_SOURCE_CONTINUE;
    }

    // Takes every waiting block as one batch, so that a queue that keeps
    // feeding itself still lets the context's other sources run. Only this
    // context's thread touches the batch; the two vectors trade buffers, so a
    // busy queue stops allocating.
    void drain() {
        g_source_set_ready_time(wake_, -1);
        {
            std::lock_guard lock(mutex_);
            wakePending_ = false;
            if (running_.empty()) {
                running_.swap(items_);
            } else {
                // A nested pump inside one of our blocks (main queue only):
                // the rest of the outer batch goes first, then the newer ones.
                std::move(items_.begin(), items_.end(), std::back_inserter(running_));
                items_.clear();
            }
        }
        ++depth_;
        while (next_ < running_.size()) {
            Item item = std::move(running_[next_++]);
            run(item);
        }
        if (--depth_ == 0) {
            running_.clear();
            next_ = 0;
        }
        bool rearm = false;
        {
            std::lock_guard lock(mutex_);
            if (!items_.empty()) {
                if (!wakePending_) wakePending_ = rearm = true;
            } else if (stopping_ && depth_ == 0) {
                finished_.store(true, std::memory_order_release);
            }
        }
        if (rearm) g_source_set_ready_time(wake_, 0);
    }

    static void run(Item& item) {
        runBlock(static_cast<QueueBase*>(item.keep.get()), item.fn, &item.inherited);
        if (item.waiter) item.waiter->signal();
        item.fn = nullptr;  // captured state goes on this queue, before the next block
        item.keep.reset();  // may drop the queue's last reference (stop())
    }

    GMainContext* const context_;
    GSource* wake_;
    GSource* timer_;
    std::mutex mutex_;
    std::vector<Item> items_;
    std::vector<Item> running_;  // the batch being run, from next_ on
    std::size_t next_ = 0;
    int depth_ = 0;
    std::map<std::pair<gint64, std::uint64_t>, Timed> timed_;
    std::uint64_t timedSeq_ = 0;
    bool wakePending_ = false;
    bool stopping_ = false;
    std::atomic<bool> finished_{false};
};

// The thread that runs a serial queue's context, if this is one.
thread_local const ContextCore* tThreadCore = nullptr;

// Which thread waits in sync() on which queue, to refuse a sync that closes a
// cycle: the main thread waits on queue Q while Q's block syncs onto main.
struct Waits {
    std::mutex mutex;
    std::map<std::thread::id, const QueueBase*> waiting;
};

Waits& waits() {
    static Waits* w = new Waits;
    return *w;
}

class ContextQueue : public QueueBase {
public:
    ContextQueue(std::string label, std::shared_ptr<ContextCore> core)
        : QueueBase(std::move(label), true), core_(std::move(core)) {}

    GMainContext* context() const override { return core_->context(); }
    ContextCore& core() const { return *core_; }

    // The thread that runs this queue's blocks (none until it has started).
    virtual std::thread::id ownerThread() const = 0;

    void async(Block block) override { core_->push(Item{std::move(block), shared_from_this(), {}, nullptr}); }

    void after(Duration delay, Block block) override {
        core_->addTimed(g_get_monotonic_time() + toMicros(delay), Timed{std::move(block), shared_from_this(), true});
    }

    bool sync(Block block) override {
        const auto me = std::this_thread::get_id();
        Waits& w = waits();
        {
            std::lock_guard lock(w.mutex);
            if (onThisThread(this, true) || tThreadCore == core_.get() || closesCycle(w, me)) {
                platform::log("dispatch: sync onto queue \"%s\" from that same queue refused: it would deadlock",
                              label().c_str());
                return false;
            }
            w.waiting[me] = this;
        }
        SyncWaiter waiter;
        core_->push(Item{std::move(block), shared_from_this(), callerFrames(), &waiter});
        waiter.wait();
        std::lock_guard lock(w.mutex);
        w.waiting.erase(me);
        return true;
    }

protected:
    std::shared_ptr<ContextCore> core_;

private:
    // Follows "this queue's thread waits on queue X, whose thread waits on
    // ..." back to the caller. Queues in the map are alive: their waiters
    // hold them.
    bool closesCycle(const Waits& w, std::thread::id me) const {
        const ContextQueue* q = this;
        for (std::size_t hops = 0; hops <= w.waiting.size(); ++hops) {
            std::thread::id owner = q->ownerThread();
            if (owner == std::thread::id()) return false;
            if (owner == me) return true;
            auto it = w.waiting.find(owner);
            if (it == w.waiting.end()) return false;
            q = dynamic_cast<const ContextQueue*>(it->second);
            if (!q) return false;
        }
        return false;
    }
};

class MainQueue final : public ContextQueue {
public:
    MainQueue()
        : ContextQueue("wharf.main-thread",
                       // Recursive, so a block that pumps the loop (a nested
                       // run, pumpUntil) still sees later main-queue blocks.
                       std::make_shared<ContextCore>(g_main_context_ref(g_main_context_default()), true)) {}
    bool isMain() const override { return true; }
    std::thread::id ownerThread() const override { return mainThreadId(); }
    // The main thread runs nothing but main-queue work (and inline syncs from
    // it), also outside blocks, as currentQueue() answers there.
    bool isCurrent() const override { return RunLoop::isMainThread(); }
};

class SerialQueue final : public ContextQueue {
public:
    explicit SerialQueue(std::string label)
        : ContextQueue(std::move(label), std::make_shared<ContextCore>(g_main_context_new(), false)) {
        // Detached: the thread outlives this object until the pending blocks
        // have run, and may be the one that drops the last reference.
        std::thread(&SerialQueue::threadMain, core_, this->label()).detach();
    }
    ~SerialQueue() override { core_->stop(); }

    std::thread::id ownerThread() const override { return core_->owner.load(std::memory_order_acquire); }

private:
    static void threadMain(const std::shared_ptr<ContextCore>& core, const std::string& name) {
        setThreadName(name);
        core->owner.store(std::this_thread::get_id(), std::memory_order_release);
        tThreadCore = core.get();
        GMainContext* context = core->context();
        g_main_context_push_thread_default(context);
        while (!core->finished()) g_main_context_iteration(context, TRUE);
        g_main_context_pop_thread_default(context);
        tThreadCore = nullptr;
    }
};

// A concurrent queue: a small pool of threads of its own, started on demand
// and ended after a while idle, so each priority can carry its own nice value.
class GlobalQueue final : public QueueBase {
public:
    GlobalQueue(std::string label, std::string threadName, int nice)
        : QueueBase(std::move(label), false), threadName_(std::move(threadName)), nice_(nice) {
        unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
        // Blocks may wait on one another; leave room beyond the core count.
        maxThreads_ = std::clamp(static_cast<int>(cpus) * 4, 16, 64);
    }

    GMainContext* context() const override { return nullptr; }

    void async(Block block) override {
        bool spawn = false;
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            items_.push_back(Item{std::move(block), nullptr, {}, nullptr});
            if (static_cast<int>(items_.size()) > idle_ && threads_ < maxThreads_) {
                ++threads_;
                spawn = true;
            } else {
                wake = idle_ > 0;
            }
        }
        if (spawn) {
            std::thread(&GlobalQueue::worker, this).detach();
        } else if (wake) {
            cv_.notify_one();
        }
    }

    void after(Duration delay, Block block) override;

    // A concurrent queue runs a sync block on the caller's thread.
    bool sync(Block block) override {
        runBlock(this, block);
        return true;
    }

private:
    void worker() {
        setThreadName(threadName_);
        if (nice_ != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice_);
        std::unique_lock lock(mutex_);
        for (;;) {
            while (items_.empty()) {
                ++idle_;
                bool got = cv_.wait_for(lock, std::chrono::seconds(5), [this] { return !items_.empty(); });
                --idle_;
                if (!got) {
                    --threads_;
                    return;
                }
            }
            Item item = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            runBlock(this, item.fn);
            item.fn = nullptr;
            lock.lock();
        }
    }

    const std::string threadName_;
    const int nice_;
    int maxThreads_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Item> items_;
    int threads_ = 0;
    int idle_ = 0;
};

}  // namespace

namespace {

// The thread that keeps the timers of the concurrent queues. Never destroyed.
ContextCore& managerCore() {
    static QueuePtr* manager = new QueuePtr(std::make_shared<SerialQueue>("wharf.dispatch.manager"));
    return static_cast<ContextQueue*>(manager->get())->core();
}

}  // namespace

GMainContext* managerContext() { return managerCore().context(); }

void GlobalQueue::after(Duration delay, Block block) {
    managerCore().addTimed(g_get_monotonic_time() + toMicros(delay),
                           Timed{std::move(block), shared_from_this(), false});
}

}  // namespace detail

using detail::QueueBase;

QueuePtr mainQueue() {
    // Never destroyed: blocks may still be posted while the process exits.
    static QueuePtr* queue = new QueuePtr(std::make_shared<detail::MainQueue>());
    return *queue;
}

QueuePtr createSerialQueue(const std::string& label) { return std::make_shared<detail::SerialQueue>(label); }

QueuePtr globalQueue(Priority priority) {
    static QueuePtr* queues = [] {
        auto* q = new QueuePtr[4];
        q[0] = std::make_shared<detail::GlobalQueue>("wharf.global.high", "wharf.global.hi", 0);
        q[1] = std::make_shared<detail::GlobalQueue>("wharf.global.default", "wharf.global", 0);
        q[2] = std::make_shared<detail::GlobalQueue>("wharf.global.low", "wharf.global.lo", 5);
        q[3] = std::make_shared<detail::GlobalQueue>("wharf.global.background", "wharf.global.bg", 10);
        return q;
    }();
    switch (priority) {
    case Priority::High: return queues[0];
    case Priority::Default: return queues[1];
    case Priority::Low: return queues[2];
    case Priority::Background: return queues[3];
    }
    return queues[1];
}

QueuePtr currentQueue() {
    for (auto it = detail::tFrames.rbegin(); it != detail::tFrames.rend(); ++it) {
        if (!it->inherited) return it->queue->weak_from_this().lock();
    }
    return RunLoop::isMainThread() ? mainQueue() : nullptr;
}

std::string currentQueueLabel() {
    QueuePtr q = currentQueue();
    return q ? q->label() : std::string();
}

void* getSpecific(SpecificKey key) {
    QueuePtr q = currentQueue();
    return q ? q->specific(key) : nullptr;
}

// ---- groups ----

struct Group::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<QueuePtr, Block>> notifies;

    void leave() {
        std::vector<std::pair<QueuePtr, Block>> ready;
        {
            std::lock_guard lock(mutex);
            if (count == 0) {
                platform::log("dispatch: a group was left more often than it was entered");
                return;
            }
            if (--count > 0) return;
            ready.swap(notifies);
            cv.notify_all();
        }
        for (auto& [queue, block] : ready) queue->async(std::move(block));
    }
};

Group::Group() : state_(std::make_shared<State>()) {}
Group::~Group() = default;

void Group::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void Group::leave() { state_->leave(); }

void Group::async(const QueuePtr& queue, Block block) {
    if (!queue) {
        platform::log("dispatch: group async onto no queue ignored");
        return;
    }
    enter();
    queue->async([state = state_, block = std::move(block)] {
        // Leave even when the block throws (runBlock catches it above us).
        struct Leave {
            State* s;
            ~Leave() { s->leave(); }
        } leave{state.get()};
        block();
    });
}

void Group::notify(const QueuePtr& queue, Block block) {
    if (!queue) {
        platform::log("dispatch: group notify onto no queue ignored");
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifies.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool Group::wait(Duration timeout) {
    std::unique_lock lock(state_->mutex);
    return detail::waitFor(state_->cv, lock, timeout, [this] { return state_->count == 0; });
}

// ---- semaphores ----

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count;
    long waiters = 0;
};

Semaphore::Semaphore(long initial) : state_(std::make_unique<State>()) { state_->count = initial; }
Semaphore::~Semaphore() = default;

bool Semaphore::signal() {
    std::lock_guard lock(state_->mutex);
    // Waiters beyond the permits already handed out are the ones this wakes.
    bool wakes = state_->waiters > state_->count;
    ++state_->count;
    if (wakes) state_->cv.notify_one();
    return wakes;
}

bool Semaphore::wait(Duration timeout) {
    std::unique_lock lock(state_->mutex);
    ++state_->waiters;
    bool got = detail::waitFor(state_->cv, lock, timeout, [this] { return state_->count > 0; });
    --state_->waiters;
    if (got) --state_->count;
    return got;
}

}  // namespace wharf::platform::dispatch
