#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sys/stat.h>

#include "TestSupport.h"
#include "platform/PropertyList.h"

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
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "plistutil is not installed";

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

TEST(PropertyList, SerializeRoundTripsInBothFormats) {
    Value v = {{"s", "text \xE2\x82\xAC"},       {"i", -7},
               {"u", uint64_t{1} << 40},        {"d", 1.5},
               {"b", false},                    {"data", bytesValue({9, 8, 7})},
               {"date", plist::dateValue(-86400.0)}, {"nested", {{"a", Value::array({1, "two", Value::array()})}}}};
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        Error error;
        auto bytes = plist::serialize(v, format, &error);
        ASSERT_TRUE(bytes) << error.description();
        auto back = plist::parse(*bytes, &error);
        ASSERT_TRUE(back) << error.description();
        EXPECT_EQ(*back, v);
    }
    // Binary dates keep fractions of a second, before and after 2001.
    for (double t : {1577934245.25, 978307198.5, -1.5, 0.0}) {
        auto bytes = plist::serialize(Value::array({plist::dateValue(t)}), plist::Format::Binary);
        ASSERT_TRUE(bytes);
        auto back = plist::parse(*bytes);
        ASSERT_TRUE(back);
        EXPECT_NEAR(plist::dateSeconds((*back)[0]), t, 1e-6) << t;
    }
}

TEST(PropertyList, ValuesWithoutAPlistFormAreRefused) {
    Error error;
    EXPECT_FALSE(plist::serialize(Value(), plist::Format::XML, &error));
    EXPECT_EQ(error.domain, plist::kErrorDomain);
    EXPECT_FALSE(plist::serialize(Value::object({{"k", Value::array({1, nullptr})}}), plist::Format::Binary, &error));
    EXPECT_FALSE(plist::serialize(Value(std::string("a\0b", 3)), plist::Format::XML, &error));
    // Invalid UTF-8 is repaired rather than written as a broken document.
    auto bytes = plist::serialize(Value::object({{"k", "bad\xFF"}}), plist::Format::XML, &error);
    ASSERT_TRUE(bytes);
    auto back = plist::parse(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["k"], "bad\xEF\xBF\xBD");
}

// A binary plist of `depth` arrays, each holding the next (the last empty, or
// with `cyclic` holding the first), written by hand: our writer refuses both.
Bytes nestedBinaryArrays(uint32_t depth, bool cyclic = false) {
    Bytes out = toBytes("bplist00");
    std::vector<uint32_t> offsets;
    auto put32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
    };
    for (uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        if (i + 1 < depth || cyclic) {
            out.push_back(0xA1);
            put32(i + 1 < depth ? i + 1 : 0);
        } else {
            out.push_back(0xA0);
        }
    }
    const auto table = static_cast<uint32_t>(out.size());
    for (uint32_t offset : offsets) put32(offset);
    Bytes trailer(32, 0);
    trailer[6] = 4;  // offset size
    trailer[7] = 4;  // reference size
    for (int k = 0; k < 4; ++k) {
        trailer[12 + k] = static_cast<uint8_t>(depth >> (24 - 8 * k));  // object count
        trailer[28 + k] = static_cast<uint8_t>(table >> (24 - 8 * k));  // offset table
    }
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

Bytes nestedXmlArrays(std::size_t depth) {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) text += "<array>";
    text += "<array/>";
    for (std::size_t i = 0; i < depth; ++i) text += "</array>";
    return toBytes(text + "</plist>");
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

    // A binary dictionary key with a NUL in it (libplist would abort on it).
    for (const char* key : {"aQ", "caf\xC3\xA9Q"}) {
        auto withKey = plist::serialize(Value{{key, 1}}, plist::Format::Binary);
        ASSERT_TRUE(withKey);
        bool patched = false;
        for (std::size_t i = 0; i + 1 < withKey->size(); ++i) {
            if ((*withKey)[i] == 'Q') (*withKey)[i] = 0, patched = true;           // ASCII string
            if ((*withKey)[i] == 0 && (*withKey)[i + 1] == 'Q') (*withKey)[i + 1] = 0, patched = true;  // UTF-16
        }
        ASSERT_TRUE(patched);
        EXPECT_FALSE(plist::parse(*withKey, &error));
    }

    // Nesting deep enough to overflow a recursive parser is refused up front;
    // ordinary depths still read.
    EXPECT_TRUE(plist::parse(nestedBinaryArrays(300), &error));
    EXPECT_TRUE(plist::parse(nestedXmlArrays(300), &error));
    EXPECT_FALSE(plist::parse(nestedBinaryArrays(100000), &error));
    EXPECT_NE(error.localizedDescription().find("nested too deeply"), std::string::npos);
    EXPECT_FALSE(plist::parse(nestedXmlArrays(200000), &error));
    EXPECT_NE(error.localizedDescription().find("nested too deeply"), std::string::npos);
    EXPECT_FALSE(plist::parse(nestedBinaryArrays(3, true), &error));

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
