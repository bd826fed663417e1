// The filter's decision table, its config.xml reading and its log lines.
#include <gtest/gtest.h>

#include "host/WFXMLParser.h"
#include "host/plugins/WFIntentAndNavigationFilter.h"
#include "host/plugins/WFURLOpener.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

namespace wharf {
namespace {

using platform::LogCapture;
using platform::Url;

constexpr int kLinkClicked = 0;
constexpr int kFormSubmitted = 1;
constexpr int kOther = 5;

Url url(const std::string& text) { return *Url::parse(text); }

class NavigationFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        opener = std::make_shared<WFRecordingURLOpener>();
        WFURLOpener::setShared(opener);
        filter = std::make_shared<WFIntentAndNavigationFilter>();
    }
    void TearDown() override { WFURLOpener::setShared(nullptr); }

    void parse(const std::string& xml) {
        auto parser = WFXMLParser::fromString(xml);
        parser->setDelegate(filter.get());
        parser->parse();
    }
    bool load(const std::string& text, int type) {
        return filter->shouldOverrideLoadWithRequest(WFURLRequest{url(text)}, type);
    }

    std::shared_ptr<WFRecordingURLOpener> opener;
    std::shared_ptr<WFIntentAndNavigationFilter> filter;
};

constexpr const char* kConfig = R"(<?xml version="1.0"?>
<widget>
  <allow-navigation href="http://127.0.0.1:*/*"/>
  <allow-intent href="tel:*"/>
  <allow-intent href="https://both.example/*"/>
  <allow-navigation href="https://both.example/*"/>
  <allow-navigation/>
  <Allow-Intent href="mailto:*"/>
  <access origin="*"/>
</widget>)";

TEST_F(NavigationFilterTest, ReadsListsInDocumentOrderWithFileFirst) {
    parse(kConfig);
    EXPECT_EQ(filter->allowNavigations(),
              (std::vector<std::string>{"file://", "http://127.0.0.1:*/*", "https://both.example/*"}));
    EXPECT_EQ(filter->allowIntents(), (std::vector<std::string>{"tel:*", "https://both.example/*"}));
    ASSERT_NE(filter->allowIntentsWhitelist(), nullptr);
    ASSERT_NE(filter->allowNavigationsWhitelist(), nullptr);
}

TEST_F(NavigationFilterTest, FilterValues) {
    parse(kConfig);
    EXPECT_EQ(filter->filterUrl(url("http://127.0.0.1:8080/page.html")),
              WFIntentAndNavigationFilterValueNavigationAllowed);
    EXPECT_EQ(filter->filterUrl(url("tel:+4912345")), WFIntentAndNavigationFilterValueIntentAllowed);
    // Both lists: navigation wins.
    EXPECT_EQ(filter->filterUrl(url("https://both.example/x")), WFIntentAndNavigationFilterValueNavigationAllowed);
    EXPECT_EQ(filter->filterUrl(url("mailto:a@b.c")), WFIntentAndNavigationFilterValueNoneAllowed);
    EXPECT_EQ(filter->filterUrl(url("https://other.example/")), WFIntentAndNavigationFilterValueNoneAllowed);
}

TEST_F(NavigationFilterTest, FileUrlsNavigableWithoutAnyEntry) {
    parse("<widget/>");
    EXPECT_TRUE(load("file:///app/www/index.html", kLinkClicked));
}

TEST_F(NavigationFilterTest, HostInlinePageAllowedEvenWithoutWhitelists) {
    // Not parsed at all: every request is refused, except the host's own page.
    LogCapture log;
    EXPECT_TRUE(load("about:blank", kOther));
    EXPECT_FALSE(load("file:///app/www/index.html", kOther));
    EXPECT_TRUE(log.contains("ERROR Internal navigation rejected - <allow-navigation> not set for "
                             "url='file:///app/www/index.html'"));
}

TEST_F(NavigationFilterTest, IntentOpenedOnClickNotLoaded) {
    parse(kConfig);
    EXPECT_FALSE(load("tel:+4912345", kLinkClicked));
    EXPECT_EQ(opener->openedURLs(), std::vector<std::string>{"tel:+4912345"});
}

TEST_F(NavigationFilterTest, IntentFromFormNeitherOpenedNorLoggedNorLoaded) {
    parse(kConfig);
    LogCapture log;
    EXPECT_FALSE(load("tel:1", kFormSubmitted));
    EXPECT_TRUE(opener->openedURLs().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(NavigationFilterTest, IntentWithTypeOtherOpenedOnlyForTheMainDocument) {
    parse(kConfig);
    LogCapture log;
    auto value = filter->filterUrl(url("tel:1"));
    EXPECT_FALSE(
        WFIntentAndNavigationFilter::shouldOverrideLoadWithRequest(url("tel:1"), url("file:///a.html"), kOther, value));
    EXPECT_TRUE(opener->openedURLs().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(WFIntentAndNavigationFilter::shouldOverrideLoadWithRequest(url("tel:1"), url("tel:1"), kOther, value));
    EXPECT_EQ(opener->openedURLs(), std::vector<std::string>{"tel:1"});

    // Through the plug-in hook: a request that belongs to the page shown (a
    // frame's own load) is refused quietly; one without a page is top-level.
    WFURLRequest frameLoad{url("tel:2")};
    frameLoad.mainDocumentURL = url("file:///app/www/index.html");
    EXPECT_FALSE(filter->shouldOverrideLoadWithRequest(frameLoad, kOther));
    EXPECT_FALSE(load("tel:3", kOther));
    EXPECT_EQ(opener->openedURLs(), (std::vector<std::string>{"tel:1", "tel:3"}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(NavigationFilterTest, RefusalLogsTwoLinesForClicksOneOtherwise) {
    parse(kConfig);
    LogCapture log;
    EXPECT_FALSE(load("https://other.example/a", kLinkClicked));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "ERROR Internal navigation rejected - <allow-navigation> not set for url='https://other.example/a'",
                  "ERROR External navigation rejected - <allow-intent> not set for url='https://other.example/a'"}));
    log.clear();
    EXPECT_FALSE(load("https://other.example/b", kOther));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(opener->openedURLs().empty());
}

TEST_F(NavigationFilterTest, HugeUrlRefusedWithoutCrash) {
    parse(kConfig);
    LogCapture log;
    std::string huge = "https://other.example/?q=" + std::string(200 * 1024, 'a');
    EXPECT_FALSE(load(huge, kLinkClicked));
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(NavigationFilterTest, ParseErrorIsAConfigurationFault) {
    try {
        parse("<widget>\n  <allow-navigation href=\"x\">\n</widget>");
        FAIL() << "expected a configuration fault";
    } catch (const platform::FatalConfigurationError& e) {
        EXPECT_STREQ(e.what(), "config.xml parse error line 3 col 3");
    }
}

}  // namespace
}  // namespace wharf
