#include "logging/LGLog.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>

#include "logging/LGInternal.h"
#include "platform/Device.h"
#include "platform/NotificationCenter.h"

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

bool writevFully(int fd, iovec* pieces, int count, std::size_t* total) {
    if (total) *total = 0;
    while (count > 0) {
        ssize_t written = ::writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (total) *total += static_cast<std::size_t>(written);
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
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

using MessagePtr = std::shared_ptr<const LGLogMessage>;

// One entry of the logging queue's ordered channel: a message to deliver or a
// piece of work (registration, settings, flushing) that must stay in order
// with the messages around it.
struct Item {
    MessagePtr message;
    bool counted = false;
    std::function<void()> work;
};

struct Globals {
    QueuePtr queue;
    platform::dispatch::Group group;
    unsigned processors = 1;

    // The channel: callers append under the mutex; one drain block at a time
    // on the logging queue takes everything queued so far, so consecutive
    // messages reach each logger as one batch.
    std::mutex mutex;
    std::condition_variable spaceFreed;
    std::vector<Item> items;
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
    char stackBuffer[512];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    if (length < 0) return;  // an encoding error in the arguments
    if (static_cast<std::size_t>(length) < sizeof stackBuffer) {
        logMessage(asynchronous, std::string_view(stackBuffer, length), level, flag, context, file, function, line,
                   tag);
        return;
    }
    // Formatted straight into the buffer the message keeps: a long text is
    // then held once on its way, not once here and again in the message.
    std::string text;
    text.reserve(static_cast<std::size_t>(length) + 1 + LGLogMessage::spaceAfterText(file, function));
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    queueLogMessage(std::make_shared<const LGLogMessage>(std::in_place, std::move(text), level, flag, context, file,
                                                         function, line, tag),
                    asynchronous);
}

void LGLog::logMessage(bool asynchronous, std::string_view message, uint64_t level, uint64_t flag, int64_t context,
                       const char* file, const char* function, uint64_t line, const LGLogTag& tag) {
    queueLogMessage(std::make_shared<const LGLogMessage>(message, level, flag, context, file, function, line, tag),
                    asynchronous);
}

void LGLog::log(bool asynchronous, const LGLogMessage& message) {
    queueLogMessage(std::make_shared<const LGLogMessage>(message), asynchronous);
}

namespace {

// Appends to the channel; with `bounded`, first waits for room under the
// bound. One lock for both: this is the caller's whole cost.
void post(Item item, bool bounded = false) {
    Globals& g = globals();
    std::unique_lock<std::mutex> lock(g.mutex);
    if (bounded) {
        g.spaceFreed.wait(lock, [&g] { return g.undelivered < kMaxQueuedMessages; });
        ++g.undelivered;
    }
    g.items.push_back(std::move(item));
    if (g.drainScheduled) return;
    g.drainScheduled = true;
    // Queued under the lock: a caller that finds the drain already scheduled
    // puts its barrier behind it, so a synchronous call cannot return before
    // the drain that holds its item has run.
    g.queue->async([] { LGLog::sharedInstance().lt_drain(); });
}

}  // namespace

void LGLog::asyncOnLoggingQueue(std::function<void()> work) { post(Item{nullptr, false, std::move(work)}); }

void LGLog::syncOnLoggingQueue(std::function<void()> work) {
    if (isOnLoggingQueue()) {
        work();
        return;
    }
    post(Item{nullptr, false, std::move(work)});
    // The drain that runs the work was queued before this barrier.
    globals().queue->sync([] {});
}

void LGLog::queueLogMessage(std::shared_ptr<const LGLogMessage> message, bool asynchronous) {
    Globals& g = globals();
    // From the logging queue or a logger's queue a wait could never end: the
    // delivery that would release it waits for the caller. Such messages
    // bypass the bound and are never synchronous.
    bool counted = !(isOnLoggingQueue() || isOnLoggerQueue());
    if (!counted) asynchronous = true;
    post(Item{std::move(message), counted, nullptr}, counted);
    // Returns once the drain that delivers the message has run.
    if (!asynchronous) g.queue->sync([] {});
}

void LGLog::lt_drain() {
    LG_ASSERT_LOGGING_QUEUE();
    Globals& g = globals();
    std::vector<Item> items;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        items.swap(g.items);
        g.drainScheduled = false;
    }
    std::vector<MessagePtr> batch;
    long counted = 0;
    auto deliverBatch = [&] {
        if (batch.empty()) return;
        lt_log(batch);
        batch.clear();
        if (counted == 0) return;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.undelivered -= counted;
        }
        g.spaceFreed.notify_all();
        counted = 0;
    };
    for (Item& item : items) {
        if (item.message) {
            batch.push_back(std::move(item.message));
            counted += item.counted ? 1 : 0;
            continue;
        }
        deliverBatch();
        callGuarded("logging queue work", item.work);
    }
    deliverBatch();
}

void LGLog::lt_log(const std::vector<std::shared_ptr<const LGLogMessage>>& batch) {
    LG_ASSERT_LOGGING_QUEUE();
    Globals& g = globals();
    bool waitGroup = false;
    for (const Node& node : loggers_) {
        // The messages of the batch this logger takes, in order.
        auto mine = std::make_shared<std::vector<MessagePtr>>();
        for (const MessagePtr& m : batch) {
            if (node.level & m->flag()) mine->push_back(m);
        }
        if (mine->empty()) continue;
        LGLogger* logger = node.logger.get();
        auto call = [logger, mine] {
            for (const MessagePtr& m : *mine) callGuarded("logMessage", [&] { logger->logMessage(*m); });
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
