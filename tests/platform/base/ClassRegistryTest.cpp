#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/base/ClassRegistry.h"

using namespace wharf::platform;

namespace {

struct Plugin {
    virtual ~Plugin() = default;
    virtual std::string name() const = 0;
};
struct Other {
    virtual ~Other() = default;
};
struct Echo : Plugin {
    explicit Echo(std::string tag = "echo") : tag(std::move(tag)) {}
    std::string name() const override { return tag; }
    std::string tag;
};

TEST(ClassRegistryTest, CreatesOnlyWithTheRegisteredBaseAndArguments) {
    ClassRegistry registry;
    registry.registerClass<Plugin>(
        "Echo", std::function<std::shared_ptr<Plugin>()>([] { return std::make_shared<Echo>(); }), {"echo:", "name"});
    registry.registerClass<Plugin, std::string>(
        "Tagged", std::function<std::shared_ptr<Plugin>(std::string)>(
                      [](std::string t) { return std::make_shared<Echo>(std::move(t)); }));

    auto p = registry.create<Plugin>("Echo");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name(), "echo");
    EXPECT_EQ(registry.create<Other>("Echo"), nullptr);  // wrong base
    EXPECT_EQ(registry.create<Plugin>("Echo", std::string("x")), nullptr);  // wrong arguments
    EXPECT_EQ(registry.create<Plugin>("Missing"), nullptr);
    auto t = registry.create<Plugin>("Tagged", std::string("custom"));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name(), "custom");

    EXPECT_TRUE(registry.hasClass("Echo"));
    EXPECT_TRUE(registry.instancesRespondTo("Echo", "echo:"));
    EXPECT_FALSE(registry.instancesRespondTo("Echo", "other:"));
    registry.addInstanceSelectors("Echo", {"other:"});
    EXPECT_TRUE(registry.instancesRespondTo("Echo", "other:"));
    EXPECT_TRUE(registry.instancesRespondTo("Echo", "echo:"));

    registry.unregisterClass("Echo");
    EXPECT_FALSE(registry.hasClass("Echo"));
    EXPECT_EQ(registry.create<Plugin>("Echo"), nullptr);
}

TEST(ClassRegistryTest, ClassMethodsAreTypedCallables) {
    ClassRegistry& registry = ClassRegistry::shared();
    EXPECT_EQ(&registry, &ClassRegistry::shared());
    registry.registerClassMethod<int(int)>("Math", "twice:", std::function<int(int)>([](int v) { return 2 * v; }));
    EXPECT_TRUE(registry.respondsToClassMethod("Math", "twice:"));
    EXPECT_FALSE(registry.respondsToClassMethod("Math", "thrice:"));
    EXPECT_FALSE(registry.respondsToClassMethod("Nope", "twice:"));

    auto twice = registry.classMethod<int(int)>("Math", "twice:");
    ASSERT_TRUE(twice.has_value());
    EXPECT_EQ((*twice)(21), 42);
    EXPECT_FALSE(registry.classMethod<std::string(int)>("Math", "twice:").has_value());  // other signature
    EXPECT_FALSE(registry.classMethod<int(int)>("Math", "thrice:").has_value());
    registry.unregisterClass("Math");
    EXPECT_FALSE(registry.respondsToClassMethod("Math", "twice:"));
}

}  // namespace
