#include "logging/LGLog.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "logging/LGInternal.h"
#include "platform/device/Device.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

namespace lg {

void reportMisuse(const char* file, int line, const char* description) {
    std::fprintf(stderr, "%s:%d: logging: %s\n", file, line, description);
}

std::chrono::nanoseconds clampedDuration(double seconds) {
    constexpr double kMaxSeconds = 100.0 * 365 * 86400;
    if (!(seconds > 0)) return std::chrono::nanoseconds::zero();  // also NaN
    if (seconds > kMaxSeconds) seconds = kMaxSeconds;
    return std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
}

namespace {

// Moves past `written` bytes of the pieces.
void skipWritten(iovec*& pieces, int& count, std::size_t written) {
    while (count > 0 && written >= pieces->iov_len) {
        written -= pieces->iov_len;
        ++pieces;
        --count;
    }
    if (count > 0) {
        pieces->iov_base = static_cast<char*>(pieces->iov_base) + written;
        pieces->iov_len -= written;
    }
}

}  // namespace

bool writevFully(int fd, iovec* pieces, int count, std::size_t* total) {
    if (total) *total = 0;
    std::size_t wanted = 0;
    for (int i = 0; i < count; ++i) wanted += pieces[i].iov_len;
    for (;;) {
        const ssize_t written = ::writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        const auto n = static_cast<std::size_t>(written);
        if (total) *total += n;
        // Nearly always the first call writes everything.
        if (n >= wanted) return true;
        wanted -= n;
        skipWritten(pieces, count, n);
    }
}

bool writevToStream(int fd, iovec* pieces, int count) {
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    // Blocked on this thread, the signal a broken pipe raises stays pending
    // here and the write fails with EPIPE; it is then taken back, unless one
    // was pending before (that one is not ours to drop).
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const bool ok = writevFully(fd, pieces, count);
    const int error = errno;
    if (!ok && error == EPIPE && !alreadyPending) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) == SIGPIPE) {}
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return ok;
}

}  // namespace lg

namespace {

using platform::dispatch::QueuePtr;

// Address used as key and value of the queue-specific marks.
char kLoggingQueueKey;
char kLoggerQueueKey;

constexpr long kMaxQueuedMessages = 1000;

// One entry of the logging queue's ordered channel: a message to deliver or a
// piece of work (registration, settings, flushing) that must stay in order
// with the messages around it.
// What a synchronous caller waits on: its own item handled, not the end of
// the drain that holds it (which may go on with other callers' messages).
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;

    // Under the lock: the waiter, and the object with it, may be gone as
    // soon as the lock is let go.
    void signal() {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        done.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [this] { return finished; });
    }
};

// Messages travel by value: the channel's buffer is reused from drain to
// drain, so a message costs its caller no allocation. The drain only reads an
// item, even as it ends it (std::optional would mark itself empty): a caller
// that makes its next message in the same place then takes the memory back
// from the drain's processor without waiting for what it wrote. What the
// drain reads of an item (these marks and the head of the message) fits in
// the item's first cache line; the rest only the caller writes and only
// loggers read.
struct alignas(64) Item {
    // Provided, not defaulted: a defaulted one would have emplace_back()
    // zero the whole storage for every message.
    Item() noexcept {}
    Item(Item&& other) noexcept
        : completion(other.completion), work(std::exchange(other.work, nullptr)), counted(other.counted) {
        if (other.hasMessage) emplace(std::move(*other.message()));
    }
    Item& operator=(Item&&) = delete;
    ~Item() {
        if (hasMessage) message()->~LGLogMessage();
        delete work;
    }

    template <class... Args>
    void emplace(Args&&... args) {
        new (storage) LGLogMessage(std::forward<Args>(args)...);
        hasMessage = true;
    }
    LGLogMessage* message() { return std::launder(reinterpret_cast<LGLogMessage*>(storage)); }

    Completion* completion = nullptr;  // the waiting caller's, or none
    // Work of the logging queue, rare beside messages: held apart, so the
    // item's head stays small.
    std::function<void()>* work = nullptr;
    bool hasMessage = false;
    bool counted = false;
    alignas(LGLogMessage) unsigned char storage[sizeof(LGLogMessage)];
};
static_assert(offsetof(Item, storage) + sizeof(uint64_t) + sizeof(void*) + sizeof(void*) <= 64,
              "the drain's reads of an item no longer fit in one cache line");

// Whether the processor has a prefetch for writing (on x86 it faults where
// absent).
bool canPrefetchForWrite() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(0x80000001, &a, &b, &c, &d) != 0 && (c & bit_PRFCHW) != 0;
#else
    return true;
#endif
}

// Brings the line at `p` into this core's cache, ready to be written.
inline void prefetchForWrite(const void* p, bool available) {
#if defined(__x86_64__) || defined(__i386__)
    if (available) asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
#else
    if (available) __builtin_prefetch(p, 1, 3);
#endif
}

// A drain takes what the channel holds this many times over before it lets
// other work of the logging queue run.
constexpr int kDrainRounds = 16;

struct Globals {
    QueuePtr queue;
    platform::dispatch::Group group;
    unsigned processors = 1;
    bool prefetchw = canPrefetchForWrite();

    // The channel: callers append under the mutex; one drain block at a time
    // on the logging queue takes everything queued so far, so consecutive
    // messages reach each logger as one batch.
    std::mutex mutex;
    std::condition_variable spaceFreed;
    // Each buffer on a cache line of its own: callers move the end of
    // `items` with every message, the drain that of `taken` every round.
    alignas(64) std::vector<Item> items;
    // The drain's side of the channel (logging queue only): the two buffers
    // change places at every take, so neither is grown anew each time.
    alignas(64) std::vector<Item> taken;
    // Set while a drain is queued or running; a running drain takes every item
    // posted meanwhile before it clears this.
    bool drainScheduled = false;
    // Counted messages queued or in delivery: the bound of 1000.
    long undelivered = 0;

    Globals() {
        queue = platform::dispatch::createSerialQueue("wharf.logging");
        queue->setSpecific(&kLoggingQueueKey, &kLoggingQueueKey);
        unsigned count = platform::Device::processorCount();
        processors = count >= 2 ? count : 1;
    }
};

// Never destroyed: loggers may still run while the process exits.
Globals& globals() {
    static Globals* g = new Globals;
    return *g;
}

void callGuarded(const char* what, const std::function<void()>& block) {
    try {
        block();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "logging: %s threw: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "logging: %s threw\n", what);
    }
}

std::mutex& classesMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, LGLog::RegisteredClass>& classes() {
    static auto* map = new std::map<std::string, LGLog::RegisteredClass>;
    return *map;
}

#define LG_ASSERT_LOGGING_QUEUE()                                                                                \
    do {                                                                                                         \
        if (!LGLog::isOnLoggingQueue()) LG_MISUSE("This method should only be run on the logging thread/queue"); \
    } while (0)

}  // namespace

LGLog::LGLog() {
    loggers_.reserve(4);
    // The instance lives as long as the process, and so does its observation.
    terminateObserver_ =
        std::make_shared<platform::ObserverToken>(platform::NotificationCenter::defaultCenter().addObserver(
            platform::kUIApplicationWillTerminateNotification, nullptr,
            [this](const platform::Notification& n) { applicationWillTerminate(n); }));
}

LGLog& LGLog::sharedInstance() {
    static LGLog* instance = [] {
        globals();
        return new LGLog;
    }();
    return *instance;
}

const QueuePtr& LGLog::loggingQueue() { return globals().queue; }

bool LGLog::isOnLoggingQueue() { return platform::dispatch::getSpecific(&kLoggingQueueKey) != nullptr; }

bool LGLog::isOnLoggerQueue() { return platform::dispatch::getSpecific(&kLoggerQueueKey) != nullptr; }

void LGLog::markLoggerQueue(const QueuePtr& queue) {
    if (queue && queue != globals().queue) queue->setSpecific(&kLoggerQueueKey, &kLoggerQueueKey);
}

void LGLog::applicationWillTerminate(const platform::Notification&) { flushLog(); }

// --- registration -----------------------------------------------------------

void LGLog::addLogger(LGLoggerPtr logger, uint64_t level) {
    if (!logger) return;
    LGLog& self = sharedInstance();
    asyncOnLoggingQueue([&self, logger = std::move(logger), level] { self.lt_addLogger(logger, level); });
}

void LGLog::removeLogger(const LGLoggerPtr& logger) {
    if (!logger) return;
    LGLog& self = sharedInstance();
    asyncOnLoggingQueue([&self, logger] { self.lt_removeLogger(logger); });
}

void LGLog::removeAllLoggers() {
    LGLog& self = sharedInstance();
    asyncOnLoggingQueue([&self] { self.lt_removeAllLoggers(); });
}

std::vector<LGLoggerPtr> LGLog::allLoggers() {
    LGLog& self = sharedInstance();
    if (isOnLoggingQueue()) return self.lt_allLoggers();
    if (isOnLoggerQueue()) {
        // The logging queue may be waiting for this very queue: read the list
        // under its lock instead of hopping over.
        std::lock_guard<std::mutex> lock(self.loggersMutex_);
        std::vector<LGLoggerPtr> result;
        for (const Node& node : self.loggers_) result.push_back(node.logger);
        return result;
    }
    std::vector<LGLoggerPtr> result;
    syncOnLoggingQueue([&] { result = self.lt_allLoggers(); });
    return result;
}

void LGLog::lt_addLogger(LGLoggerPtr logger, uint64_t level) {
    LG_ASSERT_LOGGING_QUEUE();
    for (const Node& node : loggers_) {
        if (node.logger == logger && node.level == level) return;
    }
    QueuePtr queue = logger->loggerQueue();
    if (!queue) queue = platform::dispatch::createSerialQueue(logger->loggerName());
    markLoggerQueue(queue);
    {
        std::lock_guard<std::mutex> lock(loggersMutex_);
        loggers_.push_back(Node{logger, level, queue});
    }
    runOn(queue, [logger] { callGuarded("didAddLogger", [&] { logger->didAddLogger(); }); });
}

void LGLog::lt_removeLogger(const LGLoggerPtr& logger) {
    LG_ASSERT_LOGGING_QUEUE();
    std::lock_guard<std::mutex> lock(loggersMutex_);
    for (auto it = loggers_.begin(); it != loggers_.end(); ++it) {
        if (it->logger != logger) continue;
        LGLoggerPtr held = it->logger;
        runOn(it->loggerQueue, [held] { callGuarded("willRemoveLogger", [&] { held->willRemoveLogger(); }); });
        loggers_.erase(it);
        return;
    }
}

void LGLog::lt_removeAllLoggers() {
    LG_ASSERT_LOGGING_QUEUE();
    std::lock_guard<std::mutex> lock(loggersMutex_);
    for (const Node& node : loggers_) {
        LGLoggerPtr held = node.logger;
        runOn(node.loggerQueue, [held] { callGuarded("willRemoveLogger", [&] { held->willRemoveLogger(); }); });
    }
    loggers_.clear();
}

std::vector<LGLoggerPtr> LGLog::lt_allLoggers() {
    LG_ASSERT_LOGGING_QUEUE();
    std::vector<LGLoggerPtr> result;
    result.reserve(loggers_.size());
    for (const Node& node : loggers_) result.push_back(node.logger);
    return result;
}

// Asynchronous hand-over to a logger's queue; a logger that chose the logging
// queue itself as its queue is called in place.
void LGLog::runOn(const QueuePtr& queue, std::function<void()> block) {
    if (queue == globals().queue) {
        block();
    } else {
        queue->async(std::move(block));
    }
}

namespace {

// Makes the message in its place in the channel (a message is not small:
// made elsewhere, it would be copied in once more).
struct MessageMaker {
    void (*make)(const void* context, Item& slot);
    const void* context;
};

template <class F>
MessageMaker makerOf(const F& f) {
    return {[](const void* context, Item& slot) { (*static_cast<const F*>(context))(slot); }, &f};
}

// Appends to the channel; with `bounded`, first waits for room under the
// bound. One lock for all: this is the caller's whole cost.
void post(const MessageMaker* maker, bool bounded, std::function<void()>&& work, Completion* completion) {
    Globals& g = globals();
    auto held = work ? std::make_unique<std::function<void()>>(std::move(work)) : nullptr;
    std::unique_lock<std::mutex> lock(g.mutex);
    if (bounded) {
        g.spaceFreed.wait(lock, [&g] { return g.undelivered < kMaxQueuedMessages; });
        ++g.undelivered;
    }
    Item& item = g.items.emplace_back();
    if (maker) {
        try {
            maker->make(maker->context, item);
        } catch (...) {
            g.items.pop_back();
            if (bounded) --g.undelivered;
            throw;
        }
    }
    item.counted = bounded;
    item.work = held.release();
    item.completion = completion;
    // The next item's head was last read by the drain, on another core: ask
    // for it now, so that the next caller's first store need not wait for it
    // (stores leave in order, so every store of its message would wait).
    if (g.items.size() < g.items.capacity()) prefetchForWrite(g.items.data() + g.items.size(), g.prefetchw);
    if (g.drainScheduled) return;
    g.drainScheduled = true;
    lock.unlock();
    // Waking the queue is a system call: the drain may already take items
    // meanwhile, and other callers need not wait for it.
    g.queue->async([] { LGLog::sharedInstance().lt_drain(); });
}

void queueLogMessage(const MessageMaker& maker, bool asynchronous) {
    // From the logging queue or a logger's queue a wait could never end: the
    // delivery that would release it waits for the caller. Such messages
    // bypass the bound and are never synchronous.
    bool counted = true;
    if (auto queue = platform::dispatch::currentQueue())
        counted = !(queue->specific(&kLoggingQueueKey) || queue->specific(&kLoggerQueueKey));
    if (!counted) asynchronous = true;
    if (asynchronous) {
        post(&maker, counted, nullptr, nullptr);
        return;
    }
    // Returns once every logger has handled the message.
    Completion completion;
    post(&maker, counted, nullptr, &completion);
    completion.wait();
}

}  // namespace

// --- logging ------------------------------------------------------------------

void LGLog::log(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                const char* function, uint64_t line, const LGLogTag& tag, const char* format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    logv(asynchronous, level, flag, context, file, function, line, tag, format, args);
    va_end(args);
}

void LGLog::logv(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                 const char* function, uint64_t line, const LGLogTag& tag, const char* format, va_list args) {
    if (!format) return;
    lg::LineBuffer text;
    if (lg::formatQuickly(text, format, args)) {
        const auto make = [&](Item& slot) {
            slot.emplace(text.view(), level, flag, context, file, function, line, tag);
        };
        queueLogMessage(makerOf(make), asynchronous);
        return;
    }
    char stackBuffer[512];
    stackBuffer[0] = '\0';
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    // A format that ends inside a conversion, or a wide character with no
    // multibyte form: the message is what printf wrote before it (at most a
    // buffer's worth), not lost.
    if (length < 0) {
        stackBuffer[sizeof stackBuffer - 1] = '\0';
        length = static_cast<int>(std::strlen(stackBuffer));
    }
    if (static_cast<std::size_t>(length) < sizeof stackBuffer) {
        logMessage(asynchronous, std::string_view(stackBuffer, length), level, flag, context, file, function, line,
                   tag);
        return;
    }
    // Formatted straight into the buffer the message keeps: a long text is
    // then held once on its way, not once here and again in the message.
    std::string longText;
    longText.reserve(static_cast<std::size_t>(length) + 1 + LGLogMessage::spaceAfterText(file, function));
    longText.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(longText.data(), longText.size(), format, args);
    longText.resize(static_cast<std::size_t>(length));
    const auto make = [&](Item& slot) {
        slot.emplace(std::in_place, std::move(longText), level, flag, context, file, function, line, tag);
    };
    queueLogMessage(makerOf(make), asynchronous);
}

void LGLog::logMessage(bool asynchronous, std::string_view message, uint64_t level, uint64_t flag, int64_t context,
                       const char* file, const char* function, uint64_t line, const LGLogTag& tag) {
    const auto make = [&](Item& slot) { slot.emplace(message, level, flag, context, file, function, line, tag); };
    queueLogMessage(makerOf(make), asynchronous);
}

void LGLog::log(bool asynchronous, const LGLogMessage& message) {
    const auto make = [&](Item& slot) { slot.emplace(message); };
    queueLogMessage(makerOf(make), asynchronous);
}

void LGLog::asyncOnLoggingQueue(std::function<void()> work) { post(nullptr, false, std::move(work), nullptr); }

void LGLog::syncOnLoggingQueue(std::function<void()> work) {
    if (isOnLoggingQueue()) {
        work();
        return;
    }
    Completion completion;
    post(nullptr, false, std::move(work), &completion);
    completion.wait();
}

void LGLog::lt_drain() {
    LG_ASSERT_LOGGING_QUEUE();
    Globals& g = globals();
    std::vector<Item>& items = g.taken;
    std::vector<const LGLogMessage*> batch;
    long counted = 0;  // bounded messages of the batch
    long delivered = 0;  // bounded messages delivered, still counted as waiting
    std::vector<Completion*> waiting;  // callers waiting on messages of the batch
    auto deliverBatch = [&] {
        if (batch.empty()) return;
        lt_log(batch);
        batch.clear();
        for (Completion* c : waiting) c->signal();
        waiting.clear();
        delivered += counted;
        counted = 0;
    };
    // Callers that find the drain scheduled only append: while messages keep
    // coming, one drain takes them all, and no caller has to wake this queue.
    // The channel's lock is taken once a round: the messages delivered in the
    // last one leave the count as the next one takes what waits.
    for (int round = 0;; ++round) {
        items.clear();
        bool more = true;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.undelivered -= delivered;
            if (g.items.empty()) {
                g.drainScheduled = false;
                more = false;
            } else if (round == kDrainRounds) {
                // Other work of the logging queue gets its turn; the drain
                // stays scheduled, so nothing posted meanwhile is left behind.
                g.queue->async([] { LGLog::sharedInstance().lt_drain(); });
                more = false;
            } else {
                items.swap(g.items);
            }
        }
        if (delivered > 0) g.spaceFreed.notify_all();
        delivered = 0;
        if (!more) return;
        for (Item& item : items) {
            if (item.hasMessage) {
                batch.push_back(item.message());
                counted += item.counted ? 1 : 0;
                if (item.completion) waiting.push_back(item.completion);
                continue;
            }
            deliverBatch();
            if (item.work) callGuarded("logging queue work", *item.work);
            if (item.completion) item.completion->signal();
        }
        deliverBatch();
    }
}

void LGLog::lt_log(const std::vector<const LGLogMessage*>& batch) {
    LG_ASSERT_LOGGING_QUEUE();
    Globals& g = globals();
    bool waitGroup = false;
    // The messages live until every logger is done with them: this waits.
    for (const Node& node : loggers_) {
        // The messages of the batch this logger takes, in order.
        auto mine = std::make_shared<std::vector<const LGLogMessage*>>();
        for (const LGLogMessage* m : batch) {
            if (node.level & m->flag()) mine->push_back(m);
        }
        if (mine->empty()) continue;
        LGLogger* logger = node.logger.get();
        auto call = [logger, mine] {
            for (const LGLogMessage* m : *mine) callGuarded("logMessage", [&] { logger->logMessage(*m); });
        };
        if (node.loggerQueue == g.queue) {
            call();
        } else if (g.processors == 1) {
            node.loggerQueue->sync(call);
        } else {
            g.group.async(node.loggerQueue, call);
            waitGroup = true;
        }
    }
    if (waitGroup) g.group.wait();
}

// --- flushing -----------------------------------------------------------------

void LGLog::flushLog() {
    LGLog& self = sharedInstance();
    if (isOnLoggingQueue()) {
        self.lt_flush();
    } else if (isOnLoggerQueue()) {
        // Waiting here would wait for this queue itself.
        lg::reportMisuse(__FILE__, __LINE__, "flushLog called on a logger's queue; flushing without waiting");
        asyncOnLoggingQueue([&self] { self.lt_flush(); });
    } else {
        syncOnLoggingQueue([&self] { self.lt_flush(); });
    }
}

void LGLog::lt_flush() {
    LG_ASSERT_LOGGING_QUEUE();
    Globals& g = globals();
    bool waitGroup = false;
    for (const Node& node : loggers_) {
        LGLogger* logger = node.logger.get();
        auto call = [logger] { callGuarded("flush", [&] { logger->flush(); }); };
        if (node.loggerQueue == g.queue) {
            call();
        } else {
            g.group.async(node.loggerQueue, call);
            waitGroup = true;
        }
    }
    if (waitGroup) g.group.wait();
}

// --- per-class levels -----------------------------------------------------------

void LGLog::registerClass(RegisteredClass registration) {
    if (registration.name.empty() || !registration.level || !registration.setLevel) return;
    std::lock_guard<std::mutex> lock(classesMutex());
    std::string name = registration.name;
    classes()[name] = std::move(registration);
}

bool LGLog::isRegisteredClass(const std::string& name) {
    std::lock_guard<std::mutex> lock(classesMutex());
    return classes().count(name) != 0;
}

std::vector<LGLog::RegisteredClass> LGLog::registeredClasses() {
    std::lock_guard<std::mutex> lock(classesMutex());
    std::vector<RegisteredClass> result;
    for (const auto& entry : classes()) result.push_back(entry.second);
    return result;
}

std::vector<std::string> LGLog::registeredClassNames() {
    std::vector<std::string> names;
    for (const RegisteredClass& c : registeredClasses()) names.push_back(c.name);
    return names;
}

uint64_t LGLog::levelForClassWithName(const std::string& name) {
    std::function<uint64_t()> getter;
    {
        std::lock_guard<std::mutex> lock(classesMutex());
        auto it = classes().find(name);
        if (it == classes().end()) return LGLogLevelAll;
        getter = it->second.level;
    }
    return getter();
}

void LGLog::setLevelForClassWithName(uint64_t level, const std::string& name) {
    std::function<void(uint64_t)> setter;
    {
        std::lock_guard<std::mutex> lock(classesMutex());
        auto it = classes().find(name);
        if (it == classes().end()) return;
        setter = it->second.setLevel;
    }
    setter(level);
}

}  // namespace wharf
