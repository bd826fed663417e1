// config.xml: plug-in map, start-up plug-ins, start page, preferences, and the
// parser's error report.
#include <gtest/gtest.h>

#include <stdexcept>

#include "TestSupport.h"
#include "host/WFConfigParser.h"
#include "host/WFPreferences.h"
#include "host/WFXMLParser.h"
#include "platform/base/Error.h"

namespace wharf::test {
namespace {

using platform::Value;

constexpr const char* kConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<widget xmlns="http://www.w3.org/ns/widgets" id="com.example.app" version="1.0.0">
    <content src="first.html" />
    <content src="index.html?x=1#top" />
    <preference name="ErrorUrl" value="error.html" />
    <preference name="DisallowOverscroll" value="true" />
    <preference name="disallowoverscroll" value="false" />
    <preference value="no-name" />
    <param name="ios-package" value="Stray" />
    <feature name="Device">
        <param name="ios-package" value="WFDevice" />
        <param name="onload" value="true" />
    </feature>
    <feature name="Console">
        <param name="ios-package" value="WFLogger" onload="True" />
    </feature>
    <feature name="Capitalised">
        <param name="ios-package" value="WFCap" />
        <param name="onload" value="True" />
    </feature>
    <feature name="Twice">
        <param name="IOS-Package" value="WFTwice" />
        <param name="onload" value="true" />
        <param name="other" value="x" onload="TRUE" />
    </feature>
    <feature>
        <param name="ios-package" value="Nameless" />
    </feature>
    <allow-navigation href="https://*.example.com/*" />
    <allow-intent href="tel:*" />
    <allow-intent />
</widget>
)";

struct Collected {
    WFConfigParser config;
    bool parsed = false;
};

Collected parse(const std::string& text) {
    Collected c;
    auto parser = WFXMLParser::fromString(text);
    parser->setDelegate(&c.config);
    c.parsed = parser->parse();
    return c;
}

TEST(ConfigParser, CollectsFeaturesPreferencesAndStartPage) {
    auto c = parse(kConfig);
    ASSERT_TRUE(c.parsed);
    EXPECT_EQ(c.config.pluginsDict(),
              (Value{{"device", "WFDevice"}, {"console", "WFLogger"}, {"capitalised", "WFCap"}, {"twice", "WFTwice"}}));
    // "True" as a param value does not mark; as an onload attribute it does.
    EXPECT_EQ(c.config.startupPluginNames(), (std::vector<std::string>{"device", "console", "twice", "twice"}));
    EXPECT_EQ(c.config.startPage(), "index.html?x=1#top");
    EXPECT_EQ(c.config.settings(), (Value{{"errorurl", "error.html"}, {"disallowoverscroll", "false"}}));
}

class HrefCollector : public WFXMLParserDelegate {
public:
    void parserDidStartDocument(WFXMLParser&) override { ++documents; }
    void parserDidStartElement(WFXMLParser&, const std::string& name, const std::string&, const std::string&,
                               const std::map<std::string, std::string>& attributes) override {
        auto href = attributes.find("href");
        if (href == attributes.end()) return;
        if (name == "allow-navigation") navigations.push_back(href->second);
        if (name == "allow-intent") intents.push_back(href->second);
    }
    void parserDidEndDocument(WFXMLParser&) override { ++documents; }
    std::vector<std::string> navigations, intents;
    int documents = 0;
};

TEST(ConfigParser, AccessElementsReachOtherDelegates) {
    HrefCollector collector;
    auto parser = WFXMLParser::fromString(kConfig);
    parser->setDelegate(&collector);
    ASSERT_TRUE(parser->parse());
    EXPECT_EQ(collector.navigations, std::vector<std::string>{"https://*.example.com/*"});
    EXPECT_EQ(collector.intents, std::vector<std::string>{"tel:*"});
    EXPECT_EQ(collector.documents, 2);
}

TEST(ConfigParser, MalformedFileStopsWithLineAndColumn) {
    const std::string text =
        "<widget>\n  <feature name=\"A\">\n    <param name=\"x\" value=\"y\">\n  </feature>\n</widget>\n";
    try {
        parse(text);
        FAIL() << "no configuration error";
    } catch (const platform::FatalConfigurationError& e) {
        EXPECT_STREQ(e.what(), "config.xml parse error line 4 col 5");
    }
    EXPECT_THROW(parse(""), platform::FatalConfigurationError);
    EXPECT_THROW(parse("<widget><feature></widget>"), platform::FatalConfigurationError);
}

TEST(ConfigParser, FileParserAndMissingFile) {
    TempDir dir;
    writeFile(dir.file("config.xml"), kConfig);
    auto parser = WFXMLParser::fromFile(dir.file("config.xml"));
    ASSERT_TRUE(parser);
    WFConfigParser config;
    parser->setDelegate(&config);
    EXPECT_TRUE(parser->parse());
    EXPECT_EQ(config.pluginsDict().size(), 4u);
    EXPECT_FALSE(WFXMLParser::fromFile(dir.file("absent.xml")));
}

TEST(ConfigParser, LargeFileAcrossFeedChunks) {
    std::string text = "<widget>";
    for (int i = 0; i < 30000; ++i)
        text += "<preference name=\"Pref" + std::to_string(i) + "\" value=\"" + std::string(40, 'v') + "\"/>";
    text += "<content src=\"end.html\"/></widget>";
    ASSERT_GT(text.size(), 2u << 20);
    auto c = parse(text);
    EXPECT_TRUE(c.parsed);
    EXPECT_EQ(c.config.settings().size(), 30000u);
    EXPECT_EQ(c.config.startPage(), "end.html");
}

TEST(ConfigParser, DelegateExceptionStopsParseAndPropagates) {
    struct Thrower : WFXMLParserDelegate {
        void parserDidStartElement(WFXMLParser&, const std::string& name, const std::string&, const std::string&,
                                   const std::map<std::string, std::string>&) override {
            ++seen;
            if (name == "b") throw std::runtime_error("stop");
        }
        int seen = 0;
    } thrower;
    auto parser = WFXMLParser::fromString("<a><b/><c/><d/></a>");
    parser->setDelegate(&thrower);
    EXPECT_THROW(parser->parse(), std::runtime_error);
    EXPECT_EQ(thrower.seen, 2);
}

TEST(Preferences, CaseInsensitiveReaders) {
    Value settings = Value::object();
    setWharfSetting(settings, "error.html", "ErrorUrl");
    EXPECT_TRUE(settings.contains("errorurl"));
    for (const char* key : {"ErrorUrl", "errorurl", "ERRORURL"})
        EXPECT_EQ(wharfSettingForKey(settings, key), "error.html");
    EXPECT_FALSE(wharfSettingForKey(settings, "Missing"));

    for (const char* yes : {"true", "YES", "1", "yes"}) {
        setWharfSetting(settings, yes, "Flag");
        EXPECT_TRUE(wharfBoolSettingForKey(settings, "flag", false)) << yes;
    }
    for (const char* no : {"false", "0", "NO", ""}) {
        setWharfSetting(settings, no, "Flag");
        EXPECT_FALSE(wharfBoolSettingForKey(settings, "FLAG", true)) << no;
    }
    EXPECT_TRUE(wharfBoolSettingForKey(settings, "absent", true));

    setWharfSetting(settings, "0.1", "GapBetweenPages");
    EXPECT_EQ(wharfFloatSettingForKey(settings, "gapbetweenpages", 5.0), static_cast<double>(0.1f));
    EXPECT_NE(wharfFloatSettingForKey(settings, "gapbetweenpages", 5.0), 0.1);
    EXPECT_EQ(wharfFloatSettingForKey(settings, "absent", 5.0), 5.0);
}

}  // namespace
}  // namespace wharf::test
