#include "CoreTestSupport.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "nimbus/core/NBOptions.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/UserDefaults.h"

namespace wharf::test {

TestBundle::TestBundle(const platform::Value& info) {
    platform::Value dictionary = info.is_object() ? info : platform::Value::object();
    if (!dictionary.contains("CFBundleIdentifier")) dictionary["CFBundleIdentifier"] = kTestBundleIdentifier;
    EXPECT_TRUE(platform::plist::writeFile(dir_.file("Info.plist"), dictionary));
    platform::Bundle::setMainBundle(platform::Bundle::open(dir_.path()));
    NBOptions::resetDefaultOptions();
}

TestBundle::~TestBundle() {
    platform::Bundle::setMainBundle(nullptr);
    NBOptions::resetDefaultOptions();
}

void TestBundle::writeOptions(const platform::Value& options, platform::plist::Format format) {
    EXPECT_TRUE(platform::plist::writeFile(dir_.file("RovudeService-Info.plist"), options, format));
    NBOptions::resetDefaultOptions();
}

void TestBundle::writeRawOptions(const std::string& bytes) {
    writeFile(dir_.file("RovudeService-Info.plist"), bytes);
    NBOptions::resetDefaultOptions();
}

platform::Value validOptionsDictionary() {
    return {{"ROVUDE_APP_ID", kTestAppID},
            {"BUNDLE_ID", kTestBundleIdentifier},
            {"ZAR_SENDER_ID", "1234567890"},
            {"API_KEY", "key-123"},
            {"PROJECT_ID", "wharf-tests"}};
}

namespace {

// The logger decides debug mode once per process from the user defaults of the
// container: give the whole run a container of its own so a developer's
// settings never leak in. A child run (see NBLoggerTest) brings its own home.
class CoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        NBLoggerSetSystemLogEnabled(false);
        if (std::getenv("NBLOGGER_CHILD")) return;
        home_ = std::make_unique<TempDir>();
        platform::Container::setHome(home_->path());
        platform::UserDefaults::resetStandard();
        NBLoggerFlush();
    }
    void TearDown() override {
        if (!home_) return;
        platform::Container::resetHome();
        platform::UserDefaults::resetStandard();
        home_.reset();
    }

private:
    std::unique_ptr<TempDir> home_;
};

[[maybe_unused]] auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new CoreEnvironment);

}  // namespace

}  // namespace wharf::test
