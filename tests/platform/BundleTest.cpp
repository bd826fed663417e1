#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/Container.h"
#include "platform/PropertyList.h"

using namespace wharf::platform;
using wharf::test::TempDir;
using wharf::test::writeFile;

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

}  // namespace

TEST(Bundle, ReadsInfoPlistInEitherFormat) {
    TempDir dir;
    Value info = {{"CFBundleIdentifier", "org.example.app"}, {"CFBundleVersion", "1.2"}};
    ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), info, plist::Format::Binary));
    auto bundle = Bundle::open(dir.path());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), "org.example.app");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleVersion"), "1.2");
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").is_null());

    ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), info, plist::Format::XML));
    EXPECT_EQ(Bundle::open(dir.path() + "/")->infoDictionary(), info);
}

TEST(Bundle, MissingMalformedAndNonDictionaryInfo) {
    TempDir dir;
    auto bare = Bundle::open(dir.path());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->infoDictionary(), Value::object());
    EXPECT_EQ(bare->bundleIdentifier(), "");

    Error error;
    writeFile(dir.file("Info.plist"), "<plist><dict><key>x");
    EXPECT_FALSE(Bundle::open(dir.path(), &error));
    EXPECT_FALSE(error.domain.empty());

    ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), Value::array({1})));
    EXPECT_FALSE(Bundle::open(dir.path(), &error));

    EXPECT_FALSE(Bundle::open(dir.file("no-such-dir"), &error));
}

TEST(Bundle, ResourceLookupStaysInsideTheBundle) {
    TempDir outside;
    writeFile(outside.file("secret.txt"), "secret");
    TempDir dir;
    writeFile(dir.file("www/index.html"), "<p>");
    writeFile(dir.file("config.xml"), "<widget/>");
    writeFile(dir.file("README"), "plain");
    ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), dir.file("www/leak.txt").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), dir.file("escape").c_str()), 0);
    ASSERT_EQ(::symlink("index.html", dir.file("www/alias.html").c_str()), 0);
    auto bundle = Bundle::open(dir.path());
    ASSERT_TRUE(bundle);

    EXPECT_EQ(bundle->pathForResource("config", "xml"), dir.file("config.xml"));
    EXPECT_EQ(bundle->pathForResource("index", "html", "www"), dir.file("www/index.html"));
    EXPECT_EQ(bundle->pathForResource("www/index", "html"), dir.file("www/index.html"));
    EXPECT_EQ(bundle->pathForResource("README"), dir.file("README"));
    EXPECT_EQ(bundle->pathForResource("alias", "html", "www"), dir.file("www/alias.html"));  // a link inside is fine
    EXPECT_FALSE(bundle->pathForResource("missing", "html", "www"));

    EXPECT_FALSE(bundle->pathForResource("../" + std::string(outside.path()).substr(1) + "/secret", "txt"));
    EXPECT_FALSE(bundle->pathForResource("index", "html", "www/.."));
    EXPECT_FALSE(bundle->pathForResource("secret", "txt", ".."));
    EXPECT_FALSE(bundle->pathForResource("..", ""));
    EXPECT_FALSE(bundle->pathForResource(outside.file("secret"), "txt"));
    EXPECT_FALSE(bundle->pathForResource("secret", "txt", outside.path()));
    EXPECT_FALSE(bundle->pathForResource("config", "/../config.xml"));
    EXPECT_FALSE(bundle->pathForResource("leak", "txt", "www"));
    EXPECT_FALSE(bundle->pathForResource("secret", "txt", "escape"));
    EXPECT_FALSE(bundle->pathForResource("", ""));
}

TEST(Bundle, MainBundleDefaultsAndOverride) {
    TempDir dir;
    ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), Value{{"CFBundleIdentifier", "org.example.main"}}));
    {
        ScopedEnv env("WHARF_BUNDLE", dir.path().c_str());
        Bundle::setMainBundle(nullptr);
        EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "org.example.main");
        EXPECT_EQ(Bundle::mainBundle(), Bundle::mainBundle());
    }
    auto other = Bundle::open(dir.path());
    Bundle::setMainBundle(other);
    EXPECT_EQ(Bundle::mainBundle(), other);
    Bundle::setMainBundle(nullptr);
}

TEST(Container, HomeFromOverrideEnvironmentAndBundle) {
    TempDir dir;
    Container::resetHome();
    {
        ScopedEnv home("WHARF_HOME", dir.file("wharf-home").c_str());
        EXPECT_EQ(Container::home(), dir.file("wharf-home"));
        EXPECT_TRUE(isDirectory(dir.file("wharf-home")));

        Container::setHome(dir.file("override"));
        EXPECT_EQ(Container::home(), dir.file("override"));
        Container::resetHome();
        EXPECT_EQ(Container::home(), dir.file("wharf-home"));
    }
    {
        ScopedEnv home("WHARF_HOME", nullptr);
        ScopedEnv xdg("XDG_DATA_HOME", dir.file("xdg").c_str());
        ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), Value{{"CFBundleIdentifier", "org.example.c"}}));
        Bundle::setMainBundle(Bundle::open(dir.path()));
        EXPECT_EQ(Container::home(), dir.file("xdg/wharf/org.example.c"));

        // An identifier cannot lead the container elsewhere.
        ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), Value{{"CFBundleIdentifier", "../../x"}}));
        Bundle::setMainBundle(Bundle::open(dir.path()));
        EXPECT_EQ(Container::home(), dir.file("xdg/wharf/.._.._x"));

        ASSERT_TRUE(plist::writeFile(dir.file("Info.plist"), Value::object()));
        Bundle::setMainBundle(Bundle::open(dir.path()));
        EXPECT_EQ(Container::home(), dir.file("xdg/wharf/wharf"));
    }
    Bundle::setMainBundle(nullptr);
}

TEST(Container, DirectoriesAreCreatedPrivateOnDemand) {
    wharf::test::TempHome home;
    const std::string paths[] = {Container::documentsPath(),   Container::libraryPath(),
                                 Container::cachesPath(),      Container::applicationSupportPath(),
                                 Container::preferencesPath(), Container::tmpPath()};
    const char* expected[] = {"Documents",           "Library", "Library/Caches", "Library/Application Support",
                              "Library/Preferences", "tmp"};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(paths[i], home.path() + "/" + expected[i]);
        struct stat st {};
        ASSERT_EQ(::stat(paths[i].c_str(), &st), 0) << paths[i];
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << paths[i];
    }
    // A file in the way is reported, not papered over.
    writeFile(home.path() + "/blocked", "x");
    EXPECT_FALSE(Container::ensureDirectory(home.path() + "/blocked/sub"));

    // Many threads creating the same tree at once all succeed.
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] { ok += Container::ensureDirectory(home.path() + "/a/b/c/d") ? 1 : 0; });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 8);
}

// The child of the test below: threads ask where the home is (as a start-up
// sweep does off the main thread) while the process exits.
TEST(ContainerChild, AsksForTheHomeWhileTheProcessExits) {
    if (!std::getenv("WHARF_CONTAINER_CHILD")) GTEST_SKIP() << "run by Container.TheHomeOutlivesTheProcessesStatics";
    std::atomic<int> asked{0};
    for (int i = 0; i < 4; ++i)
        std::thread([&asked] {
            for (;;) {
                (void)Container::home();
                ++asked;
            }
        }).detach();
    while (asked < 100) std::this_thread::yield();
    std::exit(0);
}

// Work another thread still does as the process ends may still ask for the
// home and the main bundle: they outlive the statics that exit destroys.
TEST(Container, TheHomeOutlivesTheProcessesStatics) {
    TempDir dir;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(wharf::test::runChildTest("ContainerChild.AsksForTheHomeWhileTheProcessExits",
                                            {"WHARF_CONTAINER_CHILD=1", "WHARF_HOME=", "XDG_DATA_HOME=" + dir.path()}),
                  0)
            << "run " << i << " ended by a signal";
}
