#pragma once
// The entry of the logging framework: levelled, asynchronous delivery of
// messages to registered loggers.
//
//   LGLogInfo("fix %d stored", id);      // queued; returns at once
//   LGLogError("upload failed: %s", e);  // returns once every logger has it
//
// At most 1000 messages wait for delivery; a further call blocks until one is
// delivered. Calls made from the logging queue or from a logger's own queue
// never wait (they would wait for themselves) and are queued instead.
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LGLogMessage.h"
#include "logging/LGLogger.h"
#include "platform/dispatch/Dispatch.h"

namespace wharf {

namespace platform {
struct Notification;
}

class LGLog {
public:
    static LGLog& sharedInstance();
    // The serial queue "wharf.logging" that owns the logger list and delivers.
    static const platform::dispatch::QueuePtr& loggingQueue();
    // True on the logging queue / on the queue of any registered logger.
    static bool isOnLoggingQueue();
    static bool isOnLoggerQueue();
    // Runs work on the logging queue in order with the messages logged before
    // it (use these rather than loggingQueue() directly).
    static void asyncOnLoggingQueue(std::function<void()> work);
    static void syncOnLoggingQueue(std::function<void()> work);
    // Marks a queue as a logger's queue (done for every registered logger).
    static void markLoggerQueue(const platform::dispatch::QueuePtr& queue);

    static void addLogger(LGLoggerPtr logger, uint64_t level = LGLogLevelAll);
    static void removeLogger(const LGLoggerPtr& logger);
    static void removeAllLoggers();
    static std::vector<LGLoggerPtr> allLoggers();

    // Formats and logs one message. A null format logs nothing.
    static void log(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                    const char* function, uint64_t line, const LGLogTag& tag, const char* format, ...)
        __attribute__((format(printf, 9, 10)));
    static void logv(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                     const char* function, uint64_t line, const LGLogTag& tag, const char* format, va_list args)
        __attribute__((format(printf, 9, 0)));
    // Logs a finished text.
    static void logMessage(bool asynchronous, std::string_view message, uint64_t level, uint64_t flag, int64_t context,
                           const char* file, const char* function, uint64_t line, const LGLogTag& tag);
    // Queues a finished message unchanged.
    static void log(bool asynchronous, const LGLogMessage& message);

    // Returns after every message queued before it was delivered and every
    // logger has flushed.
    static void flushLog();

    // Per-class levels. Classes register themselves explicitly with a getter
    // and a setter of their level.
    struct RegisteredClass {
        std::string name;
        std::function<uint64_t()> level;
        std::function<void(uint64_t)> setLevel;
    };
    static void registerClass(RegisteredClass registration);
    template <class T>
    static void registerClass(const std::string& name) {
        registerClass({name, [] { return T::ddLogLevel(); }, [](uint64_t l) { T::ddSetLogLevel(l); }});
    }
    static bool isRegisteredClass(const std::string& name);
    static std::vector<RegisteredClass> registeredClasses();
    static std::vector<std::string> registeredClassNames();
    static uint64_t levelForClassWithName(const std::string& name);  // all bits when unregistered
    static void setLevelForClassWithName(uint64_t level, const std::string& name);

    void applicationWillTerminate(const platform::Notification& notification);
    // Delivers what the channel holds; runs on the logging queue.
    void lt_drain();

    LGLog(const LGLog&) = delete;
    LGLog& operator=(const LGLog&) = delete;

private:
    LGLog();
    struct Node {
        LGLoggerPtr logger;
        uint64_t level;
        platform::dispatch::QueuePtr loggerQueue;
    };
    void lt_addLogger(LGLoggerPtr logger, uint64_t level);
    void lt_removeLogger(const LGLoggerPtr& logger);
    void lt_removeAllLoggers();
    std::vector<LGLoggerPtr> lt_allLoggers();
    void lt_log(const std::vector<const LGLogMessage*>& batch);
    void lt_flush();
    void runOn(const platform::dispatch::QueuePtr& queue, std::function<void()> block);

    // Changed only on the logging queue; the mutex lets other threads list it.
    std::mutex loggersMutex_;
    std::vector<Node> loggers_;
    std::shared_ptr<void> terminateObserver_;  // a platform::ObserverToken
};

}  // namespace wharf

#define LG_LOG_MAYBE(async, lvl, flg, ctx, tag, fmt, ...) \
    ::wharf::LGLog::log(async, lvl, flg, ctx, __FILE__, __PRETTY_FUNCTION__, __LINE__, tag, fmt, ##__VA_ARGS__)

#define LGLogError(fmt, ...) \
    LG_LOG_MAYBE(false, ::wharf::LGLogLevelAll, ::wharf::LGLogFlagError, 0, std::nullopt, fmt, ##__VA_ARGS__)
#define LGLogWarn(fmt, ...) \
    LG_LOG_MAYBE(true, ::wharf::LGLogLevelAll, ::wharf::LGLogFlagWarning, 0, std::nullopt, fmt, ##__VA_ARGS__)
#define LGLogInfo(fmt, ...) \
    LG_LOG_MAYBE(true, ::wharf::LGLogLevelAll, ::wharf::LGLogFlagInfo, 0, std::nullopt, fmt, ##__VA_ARGS__)
#define LGLogDebug(fmt, ...) \
    LG_LOG_MAYBE(true, ::wharf::LGLogLevelAll, ::wharf::LGLogFlagDebug, 0, std::nullopt, fmt, ##__VA_ARGS__)
#define LGLogVerbose(fmt, ...) \
    LG_LOG_MAYBE(true, ::wharf::LGLogLevelAll, ::wharf::LGLogFlagVerbose, 0, std::nullopt, fmt, ##__VA_ARGS__)
