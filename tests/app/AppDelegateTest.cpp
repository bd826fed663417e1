// The application delegate: open-URL notifications, orientations, the URL
// cache it records and a launch that keeps a preset view controller.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/testing/FakeWebView.h"
#include "platform/Bundle.h"
#include "platform/Container.h"
#include "platform/NotificationCenter.h"

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
        token = platform::NotificationCenter::defaultCenter().addObserver("", nullptr, [this](const platform::Notification& n) {
            if (n.name == WFPluginHandleOpenURLNotification)
                posted.push_back({n.name, static_cast<const platform::Url*>(n.object)->absoluteString(), n.userInfo});
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

TEST_F(AppDelegateTest, OrientationsAndURLCache) {
    AppDelegate delegate;
    EXPECT_EQ(delegate.applicationSupportedInterfaceOrientationsForWindow(), 30u);
    EXPECT_EQ(WFAppDelegate::sharedURLCache().memoryCapacity, 8388608u);
    EXPECT_EQ(WFAppDelegate::sharedURLCache().diskCapacity, 33554432u);
    EXPECT_EQ(WFAppDelegate::sharedURLCache().diskPath, "nsurlcache");
    EXPECT_TRUE(WFAppDelegate::webContextOptions().acceptAllCookies);
    EXPECT_TRUE(WFAppDelegate::webContextOptions().acceptThirdPartyCookies);
    EXPECT_EQ(WFAppDelegate::webContextOptions().cacheDirectory, platform::Container::cachesPath() + "/nsurlcache");
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

}  // namespace
}  // namespace wharf::test
