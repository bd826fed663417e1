#include "nimbus/toolbox/TBURLBuilder.h"

#include <random>
#include <string>

#include <glib.h>
#include <gtest/gtest.h>

#include "nimbus/toolbox/TBURLArguments.h"

using namespace wharf;

namespace {

// Text with every kind of character an argument may carry: reserved, unsafe,
// non-ASCII, blanks, "+" and "%".
std::string randomArgument(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {"a", "Z", "0", " ",  "+", "%",  "&", "=",    "?", "#",  "/", ":",
                                                    "@", "[", "]", "!",  "*", "'",  "(", ")",    ";", "$",  ",", "~",
                                                    "-", ".", "_", "\"", "<", "\\", "é", "日本", "😀", "%41"};
    std::string s;
    const int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    return s;
}

}  // namespace

TEST(TBURLArguments, EscapesEverythingButUnreservedCharacters) {
    EXPECT_EQ(tb_stringByEscapingForURLArgument("az AZ09-._~!*'();:@&=+$,/?%#[]é\""),
              "az%20AZ09-._~%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D%C3%A9%22");
    EXPECT_EQ(tb_stringByUnescapingFromURLArgument("a+b%21%C3%A9%2B"), "a b!é+");
    EXPECT_FALSE(tb_stringByUnescapingFromURLArgument("100%"));
    EXPECT_FALSE(tb_stringByUnescapingFromURLArgument("%zz"));
    EXPECT_FALSE(tb_stringByUnescapingFromURLArgument("%FF%FE"));  // not UTF-8

    std::mt19937 rng(9);
    for (int i = 0; i < 300; ++i) {
        const std::string argument = randomArgument(rng);
        const std::string escaped = tb_stringByEscapingForURLArgument(argument);
        EXPECT_EQ(tb_stringByUnescapingFromURLArgument(escaped), argument);
        // A URL reader that knows nothing of ours takes it as one query value.
        const std::string url = "http://127.0.0.1/?k=" + escaped + "&next=1";
        GHashTable* params = g_uri_parse_params(url.c_str() + url.find('?') + 1, -1, "&", G_URI_PARAMS_NONE, nullptr);
        ASSERT_NE(params, nullptr) << escaped;
        EXPECT_EQ(g_hash_table_size(params), 2u) << escaped;
        auto* value = static_cast<const char*>(g_hash_table_lookup(params, "k"));
        EXPECT_STREQ(value, argument.c_str());
        g_hash_table_unref(params);
    }
}

TEST(TBURLArguments, QueryStringsToAndFromDictionaries) {
    EXPECT_EQ(tb_dictionaryWithHttpArgumentsString("a=1&b=2&a=3"), (TBURLArguments{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(tb_dictionaryWithHttpArgumentsString("flag&x=a+b%21"), (TBURLArguments{{"flag", ""}, {"x", "a b!"}}));
    EXPECT_EQ(tb_dictionaryWithHttpArgumentsString("&&k=v=w&&bad=%zz&"), (TBURLArguments{{"k", "v=w"}, {"bad", ""}}));
    EXPECT_EQ(tb_dictionaryWithHttpArgumentsString(""), TBURLArguments{});
    EXPECT_EQ(tb_dictionaryWithHttpArgumentsString("=&=x"), (TBURLArguments{{"", ""}}));

    EXPECT_EQ(tb_httpArgumentsString({{"a b", "x&y"}, {"k", "="}, {"z", ""}}), "a%20b=x%26y&k=%3D&z=");
    std::mt19937 rng(4);
    for (int i = 0; i < 100; ++i) {
        TBURLArguments arguments;
        for (int k = 0; k < 4; ++k) arguments[randomArgument(rng)] = randomArgument(rng);
        EXPECT_EQ(tb_dictionaryWithHttpArgumentsString(tb_httpArgumentsString(arguments)), arguments);
    }
}

TEST(TBURLBuilder, SplitsAndRebuildsAURL) {
    auto builder = TBURLBuilder::builderWithString("https://127.0.0.1:8443/a/b?x=1&q=a+b%26c#frag");
    ASSERT_TRUE(builder);
    EXPECT_EQ(builder->baseURLString(), "https://127.0.0.1:8443/a/b");
    EXPECT_EQ(builder->parameters(), (TBURLArguments{{"x", "1"}, {"q", "a b&c"}}));
    builder->setValue("2", "y");
    builder->removeParameter("q");
    EXPECT_EQ(builder->URLString(), "https://127.0.0.1:8443/a/b?x=1&y=2");
    builder->setIntegerValue(-42, "n");
    EXPECT_EQ(builder->valueForParameter("n"), "-42");
    EXPECT_EQ(builder->integerValueForParameter("n"), -42);
    EXPECT_EQ(builder->integerValueForParameter("missing"), 0);
    EXPECT_FALSE(builder->valueForParameter("missing"));
    builder->setParameters({});
    EXPECT_EQ(builder->URLString(), "https://127.0.0.1:8443/a/b");

    // The query's text also in the path, and an empty query.
    builder = TBURLBuilder::builderWithString("http://127.0.0.1/x=1?x=1");
    ASSERT_TRUE(builder);
    EXPECT_EQ(builder->baseURLString(), "http://127.0.0.1/x=1");
    builder = TBURLBuilder::builderWithString("http://127.0.0.1/p?#a?b");
    ASSERT_TRUE(builder);
    EXPECT_EQ(builder->baseURLString(), "http://127.0.0.1/p");
    EXPECT_TRUE(builder->parameters().empty());

    // A fragment without a query stays in the base; parameters go before it.
    builder = TBURLBuilder::builderWithString("http://h.example/p#frag");
    ASSERT_TRUE(builder);
    builder->setValue("2", "y");
    EXPECT_EQ(builder->URLString(), "http://h.example/p?y=2#frag");
    auto again = TBURLBuilder::builderWithURL(*builder->URL());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->parameters(), (TBURLArguments{{"y", "2"}}));
    EXPECT_EQ(builder->URL()->fragment(), "frag");

    EXPECT_FALSE(TBURLBuilder::builderWithString("not a url"));
    EXPECT_FALSE(TBURLBuilder::builderWithString(""));
}

TEST(TBURLBuilder, ValuesSurviveARoundTripThroughTheURL) {
    std::mt19937 rng(21);
    for (int i = 0; i < 100; ++i) {
        auto builder = TBURLBuilder::builderWithString("http://127.0.0.1/path/r%C3%A9sum%C3%A9");
        ASSERT_TRUE(builder);
        for (int k = 0; k < 3; ++k) builder->setValue(randomArgument(rng), randomArgument(rng));
        auto url = builder->URL();
        ASSERT_TRUE(url) << builder->URLString();
        auto again = TBURLBuilder::builderWithURL(*url);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *builder) << url->absoluteString();
        EXPECT_EQ(again->hash(), builder->hash());
        EXPECT_EQ(again->URLString(), url->absoluteString());
    }
    auto a = TBURLBuilder::builderWithString("http://127.0.0.1/?a=1&b=2");
    auto b = TBURLBuilder::builderWithString("http://127.0.0.1/?b=2&a=1");
    auto c = TBURLBuilder::builderWithString("http://127.0.0.1/?a=1&b=3");
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_NE(*a, *c);
}
