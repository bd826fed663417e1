// Access entries and the URLs they allow.
#include <gtest/gtest.h>

#include "host/WFWhitelist.h"
#include "platform/base/Log.h"

namespace wharf::test {
namespace {

using platform::Url;

Url url(const std::string& text) {
    auto parsed = Url::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed ? *parsed : Url();
}

bool allows(const WFWhitelist& list, const std::string& text) { return list.URLIsAllowed(url(text), false); }

TEST(WhitelistPattern, ComponentExpressions) {
    EXPECT_EQ(WFWhitelistPattern::regexFromPattern("/docs/*", true), "\\/docs(\\/.*)?$");
    EXPECT_EQ(WFWhitelistPattern::regexFromPattern("a.b*", false), "a\\.b\\*$");
    EXPECT_EQ(WFWhitelistPattern::regexFromPattern("/x*y", true), "\\/x.*y$");
    EXPECT_EQ(WFWhitelistPattern::regexFromPattern("(a)[b]{c}|^$+?\\", false),
              "\\(a\\)\\[b\\]\\{c\\}\\|\\^\\$\\+\\?\\\\$");
}

TEST(Whitelist, EmptyListRejectsEverything) {
    WFWhitelist list({});
    ASSERT_TRUE(list.whitelist());
    EXPECT_TRUE(list.whitelist()->empty());
    ASSERT_TRUE(list.permittedSchemes());
    EXPECT_TRUE(list.permittedSchemes()->empty());
    for (const char* scheme : {"http", "https", "ftp", "ftps"}) EXPECT_TRUE(list.schemeIsAllowed(scheme));
    EXPECT_FALSE(list.schemeIsAllowed("tel"));
    EXPECT_FALSE(allows(list, "http://example.com/"));
    EXPECT_FALSE(allows(list, "file:///tmp/x"));
}

TEST(Whitelist, StarAllowsEverythingAndEndsTheList) {
    platform::LogCapture log;
    WFWhitelist list({"http://a.com/*", "*", "tel:*"});
    EXPECT_TRUE(log.contains("Unlimited access to network resources"));
    EXPECT_FALSE(list.whitelist());
    EXPECT_FALSE(list.permittedSchemes());
    EXPECT_TRUE(allows(list, "gopher://anything/at/all"));
    EXPECT_TRUE(allows(list, "file:///etc/passwd"));
}

TEST(Whitelist, FileEntryAllowsEveryFileURL) {
    WFWhitelist list({"file://"});
    ASSERT_EQ(list.whitelist()->size(), 1u);
    EXPECT_TRUE(allows(list, "file:///var/www/index.html"));
    EXPECT_TRUE(allows(list, "file://host/share/x"));
    EXPECT_FALSE(allows(list, "http://example.com/"));
}

TEST(Whitelist, SchemeOnlyEntries) {
    WFWhitelist list({"tel:*", "MAILTO:*"});
    EXPECT_TRUE(list.permittedSchemes()->contains("tel"));
    EXPECT_TRUE(list.permittedSchemes()->contains("mailto"));
    EXPECT_TRUE(allows(list, "tel:123"));
    EXPECT_TRUE(allows(list, "mailto:someone@example.com"));
    EXPECT_FALSE(allows(list, "sms:123"));
}

TEST(Whitelist, HostWildcardsAndPaths) {
    WFWhitelist https({"https://*/*"});
    EXPECT_TRUE(allows(https, "https://any.where/at/all?q=1"));
    EXPECT_FALSE(allows(https, "http://any.where/"));

    WFWhitelist list({"http://*.d/x/*"});
    EXPECT_TRUE(allows(list, "http://d/x"));
    EXPECT_TRUE(allows(list, "http://d/x/"));
    EXPECT_TRUE(allows(list, "http://a.b.d/x/y"));
    EXPECT_TRUE(allows(list, "http://A.B.D/x/y"));  // hosts compare without case
    EXPECT_FALSE(allows(list, "http://ad/x"));
    EXPECT_FALSE(allows(list, "http://d/xy"));
    EXPECT_FALSE(allows(list, "http://d/X/y"));  // paths compare with case
    EXPECT_FALSE(allows(list, "https://d/x"));
}

TEST(Whitelist, DotSegmentsCannotLeaveAnAllowedPath) {
    // Raw strings, as plug-ins check them: the server resolves the dots.
    WFWhitelist list({"https://example.com/app/*", "wf-default-scheme://other.com/app/*"});
    for (const char* escape : {"https://example.com/app/../secret", "https://example.com/app/%2e%2e/secret",
                               "https://example.com/app/%2E./secret", "https://example.com/app/x/../../secret",
                               "https://example.com/app/..%2fsecret", "http://other.com/app/../secret"})
        EXPECT_FALSE(allows(list, escape)) << escape;
    for (const char* inside :
         {"https://example.com/app/./x", "https://example.com/app/x/../y", "https://example.com/app/x/..",
          "https://example.com/app/..x/y", "http://other.com/app/%2e/x"})
        EXPECT_TRUE(allows(list, inside)) << inside;
}

TEST(Whitelist, PortsAndSchemelessEntries) {
    WFWhitelist ports({"http://h:8080/*"});
    EXPECT_TRUE(allows(ports, "http://h:8080/a"));
    EXPECT_FALSE(allows(ports, "http://h/"));
    EXPECT_FALSE(allows(ports, "http://h:8081/"));
    // Ports past int's range match nothing, not the port they would wrap to (2^32 + 80).
    WFWhitelist huge({"http://h:4294967376/*", "http://h:99999999999999999999999/*"});
    EXPECT_FALSE(allows(huge, "http://h:80/"));
    EXPECT_FALSE(allows(huge, "http://h/"));

    WFWhitelist schemeless({"example.com"});
    ASSERT_EQ(schemeless.whitelist()->size(), 2u);
    EXPECT_TRUE(allows(schemeless, "http://example.com/"));
    EXPECT_TRUE(allows(schemeless, "https://example.com/any"));
    EXPECT_FALSE(allows(schemeless, "ftp://example.com/"));
    EXPECT_FALSE(allows(schemeless, "http://other.com/"));
    EXPECT_TRUE(schemeless.permittedSchemes()->empty());

    WFWhitelist nothing({""});  // nothing recognised: every http and https URL
    EXPECT_TRUE(allows(nothing, "https://x.y/z"));
    EXPECT_FALSE(allows(nothing, "ftp://x.y/z"));
}

TEST(Whitelist, DefaultSchemeEntryCoversAllWebSchemes) {
    WFWhitelist list({"*://example.com/*"});
    EXPECT_FALSE(list.permittedSchemes());
    for (const char* scheme : {"http", "https", "ftp", "ftps"})
        EXPECT_TRUE(allows(list, std::string(scheme) + "://example.com/p?q#f")) << scheme;
    EXPECT_FALSE(allows(list, "http://evil.com/"));

    WFWhitelist named({"wf-default-scheme://example.com/*"});
    EXPECT_TRUE(allows(named, "ftps://example.com/a%20b"));
    EXPECT_FALSE(allows(named, "ftps://example.org/"));
}

TEST(Whitelist, RejectionIsLoggedOnlyWhenAsked) {
    WFWhitelist list({"https://ok.com/*"});
    platform::LogCapture log;
    EXPECT_FALSE(list.URLIsAllowed(url("https://bad.com/x"), false));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(list.URLIsAllowed(url("https://bad.com/x")));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR whitelist rejection: url='https://bad.com/x'"});
}

TEST(Whitelist, VeryLongURL) {
    WFWhitelist paths({"https://ok.com/docs/*"});
    const std::string path(200 * 1024, 'a');
    EXPECT_TRUE(allows(paths, "https://ok.com/docs/" + path));
    EXPECT_FALSE(allows(paths, "https://ok.com/other/" + path));

    WFWhitelist hosts({"https://*.ok.com/*"});
    EXPECT_TRUE(allows(hosts, "https://" + std::string(200 * 1024, 'h') + ".ok.com/"));
    EXPECT_FALSE(allows(hosts, "https://" + std::string(200 * 1024, 'h') + ".com/"));
}

TEST(Whitelist, EntryTooLongToCompileAdmitsNothing) {
    const std::string hugeHost(100 * 1024, 'h');
    WFWhitelist list({"https://" + hugeHost + ".com/*"});
    EXPECT_FALSE(allows(list, "https://example.com/"));
    EXPECT_FALSE(allows(list, "https://" + hugeHost + ".com/"));

    WFWhitelist withOthers({"https://ok.com/" + std::string(100 * 1024, 'p'), "https://ok.com/docs/*"});
    EXPECT_TRUE(allows(withOthers, "https://ok.com/docs/a"));
    EXPECT_FALSE(allows(withOthers, "https://ok.com/elsewhere"));
}

TEST(Whitelist, IPv4Addresses) {
    WFWhitelist list({});
    EXPECT_TRUE(list.isIPv4Address("192.168.0.1"));
    EXPECT_TRUE(list.isIPv4Address("10.*.*.255"));
    EXPECT_FALSE(list.isIPv4Address("256.1.1.1"));
    EXPECT_FALSE(list.isIPv4Address("1.2.3"));
    EXPECT_FALSE(list.isIPv4Address("1.2.3.4.5"));
    EXPECT_FALSE(list.isIPv4Address("a.b.c.d"));
    EXPECT_FALSE(list.isIPv4Address("1..2.3"));
}

}  // namespace
}  // namespace wharf::test
