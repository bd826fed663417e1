#include <gtest/gtest.h>

#include "platform/base/Mime.h"

using namespace wharf::platform::mime;

namespace {

TEST(MimeTest, RoundTripsCommonTypes) {
    struct Case {
        const char* ext;
        const char* mime;
    };
    for (auto c : {Case{"png", "image/png"}, Case{"html", "text/html"}, Case{"json", "application/json"},
                   Case{"pdf", "application/pdf"}, Case{"css", "text/css"}, Case{"txt", "text/plain"}}) {
        EXPECT_EQ(mimeTypeForExtension(c.ext), c.mime) << c.ext;
        EXPECT_EQ(extensionForMimeType(c.mime), c.ext) << c.mime;
    }
    EXPECT_EQ(mimeTypeForExtension("PNG"), "image/png");
    EXPECT_EQ(mimeTypeForExtension(".png"), "image/png");
    EXPECT_EQ(mimeTypeForExtension("htm"), "text/html");
    // The preferred extension of a type with several, and of an alias.
    EXPECT_EQ(extensionForMimeType("video/mp4"), "mp4");
    EXPECT_EQ(extensionForMimeType("text/javascript"), "js");
    EXPECT_EQ(extensionForMimeType("Text/HTML; charset=utf-8"), "html");
}

TEST(MimeTest, UnknownAndHostileInputAnswersNothing) {
    EXPECT_EQ(mimeTypeForExtension("definitelynotanextension"), std::nullopt);
    EXPECT_EQ(mimeTypeForExtension(""), std::nullopt);
    EXPECT_EQ(mimeTypeForExtension("."), std::nullopt);
    EXPECT_EQ(mimeTypeForExtension("a/b"), std::nullopt);
    EXPECT_EQ(extensionForMimeType("application/octet-stream"), std::nullopt);
    EXPECT_EQ(extensionForMimeType("application/x-no-such-type"), std::nullopt);
    EXPECT_EQ(extensionForMimeType("garbage"), std::nullopt);
    EXPECT_EQ(extensionForMimeType(""), std::nullopt);
    EXPECT_EQ(extensionForMimeType("../../../etc/passwd"), std::nullopt);
    EXPECT_EQ(extensionForMimeType("text/../../../../etc/passwd"), std::nullopt);
}

}  // namespace
