// The application delegate: open-URL notifications and a launch that keeps a
// preset view controller; where the web-process extension is found.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/testing/FakeWebView.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/gui/WebExtensions.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf::test {
namespace {

using platform::Value;

struct Posted {
    std::string name;
    std::string url;
    Value info;
};

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        token = platform::NotificationCenter::defaultCenter().addObserver(
            "", nullptr, [this](const platform::Notification& n) {
                if (n.name == WFPluginHandleOpenURLNotification)
                    posted.push_back(
                        {n.name, static_cast<const platform::Url*>(n.object)->absoluteString(), n.userInfo});
                else if (n.name == WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification)
                    posted.push_back({n.name, "", n.userInfo});
            });
    }
    TempHome home;
    std::vector<Posted> posted;
    platform::ObserverToken token;
};

TEST_F(AppDelegateTest, OpenURLPostsBothNotificationsInOrder) {
    AppDelegate delegate;
    EXPECT_TRUE(delegate.openURL("wharfdemo://open/thing?x=1"));
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].name, WFPluginHandleOpenURLNotification);
    EXPECT_EQ(posted[0].url, "wharfdemo://open/thing?x=1");
    EXPECT_EQ(posted[1].name, WFPluginHandleOpenURLWithAppSourceAndAnnotationNotification);
    // No source application and no annotation: the dictionary holds only "url".
    EXPECT_EQ(posted[1].info, Value::parse(R"({"url":"wharfdemo://open/thing?x=1"})"));

    posted.clear();
    EXPECT_TRUE(delegate.applicationOpenURL(platform::Url::parse("x://y"), std::string("com.example"), Value(5)));
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].info, Value::parse(R"({"url":"x://y","sourceApplication":"com.example","annotation":5})"));
}

TEST_F(AppDelegateTest, NoURLPostsNothing) {
    AppDelegate delegate;
    EXPECT_FALSE(delegate.applicationOpenURL(std::nullopt, std::string("s"), std::nullopt));
    EXPECT_FALSE(delegate.openURL("not a url"));
    EXPECT_TRUE(posted.empty());
}

TEST_F(AppDelegateTest, LaunchKeepsAPresetViewControllerAndReportsConfigFaults) {
    TempDir bundle;
    writeFile(bundle.file("Info.plist"), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>");
    writeFile(bundle.file("config.xml"), "<widget><content src=\"index.html\"/></widget>");
    platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    WFUserAgentUtil::resetForTesting();
    WFUIWebViewEngine::registerClass();
    WFUIWebViewEngine::setWebViewFactory([](WFRect) { return std::make_shared<testing::FakeWebView>(); });

    WFAppDelegate delegate;
    auto preset = std::make_shared<MainViewController>();
    preset->init();
    delegate.setViewController(preset);
    EXPECT_TRUE(delegate.didFinishLaunching());
    EXPECT_EQ(delegate.viewController(), preset);
    EXPECT_NE(preset->webView(), nullptr);

    // A malformed config.xml ends the launch (status 1) instead of escaping.
    writeFile(bundle.file("config.xml"), "<widget>");
    AppDelegate broken;
    EXPECT_FALSE(broken.didFinishLaunching());

    WFUIWebViewEngine::setWebViewFactory(nullptr);
    platform::Bundle::setMainBundle(nullptr);
    WFUserAgentUtil::resetForTesting();
}

// An installed binary finds the extension under <prefix>/lib, not the build tree's.
TEST(WebExtensions, FoundNextToAnInstalledBinaryElseInTheBuildTree) {
    namespace fs = std::filesystem;
    TempDir prefix;
    fs::create_directories(prefix.file("bin"));
    const std::string executable = prefix.file("bin/wharf");
    const std::string buildTree = platform::findWebExtensionsDirectory("");
    ASSERT_FALSE(buildTree.empty());
    EXPECT_TRUE(fs::exists(buildTree + "/libwharf-web-extension.so"));

    // An empty directory is not the extension's.
    fs::create_directories(prefix.file("lib/wharf/web-extensions"));
    EXPECT_EQ(platform::findWebExtensionsDirectory(executable), buildTree);
    fs::copy_file(buildTree + "/libwharf-web-extension.so",
                  prefix.file("lib/wharf/web-extensions/libwharf-web-extension.so"));
    EXPECT_EQ(platform::findWebExtensionsDirectory(executable),
              fs::canonical(prefix.file("lib/wharf/web-extensions")).string());
}

}  // namespace
}  // namespace wharf::test
