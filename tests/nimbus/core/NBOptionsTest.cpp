#include <atomic>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "nimbus/core/NBBundleUtil.h"
#include "nimbus/core/NBException.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "nimbus/core/NBOptions.h"

namespace wharf {
namespace {

using platform::Value;
using test::TestBundle;

void expectEditingLocked(const std::function<void()>& edit) {
    try {
        edit();
        FAIL() << "expected the editing-lock exception";
    } catch (const NBException& e) {
        EXPECT_EQ(e.name(), "com.rovude.nimbus.core");
        EXPECT_EQ(e.reason(),
                  "Attempted to modify options after it's set on NBApp. Please modify all properties before "
                  "initializing NBApp.");
    }
}

TEST(NBOptionsTest, DefaultOptionsReadXMLAndBinaryAlike) {
    TestBundle bundle;
    bundle.writeOptions(test::validOptionsDictionary(), platform::plist::Format::XML);
    auto xml = NBOptions::defaultOptions();
    ASSERT_TRUE(xml);
    bundle.writeOptions(test::validOptionsDictionary(), platform::plist::Format::Binary);
    auto binary = NBOptions::defaultOptions();
    ASSERT_TRUE(binary);
    EXPECT_NE(xml, binary);
    EXPECT_EQ(xml->optionsDictionary(), binary->optionsDictionary());
    EXPECT_EQ(binary->rovudeAppID(), test::kTestAppID);
    EXPECT_EQ(binary->APIKey(), "key-123");
    EXPECT_EQ(binary->projectID(), "wharf-tests");
    EXPECT_TRUE(binary->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(binary->isEditingLocked());
    EXPECT_EQ(NBOptions::defaultOptions(), binary) << "read once and kept";
}

TEST(NBOptionsTest, DefaultOptionsFromManyThreads) {
    TestBundle bundle;
    bundle.writeOptions(test::validOptionsDictionary());
    constexpr int kThreads = 8;
    std::latch go(kThreads), allRead(kThreads);
    std::vector<std::shared_ptr<NBOptions>> first(kThreads);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            go.arrive_and_wait();
            first[t] = NBOptions::defaultOptions();
            // The per-object switches are cached on first use, too.
            if (!first[t] || !first[t]->isAnalyticsCollectionEnabled()) ++wrong;
            allRead.arrive_and_wait();
            // Then one thread forgets the cache again and again under the others.
            for (int i = 0; i < 100; ++i) {
                if (t == 0) NBOptions::resetDefaultOptions();
                auto options = NBOptions::defaultOptions();
                auto dictionary = NBOptions::defaultOptionsDictionary();
                if (!options || options->rovudeAppID() != test::kTestAppID || !dictionary ||
                    (*dictionary)["API_KEY"] != "key-123")
                    ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    for (const auto& options : first) EXPECT_EQ(options, first[0]) << "read once, the same object for every thread";
}

TEST(NBOptionsTest, MissingOrMalformedOptionsFileGivesNothing) {
    TestBundle bundle;
    NBLoggerCapture capture;
    EXPECT_FALSE(NBOptions::defaultOptions());
    EXPECT_FALSE(NBOptions::defaultOptions());
    EXPECT_EQ(capture.count("[Nimbus/Core][I-COR000012] Could not locate configuration file: "
                            "'RovudeService-Info.plist'."),
              2u);

    bundle.writeRawOptions("<?xml version=\"1.0\"?><plist><dict><key>A</key>");
    EXPECT_FALSE(NBOptions::defaultOptions());
    bundle.writeOptions(Value::array({"ROVUDE_APP_ID"}));
    EXPECT_FALSE(NBOptions::defaultOptions());
    EXPECT_EQ(capture.count("[Nimbus/Core][I-COR000011] The configuration file is not a dictionary: "
                            "'RovudeService-Info.plist'."),
              2u);

    bundle.writeOptions(test::validOptionsDictionary());
    EXPECT_TRUE(NBOptions::defaultOptions()) << "nothing bad was cached";
}

TEST(NBOptionsTest, OptionsFromAnotherFile) {
    test::TempDir dir;
    NBLoggerCapture capture;
    EXPECT_FALSE(NBOptions::initWithContentsOfFile(std::nullopt));
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000013] The plist file path is nil."));

    platform::plist::writeFile(dir.file("array.plist"), Value::array({1, 2}));
    EXPECT_FALSE(NBOptions::initWithContentsOfFile(dir.file("array.plist")));
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000014] The configuration file at " + dir.file("array.plist") +
                                 " does not exist or is not a well-formed plist file."));

    platform::plist::writeFile(dir.file("other.plist"), test::validOptionsDictionary(),
                               platform::plist::Format::Binary);
    auto options = NBOptions::initWithContentsOfFile(dir.file("other.plist"));
    ASSERT_TRUE(options);
    EXPECT_EQ(options->ZARSenderID(), "1234567890");
    EXPECT_FALSE(options->usingOptionsFromDefaultPlist());
}

TEST(NBOptionsTest, InitialisersFillTheirKeys) {
    TestBundle bundle;
    auto two = NBOptions::initWithRovudeAppID(std::string("1:1:ios:ab"), std::nullopt);
    EXPECT_EQ(two->optionsDictionary(),
              (Value{{"ROVUDE_APP_ID", "1:1:ios:ab"}, {"BUNDLE_ID", test::kTestBundleIdentifier}}));

    auto ten = NBOptions::initWithRovudeAppID(std::string("app"), std::nullopt, std::string("sender"),
                                              std::string("key"), std::nullopt, std::nullopt, std::nullopt,
                                              std::string("https://db.example"), std::nullopt, std::string("wharf"));
    EXPECT_EQ(ten->bundleID(), test::kTestBundleIdentifier);
    EXPECT_EQ(ten->APIKey(), "key");
    EXPECT_EQ(ten->databaseURL(), "https://db.example");
    EXPECT_FALSE(ten->clientID());
    EXPECT_EQ(ten->deepLinkURLScheme(), "wharf");
    EXPECT_EQ(ten->libraryVersionID(), "40007000");

    auto raise = [](const NBOptions::OptionalString& app, const NBOptions::OptionalString& sender) {
        try {
            NBOptions::initWithRovudeAppID(app, std::nullopt, sender, std::nullopt, std::nullopt, std::nullopt,
                                           std::nullopt, std::nullopt, std::nullopt, std::nullopt);
        } catch (const NBException& e) {
            return e.reason();
        }
        return std::string("no exception");
    };
    EXPECT_EQ(raise(std::nullopt, std::nullopt), "Please specify a valid Rovude App ID.");
    EXPECT_EQ(raise(std::string("app"), std::nullopt), "Please specify a valid ZAR Sender ID.");
}

TEST(NBOptionsTest, ACopyIsIndependentAndKeepsTheLock) {
    auto options = NBOptions::initInternalWithOptionsDictionary(test::validOptionsDictionary());
    options->setDeepLinkURLScheme(std::string("scheme"));
    auto copy = options->copy();
    options->setAPIKey(std::string("changed"));
    copy->setClientID(std::string("client"));
    EXPECT_EQ(copy->APIKey(), "key-123");
    EXPECT_FALSE(options->clientID());
    EXPECT_EQ(copy->deepLinkURLScheme(), "scheme");
    EXPECT_TRUE(copy->usingOptionsFromDefaultPlist());

    copy->setEditingLocked(true);
    auto lockedCopy = copy->copy();
    EXPECT_TRUE(lockedCopy->isEditingLocked());
    expectEditingLocked([&] { lockedCopy->setAPIKey(std::string("x")); });
    expectEditingLocked([&] { lockedCopy->setDeepLinkURLScheme(std::nullopt); });
    expectEditingLocked([&] { lockedCopy->setOptionsDictionary(Value::object()); });
    EXPECT_EQ(lockedCopy->APIKey(), "key-123") << "unchanged after the refused edit";

    // Unlocking a copy edits only that copy.
    auto unlocked = copy->copy();
    unlocked->setEditingLocked(false);
    unlocked->setAPIKey(std::string("y"));
    EXPECT_EQ(copy->APIKey(), "key-123");
}

TEST(NBOptionsTest, AnalyticsSwitches) {
    {
        TestBundle bundle;
        auto none = NBOptions::initInternalWithOptionsDictionary(Value::object());
        EXPECT_TRUE(none->isMeasurementEnabled());
        EXPECT_TRUE(none->isAnalyticsCollectionEnabled());
        EXPECT_FALSE(none->isAnalyticsCollectionDeactivated());
        EXPECT_FALSE(none->isAnalyticsEnabled());
        EXPECT_FALSE(none->isSignInEnabled());

        auto measurementOff = NBOptions::initInternalWithOptionsDictionary({{"IS_MEASUREMENT_ENABLED", false}});
        EXPECT_FALSE(measurementOff->isAnalyticsCollectionEnabled());
        auto collectionOn = NBOptions::initInternalWithOptionsDictionary(
            {{"IS_MEASUREMENT_ENABLED", false}, {"NIMBUS_ANALYTICS_COLLECTION_ENABLED", true}});
        EXPECT_TRUE(collectionOn->isAnalyticsCollectionEnabled());
        EXPECT_FALSE(collectionOn->isMeasurementEnabled());

        auto flags =
            NBOptions::initInternalWithOptionsDictionary({{"IS_ANALYTICS_ENABLED", "YES"}, {"IS_SIGNIN_ENABLED", 1}});
        EXPECT_TRUE(flags->isAnalyticsEnabled());
        EXPECT_TRUE(flags->isSignInEnabled());
    }
    {
        TestBundle bundle(Value{{"NIMBUS_ANALYTICS_COLLECTION_DEACTIVATED", true}});
        auto options =
            NBOptions::initInternalWithOptionsDictionary({{"IS_MEASUREMENT_ENABLED", true},
                                                          {"NIMBUS_ANALYTICS_COLLECTION_ENABLED", true},
                                                          {"NIMBUS_ANALYTICS_COLLECTION_DEACTIVATED", false}});
        EXPECT_TRUE(options->isAnalyticsCollectionDeactivated()) << "Info.plist wins over the options file";
        EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
        EXPECT_FALSE(options->isMeasurementEnabled());
    }
}

TEST(NBBundleUtilTest, URLSchemesAndIdentifiers) {
    TestBundle bundle(
        Value{{"CFBundleURLTypes", Value::array({Value{{"CFBundleURLSchemes", Value::array({"one", "two"})}},
                                                 Value{{"CFBundleURLName", "no schemes"}},
                                                 Value{{"CFBundleURLSchemes", Value::array({"one"})}}})}});
    EXPECT_EQ(NBBundleUtil::relevantURLSchemes(), (std::vector<std::string>{"one", "two", "one"}));
    EXPECT_TRUE(NBBundleUtil::hasBundleIdentifier(test::kTestBundleIdentifier, NBBundleUtil::relevantBundles()));
    EXPECT_FALSE(NBBundleUtil::hasBundleIdentifier("com.other", NBBundleUtil::relevantBundles()));
    EXPECT_FALSE(
        NBBundleUtil::optionsDictionaryPathWithResourceName("../../etc/passwd", "", NBBundleUtil::relevantBundles()));
}

}  // namespace
}  // namespace wharf
