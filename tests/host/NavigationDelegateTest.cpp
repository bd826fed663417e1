// The navigation delegate: the bridge scheme, plug-in vetoes, links handed to
// the open-URL notification, page start and page loaded, the error page.
#include <gtest/gtest.h>

#include "ViewControllerFixture.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf::test {
namespace {

// Answers the navigation question with a fixed verdict.
class Judge : public WFPlugin {
public:
    explicit Judge(bool verdict) : verdict_(verdict) {}
    bool respondsToShouldOverrideLoad() const override { return true; }
    bool shouldOverrideLoadWithRequest(const WFURLRequest&, int) override {
        ++asked;
        return verdict_;
    }
    int asked = 0;

private:
    bool verdict_;
};

class NavigationDelegateTest : public ViewControllerFixture {
protected:
    void SetUp() override {
        ViewControllerFixture::SetUp();
        writeBundle(R"(<preference name="ErrorUrl" value="error.html" />
                       <feature name="Rec"><param name="ios-package" value="RecordingPlugin" />
                         <param name="onload" value="true" /></feature>)");
        controller = loaded();
        view().setResponder([](const std::string&) { return std::string(); });
    }
    std::size_t fetches() const {
        std::size_t n = 0;
        for (auto& s : views.back()->scripts()) n += s.find("nativeFetchMessages") != std::string::npos;
        return n;
    }
    std::shared_ptr<WFViewController> controller;
};

TEST_F(NavigationDelegateTest, BridgeSchemeFetchesOnceAndIsNeverLoaded) {
    for (const char* url : {"wfbridge://ready/1", "wfbridge:", "WFBRIDGE://x/y?z"}) {
        std::size_t before = fetches();
        EXPECT_FALSE(view().navigate(url)) << url;
        EXPECT_EQ(fetches(), before + 1) << url;
    }
}

TEST_F(NavigationDelegateTest, PluginVetoesInAnyOrder) {
    auto yes1 = std::make_shared<Judge>(true), yes2 = std::make_shared<Judge>(true);
    controller->registerPluginWithClassName(yes1, "A1");
    controller->registerPluginWithClassName(yes2, "Z9");
    EXPECT_TRUE(view().navigate("https://127.0.0.1/page", false));
    EXPECT_EQ(yes1->asked + yes2->asked, 2);

    for (const char* noName : {"A0", "ZZ"}) {
        auto no = std::make_shared<Judge>(false);
        controller->registerPluginWithClassName(no, noName);
        EXPECT_FALSE(view().navigate("https://127.0.0.1/page", false)) << noName;
        controller->registerPluginWithClassName(std::make_shared<Judge>(true), noName);
    }
}

TEST_F(NavigationDelegateTest, UnjudgedLinksGoToOpenURLAndFilesLoad) {
    std::vector<std::string> opened;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPluginHandleOpenURLNotification, nullptr, [&](const platform::Notification& n) {
            opened.push_back(static_cast<const platform::Url*>(n.object)->absoluteString());
        });
    EXPECT_FALSE(view().navigate("https://127.0.0.1/elsewhere", false));
    EXPECT_TRUE(view().navigate(fileURL("www/index.html"), false));
    EXPECT_EQ(opened, (std::vector<std::string>{"https://127.0.0.1/elsewhere"}));
}

TEST_F(NavigationDelegateTest, PageStartResetsPluginsAndPageLoadReleasesTheLock) {
    auto rec = std::dynamic_pointer_cast<RecordingPlugin>(controller->getCommandInstance("Rec"));
    ASSERT_NE(rec, nullptr);
    const void* loadedObject = nullptr;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [&](const platform::Notification& n) { loadedObject = n.object; });
    platform::LogCapture log;
    ASSERT_NE(*controller->userAgentLockToken(), 0);
    EXPECT_TRUE(view().navigate(fileURL("www/index.html")));
    EXPECT_TRUE(log.contains("Resetting plugins due to page load."));
    EXPECT_EQ(rec->resets, 1);
    view().finish();
    EXPECT_TRUE(log.contains("Finished load of: " + fileURL("www/index.html")));
    EXPECT_EQ(*controller->userAgentLockToken(), 0);
    EXPECT_EQ(loadedObject, &view());
}

TEST_F(NavigationDelegateTest, FailedLoadShowsTheErrorPageUnlessCancelled) {
    int pageLoads = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [&](const platform::Notification&) { ++pageLoads; });
    platform::LogCapture log;
    view().navigate(fileURL("www/index.html"));
    std::size_t before = view().loadedRequests().size();
    view().fail(platform::kURLErrorCancelled, "cancelled");
    EXPECT_TRUE(log.contains("Failed to load webpage with error: cancelled"));
    EXPECT_EQ(view().loadedRequests().size(), before);
    EXPECT_EQ(*controller->userAgentLockToken(), 0);

    view().navigate(fileURL("www/index.html"));
    view().fail(-1100, "gone");
    ASSERT_EQ(view().loadedRequests().size(), before + 1);
    const std::string errorPage =
        fileURL("www/error.html") + "?error=Failed%20to%20load%20webpage%20with%20error:%20gone";
    EXPECT_EQ(view().loadedRequests().back().url.absoluteString(), errorPage);
    // WebKit's finish after each failure is no page load.
    EXPECT_EQ(pageLoads, 0);
    EXPECT_FALSE(log.contains("Finished load of"));

    // The error page failing in turn is not loaded again (it would fail for ever).
    view().navigate(errorPage);
    view().fail(-1100, "gone too");
    EXPECT_EQ(view().loadedRequests().size(), before + 1);
    EXPECT_TRUE(log.contains("Failed to load webpage with error: gone too"));
}

}  // namespace
}  // namespace wharf::test
