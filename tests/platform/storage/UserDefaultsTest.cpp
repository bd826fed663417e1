#include <gtest/gtest.h>

#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"

extern char** environ;

using namespace wharf::platform;
using wharf::test::TempDir;

namespace {

constexpr const char* kChildEnv = "WHARF_DEFAULTS_CHILD";

// Runs this test binary again as a child that executes UserDefaultsChild.Write
// with "<plist path>|<key>|<count>" in the environment. Answers the pid.
pid_t spawnWriter(const std::string& path, const std::string& key, int count) {
    const std::string filter = "--gtest_filter=UserDefaultsChild.Write";
    const std::string env = std::string(kChildEnv) + "=" + path + "|" + key + "|" + std::to_string(count);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind(std::string(kChildEnv) + "=", 0) != 0) envStore.emplace_back(*e);
    envStore.push_back(env);
    std::vector<char*> envp;
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string quiet = "--gtest_brief=1";
    char* argv[] = {self.data(), const_cast<char*>(filter.c_str()), quiet.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// The child half of the cross-process tests; does nothing when run directly.
TEST(UserDefaultsChild, Write) {
    const char* request = std::getenv(kChildEnv);
    if (!request) GTEST_SKIP() << "runs only as a child of the cross-process tests";
    const std::string s(request);
    const auto a = s.find('|'), b = s.rfind('|');
    const std::string path = s.substr(0, a), key = s.substr(a + 1, b - a - 1);
    const int count = std::stoi(s.substr(b + 1));
    UserDefaults defaults(path);
    for (int i = 1; i <= count; ++i) defaults.setInteger(i, key + std::to_string(i % 5));
    defaults.setObject(key + "-done", key);
}

TEST(UserDefaults, RegisteredPersistentAndTypedReads) {
    TempDir dir;
    UserDefaults d(dir.file("Library/Preferences/x.plist"));
    d.registerDefaults({{"Volume", 5}, {"Name", "reg"}, {"Flag", "YES"}});
    EXPECT_EQ(d.integerForKey("Volume"), 5);
    EXPECT_TRUE(d.boolForKey("Flag"));
    EXPECT_FALSE(d.objectForKey("Absent"));
    EXPECT_EQ(d.stringForKey("Absent"), "");

    d.setInteger(9, "Volume");
    EXPECT_EQ(d.integerForKey("Volume"), 9);
    d.setObject(Value(" 12abc"), "Text");
    EXPECT_EQ(d.integerForKey("Text"), 12);
    EXPECT_EQ(d.stringForKey("Text"), " 12abc");
    d.setDouble(2.5, "Ratio");
    EXPECT_EQ(d.stringForKey("Ratio"), "2.5");
    EXPECT_FLOAT_EQ(d.floatForKey("Ratio"), 2.5f);
    EXPECT_EQ(d.integerForKey("Ratio"), 2);
    d.setBool(true, "On");
    EXPECT_EQ(d.integerForKey("On"), 1);
    d.setObject(Value::array({1, 2}), "List");
    EXPECT_EQ(d.arrayForKey("List").size(), 2u);
    EXPECT_TRUE(d.dictionaryForKey("List").is_null());
    EXPECT_TRUE(d.arrayForKey("Text").is_null());

    // Removing the persistent value uncovers the registered one; null removes too.
    d.removeObjectForKey("Volume");
    EXPECT_EQ(d.integerForKey("Volume"), 5);
    d.setObject(Value(), "Text");
    EXPECT_FALSE(d.objectForKey("Text"));

    // A value with no property-list form is refused and the old value kept.
    d.setObject(Value::array({1, nullptr}), "List");
    EXPECT_EQ(d.arrayForKey("List"), Value::array({1, 2}));

    // Everything persistent is on disk; nothing registered is.
    auto onDisk = plist::readFile(d.path());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, d.persistentDomain());
    EXPECT_FALSE(onDisk->contains("Name"));
    EXPECT_EQ((*onDisk)["Ratio"], 2.5);
}

TEST(UserDefaults, ObserversRunAfterTheChangeOutsideTheLock) {
    TempDir dir;
    UserDefaults d(dir.file("x.plist"));
    std::vector<std::string> seen;
    const auto id = d.addObserver([&](const std::string& key) {
        // Reading back from inside the observer must neither deadlock nor see the old value.
        seen.push_back(key + "=" + d.stringForKey(key));
    });
    d.setInteger(3, "a");
    d.removeObjectForKey("a");
    d.removeObserver(id);
    d.setInteger(4, "b");
    EXPECT_EQ(seen, (std::vector<std::string>{"a=3", "a="}));
}

TEST(UserDefaults, StandardLivesInTheContainerUnderTheBundleIdentifier) {
    TempDir bundleDir;
    ASSERT_TRUE(plist::writeFile(bundleDir.file("Info.plist"), Value{{"CFBundleIdentifier", "org.example.defaults"}}));
    Bundle::setMainBundle(Bundle::open(bundleDir.path()));
    {
        wharf::test::TempHome home;
        UserDefaults::standard().setObject("v", "k");
        EXPECT_EQ(UserDefaults::standard().path(), home.path() + "/Library/Preferences/org.example.defaults.plist");
        auto onDisk = plist::readFile(UserDefaults::standard().path());
        ASSERT_TRUE(onDisk);
        EXPECT_EQ((*onDisk)["k"], "v");
    }
    Bundle::setMainBundle(nullptr);
}

TEST(UserDefaults, UnreadableFileIsKeptAsideNotOverwritten) {
    TempDir dir;
    const std::string path = dir.file("x.plist");
    wharf::test::writeFile(path, "<plist><dict><key>lost");
    UserDefaults d(path);
    d.setInteger(1, "fresh");
    EXPECT_EQ(wharf::test::readFile(path + ".corrupt"), "<plist><dict><key>lost");
    EXPECT_EQ((*plist::readFile(path))["fresh"], 1);

    // A second unreadable file (a wrong root type this time) does not replace the first one kept aside.
    wharf::test::writeFile(path, "<plist><array><string>also kept</string></array></plist>");
    d.setInteger(2, "fresh");
    EXPECT_EQ(wharf::test::readFile(path + ".corrupt"), "<plist><dict><key>lost");
    EXPECT_EQ(wharf::test::readFile(path + ".corrupt.2"), "<plist><array><string>also kept</string></array></plist>");
    EXPECT_EQ((*plist::readFile(path))["fresh"], 2);
}

// While no file descriptor is left, the file cannot be read, though nothing is
// wrong with it: it is neither kept aside as unreadable nor replaced by what
// this instance holds, and the next change that can be saved saves the
// earlier ones too.
TEST(UserDefaults, AFileThatCannotBeReadForNowIsNeitherMovedNorReplaced) {
    TempDir dir;
    const std::string path = dir.file("x.plist");
    UserDefaults(path).setObject("kept", "k");
    UserDefaults d(path);
    {
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
        const int lowestFree = ::dup(0);
        ASSERT_GE(lowestFree, 0);
        ::close(lowestFree);
        rlimit none = old;
        none.rlim_cur = static_cast<rlim_t>(lowestFree);  // every descriptor below it is taken
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
        d.setInteger(1, "unsaved");
        d.removeObjectForKey("k");
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
    }
    EXPECT_NE(::access((path + ".corrupt").c_str(), F_OK), 0);
    ASSERT_TRUE(plist::readFile(path));
    EXPECT_EQ(*plist::readFile(path), Value({{"k", "kept"}}));
    EXPECT_EQ(d.integerForKey("unsaved"), 1);

    // The changes that could not be saved go with the next one that can.
    d.setInteger(2, "later");
    EXPECT_EQ(*plist::readFile(path), Value({{"unsaved", 1}, {"later", 2}}));
    EXPECT_EQ(d.persistentDomain(), Value({{"unsaved", 1}, {"later", 2}}));
}

// A value the file already holds is not written again (every write replaces
// the file: a new inode); one that differs on disk, if only in kind or
// because another process wrote meanwhile, is.
TEST(UserDefaults, OnlyChangesAreWrittenToTheFile) {
    TempDir dir;
    const std::string path = dir.file("Library/Preferences/x.plist");
    auto inode = [&] {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : ino_t{0};
    };
    UserDefaults d(path);
    d.removeObjectForKey("Absent");
    d.setObject(Value(1.0), "Ratio");
    d.setBool(true, "Flag");
    const ino_t written = inode();
    ASSERT_NE(written, ino_t{0});
    d.setBool(true, "Flag");
    d.setObject(Value(1.0), "Ratio");
    d.removeObjectForKey("Absent");
    EXPECT_EQ(inode(), written);

    d.setInteger(1, "Ratio");  // an integer where a real is stored
    EXPECT_NE(inode(), written);
    auto onDisk = plist::readFile(path);
    ASSERT_TRUE(onDisk);
    EXPECT_TRUE((*onDisk)["Ratio"].is_number_integer());

    // Another writer changed the file: the same call writes again.
    Value changed = *onDisk;
    changed["Flag"] = false;
    ASSERT_TRUE(plist::writeFile(path, changed));
    d.setBool(true, "Flag");
    EXPECT_EQ((*plist::readFile(path))["Flag"], true);
    const ino_t rewritten = inode();
    d.removeObjectForKey("Flag");
    EXPECT_NE(inode(), rewritten);
    EXPECT_FALSE(plist::readFile(path)->contains("Flag"));

    // Several keys in one write: set, removed, and one the file cannot hold
    // refused while the others go in.
    std::vector<std::string> observed;
    d.addObserver([&](const std::string& key) { observed.push_back(key); });
    d.setObjectsForKeys(Value{{"A", 1}, {"B", "b"}, {"Ratio", nullptr}, {"Bad", Value::array({nullptr})}});
    auto after = plist::readFile(path);
    ASSERT_TRUE(after);
    EXPECT_EQ((*after)["A"], 1);
    EXPECT_EQ((*after)["B"], "b");
    EXPECT_FALSE(after->contains("Ratio"));
    EXPECT_FALSE(after->contains("Bad"));
    EXPECT_EQ(observed, (std::vector<std::string>{"A", "B", "Ratio"}));
    const ino_t several = inode();
    d.setObjectsForKeys(Value{{"A", 1}, {"B", "b"}});
    EXPECT_EQ(inode(), several);
}

TEST(UserDefaults, WrittenByOneProcessReadByAnother) {
    TempDir dir;
    const std::string path = dir.file("shared.plist");
    UserDefaults mine(path);
    mine.setObject("parent", "who");

    const pid_t child = spawnWriter(path, "c", 3);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitExit(child), 0);

    EXPECT_FALSE(mine.objectForKey("c"));  // not until re-read
    ASSERT_TRUE(mine.synchronize());
    EXPECT_EQ(mine.stringForKey("c"), "c-done");
    EXPECT_EQ(mine.integerForKey("c3"), 3);
    EXPECT_EQ(mine.stringForKey("who"), "parent");  // the child kept the parent's key
}

TEST(UserDefaults, ConcurrentWritersOfDifferentKeysAllSurvive) {
    TempDir dir;
    const std::string path = dir.file("shared.plist");
    const int rounds = 25;
    std::vector<pid_t> children;
    for (const char* key : {"x", "y", "z"}) {
        const pid_t pid = spawnWriter(path, key, rounds);
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    UserDefaults mine(path);
    for (int i = 1; i <= rounds; ++i) mine.setInteger(i, "p" + std::to_string(i % 5));
    for (pid_t pid : children) EXPECT_EQ(waitExit(pid), 0);

    auto onDisk = plist::readFile(path);
    ASSERT_TRUE(onDisk);
    for (const char* key : {"x", "y", "z", "p"}) {
        for (int k = 0; k < 5; ++k) {
            const std::string name = key + std::to_string(k);
            ASSERT_TRUE(onDisk->contains(name)) << name << " lost: " << onDisk->dump();
            EXPECT_EQ((*onDisk)[name].get<int>() % 5, k) << name;
        }
        if (std::string(key) != "p") {
            EXPECT_EQ((*onDisk)[key], std::string(key) + "-done");
        }
    }
    EXPECT_EQ((*onDisk)["p0"], rounds);
}

TEST(UserDefaults, WhatIsStoredComesBackFromDiskUnchanged) {
    TempDir dir;
    const std::string path = dir.file("x.plist");
    UserDefaults d(path);
    // Dates far from 2001 and in the last second before it, the largest
    // unsigned integer, control characters and carriage returns.
    d.setObject(plist::dateValue(-2208988800.0), "1900");
    d.setObject(plist::dateValue(4102444800.0), "2100");
    d.setObject(plist::dateValue(978307199.3), "2000-12-31T23:59:59.3");
    d.setObject(Value(UINT64_MAX), "max");
    d.setObject(Value("a\x01\r\nb\r"), "text\x02");

    // Keys that differ only in invalid UTF-8 are refused instead of being
    // merged into one on disk.
    d.setInteger(1, "k\xFF");
    d.setInteger(2, "k\xFE");
    d.setObject(Value::array({"v\xFF"}), "k");
    EXPECT_FALSE(d.objectForKey("k\xFF"));
    EXPECT_FALSE(d.objectForKey("k"));

    UserDefaults again(path);
    EXPECT_EQ(again.persistentDomain(), d.persistentDomain());
    EXPECT_EQ(again.persistentDomain().size(), 5u);
    EXPECT_EQ(plist::dateSeconds(*again.objectForKey("2000-12-31T23:59:59.3")), 978307199.3);
    EXPECT_EQ(again.objectForKey("max")->get<uint64_t>(), UINT64_MAX);

    // A file that holds such keys is not read with them merged: it is kept
    // aside, byte for byte, when the domain is next saved.
    const std::string foreign =
        "<plist><dict><key>k\xFF</key><integer>1</integer><key>k\xFE</key><integer>2</integer></dict></plist>";
    wharf::test::writeFile(path, foreign);
    UserDefaults third(path);
    EXPECT_EQ(third.persistentDomain(), Value::object());
    third.setInteger(3, "fresh");
    EXPECT_EQ(wharf::test::readFile(path + ".corrupt"), foreign);
    EXPECT_EQ(*plist::readFile(path), (Value{{"fresh", 3}}));
}

TEST(UserDefaults, AFileWithADateBeyondXMLStillTakesNewValues) {
    // Binary files hold dates XML cannot spell; saving such a domain as XML
    // failed, so every later value was lost with the next process.
    TempDir dir;
    const std::string path = dir.file("x.plist");
    ASSERT_TRUE(plist::writeFile(path, Value{{"far", plist::dateValue(1e17)}}, plist::Format::Binary));
    UserDefaults d(path);
    d.setInteger(1, "later");
    UserDefaults again(path);
    EXPECT_EQ(again.integerForKey("later"), 1);
    ASSERT_TRUE(again.objectForKey("far"));
    EXPECT_EQ(plist::dateSeconds(*again.objectForKey("far")), 1e17);
}
