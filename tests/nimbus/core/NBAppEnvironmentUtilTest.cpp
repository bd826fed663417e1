#include <sys/utsname.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "platform/storage/Bundle.h"

namespace wharf {
namespace {

// Where the build runs decides first: on the simulator's machine it is never
// from the App Store. On hardware, the bundle's "SC_Info" does, whatever else
// the bundle carries: the executable is never encrypted here, so a
// provisioning profile or a receipt changes nothing.
TEST(NBAppEnvironmentUtilTest, TheAppStoreDecisionRestsOnTheBundleAndTheMachine) {
    test::TestBundle bundle;
    test::TempDir root;
    std::filesystem::create_directories(root.file("sys/class/dmi/id"));
    test::writeFile(root.file("sys/class/dmi/id/product_name"), "Precision 5570\n");
    NBAppEnvironmentUtil::setSystemRootForTesting(root.path());
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStore()) << "no SC_Info";
    test::writeFile(bundle.path() + "/embedded.mobileprovision", "profile");
    EXPECT_FALSE(NBAppEnvironmentUtil::isFromAppStore()) << "a profile alone";
    std::filesystem::create_directory(bundle.path() + "/SC_Info");
    EXPECT_TRUE(NBAppEnvironmentUtil::isFromAppStore()) << "SC_Info, even beside a profile";

    // No hardware model: the architecture stands in, and on a PC's that is
    // the simulator's machine.
    test::TempDir bare;
    NBAppEnvironmentUtil::setSystemRootForTesting(bare.path());
    const bool pc = NBAppEnvironmentUtil::deviceModel() == "x86_64" || NBAppEnvironmentUtil::deviceModel() == "i386";
    EXPECT_EQ(NBAppEnvironmentUtil::isFromAppStore(), !pc);
    NBAppEnvironmentUtil::setSystemRootForTesting("");
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

}  // namespace
}  // namespace wharf
