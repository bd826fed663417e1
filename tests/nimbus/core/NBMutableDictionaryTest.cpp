#include <thread>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "nimbus/core/NBMutableDictionary.h"
#include "platform/base/Value.h"

namespace wharf {
namespace {

TEST(NBMutableDictionaryTest, ReadsSeeEarlierWritesAndNilRemoves) {
    NBMutableDictionary<platform::Value> dictionary;
    dictionary.setObject("one", "a");
    EXPECT_EQ(dictionary.objectForKey("a"), platform::Value("one"));
    dictionary.setObjectForKeyedSubscript(2, "b");
    EXPECT_EQ(dictionary.count(), 2u);
    dictionary.setObject(nullptr, "a");
    EXPECT_EQ(dictionary.count(), 1u);
    EXPECT_FALSE(dictionary["a"]);

    auto snapshot = dictionary.dictionary();
    dictionary.removeAllObjects();
    EXPECT_EQ(dictionary.count(), 0u);
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot.at("b"), 2);
    dictionary.setObject("x", "k");
    EXPECT_EQ(dictionary.description(), "{\n    k = \"x\";\n}");
    // A value that is not valid UTF-8 still leaves every entry described.
    dictionary.setObject(std::string("\xff"), "z");
    EXPECT_EQ(dictionary.description(), "{\n    k = \"x\";\n    z = \"\xEF\xBF\xBD\";\n}");
}

TEST(NBMutableDictionaryTest, HoldsSharedObjectsAndBlocks) {
    NBMutableDictionary<std::function<void()>> handlers;
    int calls = 0;
    handlers.setObject([&] { ++calls; }, "session-1");
    handlers.setObject(nullptr, "session-2");
    (*handlers.objectForKey("session-1"))();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(handlers.count(), 1u);

    auto object = std::make_shared<int>(5);
    std::weak_ptr<int> watched = object;
    {
        NBMutableDictionary<std::shared_ptr<int>> requests;
        requests.setObject(object, "r");
        requests.removeObjectForKey("r");
        requests.setObject(object, "s");
    }  // writes still queued run against storage that outlives the dictionary
    object.reset();
    // ...and once they have run, nothing keeps the stored values alive.
    const auto deadline = std::chrono::steady_clock::now() + test::kHangDeadline;
    while (!watched.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_TRUE(watched.expired());
}

TEST(NBMutableDictionaryTest, WritesFromTenThreadsLoseNothing) {
    NBMutableDictionary<int> dictionary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 10; ++t)
        threads.emplace_back([&dictionary, t] {
            for (int i = 0; i < 100; ++i) {
                const int n = t * 100 + i;
                dictionary.setObject(n, "key-" + std::to_string(n));
                if (i % 10 == 0) {
                    EXPECT_EQ(dictionary.objectForKey("key-" + std::to_string(n)), n);
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(dictionary.count(), 1000u);
    auto all = dictionary.dictionary();
    for (int n = 0; n < 1000; ++n) EXPECT_EQ(all.at("key-" + std::to_string(n)), n);
}

}  // namespace
}  // namespace wharf
