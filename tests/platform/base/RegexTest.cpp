#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/base/Log.h"
#include "platform/base/Regex.h"

using namespace wharf::platform;

TEST(Regex, CompileErrorsAreReported) {
    Error error;
    EXPECT_FALSE(Regex::compile("a(b", Regex::None, &error));
    EXPECT_EQ(error.domain, "Regex");
    EXPECT_FALSE(error.localizedDescription().empty());
    EXPECT_FALSE(Regex::compile("[z-a]", Regex::None, &error));
    EXPECT_FALSE(Regex::compile("\\", Regex::None, &error));
    EXPECT_FALSE(Regex::compile(std::string("a\0b", 3), Regex::None, &error));
    EXPECT_FALSE(Regex::compile("*"));
    for (unsigned options : {unsigned{Regex::None}, unsigned{Regex::CaseInsensitive}}) {
        EXPECT_FALSE(Regex::compile("\xffhttp$", options, &error));
        EXPECT_NE(error.localizedDescription().find("UTF-8"), std::string::npos);
    }
    auto ok = Regex::compile("^https?://");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->pattern(), "^https?://");
}

TEST(Regex, SearchWholeMatchGroupsAndOptions) {
    auto re = Regex::compile("(\\w+)@(\\w+)(\\.org)?");
    ASSERT_TRUE(re);
    EXPECT_TRUE(re->search("mail me at joe@example today"));
    EXPECT_FALSE(re->search("nobody here"));
    auto groups = re->firstMatch("x joe@example y ann@home.org");
    ASSERT_TRUE(groups);
    EXPECT_EQ(*groups, (std::vector<std::string>{"joe@example", "joe", "example", ""}));
    EXPECT_FALSE(re->firstMatch("none"));

    // Whole-text matching tries every alternative, not just the first that fits.
    auto alt = Regex::compile("a|ab");
    ASSERT_TRUE(alt);
    EXPECT_TRUE(alt->matchesEntire("ab"));
    EXPECT_TRUE(alt->matchesEntire("a"));
    EXPECT_FALSE(alt->matchesEntire("abc"));
    EXPECT_FALSE(alt->matchesEntire("xab"));
    EXPECT_FALSE(Regex::compile("a$")->matchesEntire("a\n"));

    EXPECT_FALSE(Regex::compile("HELLO")->search("say hello"));
    EXPECT_TRUE(Regex::compile("HELLO", Regex::CaseInsensitive)->search("say hello"));
    EXPECT_FALSE(Regex::compile("^two")->search("one\ntwo"));
    EXPECT_TRUE(Regex::compile("^two", Regex::AnchorsMatchLines)->search("one\ntwo"));
    EXPECT_FALSE(Regex::compile("one.two")->search("one\ntwo"));
    EXPECT_TRUE(Regex::compile("one.two", Regex::DotMatchesLineSeparators)->search("one\ntwo"));

    // A pattern that starts with a verb cannot be wrapped; whole matching still works.
    auto verb = Regex::compile("(*UCP)\\w+");
    ASSERT_TRUE(verb);
    EXPECT_TRUE(verb->matchesEntire("h\xC3\xA9llo"));
    EXPECT_FALSE(verb->matchesEntire("h llo"));
}

TEST(Regex, AllMatchesAndLiteralReplacement) {
    auto digits = Regex::compile("\\d+");
    ASSERT_TRUE(digits);
    EXPECT_EQ(digits->allMatches("a1 b22 c333"), (std::vector<std::string>{"1", "22", "333"}));
    EXPECT_TRUE(digits->allMatches("none").empty());
    // The replacement is literal: no group references, no escapes.
    EXPECT_EQ(digits->replaceAll("a1 b22", "$1\\0"), "a$1\\0 b$1\\0");
    EXPECT_EQ(digits->replaceAll("no digits", "#"), "no digits");
    // Empty matches advance instead of looping.
    auto empty = Regex::compile("x*");
    EXPECT_EQ(empty->replaceAll("abc", "-"), "-a-b-c-");
    EXPECT_EQ(empty->allMatches("ab").size(), 3u);
    // NUL bytes in text and replacement are kept.
    const std::string withNul("a\0b1", 4);
    EXPECT_EQ(digits->replaceAll(withNul, std::string("\0", 1)), std::string("a\0b\0", 4));
}

TEST(Regex, TextThatIsNotUTF8) {
    auto re = Regex::compile("b+");
    ASSERT_TRUE(re);
    const std::string bad = "a\xFF"
                            "bb\xFE";
    EXPECT_TRUE(re->search(bad));
    EXPECT_EQ(re->allMatches(bad), (std::vector<std::string>{"bb"}));
    EXPECT_EQ(re->replaceAll(bad, "X"), "a\xFF"
                                        "X\xFE");
    EXPECT_TRUE(Regex::compile("a.b", Regex::None)->search(bad.substr(0, 3) + "b"));
}

TEST(Regex, EscapedTextMatchesItself) {
    const std::string specials = std::string("a.b*c+d?e(f)g[h]i{j}k|l^m$n\\o/p#q r-s\nt", 39) + std::string("\0u", 2);
    const std::string pattern = Regex::escape(specials);
    auto re = Regex::compile(pattern);
    ASSERT_TRUE(re) << pattern;
    EXPECT_TRUE(re->matchesEntire(specials));
    EXPECT_FALSE(re->matchesEntire("aXb*c"));
    EXPECT_TRUE(Regex::compile(Regex::escape("\xC3\xA9t\xC3\xA9"))->matchesEntire("\xC3\xA9t\xC3\xA9"));
}

TEST(Regex, LongInputIsSafe) {
    const std::string big(200 * 1024, 'a');
    // Patterns that recurse per character in a backtracking engine built on the stack.
    EXPECT_TRUE(Regex::compile("(a|b)*")->matchesEntire(big));
    EXPECT_TRUE(Regex::compile("^(?:a)+$")->search(big));
    EXPECT_EQ(Regex::compile("a{1000}")->allMatches(big).size(), big.size() / 1000);
    EXPECT_EQ(Regex::compile("a+")->replaceAll(big + "b" + big, "x"), "xbx");

    // A match per character: linear, not a UTF-8 check of the rest of the text per match.
    const auto manyStart = std::chrono::steady_clock::now();
    EXPECT_EQ(Regex::compile("a")->allMatches(big).size(), big.size());
    EXPECT_EQ(Regex::compile("[ab]")->replaceAll(big, "b"), std::string(big.size(), 'b'));
    EXPECT_LT(std::chrono::steady_clock::now() - manyStart, std::chrono::seconds(5));
    // ASCII text read in byte mode keeps the UTF-8 mode's answers.
    EXPECT_TRUE(Regex::compile("\\x{212A}", Regex::CaseInsensitive)->search("k"));  // KELVIN SIGN
    EXPECT_TRUE(Regex::compile("\xC3\xA9{0}x")->matchesEntire("x"));  // {0} applies to the whole character
    EXPECT_EQ(Regex::compile("\\w+")->allMatches("ab cd"), (std::vector<std::string>{"ab", "cd"}));

    // Catastrophic backtracking gives up (reported, no match) rather than hanging.
    LogCapture capture;
    const auto start = std::chrono::steady_clock::now();
    auto evil = Regex::compile("^(a*)*$x");
    ASSERT_TRUE(evil);
    EXPECT_FALSE(evil->search(big));
    EXPECT_EQ(evil->replaceAll(big, "y"), big);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(capture.contains("abandoned"));
}

TEST(Regex, SharedAcrossThreads) {
    auto re = Regex::compile("(\\d+)-(\\d+)");
    ASSERT_TRUE(re);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Regex copy = *re;
            for (int i = 0; i < 200; ++i) {
                const std::string text = (i % 2 ? "x\xFF" : "x ") + std::to_string(t) + "-" + std::to_string(i);
                auto m = copy.firstMatch(text);
                if (m && (*m)[2] == std::to_string(i)) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 800);
}
