#include <gtest/gtest.h>

#include <locale.h>
#include <pthread.h>
#include <unistd.h>

#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "LoggingTestSupport.h"
#include "logging/LGInternal.h"
#include "logging/LGLog.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NotificationCenter.h"

using namespace wharf;
using test::RecordingLogger;
using test::waitUntil;

namespace {

class LGLogTest : public ::testing::Test {
protected:
    void SetUp() override { test::resetLogging(); }
    void TearDown() override { test::resetLogging(); }
};

// True while the thread sleeps in the kernel (waits on a lock or a condition).
bool isSleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t end = text.rfind(')');  // the name in parentheses may hold anything
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

void logWithFlag(uint64_t flag, const char* text) {
    LGLog::log(true, LGLogLevelAll, flag, 0, __FILE__, __func__, __LINE__, std::nullopt, "%s", text);
}

TEST_F(LGLogTest, DeliversOnlyToLoggersWhoseMaskHoldsTheFlag) {
    auto debugLogger = std::make_shared<RecordingLogger>();
    auto infoLogger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(debugLogger, LGLogLevelDebug);
    LGLog::addLogger(infoLogger, LGLogLevelInfo);

    logWithFlag(LGLogFlagDebug, "debug");
    logWithFlag(LGLogFlagVerbose, "verbose");
    logWithFlag(LGLogFlagInfo, "info");
    LGLog::flushLog();

    auto debugMessages = debugLogger->messages();
    ASSERT_EQ(debugMessages.size(), 2u);
    EXPECT_EQ(debugMessages[0].message(), "debug");
    EXPECT_EQ(debugMessages[1].message(), "info");
    auto infoMessages = infoLogger->messages();
    ASSERT_EQ(infoMessages.size(), 1u);
    EXPECT_EQ(infoMessages[0].message(), "info");
}

TEST_F(LGLogTest, SameLoggerTwiceWithOneLevelIsOneNodeWithTwoLevelsTwo) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger, LGLogLevelInfo);
    LGLog::addLogger(logger, LGLogLevelInfo);
    EXPECT_EQ(LGLog::allLoggers().size(), 1u);

    LGLog::addLogger(logger, LGLogLevelDebug);
    EXPECT_EQ(LGLog::allLoggers().size(), 2u);
    LGLogError("twice");
    EXPECT_EQ(logger->count(), 2u);

    LGLog::removeLogger(logger);
    EXPECT_EQ(LGLog::allLoggers().size(), 1u);
}

TEST_F(LGLogTest, ThousandUndeliveredMessagesBlockTheNextCaller) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    logger->hold();

    // The first message sits in delivery; 1000 more fill the bound.
    for (int i = 0; i < 1000; ++i) LGLogInfo("message %d", i);

    std::atomic<bool> returned{false};
    std::atomic<pid_t> lateThread{0};
    std::thread late([&] {
        lateThread = ::gettid();
        LGLogInfo("the 1001st");
        returned = true;
    });
    // Until it blocks (or, wrongly, returns).
    ASSERT_TRUE(waitUntil([&] { return returned.load() || (lateThread.load() && isSleeping(lateThread.load())); }));
    EXPECT_FALSE(returned.load()) << "the call beyond the bound returned before any delivery";

    logger->release();
    late.join();
    EXPECT_TRUE(returned.load());
    LGLog::flushLog();
    EXPECT_EQ(logger->count(), 1001u);
    EXPECT_EQ(logger->messages().back().message(), "the 1001st");
}

TEST_F(LGLogTest, SynchronousErrorReturnsOnlyAfterEveryLoggerHasIt) {
    auto slow = std::make_shared<RecordingLogger>();
    std::atomic<bool> slowFinished{false};
    slow->onMessage = [&](const LGLogMessage&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        slowFinished = true;
    };
    auto fast = std::make_shared<RecordingLogger>();
    LGLog::addLogger(slow);
    LGLog::addLogger(fast);

    LGLogError("failed with %d", 42);
    EXPECT_TRUE(slowFinished.load()) << "returned while a logger was still taking the message";
    EXPECT_EQ(slow->count(), 1u);
    EXPECT_EQ(fast->count(), 1u);
    EXPECT_EQ(slow->messages()[0].message(), "failed with 42");
    EXPECT_EQ(slow->messages()[0].flag(), LGLogFlagError);
}

// Other threads keep the drain scheduled all the time; a synchronous call that
// finds it so must still wait for the drain that carries its own message.
TEST_F(LGLogTest, SynchronousCallsWaitForTheirOwnMessageWhileOthersLog) {
    auto logger = std::make_shared<RecordingLogger>();
    std::atomic<int> lastSync{-1};
    logger->onMessage = [&](const LGLogMessage& m) {
        if (m.message().starts_with("sync ")) lastSync = std::stoi(std::string(m.message().substr(5)));
    };
    LGLog::addLogger(logger);
    std::atomic<bool> stop{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 20000 && !stop.load(); ++i) LGLogInfo("background");
        });
    }
    int missing = 0;
    for (int i = 0; i < 300; ++i) {
        LGLogError("sync %d", i);
        if (lastSync.load() != i) ++missing;
    }
    stop = true;
    for (auto& p : producers) p.join();
    EXPECT_EQ(missing, 0) << "synchronous calls returned before their message was delivered";
}

TEST_F(LGLogTest, FlushSeesEveryEarlierMessageAndFlushesEachLogger) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([] {
            for (int i = 0; i < 50; ++i) LGLogDebug("n %d", i);
        });
    }
    for (auto& p : producers) p.join();
    LGLog::flushLog();
    EXPECT_EQ(logger->count(), 200u);
    EXPECT_EQ(logger->flushes.load(), 1);
}

TEST_F(LGLogTest, WillTerminateNotificationFlushes) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    LGLogInfo("before the end");
    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillTerminateNotification);
    EXPECT_EQ(logger->count(), 1u);
    EXPECT_EQ(logger->flushes.load(), 1);
}

// A logger that logs (also synchronously) and reads another logger's settings
// from its own queue while the bound is exhausted must not wait for itself.
TEST_F(LGLogTest, LoggingFromInsideALoggerAtTheBoundDoesNotDeadlock) {
    auto other = std::make_shared<RecordingLogger>();
    auto chatty = std::make_shared<RecordingLogger>();
    std::atomic<bool> done{false};
    chatty->onMessage = [&](const LGLogMessage& message) {
        if (message.message() != "trigger") return;
        for (int i = 0; i < 1100; ++i) LGLogInfo("inner %d", i);
        LGLogError("inner error");
        (void)other->logFormatter();
        LGLog::allLoggers();
        done = true;
    };
    LGLog::addLogger(chatty, LGLogLevelAll);
    LGLog::addLogger(other, LGLogFlagVerbose);

    auto outer = std::async(std::launch::async, [] {
        LGLogInfo("trigger");
        for (int i = 0; i < 1500; ++i) LGLogInfo("outer %d", i);
        LGLog::flushLog();
    });
    ASSERT_EQ(outer.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "deadlocked";
    EXPECT_TRUE(done.load());
    LGLog::flushLog();
    EXPECT_EQ(chatty->count(), 1u + 1100 + 1 + 1500);
}

TEST_F(LGLogTest, MessageCapturesTheCallOnTheCallersThread) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    auto queue = platform::dispatch::createSerialQueue("test.producer.queue");
    double before = 0, after = 0;
    auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    queue->sync([&] {
        before = now();
        LGLog::log(true, 3, LGLogFlagWarning, 9, "/src/a/Loc.Manager.mm", "-[Loc run]", 77, LGLogTag("t"), "v=%d", 5);
        after = now();
    });
    LGLog::flushLog();
    auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 1u);
    const LGLogMessage& m = messages[0];
    EXPECT_EQ(m.message(), "v=5");
    EXPECT_EQ(m.level(), 3u);
    EXPECT_EQ(m.context(), 9);
    EXPECT_EQ(m.file(), "/src/a/Loc.Manager.mm");
    EXPECT_EQ(m.fileName(), "Loc.Manager");
    EXPECT_EQ(m.function(), "-[Loc run]");
    EXPECT_EQ(m.line(), 77u);
    EXPECT_EQ(m.tag(), LGLogTag("t"));
    EXPECT_EQ(m.queueLabel(), "test.producer.queue");
    EXPECT_FALSE(m.threadID().empty());
    EXPECT_EQ(m.threadID().find_first_not_of("0123456789"), std::string_view::npos);
    EXPECT_GE(m.timestamp(), before);
    EXPECT_LE(m.timestamp(), after);

    LGLogMessage copy = m;
    EXPECT_EQ(copy.fileName(), "Loc.Manager");
    EXPECT_EQ(copy.message(), "v=5");
}

TEST_F(LGLogTest, MessagesCarryTheThreadsNameAtTheTimeOfTheCall) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    std::thread([] {
        platform::dispatch::setThreadName("first name");
        LGLogInfo("one");
        platform::dispatch::setThreadName("renamed");
        LGLogInfo("two");
        // A rename the process makes by other means shows once the coarse
        // clock has moved on.
        pthread_setname_np(pthread_self(), "by hand");
        auto coarseNow = [] {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
            return std::pair(t.tv_sec, t.tv_nsec);
        };
        const auto renamedAt = coarseNow();
        while (coarseNow() == renamedAt) std::this_thread::yield();
        LGLogInfo("three");
    }).join();
    LGLog::flushLog();
    auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].threadName(), "first name");
    EXPECT_EQ(messages[1].threadName(), "renamed");
    EXPECT_EQ(messages[2].threadName(), "by hand");
}

TEST(LGLogMessageTest, FileNameRules) {
    auto fileName = [](const char* file) { return std::string(LGLogMessage("", 0, 1, 0, file, "", 0).fileName()); };
    EXPECT_EQ(fileName("/a/b/Manager.test.mm"), "Manager.test");
    EXPECT_EQ(fileName("/a/b/Makefile"), "Makefile");
    EXPECT_EQ(fileName("Plain.cpp"), "Plain");
    EXPECT_EQ(fileName(nullptr), "");
    EXPECT_EQ(LGLogMessage("x", 0, 1, 0, "f", "g", 0, {}, 0, 12.5).timestamp(), 12.5);
}

TEST_F(LGLogTest, LongMessagesAreFormattedWhole) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    std::string big(5000, 'x');
    LGLogInfo("<%s>", big.c_str());
    LGLog::flushLog();
    ASSERT_EQ(logger->count(), 1u);
    EXPECT_EQ(logger->messages()[0].message().size(), 5002u);
}

// Formats one call three ways: snprintf, the framework's own quick path, and a
// logged message (quick path or C library). The format is copied to the heap
// at its exact size, so that a read past its end fails under AddressSanitizer.
// A plain format must take the quick path; any other may, but writes what
// snprintf writes either way, or leaves the text it was to append to as it was.
__attribute__((format(printf, 3, 4))) void logAndExpect(std::vector<std::string>& expected, bool plain,
                                                        const char* format, ...) {
    const std::size_t size = std::strlen(format) + 1;
    const auto copy = std::make_unique<char[]>(size);
    std::memcpy(copy.get(), format, size);
    va_list args, quick, logged;
    va_start(args, format);
    va_copy(quick, args);
    va_copy(logged, args);
    char buffer[1024] = "";
    std::vsnprintf(buffer, sizeof buffer, copy.get(), args);
    expected.emplace_back(buffer);
    lg::LineBuffer text;
    text.append("before|", 7);
    const bool tookQuickPath = lg::formatQuickly(text, copy.get(), quick);
    if (plain) {
        EXPECT_TRUE(tookQuickPath) << '"' << format << '"';
    }
    EXPECT_EQ(text.view(), tookQuickPath ? "before|" + expected.back() : "before|") << '"' << format << '"';
    LGLog::logv(true, LGLogLevelAll, LGLogFlagInfo, 0, __FILE__, __func__, __LINE__, std::nullopt, copy.get(), logged);
    va_end(logged);
    va_end(quick);
    va_end(args);
}

// Every conversion alone in its format, so that none is hidden behind another
// that sends the whole format to the C library.
TEST_F(LGLogTest, MessagesReadAsPrintfWritesThem) {
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    std::vector<std::string> expected;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"
    const auto plain = [&](const char* format, auto... args) { logAndExpect(expected, true, format, args...); };
    const auto other = [&](const char* format, auto... args) { logAndExpect(expected, false, format, args...); };
    const char* volatile nothing = nullptr;  // unknown to the compiler, which would refuse a null %s
    int dummy = 0;
    plain("no conversions at all");
    plain("%d", -42);
    plain("%i", 7);
    plain("%u", 4000000000u);
    plain("%x", 0xbeefu);
    plain("%X", 0xbeefu);
    plain("%c", 'q');
    plain("%s", "text");
    plain("%s", nothing);
    plain("[%s]", "");
    plain("%%");
    plain("100%% done");
    // Read at the promoted type, then narrowed to the modifier's, signed or
    // not as the conversion says: 456 is 200 as an unsigned char, -56 as a
    // signed one; 40000 is -25536 as a short.
    plain("%hhd", 456);
    plain("%hhi", 456);
    plain("%hhu", 456);
    plain("%hhu", -1);
    plain("%hhx", 456);
    plain("%hhX", -2);
    plain("%hd", 40000);
    plain("%hi", 40000);
    plain("%hu", 40000);
    plain("%hu", -1);
    plain("%hx", 0x12345);
    plain("%hX", -2);
    plain("%ld", -9000000000L);
    plain("%li", -9000000000L);
    plain("%lu", 9000000000UL);
    plain("%lx", 0xabcdefUL);
    plain("%lX", 0xabcdefUL);
    plain("%lld", static_cast<long long>(INT64_MIN));
    plain("%lli", static_cast<long long>(INT64_MAX));
    plain("%llu", static_cast<unsigned long long>(UINT64_MAX));
    plain("%llx", 0xABCDEF0123ULL);
    plain("%llX", 0xABCDEF0123ULL);
    plain("%zu", SIZE_MAX);
    plain("%zd", static_cast<ssize_t>(-12));
    plain("%zx", SIZE_MAX);
    plain("%jd", INTMAX_MIN);
    plain("%ju", UINTMAX_MAX);
    plain("%jx", UINTMAX_MAX);
    plain("%td", static_cast<ptrdiff_t>(-4));
    plain("%tu", static_cast<ptrdiff_t>(-4));
    plain("%tx", static_cast<ptrdiff_t>(-4));
    // Several in one format take their arguments in order.
    plain("%d|%i|%u|%x|%X|%c|%s|%%|%hhd|%lu", -42, 7, 4000000000u, 0xbeefu, 0xbeefu, 'q', "text", 456, 5UL);
    plain("%d%d%d", 1, 2, 3);
    plain("%s", std::string(400, 'y').c_str());
    // Flags, field widths, precisions and other conversions.
    other("%5d", 42);
    other("%-4s|", "ab");
    other("%05d", -42);
    other("%+d", 5);
    other("% d", 6);
    other("%#x", 255u);
    other("%.3s", "abcdef");
    other("%*d", 6, 42);
    other("%.*s", 2, "abc");
    other("%.2f", 3.14159);
    other("%08.3f", -2.5);
    other("%e %g %a", 1e-5, 1e20, 0.5);
    other("%o", 8u);
    other("%p", static_cast<void*>(&dummy));
    other("%ls", L"wide");
    other("%lc", static_cast<wint_t>(L'w'));
    other("caf%ls!", L"\u00e9");  // no form in the C locale: what printf wrote before it
    other("%5d|%d", 1, 2);
    {
        // In a UTF-8 locale a wide character is written whole: U+0141 is "Ł",
        // never its low byte ("A").
        const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        ASSERT_NE(utf8, static_cast<locale_t>(nullptr));
        const locale_t previous = ::uselocale(utf8);
        other("%lc", static_cast<wint_t>(0x141));
        const std::string written = expected.back();
        other("%c%lc%ls", 'a', static_cast<wint_t>(0x141), L"\u00f3d\u017a");
        ::uselocale(previous);
        ::freelocale(utf8);
        EXPECT_EQ(written, "\u0141");
    }
    // Formats that end inside a conversion: nothing past their end is read.
    for (const char* unfinished : {"battery at 100%", "%", "%5", "%-", "%.", "%.2", "%#", "%+", "% "})
        other(unfinished, 1, "x");
#if !defined(__SANITIZE_THREAD__)  // its printf checks abort on a length modifier at the end
    for (const char* unfinished : {"%l", "%h", "%hh", "%ll", "%z", "%j", "%t", "%d and %l", "%i%hh"})
        other(unfinished, 1, "x");
#endif
#pragma GCC diagnostic pop
    LGLog::flushLog();
    auto messages = logger->messages();
    ASSERT_EQ(messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(messages[i].message(), expected[i]) << i;
}

// Messages travel by value in the channel, kept inside themselves when short;
// whatever their size, every field survives the trip and every copy.
TEST_F(LGLogTest, MessagesOfEverySizeKeepTheirFieldsThroughCopies) {
    for (std::size_t size :
         {std::size_t{0}, std::size_t{10}, LGLogMessage::kInlineCapacity, LGLogMessage::kInlineCapacity * 3}) {
        const std::string text(size, 't');
        const std::string file = "/dir.d/" + std::string(size / 2, 'f') + ".tar.gz";
        const std::string function(size / 3, 'g');
        LGLogMessage original(text, 31, LGLogFlagWarning, 7, file.c_str(), function.c_str(), 99, "tag", 3, 12.5);
        LGLogMessage copy = original;
        LGLogMessage moved = std::move(copy);
        LGLogMessage assigned("other", 1, 1, 0, "x", "y", 1);
        assigned = moved;
        for (const LGLogMessage* m : {&original, &moved, &assigned}) {
            EXPECT_EQ(m->message(), text);
            EXPECT_EQ(m->file(), file);
            EXPECT_EQ(m->fileName(), std::string(size / 2, 'f') + ".tar");
            EXPECT_EQ(m->function(), function);
            EXPECT_EQ(m->level(), 31u);
            EXPECT_EQ(m->flag(), uint64_t{LGLogFlagWarning});
            EXPECT_EQ(m->context(), 7);
            EXPECT_EQ(m->line(), 99u);
            EXPECT_EQ(m->tag(), "tag");
            EXPECT_EQ(m->options(), 3);
            EXPECT_EQ(m->timestamp(), 12.5);
            EXPECT_EQ(m->threadID(), original.threadID());
            EXPECT_EQ(m->threadName(), original.threadName());
        }
    }
    // Through the channel: long fields arrive whole.
    auto logger = std::make_shared<RecordingLogger>();
    LGLog::addLogger(logger);
    const std::string longFile = "/" + std::string(1000, 'p') + "/source.cpp";
    const std::string longText(3 * LGLogMessage::kInlineCapacity, 'z');
    LGLog::logMessage(true, longText, LGLogLevelAll, LGLogFlagInfo, 0, longFile.c_str(), "fn", 1, std::nullopt);
    LGLog::flushLog();
    ASSERT_EQ(logger->count(), 1u);
    EXPECT_EQ(logger->messages()[0].message(), longText);
    EXPECT_EQ(logger->messages()[0].file(), longFile);
    EXPECT_EQ(logger->messages()[0].fileName(), "source");
}

// Many threads at once, two loggers, work queued midway: each logger gets
// every thread's messages, each thread's in the order it logged them, and the
// work runs after what its thread logged before it and before what came after.
TEST_F(LGLogTest, EachThreadsMessagesKeepTheirOrderAtEveryLogger) {
    auto first = std::make_shared<RecordingLogger>();
    auto second = std::make_shared<RecordingLogger>();
    LGLog::addLogger(first);
    LGLog::addLogger(second, LGLogLevelInfo);
    constexpr int kThreads = 4, kEach = 3000;
    auto threadZeroCount = [](const RecordingLogger& logger) {
        int n = 0;
        for (const LGLogMessage& m : logger.messages()) n += m.message().starts_with("0 ") ? 1 : 0;
        return n;
    };
    std::atomic<int> seenByWork{-1};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (t == 0 && i == kEach / 2) LGLog::asyncOnLoggingQueue([&] { seenByWork = threadZeroCount(*first); });
                LGLogInfo("%d %d", t, i);
            }
        });
    }
    for (auto& p : producers) p.join();
    LGLog::flushLog();
    for (const auto& logger : {first, second}) {
        std::vector<int> next(kThreads, 0);
        for (const LGLogMessage& m : logger->messages()) {
            const std::string_view text = m.message();
            const auto space = text.find(' ');
            ASSERT_NE(space, std::string_view::npos);
            int t = -1, i = -1;
            ASSERT_EQ(std::from_chars(text.data(), text.data() + space, t).ec, std::errc());
            ASSERT_EQ(std::from_chars(text.data() + space + 1, text.data() + text.size(), i).ec, std::errc());
            ASSERT_EQ(i, next[t]) << "thread " << t;
            ++next[t];
        }
        EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
    }
    EXPECT_EQ(seenByWork.load(), kEach / 2);
}

// --- logger base ---------------------------------------------------------------------

class RecordingFormatter : public LGLogFormatter {
public:
    explicit RecordingFormatter(std::string name, std::vector<std::string>* events, std::mutex* mutex)
        : name_(std::move(name)), events_(events), mutex_(mutex) {}
    std::optional<std::string> formatLogMessage(const LGLogMessage& m) override {
        return name_ + ":" + std::string(m.message());
    }
    void didAddToLogger(LGLogger& logger) override { record("add " + name_, logger); }
    void willRemoveFromLogger(LGLogger& logger) override { record("remove " + name_, logger); }

private:
    void record(const std::string& event, LGLogger& logger) {
        bool onQueue = static_cast<LGAbstractLogger&>(logger).isOnInternalLoggerQueue();
        std::lock_guard<std::mutex> lock(*mutex_);
        events_->push_back(event + (onQueue ? "" : " (off queue)"));
    }
    std::string name_;
    std::vector<std::string>* events_;
    std::mutex* mutex_;
};

TEST_F(LGLogTest, FormatterChangesRunOnTheLoggersQueueInOrder) {
    std::vector<std::string> events;
    std::mutex mutex;
    auto a = std::make_shared<RecordingFormatter>("A", &events, &mutex);
    auto b = std::make_shared<RecordingFormatter>("B", &events, &mutex);
    auto logger = std::make_shared<RecordingLogger>();

    logger->setLogFormatter(a);
    EXPECT_EQ(logger->logFormatter(), a);
    logger->setLogFormatter(a);
    logger->setLogFormatter(b);
    EXPECT_EQ(logger->logFormatter(), b);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(events, (std::vector<std::string>{"add A", "remove A", "add B"}));
}

class NamedLogger : public RecordingLogger {
public:
    std::string loggerName() override { return "test.named.logger"; }
};

TEST_F(LGLogTest, QueueLabelsComeFromTheMostDerivedLoggerName) {
    auto named = std::make_shared<NamedLogger>();
    auto unnamed = std::make_shared<RecordingLogger>();
    EXPECT_EQ(named->loggerQueue()->label(), "test.named.logger");
    EXPECT_EQ(unnamed->loggerQueue()->label(), "RecordingLogger");

    LGLog::addLogger(unnamed);
    LGLogInfo("where am I");
    LGLog::flushLog();
    EXPECT_TRUE(unnamed->onQueue.load());
    EXPECT_FALSE(unnamed->onLoggingQueue.load());
}

struct LevelledClass {
    static uint64_t ddLogLevel() { return level; }
    static void ddSetLogLevel(uint64_t l) { level = l; }
    static inline std::atomic<uint64_t> level{7};
};

TEST(LGLogClassLevelsTest, RegisteredClassesReadAndSetTheirLevel) {
    EXPECT_FALSE(LGLog::isRegisteredClass("Unknown"));
    EXPECT_EQ(LGLog::levelForClassWithName("Unknown"), LGLogLevelAll);
    LGLog::setLevelForClassWithName(3, "Unknown");

    LGLog::registerClass<LevelledClass>("LevelledClass");
    EXPECT_TRUE(LGLog::isRegisteredClass("LevelledClass"));
    EXPECT_EQ(LGLog::levelForClassWithName("LevelledClass"), 7u);
    LGLog::setLevelForClassWithName(15, "LevelledClass");
    EXPECT_EQ(LevelledClass::level.load(), 15u);
    auto names = LGLog::registeredClassNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "LevelledClass"), names.end());
}

// Timers take these durations: a conversion of ±infinity, NaN or a huge
// double to integer nanoseconds would be undefined.
TEST(LGClampedDurationTest, ClampsToZeroAndAHundredYears) {
    using std::chrono::nanoseconds;
    constexpr double kHundredYears = 100.0 * 365 * 86400;
    const nanoseconds longest(static_cast<int64_t>(kHundredYears) * 1'000'000'000);
    EXPECT_EQ(lg::clampedDuration(1.5), nanoseconds(1'500'000'000));
    EXPECT_EQ(lg::clampedDuration(kHundredYears - 1), longest - std::chrono::seconds(1));
    EXPECT_EQ(lg::clampedDuration(kHundredYears + 1), longest);
    EXPECT_EQ(lg::clampedDuration(1e300), longest);
    EXPECT_EQ(lg::clampedDuration(INFINITY), longest);
    EXPECT_EQ(lg::clampedDuration(0), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(-0.0), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(-2.5), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(-1e300), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(-INFINITY), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(NAN), nanoseconds::zero());
    EXPECT_EQ(lg::clampedDuration(-NAN), nanoseconds::zero());
}

}  // namespace
