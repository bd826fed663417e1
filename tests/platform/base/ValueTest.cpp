#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

using namespace wharf::platform;

TEST(ValueReaders, StringsReadLikeNSString) {
    struct Case {
        const char* text;
        int64_t integer;
        int32_t i32;
        bool boolean;
    };
    const Case cases[] = {
        {"42", 42, 42, true},
        {"  \t\n-17abc", -17, -17, true},
        {"+8", 8, 8, true},
        {"007", 7, 7, true},
        {"0x1", 0, 0, false},
        {"YES", 0, 0, true},
        {"yes", 0, 0, true},
        {"true", 0, 0, true},
        {"T", 0, 0, true},
        {"no", 0, 0, false},
        {"NO", 0, 0, false},
        {"false", 0, 0, false},
        {"", 0, 0, false},
        {"   ", 0, 0, false},
        {"-", 0, 0, false},
        {"- 5", 0, 0, false},
        {"000", 0, 0, false},
        {"-0009", -9, -9, true},
        {"3.9", 3, 3, true},
        {"abc12", 0, 0, false},
        {"99999999999", 99999999999, INT32_MAX, true},
        {"-99999999999", -99999999999, INT32_MIN, true},
        {"2147483647", 2147483647, INT32_MAX, true},
        {"-2147483648", -2147483648LL, INT32_MIN, true},
        {"9223372036854775807", INT64_MAX, INT32_MAX, true},
        {"9223372036854775808", INT64_MAX, INT32_MAX, true},
        {"-9223372036854775808", INT64_MIN, INT32_MIN, true},
        {"-99999999999999999999999", INT64_MIN, INT32_MIN, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(stringIntegerValue(c.text), c.integer);
        EXPECT_EQ(stringIntValue(c.text), c.i32);
        EXPECT_EQ(stringBoolValue(c.text), c.boolean);
        EXPECT_EQ(integerValue(Value(c.text)), c.integer);
        EXPECT_EQ(boolValue(Value(c.text)), c.boolean);
    }
}

TEST(ValueReaders, DoublesFromStrings) {
    EXPECT_DOUBLE_EQ(stringDoubleValue("  3.25xyz"), 3.25);
    EXPECT_DOUBLE_EQ(stringDoubleValue("-1.5e3"), -1500.0);
    EXPECT_DOUBLE_EQ(stringDoubleValue("+.5"), 0.5);
    EXPECT_DOUBLE_EQ(stringDoubleValue("7."), 7.0);
    EXPECT_DOUBLE_EQ(stringDoubleValue("2e"), 2.0);  // a dangling exponent is not part of the number
    EXPECT_DOUBLE_EQ(stringDoubleValue("2e+"), 2.0);
    EXPECT_EQ(stringDoubleValue("0x10"), 0.0);  // no hexadecimal
    EXPECT_EQ(stringDoubleValue("inf"), 0.0);
    EXPECT_EQ(stringDoubleValue("nan"), 0.0);
    EXPECT_EQ(stringDoubleValue("."), 0.0);
    EXPECT_EQ(stringDoubleValue(""), 0.0);
    EXPECT_TRUE(std::isinf(stringDoubleValue("1e999")));
    EXPECT_DOUBLE_EQ(doubleValue(Value("1,5")), 1.0);  // locale independent: the comma ends the number
    EXPECT_FLOAT_EQ(floatValue(Value("0.25")), 0.25f);
}

TEST(ValueReaders, NumbersConvertWithClamping) {
    EXPECT_EQ(integerValue(Value(3.99)), 3);
    EXPECT_EQ(integerValue(Value(-3.99)), -3);
    EXPECT_EQ(integerValue(Value(1e30)), INT64_MAX);
    EXPECT_EQ(integerValue(Value(-1e30)), INT64_MIN);
    EXPECT_EQ(integerValue(Value(std::nan(""))), 0);
    EXPECT_EQ(intValue(Value(1e10)), INT32_MAX);
    EXPECT_EQ(intValue(Value(-1e10)), INT32_MIN);
    EXPECT_EQ(intValue(Value(std::numeric_limits<double>::infinity())), INT32_MAX);
    EXPECT_EQ(integerValue(Value(9223372036854775807.0)), INT64_MAX);  // 2^63 as a double
    EXPECT_EQ(integerValue(Value(true)), 1);
    EXPECT_EQ(integerValue(Value(false)), 0);
    EXPECT_DOUBLE_EQ(doubleValue(Value(7)), 7.0);
    EXPECT_EQ(integerValue(Value(uint64_t{5})), 5);

    // A JSON true is the number 1.
    auto parsed = parseJSON(R"({"t":true,"f":false})");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(integerValue((*parsed)["t"]), 1);
    EXPECT_DOUBLE_EQ(doubleValue((*parsed)["t"]), 1.0);
    EXPECT_EQ(stringValue((*parsed)["t"]), "1");
    EXPECT_TRUE(boolValue((*parsed)["t"]));
    EXPECT_FALSE(boolValue((*parsed)["f"]));

    EXPECT_TRUE(boolValue(Value(2)));
    EXPECT_TRUE(boolValue(Value(-0.5)));
    EXPECT_FALSE(boolValue(Value(0.0)));
    EXPECT_FALSE(boolValue(Value(0)));

    // Other kinds answer zero.
    for (const Value& v : {Value(), Value::array({1}), Value::object(), bytesValue({1, 2})}) {
        EXPECT_EQ(integerValue(v), 0);
        EXPECT_EQ(doubleValue(v), 0.0);
        EXPECT_FALSE(boolValue(v));
        EXPECT_EQ(stringValue(v), "");
    }
    EXPECT_EQ(stringValue(Value(5.0)), "5");
    EXPECT_EQ(stringValue(Value(0.1)), "0.1");
    EXPECT_EQ(stringValue(Value(-12)), "-12");
}

TEST(ValueJSON, NumbersAreWrittenAsThePlatformDoes) {
    EXPECT_EQ(toJSONString(Value(5.0)), "5");
    EXPECT_EQ(toJSONString(Value(-0.0)), "0");
    EXPECT_EQ(toJSONString(Value(0.1)), "0.1");
    EXPECT_EQ(toJSONString(Value(1.5e-7)), "1.5e-07");
    EXPECT_EQ(toJSONString(Value(1e18)), "1000000000000000000");
    EXPECT_EQ(toJSONString(Value(9007199254740993.0)), "9007199254740992");
    EXPECT_EQ(toJSONString(Value(1e300)), "1e+300");
    EXPECT_EQ(toJSONString(Value(std::nan(""))), "null");
    EXPECT_EQ(toJSONString(Value(std::numeric_limits<double>::infinity())), "null");
    EXPECT_EQ(toJSONString(Value::array({1.0, 2.5, 3})), "[1,2.5,3]");
    // What is written reads back as the same double.
    for (double d : {0.1, 1.0 / 3, 123456.789, 2.2250738585072014e-308}) {
        auto back = parseJSON(toJSONString(Value(d)));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->get<double>(), d);
    }
}

// Integers and plain text are written without the library's writer; what
// comes out must be what the library writes.
TEST(ValueJSON, IntegersAndTextAreWrittenAsTheLibraryWritesThem) {
    for (const Value& v :
         {Value(0), Value(-1), Value(std::numeric_limits<int64_t>::min()), Value(std::numeric_limits<int64_t>::max()),
          Value(std::numeric_limits<uint64_t>::max()), Value(uint64_t{42}), Value(""), Value("plain text 123"),
          Value("quote\" and \\ slash /"), Value("del\x7f"), Value("tab\t"), Value(std::string("nul\0", 4)),
          Value("\x1f"), Value("caf\xC3\xA9"), Value("~ {}[]")})
        EXPECT_EQ(toJSONString(v), v.dump(-1, ' ', false, Value::error_handler_t::replace)) << v.dump();
    EXPECT_EQ(toJSONString(Value::array({Value(-7), Value(uint64_t{7}), Value("a")})), R"([-7,7,"a"])");
}

TEST(ValueJSON, IdenticalTellsKindsApart) {
    EXPECT_TRUE(identical(Value::array({1, "a", Value{{"k", 2.5}}}), Value::array({1, "a", Value{{"k", 2.5}}})));
    EXPECT_FALSE(identical(Value(int64_t{1}), Value(uint64_t{1})));
    EXPECT_FALSE(identical(Value(1.0), Value(1)));
    EXPECT_FALSE(identical(Value(0.0), Value(-0.0)));
    EXPECT_FALSE(identical(Value{{"k", 1}}, Value{{"k", 1.0}}));
    EXPECT_FALSE(identical(Value{{"k", 1}}, Value{{"j", 1}}));
    EXPECT_FALSE(identical(Value::array({1, 2}), Value::array({1})));
    EXPECT_TRUE(identical(bytesValue({1, 2}), bytesValue({1, 2})));
}

TEST(ValueJSON, TextAndLayout) {
    Value v = {{"url", "http://a/b"}, {"list", Value::array({1, "x"})}, {"empty", Value::object()}};
    EXPECT_EQ(toJSONString(v), R"({"empty":{},"list":[1,"x"],"url":"http://a/b"})");
    EXPECT_EQ(toJSONString(v, true),
              "{\n  \"empty\" : {},\n  \"list\" : [\n    1,\n    \"x\"\n  ],\n  \"url\" : \"http://a/b\"\n}");
    EXPECT_EQ(toJSONString(Value("tab\tquote\"nl\n\x01")), R"("tab\tquote\"nl\n\u0001")");
    EXPECT_EQ(toJSONString(bytesValue({'h', 'i', '!'})), "\"aGkh\"");
    EXPECT_EQ(toJSONString(Value::object({{"b", bytesValue({})}})), R"({"b":""})");
}

TEST(ValueJSON, InvalidUTF8IsReplacedNeverThrown) {
    const std::string bad = std::string("a\xff") + "b\xc3";
    std::string out;
    EXPECT_NO_THROW(out = toJSONString(Value::object({{bad, bad}})));
    EXPECT_EQ(out, "{\"a\xEF\xBF\xBD"
                   "b\xEF\xBF\xBD\":\"a\xEF\xBF\xBD"
                   "b\xEF\xBF\xBD\"}");
    auto back = parseJSON(out);
    ASSERT_TRUE(back);
    EXPECT_EQ(toJSONString(Value("h\xC3\xA9llo \xF0\x9F\x98\x80")), "\"h\xC3\xA9llo \xF0\x9F\x98\x80\"");
}

TEST(ValueJSON, ParseErrors) {
    Error error;
    EXPECT_FALSE(parseJSON("{\"a\":", &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 3840);
    EXPECT_NE(error.description().find("character"), std::string::npos) << error.description();

    EXPECT_FALSE(parseJSON("", &error));
    EXPECT_FALSE(parseJSON("[1,]", &error));
    EXPECT_FALSE(parseJSON("\"\xff\"", &error));  // invalid UTF-8 inside a string
    EXPECT_FALSE(parseJSON("[1] x", nullptr));
    EXPECT_FALSE(parseJSON("[1e400]", &error));
    EXPECT_EQ(error.code, 3840);
    // Nesting deep enough to exhaust a recursive reader is refused.
    EXPECT_FALSE(parseJSON(std::string(100000, '['), &error));
    EXPECT_TRUE(parseJSON(std::string(100, '[') + std::string(100, ']')));

    auto ok = parseJSON(" [\"x\", 1.5, null, {\"k\": [true]}] ");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->size(), 4u);
    EXPECT_TRUE(parseJSON("7"));  // fragments are accepted
}

TEST(ValueUTF8, ValidityLengthAndRepair) {
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUTF8("\xC0\xAF"));  // overlong "/"
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xE2\x82"));  // truncated
    EXPECT_EQ(sanitizeUTF8("a\xE2\x82"
                           "b"),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(sanitizeUTF8("ok\xC3\xA9"), "ok\xC3\xA9");
    EXPECT_TRUE(isValidUTF8(sanitizeUTF8("\xFF\xFE\x80 \xF0\x9F")));

    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("\xC3\xA9"), 1u);
    EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u);  // a surrogate pair
    EXPECT_EQ(utf16Length("a\xFF"), 2u);
}

TEST(ValueBase64, RoundTripAndStrictFailures) {
    const Bytes all = [] {
        Bytes b;
        for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
        return b;
    }();
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
        Bytes part(all.begin(), all.begin() + static_cast<long>(n));
        const std::string text = base64Encode(part);
        EXPECT_EQ(text.size() % 4, 0u);
        auto back = base64Decode(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(*back, part);
    }
    EXPECT_EQ(base64Encode(Bytes{'f', 'o', 'o', 'b'}), "Zm9vYg==");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff}), "+/8=");

    for (const char* bad : {"Zm9vYg", "Zm9vYg=", "Zm9v Yg==", "Zm9vYg==\n", "Zm9=vYg=", "Zm9vY===", "====", "Zm-_",
                            "Z===", "Zm9vYg==Zm9v", "Zm\x80v"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_EQ(base64Decode("")->size(), 0u);
}
