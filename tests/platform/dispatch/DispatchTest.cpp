#include "platform/dispatch/Dispatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"

using namespace std::chrono_literals;
using namespace wharf::platform;
using namespace wharf::platform::dispatch;
using wharf::test::kHangDeadline;

namespace {

using Clock = std::chrono::steady_clock;

// Waits for every block queued on `q` so far (a serial queue runs in order).
void drain(const QueuePtr& q) {
    ASSERT_TRUE(q->sync([] {}));
}

int threadsNamed(const std::string& name) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        std::getline(comm, line);
        if (line == name) ++n;
    }
    return n;
}

TEST(SerialQueue, KeepsFifoOrderPerProducerAndRunsOneBlockAtATime) {
    auto q = createSerialQueue("test.fifo");
    constexpr int kThreads = 4, kPerThread = 2500;
    std::vector<std::pair<int, int>> seen;  // touched only on the queue
    std::atomic<int> active{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                q->async([&, t, i] {
                    if (active.fetch_add(1) != 0) overlapped = true;
                    seen.emplace_back(t, i);
                    active.fetch_sub(1);
                });
            }
        });
    }
    for (auto& p : producers) p.join();
    drain(q);
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_FALSE(overlapped);
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : seen) {
        ASSERT_EQ(i, next[t]) << "producer " << t << " out of order";
        ++next[t];
    }
}

TEST(SerialQueue, AsyncNeverRunsInlineAndThrowingBlocksDoNotStopTheQueue) {
    LogCapture log;
    auto q = createSerialQueue("test.inline");
    std::atomic<bool> ranInline{false};
    std::atomic<int> after{0};
    q->sync([&] {
        q->async([&] { after = 1; });
        ranInline = after.load() == 1;
    });
    q->async([] { throw std::runtime_error("boom"); });
    q->async([&] { after = 2; });
    drain(q);
    EXPECT_FALSE(ranInline);
    EXPECT_EQ(after.load(), 2);
    EXPECT_TRUE(log.contains("test.inline")) << "a throwing block is logged with its queue";
    EXPECT_TRUE(log.contains("boom"));
}

TEST(SerialQueue, SyncFromAnotherQueueRunsOnTheTargetAndWaits) {
    auto a = createSerialQueue("test.sync.a");
    auto b = createSerialQueue("test.sync.b");
    std::string labelInside;
    bool bCurrent = false, aCurrentInB = true;
    int value = 0;
    bool returned = false;
    a->sync([&] {
        returned = b->sync([&] {
            labelInside = currentQueueLabel();
            bCurrent = b->isCurrent();
            aCurrentInB = a->isCurrent();
            value = 42;
        });
    });
    EXPECT_TRUE(returned);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(labelInside, "test.sync.b");
    EXPECT_TRUE(bCurrent);
    EXPECT_FALSE(aCurrentInB);
}

TEST(SerialQueue, SyncOntoItsOwnQueueIsRefusedNotDeadlocked) {
    LogCapture log;
    auto a = createSerialQueue("test.self");
    auto b = createSerialQueue("test.other");
    bool direct = true, nested = true, ranDirect = false, ranNested = false;
    a->sync([&] {
        direct = a->sync([&] { ranDirect = true; });
        b->sync([&] { nested = a->sync([&] { ranNested = true; }); });
    });
    EXPECT_FALSE(direct);
    EXPECT_FALSE(nested);
    EXPECT_FALSE(ranDirect);
    EXPECT_FALSE(ranNested);
    EXPECT_EQ(log.count("test.self"), 2u);
    // The queue still works afterwards.
    bool later = false;
    EXPECT_TRUE(a->sync([&] { later = true; }));
    EXPECT_TRUE(later);
}

TEST(MainQueue, SyncFromTheMainThreadIsRefusedAndFromAnotherThreadWorks) {
    LogCapture log;
    bool ran = false;
    EXPECT_FALSE(mainQueue()->sync([&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_EQ(log.count("refused"), 1u);

    // A serial queue's block syncs onto main while main pumps; a sync from
    // there back onto that serial queue would deadlock and is refused.
    auto q = createSerialQueue("test.tomain");
    std::atomic<bool> done{false};
    std::atomic<bool> onMain{false}, backRefused{false};
    q->async([&] {
        mainQueue()->sync([&] {
            onMain = RunLoop::isMainThread();
            backRefused = !q->sync([] {});
        });
        done = true;
    });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return done.load(); }));
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(backRefused);
}

TEST(MainQueue, SyncBackOntoAWaitingMainThreadIsRefused) {
    LogCapture log;
    auto a = createSerialQueue("test.cycle.a");
    auto b = createSerialQueue("test.cycle.b");
    bool direct = true, viaTwoQueues = true, ran = false;
    // The main thread waits on a; a's block syncs straight back onto main.
    ASSERT_TRUE(a->sync([&] { direct = mainQueue()->sync([&] { ran = true; }); }));
    // The main thread waits on a, whose thread waits on b, whose block syncs onto main.
    ASSERT_TRUE(a->sync([&] { b->sync([&] { viaTwoQueues = mainQueue()->sync([&] { ran = true; }); }); }));
    EXPECT_FALSE(direct);
    EXPECT_FALSE(viaTwoQueues);
    EXPECT_FALSE(ran);
    EXPECT_EQ(log.count("\"wharf.main-thread\" from that same queue refused"), 2u);
    // Nothing is left marked as waiting: with main pumping, not waiting, the
    // same sync from a's block goes through.
    std::atomic<bool> later{false};
    a->async([&] { later = mainQueue()->sync([] {}); });
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return later.load(); }));
}

TEST(Queue, AfterRunsInDeadlineOrderNoEarlierThanTheDelay) {
    auto q = createSerialQueue("test.after");
    std::mutex m;
    std::vector<std::pair<char, Clock::duration>> fired;
    auto start = Clock::now();
    auto record = [&](char c) {
        return [&, c] {
            std::lock_guard lock(m);
            fired.emplace_back(c, Clock::now() - start);
        };
    };
    // The queue is busy past every deadline, so all four are due at once.
    q->async([] { std::this_thread::sleep_for(80ms); });
    q->after(60ms, record('c'));
    q->after(20ms, record('a'));
    q->after(40ms, record('b'));
    q->after(40ms, record('B'));  // same deadline: in submission order
    auto deadline = Clock::now() + kHangDeadline;
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        std::lock_guard lock(m);
        if (fired.size() == 4) break;
    }
    std::lock_guard lock(m);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[0].first, 'a');
    EXPECT_EQ(fired[1].first, 'b');
    EXPECT_EQ(fired[2].first, 'B');
    EXPECT_EQ(fired[3].first, 'c');
    EXPECT_GE(fired[0].second, 20ms);
    EXPECT_GE(fired[1].second, 40ms);
    EXPECT_GE(fired[3].second, 60ms);
}

TEST(Queue, AfterOnTheGlobalAndMainQueues) {
    std::atomic<bool> globalRan{false}, mainRan{false};
    std::atomic<bool> mainOnMain{false};
    auto start = Clock::now();
    globalQueue()->after(15ms, [&] { globalRan = true; });
    mainQueue()->after(15ms, [&] {
        mainOnMain = RunLoop::isMainThread();
        mainRan = true;
    });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return globalRan && mainRan; }));
    EXPECT_GE(Clock::now() - start, 15ms);
    EXPECT_TRUE(mainOnMain);
}

TEST(Queue, CurrentQueueLabelAndSpecificValues) {
    static const char kKey = 0;
    int mainValue = 1, serialValue = 2;
    auto main = mainQueue();
    main->setSpecific(&kKey, &mainValue);
    auto q = createSerialQueue("test.specific");
    q->setSpecific(&kKey, &serialValue);

    // On the main thread outside any block: the main queue.
    EXPECT_EQ(currentQueue(), main);
    EXPECT_EQ(getSpecific(&kKey), &mainValue);
    EXPECT_TRUE(main->isCurrent());
    bool mainCurrentElsewhere = true;
    q->sync([&] { mainCurrentElsewhere = main->isCurrent(); });
    EXPECT_FALSE(mainCurrentElsewhere);

    void* inSerial = nullptr;
    QueuePtr currentInSerial;
    std::string label;
    q->sync([&] {
        inSerial = getSpecific(&kKey);
        currentInSerial = currentQueue();
        label = currentQueueLabel();
    });
    EXPECT_EQ(inSerial, &serialValue);
    EXPECT_EQ(currentInSerial, q);
    EXPECT_EQ(label, "test.specific");

    QueuePtr inGlobal;
    Semaphore done;
    globalQueue(Priority::Low)->async([&] {
        inGlobal = currentQueue();
        done.signal();
    });
    ASSERT_TRUE(done.wait(kHangDeadline));
    EXPECT_EQ(inGlobal, globalQueue(Priority::Low));
    EXPECT_FALSE(inGlobal->isSerial());

    QueuePtr onPlainThread = main;
    std::string plainLabel = "x";
    void* plainSpecific = &mainValue;
    std::thread([&] {
        onPlainThread = currentQueue();
        plainLabel = currentQueueLabel();
        plainSpecific = getSpecific(&kKey);
    }).join();
    EXPECT_EQ(onPlainThread, nullptr);
    EXPECT_EQ(plainLabel, "");
    EXPECT_EQ(plainSpecific, nullptr);

    q->setSpecific(&kKey, nullptr);
    EXPECT_EQ(q->specific(&kKey), nullptr);
    main->setSpecific(&kKey, nullptr);
}

TEST(SerialQueue, ThreadEndsAfterLastReferenceAndPendingBlocks) {
    // The label is kept whole; the thread name is cut to the kernel's 15 bytes.
    const std::string label = "test.exit.a-label-longer-than-fifteen";
    const std::string threadName = label.substr(0, 15);
    std::atomic<int> ran{0};
    {
        auto q = createSerialQueue(label);
        EXPECT_EQ(q->label(), label);
        drain(q);
        EXPECT_EQ(threadsNamed(threadName), 1);
        for (int i = 0; i < 3; ++i) {
            q->async([&] {
                std::this_thread::sleep_for(5ms);
                ++ran;
            });
        }
    }
    auto deadline = Clock::now() + kHangDeadline;
    while ((ran < 3 || threadsNamed(threadName) != 0) && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(ran.load(), 3) << "pending blocks run after the last reference is gone";
    EXPECT_EQ(threadsNamed(threadName), 0);
}

TEST(TimerSource, RescheduledWhileSuspendedFiresOnceAtTheNewTime) {
    auto q = createSerialQueue("test.timer.resched");
    std::atomic<int> fires{0};
    std::atomic<Clock::rep> firedAt{0};
    TimerSource timer(q);
    timer.setEventHandler([&] {
        firedAt = Clock::now().time_since_epoch().count();
        ++fires;
    });
    EXPECT_TRUE(timer.isSuspended());
    timer.setTimer(10ms, 0ns);
    timer.resume();
    timer.suspend();
    timer.suspend();  // suspensions nest
    auto rescheduled = Clock::now();
    timer.setTimer(60ms, 0ns);
    std::this_thread::sleep_for(25ms);
    timer.resume();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(fires.load(), 0) << "still suspended once";
    timer.resume();
    EXPECT_FALSE(timer.isSuspended());
    auto deadline = Clock::now() + kHangDeadline;
    while (fires == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(40ms);
    drain(q);
    EXPECT_EQ(fires.load(), 1);
    EXPECT_GE(Clock::time_point(Clock::duration(firedAt.load())) - rescheduled, 60ms);
}

TEST(TimerSource, RepeatsUntilCancelledAndRunsTheCancelHandlerOnceOnItsQueue) {
    auto q = createSerialQueue("test.timer.repeat");
    std::atomic<int> fires{0}, cancels{0};
    std::atomic<bool> cancelOnQueue{false};
    TimerSource timer(q);
    timer.setEventHandler([&] {
        if (++fires == 4) timer.cancel();
    });
    timer.setCancelHandler([&] {
        cancelOnQueue = q->isCurrent();
        ++cancels;
    });
    timer.setTimer(0ns, 5ms);
    timer.resume();
    auto deadline = Clock::now() + kHangDeadline;
    while (cancels == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(25ms);
    drain(q);
    timer.cancel();  // a second cancel does nothing
    drain(q);
    EXPECT_EQ(fires.load(), 4);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_TRUE(cancelOnQueue);
    EXPECT_TRUE(timer.isCancelled());
}

TEST(TimerSource, DestroyedFromItsOwnHandlerAndOnAConcurrentQueue) {
    // Destroying the source from inside its handler, on its own queue.
    auto q = createSerialQueue("test.timer.self");
    std::atomic<int> fires{0}, cancels{0};
    auto timer = std::make_shared<std::unique_ptr<TimerSource>>(std::make_unique<TimerSource>(q));
    (*timer)->setEventHandler([&, timer] {
        ++fires;
        timer->reset();
    });
    (*timer)->setCancelHandler([&] { ++cancels; });
    (*timer)->setTimer(1ms, 1ms);
    q->async([timer] { (*timer)->resume(); });
    auto deadline = Clock::now() + kHangDeadline;
    while (cancels == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(10ms);
    drain(q);
    EXPECT_EQ(fires.load(), 1);
    EXPECT_EQ(cancels.load(), 1);

    // A one-shot timer on a concurrent queue fires once.
    std::atomic<int> globalFires{0};
    Semaphore fired;
    {
        TimerSource g(globalQueue());
        g.setEventHandler([&] {
            ++globalFires;
            fired.signal();
        });
        g.setTimer(2ms, 0ns);
        g.resume();
        ASSERT_TRUE(fired.wait(kHangDeadline));
        EXPECT_FALSE(fired.wait(20ms));
    }
    EXPECT_EQ(globalFires.load(), 1);
}

TEST(Group, NotifiesAfterAllBlocksAndWaitsWithTimeout) {
    Group group;
    std::atomic<int> done{0};
    std::atomic<int> seenAtNotify{-1};
    auto q = createSerialQueue("test.group");
    for (int i = 0; i < 100; ++i) {
        group.async(globalQueue(), [&] {
            std::this_thread::sleep_for(100us);
            ++done;
        });
    }
    Semaphore notified;
    group.notify(q, [&] {
        seenAtNotify = done.load();
        notified.signal();
    });
    ASSERT_TRUE(notified.wait(kHangDeadline));
    EXPECT_EQ(seenAtNotify.load(), 100);
    EXPECT_TRUE(group.wait(0ns));

    group.enter();
    auto start = Clock::now();
    EXPECT_FALSE(group.wait(20ms));
    EXPECT_GE(Clock::now() - start, 20ms);
    std::thread leaver([&] {
        std::this_thread::sleep_for(10ms);
        group.leave();
    });
    EXPECT_TRUE(group.wait());
    leaver.join();

    // A throwing block still leaves the group; an extra leave is logged, not fatal.
    LogCapture log;
    group.async(q, [] { throw std::runtime_error("group block failed"); });
    EXPECT_TRUE(group.wait(kHangDeadline));
    group.leave();
    EXPECT_TRUE(log.contains("left more often"));
}

TEST(Semaphore, BoundsHoldersToItsPermits) {
    constexpr int kPermits = 3;
    Semaphore sem(kPermits);
    for (int i = 0; i < kPermits; ++i) EXPECT_TRUE(sem.wait(0ns));
    EXPECT_FALSE(sem.wait(10ms)) << "no permit left";

    std::atomic<bool> got{false};
    std::thread waiter([&] { got = sem.wait(); });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(got) << "the fourth holder waits";
    bool woke = false;
    auto deadline = Clock::now() + kHangDeadline;
    // signal() reports a woken waiter only once the waiter is really waiting.
    while (!got && Clock::now() < deadline) {
        if ((woke = sem.signal())) break;
        if (!sem.wait(0ns)) break;  // the waiter arrived and took it without waiting
        std::this_thread::sleep_for(1ms);
    }
    if (woke) {
        EXPECT_FALSE(sem.signal()) << "the one waiter is already woken";
        EXPECT_TRUE(sem.wait(0ns));
    }
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_FALSE(sem.signal()) << "no one waits now";
    EXPECT_TRUE(sem.wait(0ns));
    EXPECT_FALSE(sem.wait(0ns));
}

TEST(Semaphore, ConcurrentHoldersNeverExceedPermits) {
    Semaphore sem(2);
    std::atomic<int> inside{0}, maxInside{0};
    Group group;
    for (int i = 0; i < 40; ++i) {
        group.async(globalQueue(), [&] {
            sem.wait();
            int now = ++inside;
            int seen = maxInside.load();
            while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {}
            std::this_thread::sleep_for(200us);
            --inside;
            sem.signal();
        });
    }
    ASSERT_TRUE(group.wait(kHangDeadline));
    EXPECT_LE(maxInside.load(), 2);
    EXPECT_GE(maxInside.load(), 1);
}

class PipeFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe(fds_), 0); }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void writeByte(char c) { ASSERT_EQ(::write(fds_[1], &c, 1), 1); }
    int fds_[2] = {-1, -1};
};

// Reads the pipe on every readable event; collects what it read.
struct Reader {
    std::mutex m;
    std::string got;
    std::atomic<int> events{0};
    QueuePtr expectedQueue;
    std::atomic<bool> wrongQueue{false};

    Block handler(int fd) {
        return [this, fd] {
            if (!expectedQueue->isCurrent()) wrongQueue = true;
            char buf[64];
            ssize_t n = ::read(fd, buf, sizeof buf);
            std::lock_guard lock(m);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
            ++events;
        };
    }
    std::string text() {
        std::lock_guard lock(m);
        return got;
    }
};

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = kHangDeadline) {
    auto deadline = Clock::now() + timeout;
    while (!cond()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST_F(PipeFixture, FdSourceOnASerialQueueHonoursSuspendAndCancel) {
    auto q = createSerialQueue("test.fd");
    Reader reader;
    reader.expectedQueue = q;
    std::atomic<int> cancels{0};
    FdSource source(fds_[0], FdSource::Condition::Readable, q);
    source.setEventHandler(reader.handler(fds_[0]));
    source.setCancelHandler([&] { ++cancels; });
    writeByte('a');
    std::this_thread::sleep_for(15ms);
    EXPECT_EQ(reader.events.load(), 0) << "created suspended";
    source.resume();
    ASSERT_TRUE(waitFor([&] { return reader.text() == "a"; }));

    source.suspend();
    drain(q);
    writeByte('b');
    std::this_thread::sleep_for(15ms);
    EXPECT_EQ(reader.text(), "a");
    source.resume();
    ASSERT_TRUE(waitFor([&] { return reader.text() == "ab"; }));

    source.cancel();
    drain(q);
    writeByte('c');
    std::this_thread::sleep_for(15ms);
    drain(q);
    EXPECT_EQ(reader.text(), "ab");
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_FALSE(reader.wrongQueue);
}

TEST_F(PipeFixture, FdSourceOnAConcurrentQueueDeliversEachWrite) {
    auto q = globalQueue();
    Reader reader;
    reader.expectedQueue = q;
    {
        FdSource source(fds_[0], FdSource::Condition::Readable, q);
        source.setEventHandler(reader.handler(fds_[0]));
        source.resume();
        for (char c : std::string("xyz")) {
            writeByte(c);
            ASSERT_TRUE(waitFor([&] {
                const std::string text = reader.text();
                return !text.empty() && text.back() == c;
            }));
        }
    }
    EXPECT_EQ(reader.text(), "xyz");
    EXPECT_FALSE(reader.wrongQueue);
}

TEST_F(PipeFixture, WritableFdSourceFires) {
    auto q = createSerialQueue("test.fd.write");
    std::atomic<int> events{0};
    FdSource source(fds_[1], FdSource::Condition::Writable, q);
    source.setEventHandler([&] {
        if (++events == 1) q->async([&] { source.suspend(); });
    });
    source.resume();
    ASSERT_TRUE(waitFor([&] { return events > 0; }));
    drain(q);
}

}  // namespace
