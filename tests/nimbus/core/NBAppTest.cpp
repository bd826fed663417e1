#include <atomic>
#include <future>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "nimbus/core/DORIzurizava.h"
#include "nimbus/core/DORIzurizavaConfiguration.h"
#include "nimbus/core/NBApp.h"
#include "nimbus/core/NBAppAssociationRegistration.h"
#include "nimbus/core/NBConfiguration.h"
#include "nimbus/core/NBException.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "nimbus/core/NBOptions.h"
#include "platform/base/ClassRegistry.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {
namespace {

using platform::NotificationCenter;
using platform::Value;

// Runs `f` and answers the reason of the NBException it raises ("" if none).
std::string reasonOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const NBException& e) {
        EXPECT_EQ(e.name(), "com.rovude.nimbus.core");
        return e.reason();
    }
    return "";
}

std::shared_ptr<NBOptions> optionsWithAppID(const std::string& appID) {
    Value dictionary = test::validOptionsDictionary();
    dictionary["ROVUDE_APP_ID"] = appID;
    return NBOptions::initInternalWithOptionsDictionary(dictionary);
}

class NBAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        NBApp::resetApps();
        // Every test sees the analytics class through a counter; the real class
        // is exercised once, in AnalyticsStartsOncePerProcess.
        platform::ClassRegistry::shared().unregisterClass(DORIzurizava::kClassName);
        platform::ClassRegistry::shared().registerClassMethod<DORIzurizava::StartFunction>(
            DORIzurizava::kClassName, DORIzurizava::kStartSelector,
            std::function<DORIzurizava::StartFunction>(
                [this](std::shared_ptr<DORIzurizavaConfiguration> configuration, std::shared_ptr<NBOptions> options) {
                    starts.push_back({std::move(configuration), std::move(options)});
                }));
        observe(NBAppReadyToConfigureSDKNotification, ready);
        observe(NBAppDiagnosticsNotification, diagnostics);
        observe(NBAppDeleteNotification, deletions);
    }
    void TearDown() override {
        tokens.clear();
        NBApp::resetApps();
        platform::ClassRegistry::shared().unregisterClass(DORIzurizava::kClassName);
    }
    void observe(const char* name, std::vector<platform::Notification>& into) {
        tokens.push_back(NotificationCenter::defaultCenter().addObserver(
            name, nullptr, [&into](const platform::Notification& n) { into.push_back(n); }));
    }

    test::TestBundle bundle;
    NBLoggerCapture capture;
    std::vector<std::pair<std::shared_ptr<DORIzurizavaConfiguration>, std::shared_ptr<NBOptions>>> starts;
    std::vector<platform::Notification> ready, diagnostics, deletions;
    std::vector<platform::ObserverToken> tokens;
};

TEST_F(NBAppTest, ConfigureFromTheOptionsFile) {
    bundle.writeOptions(test::validOptionsDictionary(), platform::plist::Format::Binary);
    NBApp::configure();
    auto app = NBApp::defaultApp();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->name(), "__NBAPP_DEFAULT");
    EXPECT_TRUE(NBApp::isDefaultAppConfigured());
    EXPECT_EQ(app->options()->rovudeAppID(), test::kTestAppID);
    EXPECT_TRUE(app->options()->isEditingLocked());

    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].object, NBApp::classObject());
    EXPECT_EQ(ready[0].userInfo, (Value{{"NBAppNameKey", "__NBAPP_DEFAULT"},
                                        {"NBAppIsDefaultAppKey", true},
                                        {"NBRovudeAppIDKey", test::kTestAppID}}));
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].userInfo, (Value{{"ConfigType", 1}}));
    EXPECT_EQ(diagnostics[0].objectFor<NBApp>("NBApp"), app);

    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].first, DORIzurizavaConfiguration::sharedInstance());
    EXPECT_EQ(starts[0].first, NBConfiguration::sharedInstance().analyticsConfiguration());
    EXPECT_EQ(starts[0].second->rovudeAppID(), test::kTestAppID);

    // At the debug threshold the configuring is logged.
    NBApp::resetApps();
    NBSetLoggerLevel(7);
    NBLoggerFlush();
    NBApp::configure();
    NBLoggerFlush();
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000001] Configuring the default app."));
    NBLoggerResetForTesting();
}

TEST_F(NBAppTest, XMLAndBinaryOptionsFilesConfigureAlike) {
    Value dictionary = test::validOptionsDictionary();
    dictionary["IS_ANALYTICS_ENABLED"] = true;
    dictionary["IS_MEASUREMENT_ENABLED"] = false;
    dictionary["GCM_LIMIT"] = 42;
    struct Outcome {
        Value options, readyInfo, analyticsOptions;
        bool analytics, measurement;
        bool operator==(const Outcome&) const = default;
    };
    std::vector<Outcome> outcomes;
    for (auto format : {platform::plist::Format::XML, platform::plist::Format::Binary}) {
        NBApp::resetApps();
        ready.clear();
        starts.clear();
        bundle.writeOptions(dictionary, format);
        NBApp::configure();
        auto options = NBApp::defaultApp()->options();
        ASSERT_EQ(ready.size(), 1u);
        ASSERT_EQ(starts.size(), 1u);
        outcomes.push_back({options->optionsDictionary(), ready[0].userInfo, starts[0].second->optionsDictionary(),
                            options->isAnalyticsEnabled(), options->isMeasurementEnabled()});
    }
    EXPECT_EQ(outcomes[0], outcomes[1]);
    EXPECT_EQ(outcomes[1].options, dictionary);
    EXPECT_TRUE(outcomes[1].analytics);
    EXPECT_FALSE(outcomes[1].measurement);
}

TEST_F(NBAppTest, MissingOptionsFileReportsThenRaises) {
    std::vector<std::string> order;
    auto token = NotificationCenter::defaultCenter().addObserver(
        NBAppDiagnosticsNotification, nullptr, [&](const platform::Notification&) { order.push_back("report"); });
    std::string reason = reasonOf([&] {
        try {
            NBApp::configure();
        } catch (...) {
            order.push_back("raise");
            throw;
        }
    });
    EXPECT_EQ(reason,
              "`[NBApp configure];` (`NimbusApp.configure()` in Swift) could not find a valid RovudeService-Info.plist "
              "in your project. Please download one from https://console.rovude.com/.");
    EXPECT_EQ(order, (std::vector<std::string>{"report", "raise"}));
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].userInfo["ConfigType"], 1);
    auto error = NBErrorFromValue(diagnostics[0].userInfo["Error"]);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "com.rovude.nimbus.core");
    EXPECT_EQ(error->code, -100);
    EXPECT_EQ(error->localizedDescription(),
              "Unable to parse RovudeService-Info.plist in order to configure services.");
    EXPECT_FALSE(NBApp::isDefaultAppConfigured());

    EXPECT_EQ(reasonOf([] { NBApp::configureWithoutSendingNotification(); }),
              "Please check there is a valid RovudeService-Info.plist in the project.");
    EXPECT_EQ(reasonOf([] { NBApp::configureWithOptions(nullptr); }), "Options is nil. Please pass a valid options.");
}

TEST_F(NBAppTest, DefaultAppIsConfiguredOnce) {
    bundle.writeOptions(test::validOptionsDictionary());
    NBApp::configure();
    EXPECT_EQ(reasonOf([] { NBApp::configure(); }), "Default app has already been configured.");
    EXPECT_EQ(reasonOf([] { NBApp::configureWithOptions(optionsWithAppID(test::kTestAppID)); }),
              "Default app has already been configured.");
    EXPECT_EQ(ready.size(), 1u);

    NBApp::resetApps();
    ready.clear();
    NBApp::configureWithoutSendingNotification();
    EXPECT_TRUE(ready.empty());
    auto silent = NBApp::defaultApp();
    NBApp::configure();
    EXPECT_EQ(ready.size(), 1u);
    EXPECT_NE(NBApp::defaultApp(), silent) << "the second configuration replaces the first app";
    EXPECT_EQ(NBApp::allApps().size(), 1u);
    EXPECT_EQ(reasonOf([] { NBApp::configure(); }), "Default app has already been configured.");
}

TEST_F(NBAppTest, FailedConfigurationLeavesNoInvalidDefaultApp) {
    const std::string failure =
        "Configuration fails. It may be caused by an invalid ROVUDE_APP_ID in RovudeService-Info.plist or set in the "
        "customized options.";
    EXPECT_EQ(reasonOf([] { NBApp::configureWithOptions(optionsWithAppID("1:1234567890:ios:ABCDEF")); }), failure);
    EXPECT_FALSE(NBApp::isDefaultAppConfigured());
    EXPECT_TRUE(NBApp::allApps().empty());
    EXPECT_TRUE(ready.empty());
    EXPECT_TRUE(starts.empty());
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000009] The ROVUDE_APP_ID either in the plist file "
                                 "'RovudeService-Info.plist' or the one set in the customized options is invalid."));

    // An earlier silent configuration stays the default app.
    bundle.writeOptions(test::validOptionsDictionary());
    NBApp::configureWithoutSendingNotification();
    auto first = NBApp::defaultApp();
    diagnostics.clear();
    auto invalid = NBOptions::initInternalWithOptionsDictionary({{"ROVUDE_APP_ID", "x:1:ios:ab"}});
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithOptions(invalid); }), failure);
    EXPECT_EQ(NBApp::defaultApp(), first);
    // Options from the default file report the invalid identifier to diagnostics.
    ASSERT_EQ(diagnostics.size(), 1u);
    auto error = NBErrorFromValue(diagnostics[0].userInfo["Error"]);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -101);

    // The class lock was released as the exception passed.
    auto other = std::async(std::launch::async, [] { return NBApp::allApps().size(); });
    ASSERT_EQ(other.wait_for(test::kHangDeadline), std::future_status::ready);
    EXPECT_EQ(other.get(), 1u);
}

TEST_F(NBAppTest, RegistryReadsAndResetsWhileAnotherThreadConfigures) {
    auto options = optionsWithAppID(test::kTestAppID);
    constexpr int kReaders = 4;
    std::latch go(kReaders + 1);
    std::atomic<int> configured{0}, wrongApps{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            try {
                NBApp::configureWithOptions(options);
                ++configured;
            } catch (const NBException&) {
                // configured already, and not yet reset
            }
        }
    });
    for (int t = 0; t < kReaders; ++t)
        threads.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int i = 0; i < 300; ++i) {
                if (t == 0 && i % 3 == 0) NBApp::resetApps();
                NBApp::isDefaultAppConfigured();
                auto app = NBApp::defaultApp();
                if (app && (app->name() != kNBDefaultAppName || app->options()->rovudeAppID() != test::kTestAppID))
                    ++wrongApps;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_GT(configured, 0);
    EXPECT_EQ(wrongApps, 0);
    EXPECT_EQ(static_cast<int>(ready.size()), configured.load()) << "one ready notification per configuration";

    NBApp::resetApps();
    NBApp::configureWithOptions(options);
    EXPECT_TRUE(NBApp::isDefaultAppConfigured());
}

TEST_F(NBAppTest, AppNames) {
    auto options = optionsWithAppID(test::kTestAppID);
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::nullopt, options); }),
              "Neither name nor options can be nil.");
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string("a"), nullptr); }),
              "Neither name nor options can be nil.");
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string(), options); }), "Name cannot be empty.");
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string("__NBAPP_DEFAULT"), options); }),
              "Name cannot be __NBAPP_DEFAULT.");
    for (const char* bad : {"app.1", "my app", "caf\xc3\xa9", "a/b", "x\n"})
        EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string(bad), options); }),
                  "App name should only contain Letters, Numbers, Underscores, and Dashes.")
            << bad;
    EXPECT_TRUE(NBApp::allApps().empty());

    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string("my-app_2"), options); }), "");
    EXPECT_EQ(reasonOf([&] { NBApp::configureWithName(std::string("my-app_2"), options); }),
              "App named my-app_2 has already been configured.");
}

TEST_F(NBAppTest, ApplicationIdentifiers) {
    EXPECT_TRUE(NBApp::validateAppID(std::string("1:1234567890:ios:abcdef0123")));
    EXPECT_TRUE(NBApp::validateAppID(std::string("2:anything")));
    EXPECT_TRUE(NBApp::validateAppID(std::string("12:x")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:1234567890:ios:ABCDEF")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:123:ios:ABC")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:1234567890:android:abc")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("x:1:ios:ab")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("")));
    EXPECT_FALSE(NBApp::validateAppID(std::nullopt));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:123:ios:")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:123:ios:abc:def")));
    EXPECT_FALSE(NBApp::validateAppID(std::string("1:123:ios:abc\n")));
    EXPECT_FALSE(NBApp::validateAppIDFormat("2:123:ios:abc", "2"));
    EXPECT_FALSE(NBApp::validateAppIDFingerprint("2:123:ios:abc", "2:")) << "only version 1 has a fingerprint";
}

TEST_F(NBAppTest, NamedAppsAndLookups) {
    EXPECT_TRUE(NBApp::allApps().empty());
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000005] No app has been configured yet."));
    EXPECT_FALSE(NBApp::appNamed("nobody"));
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000004] App with name nobody does not exist."));
    EXPECT_FALSE(NBApp::defaultApp());
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000003] The default Nimbus app has not yet been configured."));

    // Observers run inside the configuration and may look the app up.
    std::shared_ptr<NBApp> seen;
    auto token = NotificationCenter::defaultCenter().addObserver(
        NBAppReadyToConfigureSDKNotification, NBApp::classObject(),
        [&](const platform::Notification& n) { seen = NBApp::appNamed(n.userInfo["NBAppNameKey"]); });
    NBApp::configureWithName(std::string("second"), optionsWithAppID("2:other"));
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->name(), "second");
    EXPECT_EQ(NBApp::appNamed("second"), seen);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].userInfo["NBAppIsDefaultAppKey"], false);
    EXPECT_EQ(ready[0].userInfo["NBRovudeAppIDKey"], "2:other");
    EXPECT_TRUE(starts.empty()) << "named apps never start analytics";
    EXPECT_FALSE(NBApp::isDefaultAppConfigured());
}

TEST_F(NBAppTest, DeletingApps) {
    NBApp::configureWithOptions(optionsWithAppID(test::kTestAppID));
    NBApp::configureWithName(std::string("other"), optionsWithAppID(test::kTestAppID));
    auto app = NBApp::defaultApp();
    std::vector<bool> results;
    app->deleteApp([&](bool success) {
        results.push_back(success);
        EXPECT_TRUE(NBApp::appNamed("other")) << "the completion runs inside the re-entrant lock";
    });
    ASSERT_EQ(deletions.size(), 1u);
    EXPECT_EQ(deletions[0].object, NBApp::classObject());
    EXPECT_EQ(deletions[0].userInfo, (Value{{"NBAppNameKey", "__NBAPP_DEFAULT"}}));
    EXPECT_FALSE(NBApp::defaultApp());
    EXPECT_FALSE(NBApp::isDefaultAppConfigured());

    app->deleteApp([&](bool success) { results.push_back(success); });
    EXPECT_EQ(results, (std::vector<bool>{true, false}));
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000007] App does not exist."));
    EXPECT_EQ(deletions.size(), 1u);
    EXPECT_EQ(NBApp::allApps().size(), 1u);
}

TEST_F(NBAppTest, AppOptionsCannotBeChangedFromOutside) {
    auto mine = optionsWithAppID(test::kTestAppID);
    NBApp::configureWithOptions(mine);
    mine->setAPIKey(std::string("edited after configuration"));
    auto app = NBApp::defaultApp();
    EXPECT_EQ(app->options()->APIKey(), "key-123");
    auto copy = app->options();
    EXPECT_NE(reasonOf([&] { copy->setAPIKey(std::string("x")); }), "");
    copy->setEditingLocked(false);
    copy->setAPIKey(std::string("x"));
    EXPECT_EQ(app->options()->APIKey(), "key-123");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(starts[0].second->isEditingLocked()) << "analytics gets the app's locked options";
}

TEST_F(NBAppTest, MissingAnalyticsClassIsLogged) {
    platform::ClassRegistry::shared().unregisterClass(DORIzurizava::kClassName);
    NBApp::configureWithOptions(optionsWithAppID(test::kTestAppID));
    EXPECT_TRUE(NBApp::isDefaultAppConfigured());
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000022] Vuzuruzu Zavozurur is not available."));
}

TEST_F(NBAppTest, AnalyticsStartsOncePerProcess) {
    platform::ClassRegistry::shared().unregisterClass(DORIzurizava::kClassName);
    DORIzurizava::registerClass();
    ASSERT_FALSE(DORIzurizava::isStarted());
    NBApp::configureWithOptions(optionsWithAppID(test::kTestAppID));
    ASSERT_TRUE(DORIzurizava::isStarted());
    EXPECT_EQ(DORIzurizava::startedOptions()->rovudeAppID(), test::kTestAppID);
    EXPECT_EQ(DORIzurizava::startedConfiguration(), DORIzurizavaConfiguration::sharedInstance());

    NBApp::resetApps();
    NBApp::configureWithOptions(optionsWithAppID("2:second"));
    EXPECT_EQ(DORIzurizava::startedOptions()->rovudeAppID(), test::kTestAppID);
}

TEST_F(NBAppTest, DiagnosticsAndAuthenticationFallbacks) {
    NBApp::configureWithOptions(optionsWithAppID(test::kTestAppID));
    auto app = NBApp::defaultApp();
    diagnostics.clear();
    auto failure =
        NBApp::errorForSubspecConfigurationFailureWithDomain("com.rovude.messaging", 7, "Messaging", "no sender");
    app->sendLogsWithServiceName("Messaging", "1.2.3", &failure);
    app->sendLogsWithServiceName("RemoteConfig", "4.5", nullptr);
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_EQ(diagnostics[0].userInfo["ConfigType"], 2);
    EXPECT_EQ(diagnostics[0].userInfo["SDKName"], "Messaging");
    EXPECT_EQ(diagnostics[0].userInfo["SDKVersion"], "1.2.3");
    // The app itself, still usable once deleted and its name taken again.
    auto reported = diagnostics[0].objectFor<NBApp>("NBApp");
    EXPECT_EQ(reported, app);
    app->deleteApp([](bool) {});
    NBApp::configureWithOptions(optionsWithAppID("2:other"));
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->options()->rovudeAppID(), test::kTestAppID);
    EXPECT_FALSE(diagnostics[0].userInfo.contains("NBApp"));
    auto error = NBErrorFromValue(diagnostics[0].userInfo["Error"]);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Configuration failed for service Messaging.");
    EXPECT_EQ(error->userInfo["NSLocalizedFailureReason"], "no sender");
    EXPECT_FALSE(diagnostics[1].userInfo.contains("Error"));

    int calls = 0;
    app->getTokenForcingRefresh(true, [&](const std::optional<std::string>& token, const platform::Error* e) {
        ++calls;
        EXPECT_FALSE(token);
        EXPECT_EQ(e, nullptr);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(app->getUID());
    EXPECT_TRUE(capture.contains("[Nimbus/Core][I-COR000025] NBAuth getUID implementation wasn't set."));
    app->setGetUIDImplementation([] { return std::string("uid-1"); });
    EXPECT_EQ(app->getUID(), "uid-1");
}

TEST(NBAppAssociationRegistrationTest, CreatesOncePerHostAndKeyAndRefusesReentry) {
    auto host = std::make_shared<int>(1);
    int created = 0;
    std::function<std::shared_ptr<std::string>()> make = [&] {
        ++created;
        return std::make_shared<std::string>("object");
    };
    auto a = NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "k", make);
    auto b = NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "k", make);
    EXPECT_EQ(a, b);
    EXPECT_EQ(created, 1);

    std::string name;
    std::function<std::shared_ptr<std::string>()> reenter = [&]() -> std::shared_ptr<std::string> {
        try {
            NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "loop", make);
        } catch (const NBException& e) {
            name = e.name();
        }
        return std::make_shared<std::string>("done");
    };
    auto done = NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "loop", reenter);
    EXPECT_EQ(name, "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
    ASSERT_TRUE(done);
    EXPECT_EQ(*done, "done");

    // A creation that throws leaves the key free for the next attempt.
    std::function<std::shared_ptr<std::string>()> failing = []() -> std::shared_ptr<std::string> {
        throw std::runtime_error("no");
    };
    EXPECT_THROW(NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "f", failing),
                 std::runtime_error);
    EXPECT_EQ(*NBAppAssociationRegistration::registeredObjectWithHost<std::string>(host, "f", make), "object");
}

}  // namespace
}  // namespace wharf
