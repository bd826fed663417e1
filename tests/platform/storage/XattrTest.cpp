#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"
#include "platform/storage/Xattr.h"

using namespace wharf::platform;

namespace {

class XattrTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.file("f.txt");
        wharf::test::writeFile(path_, "data");
        if (xattr::set(path_, "user.wharf.probe", "") == xattr::Result::Unsupported)
            GTEST_SKIP() << "the file system of " << dir_.path() << " refuses user attributes";
    }
    wharf::test::TempDir dir_;
    std::string path_;
};

TEST_F(XattrTest, SetGetRemove) {
    std::string value = "untouched";
    EXPECT_EQ(xattr::get(path_, "user.wharf.missing", &value), xattr::Result::NotFound);
    EXPECT_EQ(value, "untouched");

    const std::string binary("a\0b\xff", 4);
    ASSERT_EQ(xattr::set(path_, "user.wharf.k", binary), xattr::Result::Ok);
    ASSERT_EQ(xattr::get(path_, "user.wharf.k", &value), xattr::Result::Ok);
    EXPECT_EQ(value, binary);
    ASSERT_EQ(xattr::set(path_, "user.wharf.k", std::string(3000, 'x')), xattr::Result::Ok);
    ASSERT_EQ(xattr::get(path_, "user.wharf.k", &value), xattr::Result::Ok);
    EXPECT_EQ(value, std::string(3000, 'x'));
    ASSERT_EQ(xattr::get(path_, "user.wharf.probe", &value), xattr::Result::Ok);  // empty value
    EXPECT_EQ(value, "");

    EXPECT_EQ(xattr::remove(path_, "user.wharf.k"), xattr::Result::Ok);
    EXPECT_EQ(xattr::remove(path_, "user.wharf.k"), xattr::Result::NotFound);
    EXPECT_EQ(xattr::get(path_, "user.wharf.k", nullptr), xattr::Result::NotFound);

    EXPECT_EQ(xattr::get(dir_.file("absent"), "user.wharf.k", &value), xattr::Result::Error);
    EXPECT_EQ(xattr::set(dir_.file("absent"), "user.wharf.k", "v"), xattr::Result::Error);
}

TEST_F(XattrTest, ByDescriptorAfterUnlink) {
    int fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ::unlink(path_.c_str());
    EXPECT_EQ(xattr::fset(fd, "user.wharf.k", "v1"), xattr::Result::Ok);
    std::string value;
    EXPECT_EQ(xattr::fget(fd, "user.wharf.k", &value), xattr::Result::Ok);
    EXPECT_EQ(value, "v1");
    EXPECT_EQ(xattr::fget(fd, "user.wharf.other", &value), xattr::Result::NotFound);
    ::close(fd);
}

TEST_F(XattrTest, ExcludedFromBackup) {
    EXPECT_FALSE(xattr::isExcludedFromBackup(path_));
    ASSERT_EQ(xattr::setExcludedFromBackup(path_, true), xattr::Result::Ok);
    EXPECT_TRUE(xattr::isExcludedFromBackup(path_));
    std::string value;
    ASSERT_EQ(xattr::get(path_, xattr::kExcludeFromBackup, &value), xattr::Result::Ok);
    EXPECT_EQ(value, "false");
    EXPECT_EQ(xattr::setExcludedFromBackup(path_, false), xattr::Result::Ok);
    EXPECT_FALSE(xattr::isExcludedFromBackup(path_));
    EXPECT_EQ(xattr::setExcludedFromBackup(path_, false), xattr::Result::Ok);  // already absent

    // Directories carry the mark too.
    ASSERT_EQ(xattr::setExcludedFromBackup(dir_.path(), true), xattr::Result::Ok);
    EXPECT_TRUE(xattr::isExcludedFromBackup(dir_.path()));
}

// procfs takes no user attributes: a clear answer, not a generic failure.
TEST(XattrRefused, FileSystemWithoutUserAttributesAnswersUnsupported) {
    EXPECT_EQ(xattr::set("/proc/self/status", "user.wharf.x", "1"), xattr::Result::Unsupported);
    EXPECT_EQ(xattr::setExcludedFromBackup("/proc/self/status", true), xattr::Result::Unsupported);
    EXPECT_FALSE(xattr::isExcludedFromBackup("/proc/self/status"));
}

}  // namespace
