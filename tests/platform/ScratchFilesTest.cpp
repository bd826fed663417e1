// Scratch files that a process killed while making them left are removed by a
// later start; those a process still running makes, files no journal names
// and whatever a journal a page could have written names outside the places
// such files are made in are not.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "platform/Container.h"
#include "platform/ScratchFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace wharf::platform;

// As a print's pages in tmp, and its file beside its target.
constexpr ScratchName kPages{"test-", ".tmp", ScratchPlace::ApplicationTmp};
constexpr ScratchName kBeside{".test-", ".part", ScratchPlace::BesideTarget};
constexpr guint32 kSeed = 2024;

std::string makeIn(const std::string& directory, const ScratchName& form) {
    const FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string name;
    const FileDescriptor fd = createScratchFile("test", dir.get(), directory, form, 0600, name);
    return fd ? directory + "/" + name : "";
}

std::vector<std::string> scratchIn(const std::string& directory, const ScratchName& form) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(directory))
        if (form.matches(e.path().filename().string())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The journals of "test" (named "test-journal-" and six letters or digits).
std::size_t journalsIn(const std::string& directory) {
    std::size_t journals = 0;
    for (const auto& e : fs::recursive_directory_iterator(directory)) {
        const std::string name = e.path().filename().string();
        journals += name.starts_with("test-journal-") && name.size() == 19 &&
                    std::all_of(name.begin() + 13, name.end(), [](unsigned char c) { return std::isalnum(c); });
    }
    return journals;
}

// The child of the test below: makes a scratch file in the application's tmp
// directory (its random generator seeded, so that the name it tries first is
// one the test has taken), then one in each of two directories of
// $WHARF_SCRATCH_DIR, and waits to be killed.
TEST(ScratchChild, MakesScratchFilesUntilKilled) {
    const char* elsewhere = std::getenv("WHARF_SCRATCH_DIR");
    if (!elsewhere) GTEST_SKIP() << "run by ScratchFiles.WhatAKilledProcessLeftGoesAndWhatARunningOneMakesStays only";
    Container::ensureDirectory(Container::tmpPath());
    g_random_set_seed(kSeed);
    ASSERT_FALSE(makeIn(Container::tmpPath(), kPages).empty());
    ASSERT_FALSE(makeIn(std::string(elsewhere) + "/line\nbreak", kBeside).empty());
    ASSERT_FALSE(makeIn(std::string(elsewhere) + "/swapped", kBeside).empty());
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(ScratchFiles, WhatAKilledProcessLeftGoesAndWhatARunningOneMakesStays) {
    wharf::test::TempHome home;
    wharf::test::TempDir elsewhere;  // as a file the user picked may lie anywhere
    const std::string tmp = Container::tmpPath();
    const std::string swapped = elsewhere.file("swapped");
    fs::create_directory(swapped);
    // A name no line of a journal can hold.
    const std::string lineBreak = elsewhere.file("line\nbreak");
    fs::create_directory(lineBreak);
    // Someone else's file bears the name the child tries first: the child's
    // journal notes it, then that it was not made.
    g_random_set_seed(kSeed);
    char taken[32];
    std::snprintf(taken, sizeof taken, "test-%08x.tmp", g_random_int());
    wharf::test::writeFile(tmp + "/" + taken, "someone else's");
    // Killed as its last file appears.
    ASSERT_TRUE(wharf::test::killChildTestAtFileEvent(
        "ScratchChild.MakesScratchFilesUntilKilled",
        {"WHARF_HOME=" + home.path(), "WHARF_SCRATCH_DIR=" + elsewhere.path()}, swapped, IN_CREATE,
        [](std::string_view name) { return kBeside.matches(name); }));
    ASSERT_EQ(scratchIn(tmp, kPages).size(), 2u);
    ASSERT_EQ(scratchIn(lineBreak, kBeside).size(), 1u);
    // A directory renamed away, a link to another in its place holding a file
    // of the same name: neither is where the child made its file.
    const std::vector<std::string> inSwapped = scratchIn(swapped, kBeside);
    ASSERT_EQ(inSwapped.size(), 1u);
    fs::rename(swapped, elsewhere.file("moved"));
    fs::create_directory(elsewhere.file("other"));
    wharf::test::writeFile(elsewhere.file("other/" + inSwapped[0]), "someone else's");
    fs::create_directory_symlink(elsewhere.file("other"), swapped);
    // One this process is making meanwhile, as a second launch on the same
    // home would; and one of the same form that nobody noted.
    const std::string running = makeIn(elsewhere.path(), kBeside);
    ASSERT_FALSE(running.empty());
    const std::string strange = elsewhere.file(".test-0123abcd.part");
    wharf::test::writeFile(strange, "not a scratch file");

    EXPECT_EQ(removeScratchLeftovers("test", {kPages, kBeside}), 2u);
    EXPECT_EQ(scratchIn(tmp, kPages), std::vector<std::string>{taken});
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists(strange));
    EXPECT_TRUE(scratchIn(lineBreak, kBeside).empty());
    EXPECT_EQ(scratchIn(elsewhere.path(), kBeside).size(), 2u);
    EXPECT_EQ(scratchIn(elsewhere.file("other"), kBeside), inSwapped);
    EXPECT_EQ(scratchIn(elsewhere.file("moved"), kBeside), inSwapped);
    EXPECT_EQ(journalsIn(std::string(std::getenv("XDG_STATE_HOME")) + "/wharf"), 1u)
        << "the ended process's journal goes, the running one's stays";
    EXPECT_EQ(journalsIn(home.path()), 0u) << "no journal lies where a page can write";
    // Nothing more to remove while this process runs.
    EXPECT_EQ(removeScratchLeftovers("test", {kPages, kBeside}), 0u);
    EXPECT_TRUE(fs::exists(running));
}

// A journal where earlier versions kept theirs (Library/Caches) may be one a
// page wrote: of what it names, only a file of a form in that form's place
// goes (in the home's tmp, or beside a target below the home), never through a
// link or "..", nor one a running process notes.
TEST(ScratchFiles, AJournalAPageCouldHaveWrittenRemovesOnlyScratchFilesWhereTheyAreMade) {
    wharf::test::TempHome home;
    wharf::test::TempDir elsewhere;
    const std::string tmp = Container::tmpPath();
    const std::string documents = Container::documentsPath();
    const std::string caches = Container::cachesPath();
    fs::create_directory_symlink(elsewhere.path(), documents + "/link");
    const std::string running = makeIn(documents, kBeside);
    ASSERT_FALSE(running.empty());
    const std::vector<std::string> removable = {tmp + "/test-0000000a.tmp", documents + "/.test-0000000b.part"};
    const std::vector<std::string> kept = {
        documents + "/test-0000000c.tmp",  // of the tmp form, outside tmp
        documents + "/keep.txt",
        tmp + "/keep.txt",
        elsewhere.file(".test-0000000d.part"),
        documents + "/../../" + fs::path(elsewhere.path()).filename().string() + "/.test-0000000e.part",
        documents + "/link/.test-0000000f.part",
        elsewhere.file("victim"),
        running,
        caches + "/test-journal-AB.DEF",  // no journal's name
        caches + "/text-journal-ABCDEF",
    };
    for (const auto& path : removable) wharf::test::writeFile(path, "left");
    for (const auto& path : kept) wharf::test::writeFile(path, "kept");
    fs::create_symlink(elsewhere.file("victim"), tmp + "/test-00000010.tmp");
    fs::create_directory(tmp + "/test-00000011.tmp");
    std::string journal;
    for (const auto& path : removable) journal += "+" + path + "\n";
    for (const auto& path : kept) journal += "+" + path + "\n";
    journal += "+" + tmp + "/test-00000010.tmp\n+" + tmp + "/test-00000011.tmp\n";
    // An earlier version still running (its journal locked, and first of
    // the journals by name) makes a file the forged journal names too.
    const std::string madeByAnEarlierVersion = documents + "/.test-00000013.part";
    wharf::test::writeFile(madeByAnEarlierVersion, "in the making");
    journal += "+" + madeByAnEarlierVersion + "\n";
    wharf::test::writeFile(caches + "/test-journal-AAAAAA", "+" + madeByAnEarlierVersion + "\n");
    const FileDescriptor earlierVersion(::open((caches + "/test-journal-AAAAAA").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(earlierVersion.get(), LOCK_EX | LOCK_NB), 0);
    wharf::test::writeFile(caches + "/test-journal-FORGED", journal);
    // A journal that is a link is not read through it.
    const std::string throughLink = tmp + "/test-00000012.tmp";
    wharf::test::writeFile(throughLink, "kept");
    wharf::test::writeFile(elsewhere.file("journal"), "+" + throughLink + "\n");
    fs::create_symlink(elsewhere.file("journal"), caches + "/test-journal-LINKED");

    EXPECT_EQ(removeScratchLeftovers("test", {kPages, kBeside}), 2u);
    for (const auto& path : removable) EXPECT_FALSE(fs::exists(path)) << path;
    for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::is_symlink(tmp + "/test-00000010.tmp"));
    EXPECT_TRUE(fs::is_directory(tmp + "/test-00000011.tmp"));
    EXPECT_TRUE(fs::exists(throughLink));
    EXPECT_TRUE(fs::exists(madeByAnEarlierVersion));
    EXPECT_FALSE(fs::exists(caches + "/test-journal-FORGED")) << "read once, then gone";
    EXPECT_TRUE(fs::exists(caches + "/test-journal-AAAAAA")) << "a running process's journal stays";
    fs::remove(caches + "/test-journal-AAAAAA");
    fs::remove(caches + "/test-journal-LINKED");

    // A state directory inside the home is one a page reaches: nothing is
    // noted there, whether named so or the default one (~/.local/state) of a
    // home of "~"; nor where none can be made. The files are made all the same.
    const std::string state = std::getenv("XDG_STATE_HOME");
    const std::string user = std::getenv("HOME") ? std::getenv("HOME") : "";
    auto madeUnnoted = [&](const char* why) {
        EXPECT_FALSE(makeIn(documents, kBeside).empty()) << why;
        EXPECT_EQ(journalsIn(home.path()), 0u) << why;
    };
    ::setenv("XDG_STATE_HOME", (home.path() + "/Library/State").c_str(), 1);
    madeUnnoted("named inside the home");
    // Journals of earlier versions are read all the same.
    wharf::test::writeFile(tmp + "/test-00000014.tmp", "left");
    wharf::test::writeFile(caches + "/test-journal-EARLY1", "+" + tmp + "/test-00000014.tmp\n");
    EXPECT_EQ(removeScratchLeftovers("test", {kPages, kBeside}), 1u);
    ::unsetenv("XDG_STATE_HOME");
    ::setenv("HOME", home.path().c_str(), 1);
    madeUnnoted("the default, inside the home");
    ::setenv("XDG_STATE_HOME", (documents + "/keep.txt/state").c_str(), 1);
    madeUnnoted("below a file");
    ::setenv("HOME", user.c_str(), 1);
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
}

}  // namespace
