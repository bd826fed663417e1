#include "nimbus/toolbox/TBStringEncoding.h"

#include <random>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

using namespace wharf;
using platform::Bytes;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

struct Vector {
    const char* plain;
    const char* encoded;
};

void expectVectors(const TBStringEncoding& encoding, const std::vector<Vector>& vectors) {
    for (const Vector& v : vectors) {
        EXPECT_EQ(encoding.encode(bytesOf(v.plain)), v.encoded) << encoding.description() << " of " << v.plain;
        platform::Error error;
        auto decoded = encoding.stringByDecoding(v.encoded, &error);
        ASSERT_TRUE(decoded) << v.encoded << ": " << error.description();
        EXPECT_EQ(*decoded, v.plain);
    }
}

// The error of decoding `text`, which must fail.
platform::Error decodeError(const TBStringEncoding& encoding, const std::string& text) {
    platform::Error error;
    EXPECT_FALSE(encoding.decode(text, &error)) << text;
    EXPECT_EQ(error.domain, TBStringEncodingErrorDomain);
    return error;
}

}  // namespace

TEST(TBStringEncoding, Rfc4648TestVectors) {
    expectVectors(TBStringEncoding::rfc4648Base64StringEncoding(), {{"", ""},
                                                                    {"f", "Zg=="},
                                                                    {"fo", "Zm8="},
                                                                    {"foo", "Zm9v"},
                                                                    {"foob", "Zm9vYg=="},
                                                                    {"fooba", "Zm9vYmE="},
                                                                    {"foobar", "Zm9vYmFy"}});
    expectVectors(TBStringEncoding::rfc4648Base32StringEncoding(), {{"", ""},
                                                                    {"f", "MY======"},
                                                                    {"fo", "MZXQ===="},
                                                                    {"foo", "MZXW6==="},
                                                                    {"foob", "MZXW6YQ="},
                                                                    {"fooba", "MZXW6YTB"},
                                                                    {"foobar", "MZXW6YTBOI======"}});
    expectVectors(TBStringEncoding::rfc4648Base32HexStringEncoding(), {{"", ""},
                                                                       {"f", "CO======"},
                                                                       {"fo", "CPNG===="},
                                                                       {"foo", "CPNMU==="},
                                                                       {"foob", "CPNMUOG="},
                                                                       {"fooba", "CPNMUOJ1"},
                                                                       {"foobar", "CPNMUOJ1E8======"}});
    expectVectors(TBStringEncoding::hexStringEncoding(),
                  {{"", ""}, {"f", "66"}, {"fo", "666F"}, {"foo", "666F6F"}, {"foobar", "666F6F626172"}});
    expectVectors(TBStringEncoding::binaryStringEncoding(), {{"a", "01100001"}, {"A~", "0100000101111110"}});
    expectVectors(TBStringEncoding::rfc4648Base64StringEncoding(), {{"abc", "YWJj"}, {"ab", "YWI="}});

    // 62 and 63 are the only digits the web-safe alphabet changes.
    const Bytes high = {0xfb, 0xef, 0xff};
    EXPECT_EQ(TBStringEncoding::rfc4648Base64StringEncoding().encode(high), "++//");
    EXPECT_EQ(TBStringEncoding::rfc4648Base64WebsafeStringEncoding().encode(high), "--__");
    EXPECT_EQ(TBStringEncoding::rfc4648Base64WebsafeStringEncoding().decode("--__"), high);
    EXPECT_FALSE(TBStringEncoding::rfc4648Base64WebsafeStringEncoding().decode("++//"));
}

TEST(TBStringEncoding, Base64AgreesWithGLibOnEveryLengthAndDecodesBack) {
    std::mt19937 rng(11);
    const TBStringEncoding base64 = TBStringEncoding::rfc4648Base64StringEncoding();
    for (std::size_t n = 0; n < 200; ++n) {
        const Bytes data = randomBytes(rng, n);
        gchar* glib = g_base64_encode(data.data(), data.size());
        EXPECT_EQ(base64.encode(data), glib) << n;
        g_free(glib);
        EXPECT_EQ(base64.decode(base64.encode(data)), data) << n;
    }
}

TEST(TBStringEncoding, EveryAlphabetSizeRoundTripsWithAndWithoutPadding) {
    std::string ascii;
    for (int c = 0; c < 128; ++c) ascii += static_cast<char>(c);
    std::mt19937 rng(5);
    for (int shift = 1; shift <= 7; ++shift) {
        auto encoding = TBStringEncoding::stringEncodingWithString(ascii.substr(128 - (1u << shift)));
        ASSERT_TRUE(encoding) << shift;
        EXPECT_EQ(encoding->padLen() * shift % 8, 0);
        // The 128-character alphabet leaves no character free for padding.
        for (bool pad : {false, true}) {
            if (pad && shift == 7) continue;
            encoding->setDoPad(pad);
            if (pad) encoding->setPaddingChar(' ');
            for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 63u, 64u, 1000u}) {
                const Bytes data = randomBytes(rng, n);
                const std::string text = encoding->encode(data);
                const std::size_t digits = (n * 8 + shift - 1) / shift;
                EXPECT_EQ(text.size(),
                          pad ? (digits + encoding->padLen() - 1) / encoding->padLen() * encoding->padLen() : digits);
                platform::Error error;
                EXPECT_EQ(encoding->decode(text, &error), data) << shift << "/" << n << " " << error.description();
            }
        }
    }
    EXPECT_EQ(TBStringEncoding::hexStringEncoding().description(),
              "<Base16 StringEncoder: <30313233 34353637 38394142 43444546>>");
}

TEST(TBStringEncoding, RejectsAlphabetsThatCannotWork) {
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString("abc"));
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString("abca"));
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString("a"));
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString(""));
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString("0\xc3\xa9"));  // 3 bytes, and not ASCII
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString("01\xc3\xa9"));
    std::string all(256, '\0');
    for (int c = 0; c < 256; ++c) all[c] = static_cast<char>(c);
    EXPECT_FALSE(TBStringEncoding::stringEncodingWithString(all));
}

TEST(TBStringEncoding, CrockfordAndHexDecodeTheirSynonyms) {
    const TBStringEncoding crockford = TBStringEncoding::crockfordBase32StringEncoding();
    EXPECT_EQ(crockford.encode(bytesOf("f")), "CR");
    // Any case, O for 0, and I or L for 1 read as the canonical text does.
    std::mt19937 rng(3);
    for (int round = 0; round < 50; ++round) {
        const Bytes data = randomBytes(rng, 1 + round);
        const std::string canonical = crockford.encode(data);
        std::string sloppy = canonical;
        for (std::size_t i = 0; i < sloppy.size(); ++i) {
            char& c = sloppy[i];
            if (c == '0')
                c = "oO"[i % 2];
            else if (c == '1')
                c = "iIlL"[i % 4];
            else if (i % 2)
                c = static_cast<char>(g_ascii_tolower(c));
        }
        EXPECT_EQ(crockford.decode(sloppy), data) << sloppy;
    }
    EXPECT_EQ(crockford.decode("oO"), Bytes{0});
    // U stays out of the alphabet, in either case.
    EXPECT_EQ(decodeError(crockford, "0u").code, TBStringEncodingErrorBadCharacter);

    const TBStringEncoding hex = TBStringEncoding::hexStringEncoding();
    EXPECT_EQ(hex.decode("ff"), Bytes{0xff});
    EXPECT_EQ(hex.decode("FF"), Bytes{0xff});
    EXPECT_EQ(hex.decode("a0B1"), (Bytes{0xa0, 0xb1}));
    EXPECT_EQ(decodeError(hex, "fg").code, TBStringEncodingErrorBadCharacter);
}

TEST(TBStringEncoding, BadInputGivesTheErrorAndIndex) {
    const TBStringEncoding base64 = TBStringEncoding::rfc4648Base64StringEncoding();
    platform::Error error = decodeError(base64, "YW=J");
    EXPECT_EQ(error.code, TBStringEncodingErrorDigitAfterPadding);
    EXPECT_EQ(error.userInfo[TBStringEncodingBadCharacterIndexKey], 3);
    error = decodeError(base64, "YW?j");
    EXPECT_EQ(error.code, TBStringEncodingErrorBadCharacter);
    EXPECT_EQ(error.userInfo[TBStringEncodingBadCharacterIndexKey], 2);
    EXPECT_EQ(decodeError(base64, "YR==").code, TBStringEncodingErrorNonZeroTrailingBits);
    EXPECT_EQ(decodeError(base64, "YWJj\xc3\xa9").code, TBStringEncodingErrorNotASCII);
    EXPECT_EQ(decodeError(base64, std::string("YW\0j", 4)).code, TBStringEncodingErrorBadCharacter);
    // Whitespace is an error until the encoder is told to ignore it.
    EXPECT_EQ(decodeError(base64, "YW Jj\n").code, TBStringEncodingErrorBadCharacter);
    TBStringEncoding lenient = base64;
    ASSERT_TRUE(lenient.ignoreCharacters(" \n"));
    EXPECT_EQ(lenient.decode("YW Jj\n"), bytesOf("abc"));

    error = platform::Error();
    EXPECT_FALSE(base64.encodeString("ab\xff", &error));
    EXPECT_EQ(error.code, TBStringEncodingErrorNotUTF8);
    EXPECT_EQ(base64.encodeString("é"), "w6k=");
    // Bytes that are not UTF-8 decode, but not as text.
    EXPECT_TRUE(base64.decode("/w=="));
    EXPECT_FALSE(base64.stringByDecoding("/w=="));
}

TEST(TBStringEncoding, NonAsciiSetUpCharactersAreRefusedAndChangeNothing) {
    TBStringEncoding base64 = TBStringEncoding::rfc4648Base64StringEncoding();
    const Bytes data = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x7f, 0x80};
    const std::string text = base64.encode(data);
    // High bytes would land outside the 128-entry table (before it, as signed chars).
    EXPECT_FALSE(base64.addDecodeSynonyms("A\xc3\xa9\xff"));
    EXPECT_FALSE(base64.ignoreCharacters(" \x80"));
    EXPECT_FALSE(base64.setPaddingChar('\xe9'));
    EXPECT_EQ(base64.paddingChar(), '=');
    EXPECT_EQ(base64.encode(data), text);
    EXPECT_EQ(base64.decode(text), data);
    // Nothing of the refused calls took: the blank is still a bad character.
    EXPECT_EQ(decodeError(base64, "3q2+ 7wB/gA==").code, TBStringEncodingErrorBadCharacter);
    EXPECT_EQ(decodeError(base64, "3q2+\xc3\xa9").code, TBStringEncodingErrorNotASCII);
}
