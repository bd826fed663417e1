#include <sys/utsname.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "platform/Bundle.h"

namespace wharf {
namespace {

using Facts = NBAppEnvironmentUtil::Facts;

TEST(NBAppEnvironmentUtilTest, AppStoreDecision) {
    Facts facts;
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(facts)) << "not encrypted";
    facts.executableEncrypted = true;
    EXPECT_TRUE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(facts));
    facts.hasEmbeddedMobileProvision = true;
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(facts)) << "encrypted but provisioned";
    facts.hasEmbeddedMobileProvision = false;
    facts.appStoreReceiptSandbox = true;
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(facts));

    Facts scInfo;
    scInfo.hasSCInfoFolder = true;
    EXPECT_TRUE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(scInfo));
    scInfo.simulator = true;
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStoreWithFacts(scInfo)) << "a simulator never is";
}

TEST(NBAppEnvironmentUtilTest, BundleFacts) {
    test::TestBundle bundle;
    EXPECT_FALSE(NBAppEnvironmentUtil::hasSCInfoFolder());
    EXPECT_FALSE(NBAppEnvironmentUtil::hasEmbeddedMobileProvision());
    std::filesystem::create_directory(bundle.path() + "/SC_Info");
    test::writeFile(bundle.path() + "/embedded.mobileprovision", "profile");
    EXPECT_TRUE(NBAppEnvironmentUtil::hasSCInfoFolder());
    EXPECT_TRUE(NBAppEnvironmentUtil::hasEmbeddedMobileProvision());
    EXPECT_EQ(NBAppEnvironmentUtil::currentFacts().hasSCInfoFolder, true);
    EXPECT_FALSE(NBAppEnvironmentUtil::isAppExtension());
    EXPECT_NE(NBAppEnvironmentUtil::sharedApplication(), nullptr);
}

TEST(NBAppEnvironmentUtilTest, AppExtensionHasNoApplication) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("Share.appex"));
    platform::Bundle::setMainBundle(platform::Bundle::open(dir.file("Share.appex")));
    EXPECT_TRUE(NBAppEnvironmentUtil::isAppExtension());
    EXPECT_EQ(NBAppEnvironmentUtil::sharedApplication(), nullptr);
    platform::Bundle::setMainBundle(nullptr);
}

// A PC (or a board) is the device: its hardware model decides, so an
// installed build on real hardware is judged by the App Store rules.
TEST(NBAppEnvironmentUtilTest, TheHardwareModelIsTheDevice) {
    test::TestBundle bundle;
    std::filesystem::create_directory(bundle.path() + "/SC_Info");
    test::TempDir root;
    std::filesystem::create_directories(root.file("sys/class/dmi/id"));
    test::writeFile(root.file("sys/class/dmi/id/product_name"), "ThinkPad X1 Carbon Gen 9\n");
    NBAppEnvironmentUtil::setSystemRootForTesting(root.path());
    EXPECT_EQ(NBAppEnvironmentUtil::deviceModel(), "ThinkPad X1 Carbon Gen 9");
    EXPECT_FALSE(NBAppEnvironmentUtil::isSimulator());
    EXPECT_TRUE(NBAppEnvironmentUtil::isFromAppStore());

    // A blank DMI name gives way to the device tree's model (NUL-ended).
    test::writeFile(root.file("sys/class/dmi/id/product_name"), " \n");
    std::filesystem::create_directories(root.file("sys/firmware/devicetree/base"));
    test::writeFile(root.file("sys/firmware/devicetree/base/model"), std::string("Raspberry Pi 4 Model B\0", 23));
    NBAppEnvironmentUtil::setSystemRootForTesting(root.path());
    EXPECT_EQ(NBAppEnvironmentUtil::deviceModel(), "Raspberry Pi 4 Model B");

    // Without either, the architecture stands in; on a PC that is the
    // simulator's, and the App Store rules do not apply.
    test::TempDir bare;
    NBAppEnvironmentUtil::setSystemRootForTesting(bare.path());
    auto model = NBAppEnvironmentUtil::deviceModel();
    NBAppEnvironmentUtil::setSystemRootForTesting("");
    ASSERT_TRUE(model);
    struct utsname info {};
    ASSERT_EQ(uname(&info), 0);
    EXPECT_EQ(*model, info.machine);
    EXPECT_FALSE(NBAppEnvironmentUtil::systemVersion().empty());
}

// --- the executable header ---------------------------------------------------------

class Image {
public:
    Image(uint32_t magic, uint32_t fileType, bool is64) {
        put(magic);
        put(0x01000007);  // cputype
        put(3);  // cpusubtype
        put(fileType);
        put(0);  // ncmds, filled in by add()
        put(0);  // sizeofcmds
        put(0);  // flags
        if (is64) put(0);
    }
    Image& add(uint32_t cmd, const std::vector<uint32_t>& body) {
        put(cmd);
        put(static_cast<uint32_t>(8 + body.size() * 4));
        for (auto word : body) put(word);
        setWord(16, word(16) + 1);
        return *this;
    }
    void setWord(std::size_t offset, uint32_t value) { std::memcpy(bytes_.data() + offset, &value, 4); }
    uint32_t word(std::size_t offset) const {
        uint32_t v;
        std::memcpy(&v, bytes_.data() + offset, 4);
        return v;
    }
    std::vector<uint8_t>& bytes() { return bytes_; }
    std::span<const uint8_t> span() const { return bytes_; }

private:
    void put(uint32_t w) {
        auto* p = reinterpret_cast<const uint8_t*>(&w);
        bytes_.insert(bytes_.end(), p, p + 4);
    }
    std::vector<uint8_t> bytes_;
};

constexpr uint32_t kMagic64 = 0xfeedfacf;
constexpr uint32_t kMagic32 = 0xfeedface;

TEST(NBAppEnvironmentUtilTest, FindsTheEncryptionCommandOfTheExecutable) {
    Image encrypted64(kMagic64, 2, true);
    encrypted64.add(0x19, {0, 0, 0, 0}).add(0x2C, {0x4000, 0x1000, 1, 0});
    EXPECT_TRUE(NBAppEnvironmentUtil::isExecutableEncrypted({encrypted64.span()}));

    Image clear64(kMagic64, 2, true);
    clear64.add(0x2C, {0x4000, 0x1000, 0, 0});
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({clear64.span()}));

    Image encrypted32(kMagic32, 2, false);
    encrypted32.add(0x21, {0x4000, 0x1000, 1});
    EXPECT_TRUE(NBAppEnvironmentUtil::isExecutableEncrypted({encrypted32.span()}));
    Image wrongKind32(kMagic32, 2, false);
    wrongKind32.add(0x2C, {0x4000, 0x1000, 1});
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({wrongKind32.span()}));

    // A library image before the executable is skipped; only the first executable counts.
    Image dylib(kMagic64, 6, true);
    dylib.add(0x2C, {0, 0, 1, 0});
    EXPECT_TRUE(NBAppEnvironmentUtil::isExecutableEncrypted({dylib.span(), encrypted64.span()}));
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({clear64.span(), encrypted64.span()}));
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({}));
}

TEST(NBAppEnvironmentUtilTest, MalformedHeadersAreNotReadPastTheirEnd) {
    Image image(kMagic64, 2, true);
    image.add(0x2C, {0x4000, 0x1000, 1, 0});
    auto& bytes = image.bytes();
    const std::size_t cryptIdEnd = 32 + 20;
    for (std::size_t size = 0; size < cryptIdEnd; ++size) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({cut})) << size;
    }
    Image zeroSize(kMagic64, 2, true);
    zeroSize.add(0x19, {});
    zeroSize.setWord(36, 0);  // a command of size zero would never advance
    zeroSize.setWord(16, 0xffffffff);  // and claims endless commands
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({zeroSize.span()}));
    Image huge(kMagic64, 2, true);
    huge.add(0x19, {});
    huge.setWord(36, 0xfffffff0);  // a size that jumps far past the end
    huge.setWord(16, 2);
    EXPECT_FALSE(NBAppEnvironmentUtil::isExecutableEncrypted({huge.span()}));
    EXPECT_TRUE(NBAppEnvironmentUtil::loadedImages().empty());
}

}  // namespace
}  // namespace wharf
