// Batches from the page reach plug-in actions in order on the main thread.
#include <gtest/gtest.h>

#include <stdexcept>

#include "HostTestSupport.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::test {
namespace {

using platform::RunLoop;
using testing::FakeViewController;

class CommandQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = std::make_shared<platform::ManualClock>();
        controller = FakeViewController::create(clock);
        plugin = std::make_shared<RecordingPlugin>();
        plugin->clock = clock;
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "Rec");
    }
    WFCommandQueue& queue() { return *controller->queue(); }
    bool idle() { return queue().pendingBatchCount() == 0 && !queue().currentlyExecuting(); }

    // A batch text of exactly `length` characters holding one "record" call.
    static std::string paddedBatch(const std::string& tag, std::size_t length) {
        std::string head = "[[\"id\",\"Rec\",\"record\",[\"" + tag + "\",\"";
        std::string tail = "\"]]]";
        return head + std::string(length - head.size() - tail.size(), 'p') + tail;
    }

    std::shared_ptr<platform::ManualClock> clock;
    std::shared_ptr<FakeViewController> controller;
    std::shared_ptr<RecordingPlugin> plugin;
};

TEST_F(CommandQueueTest, RunsCommandsInOrderAcrossBatches) {
    queue().enqueueCommandBatch(
        batch({entry("a", "Rec", "record", "[\"1\"]"), entry("b", "rec", "record", "[\"2\"]")}));
    queue().enqueueCommandBatch(batch({entry("c", "REC", "record", "[\"3\"]")}));
    queue().executePending();
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_TRUE(idle());
}

TEST_F(CommandQueueTest, ParseThresholdCountsUTF16Units) {
    const std::string small = paddedBatch("small", 4095);
    ASSERT_EQ(platform::utf16Length(small), 4095u);
    queue().enqueueCommandBatch(small);
    queue().executePending();
    EXPECT_EQ(plugin->calls.size(), 1u);  // parsed at once

    // "é" is two bytes but one UTF-16 unit: 4096 bytes, 4095 units.
    std::string accented = paddedBatch("large", 4096);
    accented.replace(accented.find("pp"), 2, "\xC3\xA9");
    ASSERT_EQ(platform::utf16Length(accented), 4095u);
    queue().enqueueCommandBatch(accented);
    queue().executePending();
    EXPECT_EQ(plugin->calls.size(), 2u);  // still parsed at once

    // A batch parsed at once waits for executePending; one parsed in the
    // background schedules its own run once the parse is done.
    queue().enqueueCommandBatch(paddedBatch("fg", 4095));
    RunLoop::pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(plugin->calls.size(), 2u);
    queue().executePending();
    EXPECT_EQ(plugin->calls.size(), 3u);

    queue().enqueueCommandBatch(paddedBatch("bg", 4096));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return plugin->calls.size() == 4; }));
    EXPECT_EQ(plugin->calls.back(), "bg");
}

TEST_F(CommandQueueTest, LargeBatchHoldsBackSmallOneBehindIt) {
    std::vector<std::string> entries;
    for (int i = 0; i < 2000; ++i) entries.push_back(entry("id", "Rec", "record", "[\"L" + std::to_string(i) + "\"]"));
    queue().enqueueCommandBatch(batch(entries));
    queue().enqueueCommandBatch(batch({entry("id", "Rec", "record", "[\"S\"]")}));
    queue().executePending();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return idle(); }));
    ASSERT_EQ(plugin->calls.size(), 2001u);
    EXPECT_EQ(plugin->calls.front(), "L0");
    EXPECT_EQ(plugin->calls[1999], "L1999");
    EXPECT_EQ(plugin->calls.back(), "S");
}

TEST_F(CommandQueueTest, BadBatchesDoNotStallTheQueue) {
    platform::LogCapture log;
    queue().enqueueCommandBatch("[]");
    queue().enqueueCommandBatch("[[\"id\",\"Rec\",");  // does not parse
    queue().enqueueCommandBatch("{\"not\":\"an array\"}");
    queue().enqueueCommandBatch(batch({"[\"short\",\"Rec\"]", entry("id", "Rec", "record", "[\"ok\"]")}));
    queue().enqueueCommandBatch("[[\"id\",\"Rec\",\"record\",[\"big\",\"" + std::string(5000, 'x') +
                                "\"]");  // unparsable, large
    queue().enqueueCommandBatch(batch({entry("id", "Rec", "record", "[\"last\"]")}));
    queue().executePending();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return idle(); }));
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"ok", "last"}));
    EXPECT_EQ(log.count("NSString JSONObject error: "), 2u);
    EXPECT_TRUE(log.contains("ERROR: Command batch is not an array; dropped."));
    EXPECT_TRUE(log.contains("ERROR: Malformed command entry"));
}

// JSON.stringify escapes unpaired surrogates; they cost neither the call nor its neighbours.
TEST_F(CommandQueueTest, LoneSurrogatesBecomeReplacementCharacters) {
    queue().enqueueCommandBatch(batch({entry("a", "Rec", "record", R"(["before"])"),
                                       entry("b", "Rec", "record", R"(["x\ud800y\uDC01z\\ud800\udbffw\uDFfF"])"),
                                       entry("c", "Rec", "record", R"(["\ud83d\ude00after"])")}));
    queue().executePending();
    EXPECT_EQ(plugin->calls,
              (std::vector<std::string>{"before", "x\uFFFDy\uFFFDz\\ud800\uFFFDw\uFFFD", "\U0001F600after"}));
}

TEST_F(CommandQueueTest, SlicesRunsAfterEightMilliseconds) {
    std::vector<std::string> entries;
    for (int i = 0; i < 100; ++i) entries.push_back(entry("id", "Rec", "work", "[1]"));
    queue().enqueueCommandBatch(batch(entries));
    queue().executePending();
    std::vector<std::size_t> perTurn{plugin->calls.size()};
    for (int turn = 0; turn < 50 && plugin->calls.size() < 100; ++turn) {
        const auto before = plugin->calls.size();
        RunLoop::iterate(true);
        if (plugin->calls.size() != before) perTurn.push_back(plugin->calls.size() - before);
    }
    // Each turn stops once more than 8 ms have passed: 9 commands of 1 ms.
    ASSERT_EQ(perTurn.size(), 12u);
    for (std::size_t i = 0; i + 1 < perTurn.size(); ++i) EXPECT_EQ(perTurn[i], 9u) << "turn " << i;
    EXPECT_EQ(perTurn.back(), 1u);
    EXPECT_TRUE(idle());
}

TEST_F(CommandQueueTest, ThreadWarningForSlowAction) {
    platform::LogCapture log;
    queue().enqueueCommandBatch(batch({entry("id", "Rec", "work", "[15]"), entry("id", "Rec", "work", "[10]")}));
    queue().executePending();
    RunLoop::pumpUntil([&] { return idle(); });
    EXPECT_EQ(log.count("THREAD WARNING"), 1u);
    EXPECT_TRUE(log.contains("THREAD WARNING: ['Rec'] took '15.000000' ms. Plugin should use a background thread."));
}

TEST_F(CommandQueueTest, MissingPluginOrMethodIsLoggedAndLaterCommandsRun) {
    platform::LogCapture log;
    queue().enqueueCommandBatch(batch({entry("id", "Bar", "foo"), entry("id", "Rec", "foo"), entry("id", "", "record"),
                                       entry("id", "Rec", "record", "[\"after\"]")}));
    queue().executePending();
    EXPECT_TRUE(
        log.contains("ERROR: Plugin 'Bar' not found, or is not a WFPlugin. Check your plugin mapping in config.xml."));
    EXPECT_TRUE(log.contains("ERROR: Method 'foo:' not defined in Plugin 'Rec'"));
    EXPECT_TRUE(log.contains("ERROR: Classname and/or methodName not found for command."));
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"after"});
}

TEST_F(CommandQueueTest, NestedExecutePendingDoesNothing) {
    std::vector<bool> executingInside;
    plugin->onHook = [&](const WFInvokedUrlCommand&) {
        executingInside.push_back(queue().currentlyExecuting());
        queue().executePending();
    };
    queue().enqueueCommandBatch(
        batch({entry("id", "Rec", "hook", "[\"h\"]"), entry("id", "Rec", "record", "[\"r\"]")}));
    queue().executePending();
    // The nested call ran nothing: the record call came after the hook returned.
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"h", "r"}));
    EXPECT_EQ(executingInside, std::vector<bool>{true});
    EXPECT_FALSE(queue().currentlyExecuting());
}

TEST_F(CommandQueueTest, ThrowingActionIsLoggedAndTheRunGoesOn) {
    platform::LogCapture log;
    queue().enqueueCommandBatch(
        batch({entry("id", "Rec", "fail", "[\"f\"]"), entry("id", "Rec", "record", "[\"r\"]")}));
    EXPECT_NO_THROW(queue().executePending());
    EXPECT_FALSE(queue().currentlyExecuting());
    // The command behind the throwing one ran in the same run, not at the
    // page's next call.
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"f", "r"}));
    EXPECT_TRUE(log.contains("ERROR: Exception in 'fail:' of Plugin 'Rec'"));
    EXPECT_TRUE(idle());
}

TEST_F(CommandQueueTest, FetchPullsBatchFromThePage) {
    controller->engine()->queueAnswer(batch({entry("id", "Rec", "record", "[\"fetched\"]")}));
    queue().fetchCommandsFromJs();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !plugin->calls.empty(); }));
    EXPECT_EQ(controller->engine()->evaluatedScripts(),
              std::vector<std::string>{"wharf.require('wharf/exec').nativeFetchMessages()"});
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"fetched"});
}

TEST_F(CommandQueueTest, DisposedQueueOutlivedByPendingBackgroundParse) {
    queue().enqueueCommandBatch(paddedBatch("bg", 10000));
    controller.reset();  // queue, delegate and plug-ins go away before the parse ends
    RunLoop::pumpFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(plugin->calls.empty());
}

}  // namespace
}  // namespace wharf::test
