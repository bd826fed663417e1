#pragma once
// Dispatch queues, groups, semaphores, timer and fd sources.
//
// The main queue runs on the GLib default main context (the one GTK and WebKit
// use). A serial queue is a thread of its own running a private GMainContext.
// Global queues run blocks concurrently on a GThreadPool. Work submitted with
// async() runs in FIFO order per queue; after() runs no earlier than the delay.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace wharf::platform::dispatch {

using Block = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// A key for queue-specific values: the address of any private static object.
using SpecificKey = const void*;

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue() = default;
    virtual const std::string& label() const = 0;
    virtual bool isSerial() const = 0;
    virtual bool isMain() const { return false; }

    // Runs `block` later on this queue; never inline.
    virtual void async(Block block) = 0;
    // Runs `block` on this queue and waits for it. Refuses (returns false,
    // logs, does not run the block) when called from this very serial queue,
    // which would deadlock. Returns true once the block has run.
    virtual bool sync(Block block) = 0;
    // Runs `block` on this queue no earlier than `delay` from now.
    virtual void after(Duration delay, Block block) = 0;

    // True when the calling thread is currently running a block of this queue.
    virtual bool isCurrent() const = 0;

    // Queue-specific values (dispatch_queue_set_specific). The value is not owned.
    virtual void setSpecific(SpecificKey key, void* value) = 0;
    virtual void* specific(SpecificKey key) const = 0;
};

using QueuePtr = std::shared_ptr<Queue>;

enum class Priority { High, Default, Low, Background };

// The main queue (GLib default context). Blocks run when the main loop runs.
QueuePtr mainQueue();
// A new serial queue with its own thread. The thread ends when the last
// reference goes and the pending blocks have run.
QueuePtr createSerialQueue(const std::string& label);
// The process-wide concurrent queue for a priority.
QueuePtr globalQueue(Priority priority = Priority::Default);

// The queue whose block the calling thread runs, or nullptr (a plain thread).
// On the main thread outside any block this answers the main queue.
QueuePtr currentQueue();
// The label of the current queue, or "" when there is none.
std::string currentQueueLabel();
// The value for `key` on the current queue (dispatch_get_specific).
void* getSpecific(SpecificKey key);

// Dispatch groups: notify() runs once every entered block has left.
class Group {
public:
    Group();
    ~Group();
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    void enter();
    void leave();
    void async(const QueuePtr& queue, Block block);
    // Runs `block` on `queue` once the group is empty (at once if it is empty now).
    void notify(const QueuePtr& queue, Block block);
    // Waits until the group is empty; false on timeout.
    bool wait(Duration timeout = Duration::max());

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A counting semaphore with a timed wait.
class Semaphore {
public:
    explicit Semaphore(long initial = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Returns true when a waiter was woken.
    bool signal();
    // Decrements, waiting while the count is 0; false on timeout.
    bool wait(Duration timeout = Duration::max());

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A timer source: created suspended; resume() starts it. An interval of zero
// makes it one-shot. Rescheduling while suspended takes effect on resume.
class TimerSource {
public:
    explicit TimerSource(QueuePtr queue);
    ~TimerSource();  // cancels
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    void setEventHandler(Block handler);
    void setCancelHandler(Block handler);
    // First fire `start` from now, then every `interval` (zero: once).
    void setTimer(Duration start, Duration interval, Duration leeway = Duration::zero());
    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const;
    bool isSuspended() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A source on a file descriptor: calls the handler on `queue` while the fd is
// readable (or writable). The fd is not owned.
class FdSource {
public:
    enum class Condition { Readable, Writable };
    FdSource(int fd, Condition condition, QueuePtr queue);
    ~FdSource();  // cancels
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;

    void setEventHandler(Block handler);
    void setCancelHandler(Block handler);
    void resume();
    void suspend();
    void cancel();

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Names the calling thread (at most 15 bytes, cut on a character boundary).
// Loggers keep a thread's name between messages: a rename made here shows in
// the next message, one made by other means within a few milliseconds.
void setThreadName(const std::string& name);
// How often the calling thread was renamed through setThreadName.
uint64_t threadRenames();

}  // namespace wharf::platform::dispatch
