// Scratch files that a process killed while making them left are removed by a
// later start; those a process still running makes, and files no journal
// names, are not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "platform/Container.h"
#include "platform/ScratchFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace wharf::platform;

constexpr ScratchName kForm{".test-", ".part"};

std::string makeIn(const std::string& directory) {
    const FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string name;
    const FileDescriptor fd = createScratchFile("test", dir.get(), directory, kForm, 0600, name);
    return fd ? directory + "/" + name : "";
}

// The child of the test below: makes a scratch file in the application's tmp
// directory, then one in $WHARF_SCRATCH_DIR, and waits to be killed.
TEST(ScratchChild, MakesScratchFilesUntilKilled) {
    const char* elsewhere = std::getenv("WHARF_SCRATCH_DIR");
    if (!elsewhere) GTEST_SKIP() << "run by ScratchFiles.WhatAKilledProcessLeftGoesAndWhatARunningOneMakesStays only";
    Container::ensureDirectory(Container::tmpPath());
    ASSERT_FALSE(makeIn(Container::tmpPath()).empty());
    ASSERT_FALSE(makeIn(elsewhere).empty());
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(ScratchFiles, WhatAKilledProcessLeftGoesAndWhatARunningOneMakesStays) {
    wharf::test::TempHome home;
    wharf::test::TempDir elsewhere;  // as a file the user picked may lie anywhere
    auto scratch = [](const std::string& directory) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(directory))
            if (kForm.matches(e.path().filename().string())) names.push_back(e.path().filename().string());
        return names;
    };
    // Killed as its second file appears.
    ASSERT_TRUE(wharf::test::killChildTestAtFileEvent(
        "ScratchChild.MakesScratchFilesUntilKilled",
        {"WHARF_HOME=" + home.path(), "WHARF_SCRATCH_DIR=" + elsewhere.path()}, elsewhere.path(), IN_CREATE,
        [](std::string_view name) { return kForm.matches(name); }));
    const std::string tmp = Container::tmpPath();
    ASSERT_EQ(scratch(tmp).size(), 1u);
    ASSERT_EQ(scratch(elsewhere.path()).size(), 1u);
    // One this process is making meanwhile, as a second launch on the same
    // home would; and one of the same form that nobody noted.
    const std::string running = makeIn(elsewhere.path());
    ASSERT_FALSE(running.empty());
    const std::string strange = elsewhere.file(".test-0123abcd.part");
    wharf::test::writeFile(strange, "not a scratch file");

    EXPECT_EQ(removeScratchLeftovers("test", {kForm}), 2u);
    EXPECT_TRUE(scratch(tmp).empty());
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists(strange));
    EXPECT_EQ(scratch(elsewhere.path()).size(), 2u);
    std::size_t journals = 0;
    for (const auto& e : fs::directory_iterator(Container::cachesPath()))
        journals += e.path().filename().string().starts_with("test-");
    EXPECT_EQ(journals, 1u) << "the ended process's journal goes, the running one's stays";
    // Nothing more to remove while this process runs.
    EXPECT_EQ(removeScratchLeftovers("test", {kForm}), 0u);
    EXPECT_TRUE(fs::exists(running));
}

}  // namespace
