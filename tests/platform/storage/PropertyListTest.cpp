#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <limits>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "TestSupport.h"
#include "platform/storage/PropertyList.h"

using namespace wharf::platform;
using wharf::test::TempDir;

namespace {

const char* kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>org.example.wharf</string>
	<key>Count</key>
	<integer>-42</integer>
	<key>Big</key>
	<integer>18446744073709551615</integer>
	<key>Ratio</key>
	<real>0.25</real>
	<key>Enabled</key>
	<true/>
	<key>Disabled</key>
	<false/>
	<key>Blob</key>
	<data>AAEC/w==</data>
	<key>When</key>
	<date>2020-01-02T03:04:05Z</date>
	<key>Names</key>
	<array>
		<string>caf&#233; &amp; co</string>
		<string>&lt;tag&gt;</string>
		<dict/>
	</array>
</dict>
</plist>
)";

Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

void checkExpected(const Value& v) {
    ASSERT_TRUE(v.is_object());
    EXPECT_EQ(v["CFBundleIdentifier"], "org.example.wharf");
    EXPECT_EQ(v["Count"].get<int64_t>(), -42);
    EXPECT_TRUE(v["Big"].is_number_unsigned());
    EXPECT_EQ(v["Big"].get<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(v["Ratio"].get<double>(), 0.25);
    EXPECT_EQ(v["Enabled"], true);
    EXPECT_EQ(v["Disabled"], false);
    EXPECT_EQ(bytesOf(v["Blob"]), (Bytes{0, 1, 2, 0xff}));
    ASSERT_TRUE(plist::isDate(v["When"]));
    EXPECT_DOUBLE_EQ(plist::dateSeconds(v["When"]), 1577934245.0);
    ASSERT_EQ(v["Names"].size(), 3u);
    EXPECT_EQ(v["Names"][0], "caf\xC3\xA9 & co");
    EXPECT_EQ(v["Names"][1], "<tag>");
    EXPECT_EQ(v["Names"][2], Value::object());
}

}  // namespace

TEST(PropertyList, XmlAndBinaryReadIdentically) {
    TempDir dir;
    wharf::test::writeFile(dir.file("x.xml"), kXml);
    const std::string cmd = "plistutil -i '" + dir.file("x.xml") + "' -o '" + dir.file("x.bin") + "' -f bin";
    WHARF_REQUIRE_COMPONENT(std::system(cmd.c_str()) == 0, "plistutil (libplist-utils)");

    Error error;
    auto fromXml = plist::readFile(dir.file("x.xml"), &error);
    ASSERT_TRUE(fromXml) << error.description();
    checkExpected(*fromXml);
    const std::string bin = wharf::test::readFile(dir.file("x.bin"));
    ASSERT_EQ(bin.compare(0, 6, "bplist"), 0);
    auto fromBin = plist::readFile(dir.file("x.bin"), &error);
    ASSERT_TRUE(fromBin) << error.description();
    EXPECT_EQ(*fromXml, *fromBin);
}

namespace {

// 2000-12-31T23:59:59.3Z, 1900-01-01 and 2100-01-01, in seconds since 1970.
constexpr double kLastSecondBefore2001 = 978307199.3;
constexpr double k1900 = -2208988800.0;
constexpr double k2100 = 4102444800.0;

Bytes bigEndian(uint64_t v, std::size_t n) {
    Bytes out;
    for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A binary plist written by hand from its objects (references one byte wide
// unless there are more than 255 objects); the first object is the top one.
Bytes binaryPlist(const std::vector<Bytes>& objects) {
    Bytes out = toBytes("bplist00");
    std::vector<uint64_t> offsets;
    for (const Bytes& o : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), o.begin(), o.end());
    }
    const uint64_t table = out.size();
    for (uint64_t offset : offsets)
        for (uint8_t b : bigEndian(offset, 4)) out.push_back(b);
    Bytes trailer(6, 0);
    trailer.push_back(4);  // offset size
    trailer.push_back(objects.size() > 255 ? 4 : 1);  // reference size
    return cat({out, trailer, bigEndian(objects.size(), 8), bigEndian(0, 8), bigEndian(table, 8)});
}

// A binary plist of `depth` arrays, each holding the next (the last empty, or
// with `cyclic` holding the first): our writer refuses both.
Bytes nestedBinaryArrays(uint32_t depth, bool cyclic = false) {
    std::vector<Bytes> objects;
    for (uint32_t i = 0; i < depth; ++i) {
        if (i + 1 < depth || cyclic)
            objects.push_back(cat({{0xA1}, bigEndian(i + 1 < depth ? i + 1 : 0, depth > 255 ? 4 : 1)}));
        else
            objects.push_back({0xA0});
    }
    return binaryPlist(objects);
}

Bytes nestedXmlArrays(std::size_t depth) {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) text += "<array>";
    text += "<array/>";
    for (std::size_t i = 0; i < depth; ++i) text += "</array>";
    return toBytes(text + "</plist>");
}

Bytes binaryDate(double secondsSince2001) {
    return cat({{0x33}, bigEndian(std::bit_cast<uint64_t>(secondsSince2001), 8)});
}

Bytes asciiString(const std::string& s) { return cat({{static_cast<uint8_t>(0x50 | s.size())}, toBytes(s)}); }

std::optional<Value> roundTrip(const Value& v, plist::Format format, Error* error) {
    auto bytes = plist::serialize(v, format, error);
    if (!bytes) return std::nullopt;
    return plist::parse(*bytes, error);
}

}  // namespace

TEST(PropertyList, EveryValueComesBackExactlyInBothFormats) {
    const std::string longText(300, 'z');
    Bytes blob(1000);
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    Value v = {
        {"integers", Value::array({INT64_MIN, INT64_MAX, uint64_t{INT64_MAX} + 1, UINT64_MAX, 0, -1, 255, 256, 65535,
                                   65536, uint64_t{1} << 32, -(int64_t{1} << 40)})},
        {"reals", Value::array({-0.0, 0.1, 5e-324, 1.7976931348623157e308, 1e-300, -2.5, 1e21,
                                std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})},
        {"strings",
         Value::array({"", std::string("nul\0inside", 10), "ctl \x01\x08\x0b\x1f \xEF\xBF\xBE\xEF\xBF\xBF",
                       "cr\r lf\n crlf\r\n", "  spaced  ", "<&>]]>&amp;", "caf\xC3\xA9 \xF0\x9D\x84\x9E", longText})},
        {"data", Value::array({bytesValue({}), bytesValue(blob)})},
        {"dates", Value::array({plist::dateValue(kLastSecondBefore2001), plist::dateValue(k1900),
                                plist::dateValue(k2100), plist::dateValue(-1.5), plist::dateValue(0.25),
                                plist::dateValue(978307200.0), plist::dateValue(-62198755200.0),
                                plist::dateValue(253402300800.5), plist::dateValue(1577934245.123456)})},
        {"", "empty key"},
        {std::string("key\0with nul", 12), true},
        {"\xE2\x82\xAC\r\x01", false},
        {"shared", Value::array({Value{{"a", 1}}, Value{{"a", 1}}, Value{{"a", 1}}})},
    };
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        Error error;
        auto back = roundTrip(v, format, &error);
        ASSERT_TRUE(back) << error.description();
        EXPECT_EQ(*back, v) << (format == plist::Format::XML ? "XML" : "binary");
        // Same value, same kind of number: 2^63 stays unsigned, INT64_MIN signed.
        EXPECT_TRUE((*back)["integers"][3].is_number_unsigned());
        EXPECT_EQ((*back)["integers"][0].get<int64_t>(), INT64_MIN);
        EXPECT_TRUE(std::signbit((*back)["reals"][0].get<double>()));
        auto nan = roundTrip(Value::array({std::numeric_limits<double>::quiet_NaN()}), format, &error);
        ASSERT_TRUE(nan) << error.description();
        EXPECT_TRUE(std::isnan((*nan)[0].get<double>()));
    }
}

// Reals as strtod reads them, at the edges of the double's range: a value
// past them reads as the nearest (infinity or zero) by its size, whether that
// comes from the exponent or from the digits.
TEST(PropertyList, XmlRealsReadAsStrtodReadsThem) {
    const std::string zeros(400, '0');
    std::vector<std::string> texts = {"0." + zeros + "1",
                                      "-0." + zeros + "1",
                                      "1" + zeros + "e-5",
                                      "-1" + zeros + "e-5",
                                      "0." + zeros + "1e500",
                                      "1" + zeros + "e-700",
                                      "." + zeros + "5",
                                      "1" + zeros + ".",
                                      "1e308",
                                      "1.7976931348623157e308",
                                      "1.797693134862315807937e308",
                                      "1.7976931348623159e308",
                                      "+1e309",
                                      "-1e309",
                                      "0.1e310",
                                      "00000000001e308",
                                      "2.2250738585072011e-308",
                                      "4.9406564584124654e-324",
                                      "2.4703282292062327e-324",
                                      "2.4703282292062328e-324",
                                      "10e-325",
                                      "-1e-400",
                                      "1e-99999999999999999999",
                                      "1E+99999999999999999999",
                                      "0e99999999",
                                      "0.000e-99999"};
    // Digits of every length placed about the point, with an exponent that
    // brings their value near the largest or the smallest double.
    std::mt19937 rng(2024);
    for (int i = 0; i < 4000; ++i) {
        std::string digits(1 + rng() % 25, '0');
        for (char& c : digits) c = static_cast<char>('0' + rng() % 10);
        digits[0] = static_cast<char>('1' + rng() % 9);
        int place = 0;  // of the first digit
        std::string text = rng() % 2 ? "-" : "";
        if (rng() % 3 == 0) {
            const std::size_t leading = rng() % 2 ? rng() % 4 : 300 + rng() % 100;
            text += "0." + std::string(leading, '0') + digits;
            place = -static_cast<int>(leading) - 1;
        } else {
            const std::size_t point = rng() % (digits.size() + 1);
            text += digits.substr(0, point) + "." + digits.substr(point);
            place = static_cast<int>(point) - 1;
        }
        const int order = rng() % 2 ? 300 + static_cast<int>(rng() % 12) : -345 + static_cast<int>(rng() % 40);
        texts.push_back(text + "e" + std::to_string(order - place));
    }
    for (const std::string& text : texts) {
        Error error;
        auto back = plist::parse(toBytes("<plist><real>" + text + "</real></plist>"), &error);
        ASSERT_TRUE(back && back->is_number_float()) << text << ": " << error.description();
        const double expected = std::strtod(text.c_str(), nullptr);
        EXPECT_EQ(std::bit_cast<uint64_t>(back->get<double>()), std::bit_cast<uint64_t>(expected))
            << text << " read as " << back->get<double>() << ", strtod " << expected;
    }
    Error error;
    for (const char* malformed : {"+-1", "1e", "0x10", "--1", "1e+", "", "."})
        EXPECT_FALSE(plist::parse(toBytes(std::string("<plist><real>") + malformed + "</real></plist>"), &error))
            << malformed;
}

// A date goes to the binary format as seconds from 2001 in a double: exact
// where that count is, otherwise within one unit in its last place. XML
// spells the date's own double.
TEST(PropertyList, DatesHoldWhatTheirFormatHolds) {
    std::vector<double> dates = {100.1, -0.3, 978307200.0 + 1e-9, 1700000000.123456, -62198755200.7, 253402300800.1};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const double scale = std::ldexp(1.0, static_cast<int>(rng() % 40));
        dates.push_back(std::ldexp(static_cast<double>(rng() >> 11), -53) * scale * (rng() % 2 ? 1 : -1));
    }
    for (double whole : {0.0, 1.0, -1.0, 978307200.0, 1700000000.0, 4102444800.0, -2208988800.0})
        for (double fraction : {0.0, 0.5, 0.25, 0.125}) dates.push_back(whole + fraction);
    for (double date : dates) {
        const Value v = plist::dateValue(date);
        auto xml = roundTrip(v, plist::Format::XML, nullptr);
        ASSERT_TRUE(xml) << date;
        EXPECT_EQ(plist::dateSeconds(*xml), date);
        auto binary = roundTrip(v, plist::Format::Binary, nullptr);
        ASSERT_TRUE(binary) << date;
        const double since2001 = date - 978307200.0;
        const double unit = std::nextafter(std::fabs(since2001), INFINITY) - std::fabs(since2001);
        EXPECT_LE(std::fabs(plist::dateSeconds(*binary) - date), unit) << std::setprecision(17) << date;
        // Exact where the difference is: the error term of Knuth's two-sum is zero.
        const double dateBack = since2001 + 978307200.0;
        if ((date - dateBack) + (-978307200.0 - (since2001 - dateBack)) == 0) {
            EXPECT_EQ(plist::dateSeconds(*binary), date) << std::setprecision(17) << date;
        }
    }
    auto moved = roundTrip(plist::dateValue(100.1), plist::Format::Binary, nullptr);
    ASSERT_TRUE(moved);
    EXPECT_EQ(plist::dateSeconds(*moved), 100.10000002384186);
}

TEST(PropertyList, DatesAndLargeIntegersFromOtherWriters) {
    // Binary dates count seconds from 2001 in a double: far from 2001 and in
    // the last second before it.
    for (auto [since2001, since1970] :
         {std::pair{-3187296000.0, k1900}, std::pair{3124137600.0, k2100}, std::pair{-0.7, kLastSecondBefore2001}}) {
        auto back = plist::parse(binaryPlist({binaryDate(since2001)}));
        ASSERT_TRUE(back);
        EXPECT_DOUBLE_EQ(plist::dateSeconds(*back), since1970) << since2001;
    }
    // A time of today to the last bit of its count from 2001 (as another
    // writer's clock gives it) has no exact count from 1970: written back, the
    // file's date is still the same double, while the time read is the nearest.
    const double fine = std::nextafter(789012345.0, 1e9);
    ASSERT_NE(fine + 978307200.0 - 978307200.0, fine);
    const Bytes fineDate = binaryDate(fine);
    auto date = plist::parse(binaryPlist({fineDate}));
    ASSERT_TRUE(date);
    EXPECT_EQ(plist::dateSeconds(*date), fine + 978307200.0);
    auto again = plist::serialize(*date, plist::Format::Binary);
    ASSERT_TRUE(again);
    EXPECT_NE(std::search(again->begin(), again->end(), fineDate.begin(), fineDate.end()), again->end());
    // The XML text of the same date, and a date changed since it was read,
    // go by the count from 1970.
    auto viaXml = roundTrip(*date, plist::Format::XML, nullptr);
    ASSERT_TRUE(viaXml);
    EXPECT_EQ(plist::dateSeconds(*viaXml), fine + 978307200.0);
    (*date)["$date"] = k2100;
    auto changed = roundTrip(*date, plist::Format::Binary, nullptr);
    ASSERT_TRUE(changed);
    EXPECT_EQ(*changed, plist::dateValue(k2100));

    const std::string xml = "<plist version=\"1.0\"><array><date>1900-01-01T00:00:00Z</date>"
                            "<date>2100-01-01T00:00:00Z</date><date>2000-12-31T23:59:59.3Z</date>"
                            "<date>1969-12-31T23:59:59Z</date><integer>18446744073709551615</integer>"
                            "<integer>-9223372036854775808</integer><integer> 0x7f </integer></array></plist>";
    auto back = plist::parse(toBytes(xml));
    ASSERT_TRUE(back);
    EXPECT_EQ(plist::dateSeconds((*back)[0]), k1900);
    EXPECT_EQ(plist::dateSeconds((*back)[1]), k2100);
    EXPECT_EQ(plist::dateSeconds((*back)[2]), kLastSecondBefore2001);
    EXPECT_EQ(plist::dateSeconds((*back)[3]), -1.0);
    EXPECT_EQ((*back)[4].get<uint64_t>(), UINT64_MAX);
    EXPECT_EQ((*back)[5].get<int64_t>(), INT64_MIN);
    EXPECT_EQ((*back)[6], 127);

    // The largest unsigned integers are written as what they are, not as -1:
    // XML digits, and a 128-bit binary integer whose high half is zero.
    auto text = plist::serialize(Value::array({UINT64_MAX, plist::dateValue(k1900)}), plist::Format::XML);
    ASSERT_TRUE(text);
    const std::string written(text->begin(), text->end());
    EXPECT_NE(written.find("<integer>18446744073709551615</integer>"), std::string::npos) << written;
    EXPECT_NE(written.find("<date>1900-01-01T00:00:00Z</date>"), std::string::npos) << written;
    auto binary = plist::serialize(UINT64_MAX, plist::Format::Binary);
    ASSERT_TRUE(binary);
    const Bytes object = cat({{0x14}, bigEndian(0, 8), bigEndian(UINT64_MAX, 8)});
    EXPECT_NE(std::search(binary->begin(), binary->end(), object.begin(), object.end()), binary->end());
    // Negative 128-bit integers read as themselves; wider ones are refused, not cut.
    back = plist::parse(binaryPlist({cat({{0x14}, bigEndian(UINT64_MAX, 8), bigEndian(uint64_t(-5), 8)})}));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, -5);
    Error error;
    EXPECT_FALSE(plist::parse(binaryPlist({cat({{0x14}, bigEndian(1, 8), bigEndian(0, 8)})}), &error));
    for (const char* tooLarge : {"18446744073709551616", "-9223372036854775809", "12abc", ""}) {
        EXPECT_FALSE(plist::parse(toBytes(std::string("<plist><integer>") + tooLarge + "</integer></plist>"), &error))
            << tooLarge;
    }
    for (const char* badDate : {"2021-02-29T00:00:00Z", "2021-13-01T00:00:00Z", "2021-01-01", "2021-01-01T24:00:00Z"})
        EXPECT_FALSE(plist::parse(toBytes(std::string("<plist><date>") + badDate + "</date></plist>"), &error))
            << badDate;
}

TEST(PropertyList, TextThatIsNotUTF8IsRefusedBothWays) {
    // Two keys that differ only in invalid bytes: repairing them on writing
    // would merge them and lose a value, so neither way accepts them.
    const Value twoKeys = {{"a\xFF", 1}, {"a\xFE", 2}};
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        Error error;
        EXPECT_FALSE(plist::serialize(twoKeys, format, &error));
        EXPECT_EQ(error.code, 3851);
        EXPECT_NE(error.localizedDescription().find("UTF-8"), std::string::npos);
        EXPECT_FALSE(plist::serialize(Value::array({"bad\xC3"}), format, &error));
    }
    Error error;
    const Bytes dict =
        binaryPlist({{0xD2, 1, 2, 3, 4}, asciiString("a\xFF"), asciiString("a\xFE"), {0x10, 1}, {0x10, 2}});
    EXPECT_FALSE(plist::parse(dict, &error));
    EXPECT_NE(error.localizedDescription().find("UTF-8"), std::string::npos) << error.localizedDescription();
    // An unpaired surrogate in a UTF-16 string has no UTF-8 form either.
    EXPECT_FALSE(plist::parse(binaryPlist({{0x62, 0x00, 0x61, 0xD8, 0x00}}), &error));
    // UTF-8 in an ASCII-typed string, as some writers put it, reads as it is.
    auto back = plist::parse(binaryPlist({asciiString("caf\xC3\xA9")}));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, "caf\xC3\xA9");
    // XML that is not UTF-8 is expat's to refuse.
    EXPECT_FALSE(plist::parse(toBytes("<plist><string>a\xFF</string></plist>"), &error));
}

TEST(PropertyList, XmlWrittenByEarlierWritersKeepsItsText) {
    // Earlier writers put control characters and carriage returns in raw,
    // with CRLF line ends around the elements of hand-edited files.
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<plist version=\"1.0\">\r\n<dict>\r\n"
                            "\t<key>k\x01</key>\r\n\t<string>a\x02"
                            "b\r\nc\rd\x1f</string>\r\n"
                            "\t<key>cdata</key><string><![CDATA[<x>\x03]]></string>\r\n"
                            "\t<key>entities</key><string>&lt;&#x1F600;&#13;&amp;</string>\r\n</dict>\r\n</plist>\r\n";
    Error error;
    auto back = plist::parse(toBytes(xml), &error);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(*back, (Value{{"k\x01", "a\x02"
                                      "b\r\nc\rd\x1f"},
                            {"cdata", "<x>\x03"},
                            {"entities", "<\xF0\x9F\x98\x80\r&"}}));
    // A control character outside the text of a string is still malformed.
    EXPECT_FALSE(plist::parse(toBytes("<plist>\x01<true/></plist>"), &error));
    EXPECT_FALSE(plist::parse(toBytes("<plist><dict>\x01</dict></plist>"), &error));
}

TEST(PropertyList, MalformedAndTruncatedInputGivesErrors) {
    Error error;
    EXPECT_FALSE(plist::parse({}, &error));
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(plist::parse(toBytes("<plist><dict><key>a</key>"), &error));
    EXPECT_FALSE(plist::parse(toBytes("bplist00"), &error));
    EXPECT_FALSE(plist::parse(toBytes("not a plist at all"), &error));
    EXPECT_FALSE(plist::readFile("/nonexistent/dir/x.plist", &error));
    EXPECT_EQ(error.code, 260);
    // Something other than a file at the path: an error, not a wait for a writer.
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo.plist").c_str(), 0600), 0);
    EXPECT_FALSE(plist::readFile(dir.file("fifo.plist"), &error));
    EXPECT_NE(error.localizedDescription().find("not a regular file"), std::string::npos);
    EXPECT_FALSE(plist::readFile(dir.path(), &error));

    // Null has no form in either format.
    EXPECT_FALSE(plist::serialize(Value(), plist::Format::XML, &error));
    EXPECT_FALSE(plist::serialize(Value::object({{"k", Value::array({1, nullptr})}}), plist::Format::Binary, &error));
    EXPECT_EQ(error.domain, plist::kErrorDomain);
    EXPECT_FALSE(plist::parse(binaryPlist({{0x00}}), &error));

    // Structure the XML form does not allow.
    for (const char* doc :
         {"<plist><dict><string>no key</string></dict></plist>",
          "<plist><dict><key>a</key><key>b</key><true/></dict></plist>", "<plist><array><key>a</key></array></plist>",
          "<plist><true/><false/></plist>", "<plist></plist>", "<plist><dict>loose text</dict></plist>",
          "<plist><string>a<b/></string></plist>", "<plist><integer>1</integer><foo/></plist>",
          "<plist><data>!!!!</data></plist>", "<plist><real>1.5x</real></plist>"})
        EXPECT_FALSE(plist::parse(toBytes(doc), &error)) << doc;

    // Entities of the document's own are refused: no expansion bombs.
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>"
        "<plist><string>&b;</string></plist>";
    EXPECT_FALSE(plist::parse(toBytes(laughs), &error));
    EXPECT_NE(error.localizedDescription().find("entity"), std::string::npos) << error.localizedDescription();
    EXPECT_FALSE(
        plist::parse(toBytes("<!DOCTYPE plist SYSTEM \"x.dtd\"><plist><string>&undefined;</string></plist>"), &error));

    // Forty arrays, each holding the next twice: a few hundred bytes that
    // would expand to 2^40 values.
    std::vector<Bytes> doubling;
    for (uint8_t i = 0; i < 40; ++i)
        doubling.push_back(i + 1 < 40 ? Bytes{0xA2, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 1)}
                                      : Bytes{0x10, 1});
    EXPECT_FALSE(plist::parse(binaryPlist(doubling), &error));
    EXPECT_NE(error.localizedDescription().find("expand"), std::string::npos) << error.localizedDescription();

    // Nesting deep enough to overflow a recursive parser is refused up front;
    // ordinary depths still read.
    EXPECT_TRUE(plist::parse(nestedBinaryArrays(300), &error));
    EXPECT_TRUE(plist::parse(nestedXmlArrays(300), &error));
    EXPECT_FALSE(plist::parse(nestedBinaryArrays(100000), &error));
    EXPECT_NE(error.localizedDescription().find("nested too deeply"), std::string::npos);
    EXPECT_FALSE(plist::parse(nestedXmlArrays(200000), &error));
    EXPECT_NE(error.localizedDescription().find("nested too deeply"), std::string::npos);
    EXPECT_FALSE(plist::parse(nestedBinaryArrays(3, true), &error));
    // The deepest value the writers take reads back in both formats; one
    // level more is refused by both.
    Value deep = Value::array();
    for (int i = 0; i < 512; ++i) deep = Value::array({std::move(deep)});
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        auto back = roundTrip(deep, format, &error);
        ASSERT_TRUE(back) << error.description();
        EXPECT_EQ(*back, deep);
        EXPECT_FALSE(plist::serialize(Value::array({deep}), format, &error));
    }

    // Every prefix and a few thousand corruptions of both forms: an error or a
    // value, never a crash (run under the sanitizers in CI).
    const Bytes xml = toBytes(kXml);
    const auto binary = plist::serialize(*plist::parse(xml), plist::Format::Binary);
    ASSERT_TRUE(binary);
    for (const Bytes* doc : {&xml, &*binary}) {
        for (std::size_t n = 0; n < doc->size(); ++n) {
            Bytes prefix(doc->begin(), doc->begin() + static_cast<long>(n));
            (void)plist::parse(prefix, &error);
        }
        std::mt19937 rng(1234);
        for (int round = 0; round < 2000; ++round) {
            Bytes mutated = *doc;
            for (int k = 0; k < 3; ++k) mutated[rng() % mutated.size()] = static_cast<uint8_t>(rng());
            (void)plist::parse(mutated, &error);
        }
    }
    Bytes garbage(4096);
    std::mt19937 rng(99);
    for (auto& b : garbage) b = static_cast<uint8_t>(rng());
    EXPECT_FALSE(plist::parse(garbage, &error));
}

TEST(PropertyList, WriteFileReplacesAtomically) {
    TempDir dir;
    const std::string path = dir.file("prefs.plist");
    Error error;
    ASSERT_TRUE(plist::writeFile(path, Value{{"v", 1}}, plist::Format::XML, &error)) << error.description();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // new files are private
    ::chmod(path.c_str(), 0644);

    ASSERT_TRUE(plist::writeFile(path, Value{{"v", 2}}, plist::Format::Binary, &error));
    EXPECT_EQ((*plist::readFile(path))["v"], 2);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // the replaced file's mode is kept

    // Nothing but the file itself is left behind.
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries, (void)e;
    EXPECT_EQ(entries, 1u);

    // A failure leaves the old content in place and says why.
    EXPECT_FALSE(plist::writeFile(path, Value{{"v", nullptr}}, plist::Format::XML, &error));
    EXPECT_EQ((*plist::readFile(path))["v"], 2);
    EXPECT_FALSE(plist::writeFile(dir.file("missing/dir/x.plist"), Value{{"v", 1}}, plist::Format::XML, &error));
    EXPECT_NE(error.localizedDescription().find("x.plist"), std::string::npos);
}
