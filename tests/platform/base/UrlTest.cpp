#include <gtest/gtest.h>

#include <glib.h>

#include "platform/base/Url.h"

using namespace wharf::platform;

TEST(Url, ComponentsOfAbsoluteUrls) {
    auto u = Url::parse("HTTPS://user:pw@Example.com:8443/a%20b/c.html?x=1&y=%41#top");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->absoluteString(), "HTTPS://user:pw@Example.com:8443/a%20b/c.html?x=1&y=%41#top");
    EXPECT_EQ(u->scheme(), "https");
    EXPECT_EQ(u->user(), "user");
    EXPECT_EQ(u->password(), "pw");
    EXPECT_EQ(u->host(), "Example.com");
    EXPECT_EQ(u->port(), 8443);
    EXPECT_EQ(u->encodedPath(), "/a%20b/c.html");
    EXPECT_EQ(u->path(), "/a b/c.html");
    EXPECT_EQ(u->query(), "x=1&y=%41");  // as written
    EXPECT_TRUE(u->hasQuery());
    EXPECT_EQ(u->fragment(), "top");
    EXPECT_EQ(u->withoutFragment(), "HTTPS://user:pw@Example.com:8443/a%20b/c.html?x=1&y=%41");

    auto bare = Url::parse("http://h");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->port(), -1);
    EXPECT_EQ(bare->path(), "");
    EXPECT_FALSE(bare->hasQuery());
    EXPECT_FALSE(bare->hasFragment());

    auto empties = Url::parse("http://h/?#");
    ASSERT_TRUE(empties);
    EXPECT_TRUE(empties->hasQuery());
    EXPECT_EQ(empties->query(), "");
    EXPECT_TRUE(empties->hasFragment());
    EXPECT_EQ(empties->withoutFragment(), "http://h/?");

    // The path as the platform reads it: decoded, without a trailing slash.
    EXPECT_EQ(Url::parse("http://h/dir/")->path(), "/dir");
    EXPECT_EQ(Url::parse("http://h/")->path(), "/");
    // Dot segments are left as written until something resolves them.
    EXPECT_EQ(Url::parse("http://h/a/../b")->encodedPath(), "/a/../b");
}

TEST(Url, HostlessIPv6AndRejected) {
    auto mail = Url::parse("mailto:x");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->scheme(), "mailto");
    EXPECT_EQ(mail->host(), "");
    EXPECT_EQ(mail->path(), "x");

    auto v6 = Url::parse("http://[::1]:8080/p");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host(), "::1");
    EXPECT_EQ(v6->port(), 8080);
    EXPECT_EQ(v6->absoluteString(), "http://[::1]:8080/p");
    EXPECT_EQ(Url::parse("http://[fe80::a:b]/")->host(), "fe80::a:b");

    for (const char* bad : {"", "relative/path", "//host/p", "/abs", "http://[::1/x", "http://h:99999/", "1http://h/",
                            // User info before a bad port: what was already split off is freed too.
                            "http://u:p@h:8x/", "http://u@[::1]:80%03/"}) {
        EXPECT_FALSE(Url::parse(bad)) << bad;
    }
    EXPECT_FALSE(Url().valid());
}

TEST(Url, LenientTextIsEscapedOnce) {
    auto u = Url::parse("http://h/a b/%zz/\xC3\xA9?q=a b#f#g");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->absoluteString(), "http://h/a%20b/%25zz/%C3%A9?q=a%20b#f%23g");
    EXPECT_EQ(u->path(), "/a b/%zz/\xC3\xA9");
    EXPECT_EQ(u->fragment(), "f%23g");
    // Text that is already a URL is not touched.
    const char* good = "wffile://localhost/persistent/My%20File.txt?x=%2F";
    EXPECT_EQ(Url::parse(good)->absoluteString(), good);
    EXPECT_EQ(Url::parse(good)->path(), "/persistent/My File.txt");
}

TEST(Url, RelativeResolution) {
    auto base = Url::parse("http://a/b/c/d;p?q");
    ASSERT_TRUE(base);
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},      {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},    {"/g", "http://a/g"},
        {"//g", "http://g"},          {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},  {"#s", "http://a/b/c/d;p?q#s"},
        {"..", "http://a/b/"},        {"../g", "http://a/b/g"},
        {"../../../g", "http://a/g"}, {"g;x=1/../y", "http://a/b/c/y"},
        {"", "http://a/b/c/d;p?q"},   {"https://other/x", "https://other/x"},
    };
    for (const auto& [ref, expected] : cases) {
        auto r = Url::resolve(*base, ref);
        ASSERT_TRUE(r) << ref;
        EXPECT_EQ(r->absoluteString(), expected) << ref;
    }
    auto spaced = Url::resolve(*base, "new file.html");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->path(), "/b/c/new file.html");
    EXPECT_EQ(Url::resolve(Url(), "http://x/")->host(), "x");
}

TEST(Url, ResolvedPathsThatWouldReadAsAHostGiveNoUrl) {
    // As under G_DEBUG=fatal-criticals: a GLib assertion ends the test.
    const GLogLevelFlags previous = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    const std::pair<const char*, const char*> cases[] = {
        {"https://example.com/a/b", "x:/.//y"}, {"a:b", "..//x"}, {"a:b", ".//x"}, {"http://h/a/b", "x:/..//y"}};
    for (const auto& [base, ref] : cases) EXPECT_FALSE(Url::resolve(*Url::parse(base), ref)) << base << " + " << ref;
    // With a host, the same path is an ordinary one.
    auto hosted = Url::resolve(*Url::parse("http://h/a/b"), "../..//x");
    ASSERT_TRUE(hosted);
    EXPECT_EQ(hosted->absoluteString(), "http://h//x");
    EXPECT_EQ(Url::resolve(*Url::parse("a:b"), "../x")->absoluteString(), "a:/x");
    g_log_set_always_fatal(previous);
}

TEST(Url, FileUrls) {
    auto f = Url::fileURL("/tmp/My Docs/r\xC3\xA9sum\xC3\xA9 #1?.txt");
    ASSERT_TRUE(f.valid());
    EXPECT_TRUE(f.isFileURL());
    EXPECT_EQ(f.absoluteString(), "file:///tmp/My%20Docs/r%C3%A9sum%C3%A9%20%231%3F.txt");
    EXPECT_EQ(f.path(), "/tmp/My Docs/r\xC3\xA9sum\xC3\xA9 #1?.txt");
    EXPECT_FALSE(f.hasQuery());
    EXPECT_FALSE(f.hasFragment());
    EXPECT_EQ(f.host(), "");

    auto parsed = Url::parse("file:///var/x%2Fy");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->path(), "/var/x/y");
    auto relative = Url::fileURL("rel/x");
    EXPECT_EQ(relative.path().front(), '/');
    EXPECT_EQ(relative.path().substr(relative.path().size() - 6), "/rel/x");
}

TEST(Url, PercentCoding) {
    EXPECT_EQ(percentEncode("a b/c?d&e=\xC3\xA9%;x"), "a%20b/c%3Fd&e=%C3%A9%25%3Bx");
    EXPECT_EQ(percentEncode("a b/c?d", kQueryAllowedCharacters), "a%20b/c?d");
    EXPECT_EQ(percentEncode(std::string("\0x", 2)), "%00x");
    EXPECT_EQ(percentDecode("a%20b%2f%C3%A9+"), "a b/\xC3\xA9+");
    EXPECT_EQ(percentDecode("%00"), std::string("\0", 1));
    for (const char* bad : {"%", "%2", "%zz", "a%g1", "%%"}) EXPECT_FALSE(percentDecode(bad)) << bad;
    const std::string all = [] {
        std::string s;
        for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
        return s;
    }();
    EXPECT_EQ(percentDecode(percentEncode(all)), all);
}

TEST(Url, LongInputIsHandled) {
    const std::string segment(200 * 1024, 'a');
    auto longPath = Url::parse("http://h/" + segment + "?q#f");
    ASSERT_TRUE(longPath);
    EXPECT_EQ(longPath->path().size(), segment.size() + 1);
    EXPECT_EQ(longPath->query(), "q");

    std::string escapes;
    for (int i = 0; i < 70000; ++i) escapes += "%41";
    auto manyEscapes = Url::parse("http://h/" + escapes);
    ASSERT_TRUE(manyEscapes);
    EXPECT_EQ(manyEscapes->path(), "/" + std::string(70000, 'A'));

    (void)Url::parse("http://" + segment + "/");  // a huge host
    (void)Url::parse("http://h/" + std::string(200 * 1024, ' '));  // all of it needing escapes
    (void)Url::parse(std::string(200 * 1024, ':'));
    auto base = Url::parse("http://h/x/y");
    std::string dots;
    for (int i = 0; i < 50000; ++i) dots += "../";
    auto resolved = Url::resolve(*base, dots + "z");
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->absoluteString(), "http://h/z");
}
