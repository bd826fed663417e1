// The hosting view controller: start URL and error page, settings, plug-in
// registry, engine choice, orientations, colours, user agent, the page's
// application events, memory warnings and the tmp clean-up at termination.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ViewControllerFixture.h"
#include "host/WFPreferences.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/UserDefaults.h"

namespace wharf::test {
namespace {

using platform::Value;

using ViewControllerTest = ViewControllerFixture;

TEST_F(ViewControllerTest, StartPageKeepsQueryAndFragmentAndLoadsWithTwentySeconds) {
    writeBundle(R"(<content src="index.html?x=1#top" />)");
    auto controller = loaded();
    ASSERT_EQ(view().loadedRequests().size(), 1u);
    EXPECT_EQ(view().loadedRequests()[0].url.absoluteString(), fileURL("www/index.html") + "?x=1#top");
    EXPECT_EQ(view().loadedRequests()[0].timeoutInterval, 20.0);
    // The lock was free: the token is held until the first page loads.
    EXPECT_NE(*controller->userAgentLockToken(), 0);
}

TEST_F(ViewControllerTest, MissingStartPageShowsInlineMessageOrTheErrorPage) {
    writeBundle(R"(<content src="nothere.html" />)");
    platform::LogCapture log;
    auto controller = loaded();
    EXPECT_TRUE(view().loadedRequests().empty());
    ASSERT_EQ(view().loadedHTML().size(), 1u);
    EXPECT_EQ(view().loadedHTML()[0],
              "<html><body> ERROR: Start Page at 'www/nothere.html' was not found. </body></html>");
    EXPECT_TRUE(log.contains("ERROR: Start Page at 'www/nothere.html' was not found."));
    EXPECT_NE(*controller->userAgentLockToken(), 0);

    WFUserAgentUtil::resetForTesting();
    writeBundle(R"(<content src="nothere.html" /><preference name="ErrorUrl" value="error.html" />)");
    auto second = loaded();
    ASSERT_EQ(view().loadedRequests().size(), 1u);
    EXPECT_EQ(
        view().loadedRequests()[0].url.absoluteString(),
        fileURL("www/error.html") + "?error=ERROR:%20Start%20Page%20at%20'www/nothere.html'%20was%20not%20found.");
}

TEST_F(ViewControllerTest, SettingsAndBackupTypeDefault) {
    writeBundle(R"(<preference name="Custom" value="Yes" />)");
    auto controller = loaded();
    EXPECT_EQ(controller->settings()["backupwebstorage"], "cloud");
    EXPECT_EQ(controller->settings()["custom"], "Yes");
    EXPECT_EQ(controller->wwwFolderName(), "www");
    EXPECT_EQ(controller->startPage(), "index.html");
}

TEST_F(ViewControllerTest, PluginRegistryByLowerCasedNames) {
    writeBundle(R"(<feature name="Device"><param name="ios-package" value="RecordingPlugin" /></feature>
                   <feature name="Ghost"><param name="ios-package" value="NoSuchPlugin" /></feature>)");
    auto controller = loaded();
    platform::LogCapture log;
    auto a = controller->getCommandInstance("Device");
    auto b = controller->getCommandInstance("device");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(controller->pluginObjects().count("RecordingPlugin"), 1u);
    EXPECT_EQ(a->viewController(), controller);
    EXPECT_EQ(a->commandDelegate(), controller->commandDelegate());

    EXPECT_EQ(controller->getCommandInstance("Unmapped"), nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(controller->getCommandInstance("Ghost"), nullptr);
    EXPECT_TRUE(log.contains("WFPlugin class NoSuchPlugin (pluginName: Ghost) does not exist."));

    // By plug-in name: mapped under the lower-cased name to its class.
    auto extra = std::make_shared<RecordingPlugin>();
    controller->registerPluginWithPluginName(extra, "ExtraThing");
    EXPECT_EQ(controller->pluginsMap()["extrathing"], "RecordingPlugin");
    EXPECT_EQ(controller->getCommandInstance("EXTRATHING"), extra);

    // Looked up once, a service still follows a plug-in registered for it later.
    auto replacement = std::make_shared<RecordingPlugin>();
    controller->registerPluginWithPluginName(replacement, "Device");
    EXPECT_EQ(controller->getCommandInstance("Device"), replacement);
    EXPECT_EQ(controller->getCommandInstance("DEVICE"), replacement);
    auto byClass = std::make_shared<RecordingPlugin>();
    controller->registerPluginWithClassName(byClass, "RecordingPlugin");
    EXPECT_EQ(controller->getCommandInstance("Device"), byClass);
    EXPECT_EQ(controller->getCommandInstance("ExtraThing"), byClass);
}

TEST_F(ViewControllerTest, StartupPluginsAreCreatedAndLocalBackupAddsLocalStorage) {
    writeBundle(R"(<preference name="BackupWebStorage" value="local" />
                   <feature name="Device"><param name="ios-package" value="RecordingPlugin" />
                     <param name="onload" value="true" /></feature>
                   <feature name="LocalStorage"><param name="ios-package" value="NoSuchStorage" /></feature>)");
    platform::LogCapture log;
    auto controller = loaded();
    EXPECT_EQ(controller->startupPluginNames(), (std::vector<std::string>{"device", "localstorage"}));
    EXPECT_EQ(controller->pluginObjects().count("RecordingPlugin"), 1u);
    EXPECT_TRUE(log.contains("[WFTimer][TotalPluginStartup]"));
    EXPECT_TRUE(log.contains("[WFTimer][device]"));
}

TEST_F(ViewControllerTest, MissingEngineClassFallsBackAndRegistersUnderTheWantedName) {
    writeBundle(R"(<preference name="WharfWebViewEngine" value="NoSuchEngine" />)");
    auto controller = loaded();
    ASSERT_NE(controller->webViewEngine(), nullptr);
    ASSERT_EQ(controller->pluginObjects().count("NoSuchEngine"), 1u);
    EXPECT_EQ(controller->pluginObjects().at("NoSuchEngine")->className(), "WFUIWebViewEngine");
    EXPECT_EQ(controller->webView(), &view());
}

TEST_F(ViewControllerTest, OrientationsFromInfoPlist) {
    EXPECT_EQ(WFViewController::parseInterfaceOrientations(Value()), (std::vector<int>{1}));
    EXPECT_EQ(WFViewController::parseInterfaceOrientations(Value::array()), (std::vector<int>{1}));
    EXPECT_EQ(WFViewController::parseInterfaceOrientations(
                  Value::parse(R"(["UIInterfaceOrientationLandscapeLeft", "Sideways", 7,
                                   "UIInterfaceOrientationLandscapeRight", "UIInterfaceOrientationPortraitUpsideDown"])")),
              (std::vector<int>{4, 3, 2}));

    writeBundle("", "<key>UISupportedInterfaceOrientations</key><array><string>UIInterfaceOrientationPortrait</string>"
                    "<string>UIInterfaceOrientationLandscapeLeft</string></array>");
    auto controller = loaded();
    EXPECT_EQ(controller->supportedInterfaceOrientations(), (1u << 1) | (1u << 4));
    EXPECT_TRUE(controller->supportsOrientation(4));
    EXPECT_FALSE(controller->shouldAutorotateToInterfaceOrientation(3));
    controller->setSupportedOrientations({});
    EXPECT_EQ(controller->supportedInterfaceOrientations(), 0u);
}

TEST_F(ViewControllerTest, ColoursFromStrings) {
    auto abc = WFViewController::colorFromColorString(std::string("#abc"));
    ASSERT_TRUE(abc);
    EXPECT_DOUBLE_EQ(abc->red, 0xAA / 255.0);
    EXPECT_DOUBLE_EQ(abc->green, 0xBB / 255.0);
    EXPECT_DOUBLE_EQ(abc->blue, 0xCC / 255.0);
    EXPECT_DOUBLE_EQ(abc->alpha, 1.0);
    auto translucent = WFViewController::colorFromColorString(std::string("0x80ff0000"));
    ASSERT_TRUE(translucent);
    EXPECT_DOUBLE_EQ(translucent->red, 1.0);
    EXPECT_DOUBLE_EQ(translucent->alpha, 128 / 255.0);
    auto six = WFViewController::colorFromColorString(std::string("#F4F6F8"));
    ASSERT_TRUE(six);
    EXPECT_DOUBLE_EQ(six->blue, 0xF8 / 255.0);
    for (const char* bad : {"red", "#12345", "#abcd", "0xabc", "", "#abc ", "0x1234567890"})
        EXPECT_FALSE(WFViewController::colorFromColorString(std::string(bad))) << bad;
    EXPECT_FALSE(WFViewController::colorFromColorString(std::nullopt));
}

TEST_F(ViewControllerTest, UserAgentAndBackgroundColourReachTheWebView) {
    writeBundle(R"(<preference name="OverrideUserAgent" value="Base/1" />
                   <preference name="AppendUserAgent" value="App/2" />
                   <preference name="BackgroundColor" value="#abc" />)");
    auto controller = loaded();
    EXPECT_EQ(controller->userAgent(), "Base/1 App/2");
    EXPECT_EQ(view().userAgent(), "Base/1 App/2");
    EXPECT_EQ(view().background(), (std::vector<double>{0xAA / 255.0, 0xBB / 255.0, 0xCC / 255.0, 1.0}));

    // A second host waits for the user-agent lock: its page loads, with its own
    // agent, once the first page has loaded; the first keeps its agent.
    auto second = std::make_shared<WFViewController>();
    second->setBaseUserAgent("Mine/3");
    second->init();
    second->viewDidLoad();
    auto& secondView = *views.back();
    EXPECT_TRUE(secondView.loadedRequests().empty());
    views.front()->navigate(fileURL("www/index.html"));
    views.front()->finish();
    ASSERT_EQ(secondView.loadedRequests().size(), 1u);
    EXPECT_EQ(secondView.userAgent(), "Mine/3 App/2");
    EXPECT_EQ(views.front()->userAgent(), "Base/1 App/2");

    // The web view reads the "UserAgent" default: the application's own value wins.
    secondView.navigate(fileURL("www/index.html"));
    secondView.finish();
    platform::UserDefaults::standard().setObject("Pinned/4", "UserAgent");
    auto third = loaded();
    EXPECT_EQ(view().userAgent(), "Pinned/4");
}

TEST_F(ViewControllerTest, ApplicationEventsReachThePage) {
    writeBundle("");
    auto controller = loaded();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (auto& s : view().scripts()) n += s.find(needle) != std::string::npos;
        return n;
    };
    // Resign and pause are evaluated at once, resume and active on a later turn.
    center.post(platform::kUIApplicationWillResignActiveNotification);
    center.post(platform::kUIApplicationDidEnterBackgroundNotification);
    EXPECT_EQ(count("wharf.fireDocumentEvent('resign');"), 1u);
    EXPECT_EQ(count("wharf.fireDocumentEvent('pause', null, true);"), 1u);
    center.post(platform::kUIApplicationWillEnterForegroundNotification);
    center.post(platform::kUIApplicationDidBecomeActiveNotification);
    EXPECT_EQ(count("wharf.fireDocumentEvent('resume');"), 0u);
    platform::RunLoop::pumpUntil([&] { return count("wharf.fireDocumentEvent('active');") == 1; });
    EXPECT_EQ(count("wharf.fireDocumentEvent('resume');"), 1u);
    EXPECT_EQ(count("wharf.fireDocumentEvent('active');"), 1u);
}

TEST_F(ViewControllerTest, ViewEventsPostNotifications) {
    writeBundle("");
    auto controller = loaded();
    std::vector<std::string> names;
    Value size;
    auto token =
        platform::NotificationCenter::defaultCenter().addObserver("", nullptr, [&](const platform::Notification& n) {
            if (n.name.rfind("WFView", 0) == 0) names.push_back(n.name);
            if (n.name == WFViewWillTransitionToSizeNotification) size = n.userInfo;
        });
    controller->viewWillAppear(false);
    controller->viewDidAppear(false);
    controller->viewWillLayoutSubviews();
    controller->viewDidLayoutSubviews();
    controller->viewWillTransitionToSize(WFSize{640, 480});
    controller->viewWillDisappear(false);
    controller->viewDidDisappear(false);
    EXPECT_EQ(names,
              (std::vector<std::string>{WFViewWillAppearNotification, WFViewDidAppearNotification,
                                        WFViewWillLayoutSubviewsNotification, WFViewDidLayoutSubviewsNotification,
                                        WFViewWillTransitionToSizeNotification, WFViewWillDisappearNotification,
                                        WFViewDidDisappearNotification}));
    EXPECT_EQ(size, Value::parse(R"({"width":640.0,"height":480.0})"));
}

TEST_F(ViewControllerTest, MemoryWarningWaitsForPendingOperations) {
    writeBundle(R"(<feature name="A"><param name="ios-package" value="RecordingPlugin" /></feature>)");
    auto controller = loaded();
    auto plugin = controller->getCommandInstance("A");
    platform::LogCapture log;
    EXPECT_TRUE(controller->didReceiveMemoryWarning());
    plugin->setHasPendingOperation(true);
    EXPECT_FALSE(controller->didReceiveMemoryWarning());
    EXPECT_EQ(log.count("Plugin 'RecordingPlugin' has a pending operation, memory purge is delayed for "
                        "didReceiveMemoryWarning."),
              1u);
}

TEST_F(ViewControllerTest, WillTerminateEmptiesOnlyTheApplicationsTmp) {
    namespace fs = std::filesystem;
    writeBundle("");
    auto controller = loaded();
    const std::string tmp = platform::Container::tmpPath();
    TempDir outside;
    writeFile(outside.file("keep.txt"), "keep");
    fs::create_directories(tmp + "/nested/deeper");
    writeFile(tmp + "/nested/deeper/a.txt", "a");
    writeFile(tmp + "/b.txt", "b");
    fs::create_directory_symlink(outside.path(), tmp + "/link");
    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillTerminateNotification);
    EXPECT_TRUE(fs::exists(tmp));
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(readFile(outside.file("keep.txt")), "keep");

    // A tmp that is itself a link elsewhere (to /tmp, say) is not the application's own.
    fs::remove(tmp);
    fs::create_directory_symlink(outside.path(), tmp);
    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillTerminateNotification);
    EXPECT_EQ(readFile(outside.file("keep.txt")), "keep");
}

TEST_F(ViewControllerTest, ConfigurationFaultsAreFatalWithTheirMessages) {
    writeBundle("");
    std::filesystem::remove(bundle.file("config.xml"));
    auto controller = std::make_shared<WFViewController>();
    controller->init();
    try {
        controller->viewDidLoad();
        FAIL() << "no error";
    } catch (const platform::FatalConfigurationError& e) {
        EXPECT_STREQ(e.what(), "ERROR: config.xml not found in the main bundle!");
    }
    controller->setConfigFile(bundle.file("absent.xml"));
    EXPECT_THROW(controller->configFilePath(), platform::FatalConfigurationError);
    writeFile(bundle.file("config.xml"), "<widget><feature></widget>");
    controller->setConfigFile("");
    try {
        controller->loadSettings();
        FAIL() << "no error";
    } catch (const platform::FatalConfigurationError& e) {
        EXPECT_NE(std::string(e.what()).find("config.xml parse error line 1 col"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace wharf::test
