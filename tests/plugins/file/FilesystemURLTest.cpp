// Filesystem URLs: parsing, rendering, and the way back from a full path.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "plugins/file/WFAssetLibraryFilesystem.h"
#include "plugins/file/WFFilesystemURL.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf {
namespace {

struct Parsed {
    const char* url;
    std::optional<std::string> name;
    std::optional<std::string> fullPath;
};

TEST(FilesystemURLTest, ParsesNameAndFullPath) {
    const Parsed cases[] = {
        {"wffile://localhost/persistent/dir/a.txt", "persistent", "/dir/a.txt"},
        {"wffile://localhost/persistent/", "persistent", "/"},
        {"wffile://localhost/persistent", "persistent", ""},
        {"wffile://localhost/temporary/a.txt?x=1", "temporary", "/a.txt?x=1"},
        {"wffile://localhost", std::nullopt, ""},
        {"wffile://localhost/dir%20one/x", "dir one", "/x"},
        {"wffile://localhost/persistent/caf%C3%A9%23%3F.txt", "persistent", "/café#?.txt"},
        {"wffile://elsewhere/persistent/a", std::nullopt, std::nullopt},
        {"http://localhost/persistent/a", std::nullopt, std::nullopt},
        {"assets-library://asset/asset.JPG?id=A1&ext=JPG", "assets-library", "/asset/asset.JPG?id=A1&ext=JPG"},
        {"not a url", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto url = WFFilesystemURL::fileSystemURLWithString(c.url);
        EXPECT_EQ(url.fileSystemName(), c.name) << c.url;
        EXPECT_EQ(url.fullPath(), c.fullPath) << c.url;
    }
}

TEST(FilesystemURLTest, PhotoLibraryURLsRenderInTheFileFormAndBack) {
    const auto asset = WFFilesystemURL::fileSystemURLWithString("assets-library://asset/asset.JPG?id=A1&ext=JPG");
    EXPECT_EQ(asset.absoluteURL(), "wffile://localhost/assets-library/asset/asset.JPG?id=A1&ext=JPG");
    // The file form is looked up under the photo-library URL it came from.
    const auto rendered = WFFilesystemURL::fileSystemURLWithString(asset.absoluteURL());
    EXPECT_EQ(WFAssetLibraryFilesystem::assetLibraryURLForLocalURL(rendered),
              "assets-library://asset/asset.JPG?id=A1&ext=JPG");
    EXPECT_EQ(WFAssetLibraryFilesystem::assetLibraryURLForLocalURL(asset),
              "assets-library://asset/asset.JPG?id=A1&ext=JPG");
}

TEST(FilesystemURLTest, AFullPathSurvivesTheTripThroughItsURL) {
    test::TempDir dir;
    WFLocalFilesystem fs("persistent", dir.path());
    for (const std::string fullPath : {"/a b/c.txt", "/q?x=1", "/hash#tag", "/100%", "/ünï/😀", "/semi;colon", "/"}) {
        auto url = fs.URLforFullPath(fullPath);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->fileSystemName(), "persistent");
        EXPECT_EQ(url->fullPath(), fullPath) << url->absoluteURL();
    }
    // A relative full path gets its "/".
    EXPECT_EQ(fs.URLforFullPath(std::string("x/y"))->fullPath(), "/x/y");
}

}  // namespace
}  // namespace wharf
