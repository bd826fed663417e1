#include "nimbus/toolbox/TBZLibAdditions.h"

#include <sys/resource.h>

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace wharf;
using platform::Bytes;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string sampleText() {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "{\"event\":\"tap\",\"index\":" + std::to_string(i) + ",\"ok\":true}\n";
    return s;
}

// Runs a shell command and answers its standard output.
std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

}  // namespace

TEST(TBZLibAdditions, GzipOutputIsReadByTheGzipTool) {
    test::TempDir dir;
    std::string text = sampleText();
    auto gz = tb_dataByGzippingData(bytesOf(text));
    ASSERT_TRUE(gz);
    ASSERT_GE(gz->size(), 2u);
    EXPECT_EQ((*gz)[0], 0x1f);
    EXPECT_EQ((*gz)[1], 0x8b);
    test::writeFile(dir.file("a.gz"), textOf(*gz));
    int status = -1;
    run("gzip -t " + dir.file("a.gz"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("zcat " + dir.file("a.gz"), &status), text);
    EXPECT_EQ(status, 0);
}

TEST(TBZLibAdditions, InflatesWhatTheGzipToolWrote) {
    test::TempDir dir;
    std::string text = sampleText();
    test::writeFile(dir.file("b"), text);
    int status = -1;
    std::string gz = run("gzip -c -9 " + dir.file("b"), &status);
    ASSERT_EQ(status, 0);
    platform::Error error;
    auto out = tb_dataByInflatingData(bytesOf(gz), &error);
    ASSERT_TRUE(out) << error.description();
    EXPECT_EQ(textOf(*out), text);
}

TEST(TBZLibAdditions, RoundTripsEveryFormAndLevel) {
    std::mt19937 rng(7);
    Bytes random(50000);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    for (const Bytes& input : {bytesOf(sampleText()), random, Bytes{42}}) {
        auto zlib = tb_dataByDeflatingData(input);
        ASSERT_TRUE(zlib);
        EXPECT_EQ((*zlib)[0], 0x78);
        EXPECT_EQ(tb_dataByInflatingData(*zlib), input);
        EXPECT_EQ(tb_dataByInflatingData(*tb_dataByGzippingData(input)), input);
        auto raw = tb_dataByRawDeflatingData(input);
        ASSERT_TRUE(raw);
        EXPECT_EQ(tb_dataByRawInflatingData(*raw), input);
        for (int level : {-1, -5, 0, 1, 6, 9, 100}) {
            EXPECT_EQ(tb_dataByInflatingData(*tb_dataByGzippingData(input, level)), input) << level;
            EXPECT_EQ(tb_dataByRawInflatingData(*tb_dataByRawDeflatingData(input, level)), input) << level;
        }
    }
}

TEST(TBZLibAdditions, LevelsAreClampedToTheLibraryRange) {
    Bytes input = bytesOf(sampleText());
    EXPECT_EQ(tb_dataByDeflatingData(input, 0), tb_dataByDeflatingData(input, 1));
    EXPECT_EQ(tb_dataByDeflatingData(input, -5), tb_dataByDeflatingData(input, 1));
    EXPECT_EQ(tb_dataByDeflatingData(input, 100), tb_dataByDeflatingData(input, 9));
    EXPECT_EQ(tb_dataByDeflatingData(input, -1), tb_dataByDeflatingData(input, 6));
    EXPECT_NE(tb_dataByDeflatingData(input, 1), tb_dataByDeflatingData(input, 9));
}

TEST(TBZLibAdditions, EmptyInputAnswersNothingWithoutAnError) {
    platform::Error error("untouched", 99);
    EXPECT_FALSE(tb_dataByGzippingData(Bytes{}, &error));
    EXPECT_FALSE(tb_dataByInflatingData(Bytes{}, &error));
    EXPECT_FALSE(tb_dataByGzippingBytes(nullptr, 10, &error));
    EXPECT_EQ(error.domain, "untouched");
}

TEST(TBZLibAdditions, BadStreamsGiveTheirErrors) {
    Bytes input = bytesOf(sampleText());
    Bytes gz = *tb_dataByGzippingData(input);

    // Two members one after the other: only the first is read.
    Bytes second = *tb_dataByGzippingData(bytesOf("second member"));
    Bytes joined = gz;
    joined.insert(joined.end(), second.begin(), second.end());
    platform::Error error;
    EXPECT_FALSE(tb_dataByInflatingData(joined, &error));
    EXPECT_EQ(error.domain, TBNSDataZlibErrorDomain);
    EXPECT_EQ(error.code, TBNSDataZlibErrorDataRemaining);
    EXPECT_EQ(error.userInfo[TBNSDataZlibRemainingBytesKey], second.size());

    // Truncated: zlib's buffer status.
    error = {};
    EXPECT_FALSE(tb_dataByInflatingData(Bytes(gz.begin(), gz.begin() + gz.size() / 2), &error));
    EXPECT_EQ(error.code, TBNSDataZlibErrorInternal);
    EXPECT_EQ(error.userInfo[TBNSDataZlibErrorKey], -5);

    // Raw deflate is not a zlib or gzip stream.
    error = {};
    EXPECT_FALSE(tb_dataByInflatingData(*tb_dataByRawDeflatingData(input), &error));
    EXPECT_EQ(error.code, TBNSDataZlibErrorInternal);
    EXPECT_EQ(error.userInfo[TBNSDataZlibErrorKey], -3);
    EXPECT_TRUE(error.userInfo.contains(platform::kLocalizedDescriptionKey));

    // Corrupt data in the middle of a stream.
    error = {};
    Bytes corrupt = gz;
    for (size_t i = 20; i < 60; ++i) corrupt[i] ^= 0x5a;
    EXPECT_FALSE(tb_dataByInflatingData(corrupt, &error));
    EXPECT_EQ(error.code, TBNSDataZlibErrorInternal);
}

TEST(TBZLibAdditions, SmallBombInflatesCompletely) {
    // 8 MiB of zeros compresses to a few KiB; the output must still be whole.
    Bytes zeros(8u << 20, 0);
    Bytes gz = *tb_dataByGzippingData(zeros);
    EXPECT_LT(gz.size(), 20000u);
    auto out = tb_dataByInflatingData(gz);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), zeros.size());
}

// A quarter of a megabyte of gzip that inflates to 256 MiB stops at the limit
// with its own error, without the process ever holding the whole.
TEST(TBZLibAdditions, InflationStopsAtTheLimit) {
    int status = 0;
    const std::string bomb = run("head -c 268435456 /dev/zero | gzip -9", &status);
    ASSERT_EQ(status, 0);
    ASSERT_LT(bomb.size(), 1u << 20);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    [[maybe_unused]] const long before = usage.ru_maxrss;  // read only without sanitizers

    platform::Error error;
    EXPECT_FALSE(tb_dataByInflatingData(bytesOf(bomb), &error));
    EXPECT_EQ(error.domain, TBNSDataZlibErrorDomain);
    EXPECT_EQ(error.code, TBNSDataZlibErrorInflatedTooLarge);
    EXPECT_NE(error.localizedDescription().find(std::to_string(kTBDefaultInflationLimit)), std::string::npos);
    getrusage(RUSAGE_SELF, &usage);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(static_cast<std::size_t>(usage.ru_maxrss - before) * 1024, 3 * kTBDefaultInflationLimit);
#endif

    // A caller may set its own bound, and a stream within it inflates whole.
    const Bytes small = *tb_dataByGzippingData(Bytes(4096, 'a'));
    EXPECT_FALSE(tb_dataByInflatingData(small, &error, 4095));
    EXPECT_EQ(error.code, TBNSDataZlibErrorInflatedTooLarge);
    EXPECT_EQ(tb_dataByInflatingData(small, nullptr, 4096), Bytes(4096, 'a'));
}
