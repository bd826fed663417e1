// The local filesystem on real directories: path mapping, entries, the
// getFile decisions, removal, copy and move, reads, writes and metadata.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "TestSupport.h"
#include "platform/storage/RootDirectory.h"
#include "platform/storage/Xattr.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf {
namespace {

namespace fs = std::filesystem;
using platform::Value;
using test::readFile;
using test::writeFile;

WFFilesystemURL urlOf(const std::string& text) { return WFFilesystemURL::fileSystemURLWithString(text); }
WFFilesystemURL persistent(const std::string& fullPath) { return urlOf("wffile://localhost/persistent" + fullPath); }

int code(const WFPluginResult& result) { return result.message().is_number() ? result.message().get<int>() : -1; }

class LocalFilesystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir.path() + "/Docs";
        fs::create_directories(root);
        files = std::make_shared<WFLocalFilesystem>("persistent", root);
    }
    WFPluginResult copy(const std::string& from, const std::string& toDirectory, const std::string& name, bool isCopy,
                        const std::shared_ptr<WFFileSystem>& destination = nullptr) {
        std::optional<WFPluginResult> answer;
        (destination ? destination : files)
            ->copyFileToURL(persistent(toDirectory), name, files, persistent(from), isCopy,
                            [&](WFPluginResult r) { answer = std::move(r); });
        EXPECT_TRUE(answer);
        return answer.value_or(WFPluginResult());
    }
    struct Read {
        std::optional<platform::Bytes> data;
        std::optional<std::string> mimeType;
        int error = -1;
        std::string text() const { return data ? std::string(data->begin(), data->end()) : "<none>"; }
    };
    Read read(const std::string& fullPath, int64_t start, int64_t end) {
        Read r;
        files->readFileAtURL(persistent(fullPath), start, end,
                             [&](std::optional<platform::Bytes> d, std::optional<std::string> m, int32_t e) {
                                 r = {std::move(d), std::move(m), e};
                             });
        return r;
    }

    test::TempDir dir;
    std::string root;
    std::shared_ptr<WFLocalFilesystem> files;
};

// Every name below a directory (links not followed) with its contents and
// whether it carries the backup attribute.
std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        const std::string path = entry.path();
        std::string what = entry.is_symlink()     ? "link " + fs::read_symlink(path).string()
                           : entry.is_directory() ? "dir"
                                                  : readFile(path);
        if (platform::xattr::isExcludedFromBackup(path)) what += " +excluded";
        out[path] = what;
    }
    return out;
}

// The same operations through the kernel's resolution below the root and
// through the walk a component at a time that stands in where it is missing.
class LinksTest : public LocalFilesystemTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        LocalFilesystemTest::SetUp();
        platform::RootDirectory::setWalkOnly(GetParam());
        outside = dir.path() + "/outside";
        writeFile(outside + "/secret.txt", "secret");
        writeFile(outside + "/sub/inner.txt", "inner");
        writeFile(root + "/a.txt", "abc");
        writeFile(root + "/d/one.txt", "1");
        // Leading out: absolute and relative, to a file, a directory and nothing.
        fs::create_symlink(outside + "/secret.txt", root + "/out-file");
        fs::create_symlink("../outside/secret.txt", root + "/rel-out-file");
        fs::create_directory_symlink(outside, root + "/out-dir");
        fs::create_directory_symlink("../../outside/sub", root + "/d/rel-out-dir");
        fs::create_symlink(outside + "/made.txt", root + "/dangling");
        fs::create_symlink("../outside/made-too.txt", root + "/rel-dangling");
        // Staying inside, also by way of "..".
        fs::create_symlink("a.txt", root + "/in-file");
        fs::create_directory_symlink("../d", root + "/d/in-dir");
        fs::create_symlink("d/../a.txt", root + "/in-file-up");
        fs::create_directory_symlink("..", root + "/d/up");
        fs::create_directory_symlink("d", root + "/d-alias");
        before = snapshot(outside);
    }
    void TearDown() override { platform::RootDirectory::setWalkOnly(false); }

    std::string outside;
    std::map<std::string, std::string> before;
};

TEST_P(LinksTest, LinksLeadingOutOfTheRootAreRefusedAndTouchNothingThere) {
    auto bytes = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
    for (const std::string file : {"/out-file", "/rel-out-file", "/out-dir/secret.txt", "/d/rel-out-dir/inner.txt"}) {
        EXPECT_EQ(read(file, 0, -1).error, SECURITY_ERR) << file;
        EXPECT_EQ(code(files->entryForLocalURI(persistent(file))), SECURITY_ERR) << file;
        WFPluginResult written = files->writeToFileAtURL(persistent(file), bytes("gotcha"), false);
        EXPECT_EQ(written.status(), int(WFResultStatus::Error)) << file;
        EXPECT_EQ(code(written), SECURITY_ERR) << file;
        EXPECT_EQ(code(files->truncateFileAtURL(persistent(file), 0)), SECURITY_ERR) << file;
        WFPluginResult marked = files->setMetadataForURL(persistent(file), {{"com.apple.MobileBackup", true}});
        EXPECT_EQ(marked.status(), int(WFResultStatus::Error)) << file;
        EXPECT_EQ(code(marked), SECURITY_ERR) << file;
        std::optional<WFPluginResult> metadata;
        files->getFileMetadataForURL(persistent(file), [&](WFPluginResult r) { metadata = std::move(r); });
        EXPECT_EQ(code(metadata.value_or(WFPluginResult())), SECURITY_ERR) << file;
        EXPECT_EQ(code(files->getFileForURL(persistent("/"), file, Value::object())), SECURITY_ERR) << file;
        EXPECT_EQ(code(copy(file, "/", "copied.txt", true)), SECURITY_ERR) << file;
    }
    for (const std::string file : {"/dangling", "/rel-dangling"}) {
        EXPECT_EQ(code(files->writeToFileAtURL(persistent(file), bytes("made"), true)), SECURITY_ERR) << file;
        EXPECT_EQ(code(files->getFileForURL(persistent("/"), file, Value::parse(R"({"create":true})"))), SECURITY_ERR);
    }
    for (const std::string directory : {"/out-dir", "/d/rel-out-dir"}) {
        EXPECT_EQ(code(files->readEntriesAtURL(persistent(directory))), SECURITY_ERR) << directory;
        EXPECT_EQ(code(files->getFileForURL(persistent(directory), "new.txt", Value::parse(R"({"create":true})"))),
                  SECURITY_ERR);
        EXPECT_EQ(code(files->getFileForURL(persistent(directory), "new", Value::parse(R"({"create":1,"getDir":1})"))),
                  SECURITY_ERR);
        EXPECT_EQ(code(files->getParentForURL(persistent(directory + "/x/y"))), SECURITY_ERR) << directory;
        EXPECT_EQ(code(files->removeFileAtURL(persistent(directory + "/secret.txt"))), SECURITY_ERR);
        EXPECT_EQ(code(files->recursiveRemoveFileAtURL(persistent(directory + "/sub"))), SECURITY_ERR);
        EXPECT_EQ(code(files->recursiveRemoveFileAtURL(persistent(directory + "/inner.txt"))), SECURITY_ERR);
        EXPECT_EQ(code(copy("/a.txt", directory, "a.txt", true)), SECURITY_ERR) << directory;
        EXPECT_EQ(code(copy("/a.txt", directory, "a.txt", false)), SECURITY_ERR) << directory;
        EXPECT_EQ(code(copy("/d", directory, "d", false)), SECURITY_ERR) << directory;
    }
    EXPECT_EQ(snapshot(outside), before);
    EXPECT_EQ(readFile(root + "/a.txt"), "abc");
    EXPECT_EQ(readFile(root + "/d/one.txt"), "1");
    // A link is the page's own entry: removing it leaves what it led to.
    EXPECT_EQ(files->removeFileAtURL(persistent("/out-dir")).status(), int(WFResultStatus::OK));
    EXPECT_EQ(files->recursiveRemoveFileAtURL(persistent("/out-file")).status(), int(WFResultStatus::OK));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root + "/out-dir")));
    EXPECT_EQ(snapshot(outside), before);
}

TEST_P(LinksTest, LinksThatStayInsideTheRootWork) {
    auto bytes = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
    EXPECT_EQ(read("/in-file", 0, -1).text(), "abc");
    EXPECT_EQ(read("/in-file-up", 1, -1).text(), "bc");
    EXPECT_EQ(read("/d/in-dir/in-dir/one.txt", 0, -1).text(), "1");
    EXPECT_EQ(files->writeToFileAtURL(persistent("/in-file"), bytes("xyz"), true).message(), 3);
    EXPECT_EQ(readFile(root + "/a.txt"), "abcxyz");
    EXPECT_EQ(files->truncateFileAtURL(persistent("/in-file-up"), 2).message(), 2);
    EXPECT_EQ(readFile(root + "/a.txt"), "ab");
    EXPECT_EQ(files->entryForLocalURI(persistent("/d/in-dir")).message()["isDirectory"], true);
    EXPECT_EQ(files->getFileForURL(persistent("/d/in-dir"), "two.txt", Value::parse(R"({"create":true})")).status(),
              int(WFResultStatus::OK));
    EXPECT_TRUE(fs::is_regular_file(root + "/d/two.txt"));
    EXPECT_EQ(copy("/a.txt", "/d/in-dir", "a-copy.txt", true).status(), int(WFResultStatus::OK));
    EXPECT_EQ(readFile(root + "/d/a-copy.txt"), "ab");
    // A directory does not go into itself by way of a link to it either.
    EXPECT_EQ(code(copy("/d", "/d/in-dir", "again", true)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/d", "/d/in-dir", "again", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/d", "/d-alias", "again", true)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/d", "/d-alias", "again", false)), INVALID_MODIFICATION_ERR);
    EXPECT_FALSE(fs::exists(root + "/d/again"));
    EXPECT_TRUE(fs::is_regular_file(root + "/d/one.txt"));
    // Nor onto itself under the name it has.
    EXPECT_EQ(code(copy("/a.txt", "/d/up", "a.txt", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(readFile(root + "/a.txt"), "ab");
    bool listed = false;
    const Value entries = files->readEntriesAtURL(persistent("/d")).message();
    for (const auto& entry : entries)
        if (entry["name"] == "in-dir") listed = entry["isDirectory"] == true;
    EXPECT_TRUE(listed);
    EXPECT_EQ(snapshot(outside), before);
}

INSTANTIATE_TEST_SUITE_P(Resolution, LinksTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Kernel"; });

TEST_F(LocalFilesystemTest, FullPathsMapInsideTheRootOnly) {
    EXPECT_EQ(files->filesystemPathForFullPath("/a/b/"), root + "/a/b");
    EXPECT_EQ(files->filesystemPathForFullPath(""), root);
    EXPECT_EQ(files->filesystemPathForFullPath("/a/./b/../c?x=1"), root + "/a/c");
    // Nothing climbs out, however it is spelt.
    for (const std::string& escaping :
         std::vector<std::string>{"/..", "/../Docsx", "/a/../../b", "a/../../b", std::string("/a\0b", 4)})
        EXPECT_EQ(files->filesystemPathForFullPath(escaping), std::nullopt) << escaping;
    // Native paths match the root on whole components.
    EXPECT_EQ(files->fullPathForFileSystemPath(root + "/x/y"), "/x/y");
    EXPECT_EQ(files->fullPathForFileSystemPath(root), "/");
    EXPECT_EQ(files->fullPathForFileSystemPath(root + "x/y"), std::nullopt);
    EXPECT_EQ(files->fullPathForFileSystemPath(dir.path() + "/Other/y"), std::nullopt);
    EXPECT_EQ(files->fullPathForFileSystemPath(root + "/../Other"), std::nullopt);
    // A root reached through a link still matches its resolved paths.
    fs::create_directory_symlink(root, dir.path() + "/link");
    WFLocalFilesystem linked("persistent", dir.path() + "/link");
    EXPECT_EQ(linked.fullPathForFileSystemPath(root + "/z"), "/z");
    // The machine's root, when a filesystem serves it.
    WFLocalFilesystem top("root", "/");
    EXPECT_EQ(top.fullPathForFileSystemPath("/etc/x"), "/etc/x");
    EXPECT_EQ(top.URLforFilesystemPath("/etc/x")->absoluteURL(), "wffile://localhost/root/etc/x");
    EXPECT_EQ(top.filesystemPathForFullPath("/etc/x"), "/etc/x");
}

TEST_F(LocalFilesystemTest, EntriesDescribeFilesAndDirectories) {
    fs::create_directories(root + "/docs");
    files->setUrlTransformer([](const platform::Url& u) { return *platform::Url::parse(u.absoluteString() + "#t"); });
    Value dirEntry = files->makeEntryForPath("/docs", true);
    EXPECT_EQ(dirEntry["fullPath"], "/docs/");
    EXPECT_EQ(dirEntry["name"], "docs");
    EXPECT_EQ(dirEntry["isFile"], false);
    EXPECT_EQ(dirEntry["isDirectory"], true);
    EXPECT_EQ(dirEntry["filesystemName"], "persistent");
    EXPECT_EQ(dirEntry["nativeURL"], platform::Url::fileURL(root + "/docs").absoluteString() + "/#t");
    Value rootEntry = files->makeEntryForPath("/", true);
    EXPECT_EQ(rootEntry["name"], "/");
    EXPECT_EQ(rootEntry["fullPath"], "/");
    // A URL's query is no part of the entry.
    writeFile(root + "/a.txt", "a");
    EXPECT_EQ(files->makeEntryForLocalURL(persistent("/a.txt?v=2")).value_or(Value())["fullPath"], "/a.txt");
    // An entry for something that is not there is not made.
    EXPECT_EQ(files->makeEntryForLocalURL(persistent("/nothing")), std::nullopt);
    EXPECT_EQ(code(files->entryForLocalURI(persistent("/nothing"))), NOT_FOUND_ERR);
    EXPECT_EQ(code(files->entryForLocalURI(persistent("/../x"))), ENCODING_ERR);
}

TEST_F(LocalFilesystemTest, GetFileDecides) {
    writeFile(root + "/file.txt", "x");
    fs::create_directories(root + "/dir");
    struct Row {
        const char* path;
        const char* options;
        int expected;  // 0: OK
    };
    const Row rows[] = {
        {"missing.txt", "{}", NOT_FOUND_ERR},
        {"file.txt", "{}", 0},
        {"dir", R"({"getDir": 1})", 0},
        {"dir", "{}", TYPE_MISMATCH_ERR},
        {"file.txt", R"({"getDir": true})", TYPE_MISMATCH_ERR},
        {"file.txt", R"({"create": true, "exclusive": true})", PATH_EXISTS_ERR},
        {"file.txt", R"({"create": true})", 0},
        {"new.txt", R"({"create": true, "exclusive": 1})", 0},
        {"newdir", R"({"create": true, "getDir": true})", 0},
        {"no/parent.txt", R"({"create": true})", ABORT_ERR},
        {"a:b", R"({"create": true})", ENCODING_ERR},
        {"../escape.txt", R"({"create": true})", ENCODING_ERR},
        {"file.txt", R"({"create": "yes"})", 0},  // not a number: no create, the file exists
    };
    for (const auto& row : rows) {
        WFPluginResult r = files->getFileForURL(persistent("/"), row.path, Value::parse(row.options));
        if (row.expected) {
            EXPECT_EQ(r.status(), int(WFResultStatus::IOError)) << row.path << " " << row.options;
            EXPECT_EQ(code(r), row.expected) << row.path << " " << row.options;
        } else {
            EXPECT_EQ(r.status(), int(WFResultStatus::OK)) << row.path << " " << row.options;
        }
    }
    EXPECT_EQ(readFile(root + "/file.txt"), "x");  // create on an existing file keeps it
    EXPECT_TRUE(fs::is_regular_file(root + "/new.txt") && fs::file_size(root + "/new.txt") == 0);
    EXPECT_TRUE(fs::is_directory(root + "/newdir"));
    EXPECT_FALSE(fs::exists(dir.path() + "/escape.txt"));
    // A leading "/" in the requested path stays below the directory.
    WFPluginResult r = files->getFileForURL(persistent("/dir/"), "/inner.txt", Value::parse(R"({"create":true})"));
    EXPECT_EQ(r.message()["fullPath"], "/dir/inner.txt");
    EXPECT_TRUE(fs::exists(root + "/dir/inner.txt"));
    // A missing or non-text path is refused, not a crash.
    EXPECT_EQ(code(files->getFileForURL(persistent("/"), nullptr, Value())), ENCODING_ERR);
    EXPECT_EQ(code(files->getFileForURL(persistent("/"), 42, Value::array())), ENCODING_ERR);
}

TEST_F(LocalFilesystemTest, RootsAreNeverRemovedAndDirectoriesOnlyWhenEmpty) {
    writeFile(root + "/d/one.txt", "1");
    for (const std::string spelling : {"", "/", "/.", "/./", "/d/..", "//"}) {
        EXPECT_EQ(code(files->recursiveRemoveFileAtURL(persistent(spelling))), NO_MODIFICATION_ALLOWED_ERR) << spelling;
        EXPECT_EQ(code(files->removeFileAtURL(persistent(spelling))), NO_MODIFICATION_ALLOWED_ERR) << spelling;
    }
    EXPECT_EQ(readFile(root + "/d/one.txt"), "1");
    EXPECT_EQ(code(files->removeFileAtURL(persistent("/d"))), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(files->removeFileAtURL(persistent("/gone"))), NOT_FOUND_ERR);
    // A link to a directory outside goes alone; what it pointed to stays.
    test::TempDir outside;
    writeFile(outside.file("keep.txt"), "keep");
    fs::create_directory_symlink(outside.path(), root + "/d/link");
    EXPECT_EQ(files->recursiveRemoveFileAtURL(persistent("/d")).status(), int(WFResultStatus::OK));
    EXPECT_FALSE(fs::exists(root + "/d"));
    EXPECT_EQ(readFile(outside.file("keep.txt")), "keep");
    EXPECT_TRUE(fs::is_directory(root));
}

// A filesystem whose root holds the bundle, and another process renaming
// there meanwhile: a directory of the page's trades places with a link to
// the bundle, again and again, while the page changes that directory in
// every way it can. Nothing of it reaches the bundle.
TEST_F(LocalFilesystemTest, RenamesMeanwhileLeadNoChangeIntoTheReadOnlyDirectory) {
    const std::string app = root + "/outer/app";
    writeFile(app + "/config.xml", "<widget/>");
    writeFile(app + "/www/index.html", "<p>");
    files->setReadOnlyDirectory(app);
    const auto bundle = snapshot(app);
    writeFile(root + "/d/config.xml", "mine");
    writeFile(root + "/a.txt", "a");
    fs::create_directory_symlink("outer/app", root + "/swap");
    const platform::FileDescriptor top(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top);

    std::atomic<bool> changing{true};
    std::thread swapper([&] {
        for (int i = 0; i < 1000000 && changing; ++i)
            (void)::renameat2(top.get(), "d", top.get(), "swap", RENAME_EXCHANGE);
    });
    auto bytes = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
    const Value create = Value::parse(R"({"create":true})");
    const Value createDirectory = Value::parse(R"({"create":true,"getDir":true})");
    for (int i = 0; i < 150; ++i) {
        const std::string n = std::to_string(i);
        writeFile(root + "/m" + n, "moved");
        files->writeToFileAtURL(persistent("/d/config.xml"), bytes("written"), false);
        files->writeToFileAtURL(persistent("/d/new" + n), bytes("new"), true);
        files->truncateFileAtURL(persistent("/d/config.xml"), 0);
        files->getFileForURL(persistent("/d"), "made" + n, create);
        files->getFileForURL(persistent("/d"), "dir" + n, createDirectory);
        files->setMetadataForURL(persistent("/d/config.xml"), {{"com.apple.MobileBackup", true}});
        copy("/a.txt", "/d", "copy" + n, true);
        copy("/m" + n, "/d", "moved" + n, false);
        files->removeFileAtURL(persistent("/d/config.xml"));
        files->recursiveRemoveFileAtURL(persistent("/d/www"));
    }
    changing = false;
    swapper.join();
    // Nor does the removal of a directory that holds it.
    EXPECT_EQ(code(files->recursiveRemoveFileAtURL(persistent("/outer"))), NO_MODIFICATION_ALLOWED_ERR);
    EXPECT_EQ(snapshot(app), bundle);
}

// Another process swaps the page's file for a link to a file outside, and
// back, again and again, while the page writes to the file (appending, and
// replacing it): the file outside never changes, whatever the name was when
// each write looked at it. The swaps must land between a write's look and its
// open: the two threads run on two processors, and a read-only directory in
// the root (as where the root holds the bundle) gives each write more to
// decide there.
TEST_F(LocalFilesystemTest, AFileSwappedForALinkMeanwhileIsNeverWrittenThrough) {
    test::TempDir outside;
    writeFile(outside.file("secret.txt"), "secret");
    writeFile(root + "/a.txt", "a");
    fs::create_directories(root + "/app");
    files->setReadOnlyDirectory(root + "/app");
    fs::create_symlink(outside.file("secret.txt"), root + "/swap");
    const platform::FileDescriptor top(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top);

    // The writer stays where it runs; the swapper goes to another processor,
    // chosen at random so that tests run side by side spread out.
    cpu_set_t allowed, writer, swapping;
    CPU_ZERO(&allowed);
    CPU_ZERO(&writer);
    CPU_ZERO(&swapping);
    ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof allowed, &allowed), 0);
    const int here = ::sched_getcpu();
    std::vector<int> others;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed) && cpu != here) others.push_back(cpu);
    const bool twoProcessors = here >= 0 && CPU_ISSET(here, &allowed) && !others.empty();
    if (twoProcessors) {
        CPU_SET(here, &writer);
        CPU_SET(others[std::random_device{}() % others.size()], &swapping);
        ::pthread_setaffinity_np(::pthread_self(), sizeof writer, &writer);
    }
    std::atomic<bool> changing{true};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        if (twoProcessors) ::pthread_setaffinity_np(::pthread_self(), sizeof swapping, &swapping);
        while (changing) {
            (void)::renameat2(top.get(), "a.txt", top.get(), "swap", RENAME_EXCHANGE);
            ++swaps;
        }
    });
    const platform::Bytes written{'w'};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; (i < 1000 || swaps < 1000) && std::chrono::steady_clock::now() < deadline; ++i)
        files->writeToFileAtURL(persistent("/a.txt"), written, i % 2 == 0);
    changing = false;
    swapper.join();
    ::pthread_setaffinity_np(::pthread_self(), sizeof allowed, &allowed);
    EXPECT_EQ(readFile(outside.file("secret.txt")), "secret");
}

// The sweep for what copies cut short left reaches the roots as they were
// when the filesystems were made: a root renamed away and replaced by a
// link, or one not there then and made a link since, leads it nowhere else;
// one made as a directory since is swept, and the first once it is back.
TEST_F(LocalFilesystemTest, TheSweepForLeftoversKeepsToTheRootsAsMade) {
    const std::string leftover = "/.wharf-0123456789abcdef", outside = dir.file("outside");
    const std::string linked = dir.file("linked"), made = dir.file("made");
    writeFile(outside + leftover, "not ours");
    writeFile(root + "/d" + leftover, "ours");
    auto linkedLater = std::make_shared<WFLocalFilesystem>("linked", linked);
    auto madeLater = std::make_shared<WFLocalFilesystem>("made", made);
    fs::rename(root, dir.file("away"));
    fs::create_directory_symlink(outside, root);
    fs::create_directory_symlink(outside, linked);
    writeFile(made + "/d" + leftover, "half");
    WFLocalFilesystem::removeStagingLeftovers({files, linkedLater, madeLater});
    EXPECT_EQ(readFile(outside + leftover), "not ours");
    EXPECT_FALSE(fs::exists(made + "/d" + leftover));
    EXPECT_TRUE(fs::exists(dir.file("away/d") + leftover));
    fs::remove(root);
    fs::rename(dir.file("away"), root);
    WFLocalFilesystem::removeStagingLeftovers({files});
    EXPECT_FALSE(fs::exists(root + "/d" + leftover));
    EXPECT_EQ(readFile(outside + leftover), "not ours");
}

TEST_F(LocalFilesystemTest, CopyAndMoveKeepWhatTheyMayNotReplace) {
    writeFile(root + "/a.txt", "a");
    writeFile(root + "/b.txt", "b");
    writeFile(root + "/dir/in.txt", "in");
    writeFile(root + "/full/x", "x");
    // Copy onto an existing file: refused, target unchanged; move replaces it.
    EXPECT_EQ(code(copy("/a.txt", "/", "b.txt", true)), PATH_EXISTS_ERR);
    EXPECT_EQ(readFile(root + "/b.txt"), "b");
    WFPluginResult moved = copy("/a.txt", "/", "b.txt", false);
    EXPECT_EQ(moved.message()["fullPath"], "/b.txt");
    EXPECT_EQ(readFile(root + "/b.txt"), "a");
    EXPECT_FALSE(fs::exists(root + "/a.txt"));
    // Into itself: refused, nothing written; a sibling whose name begins alike is fine.
    EXPECT_EQ(code(copy("/dir", "/dir", "sub", true)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/dir", "/dir", "sub", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(std::distance(fs::directory_iterator(root + "/dir"), fs::directory_iterator()), 1);
    EXPECT_EQ(copy("/dir", "/", "dir-copy", true).message()["isDirectory"], true);
    EXPECT_EQ(readFile(root + "/dir-copy/in.txt"), "in");
    // A directory onto a non-empty one, a file onto a directory, the root: refused.
    EXPECT_EQ(code(copy("/dir", "/", "full", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/b.txt", "/", "dir", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(code(copy("/", "/dir", "root", false)), INVALID_MODIFICATION_ERR);
    EXPECT_EQ(readFile(root + "/full/x"), "x");
    EXPECT_EQ(readFile(root + "/dir/in.txt"), "in");
    // New names are names: they cannot climb or reach elsewhere.
    for (const std::string name : {"..", ".", "", "../out.txt", "x/y"})
        EXPECT_EQ(code(copy("/b.txt", "/dir", name, true)), ENCODING_ERR) << name;
    EXPECT_FALSE(fs::exists(dir.path() + "/out.txt"));
    EXPECT_EQ(code(copy("/b.txt", "/nowhere", "c.txt", true)), NOT_FOUND_ERR);
}

// Sets or clears a file's immutable flag (chattr +i); false where the
// system will not (it takes root, and a file system that has the flag).
bool setImmutable(const std::string& path, bool immutable) {
    const platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

TEST_F(LocalFilesystemTest, MoveAcrossDevicesHappensWhollyOrNotAtAll) {
    test::SmallFilesystem here("size=8m"), there("size=8m");
    WHARF_REQUIRE_COMPONENT(here.mounted() && there.mounted(), here.why());
    root = here.path();
    files = std::make_shared<WFLocalFilesystem>("persistent", root);
    auto elsewhere = std::make_shared<WFLocalFilesystem>("persistent", there.path());
    writeFile(root + "/tree/a.txt", "a");
    writeFile(root + "/tree/sub/b.txt", "b");
    WFPluginResult r = copy("/tree", "/", "tree", false, elsewhere);
    EXPECT_EQ(r.status(), int(WFResultStatus::OK));
    EXPECT_EQ(readFile(there.file("tree/a.txt")), "a");
    EXPECT_EQ(readFile(there.file("tree/sub/b.txt")), "b");
    EXPECT_FALSE(fs::exists(root + "/tree"));
    // No staging copy is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(there.path()), fs::directory_iterator()), 1);
    // The longest name goes across too, and replaces a file there.
    const std::string longest(255, 'l');
    writeFile(root + "/" + longest, "long");
    writeFile(there.file(longest), "replaced");
    EXPECT_EQ(copy("/" + longest, "/", longest, false, elsewhere).status(), int(WFResultStatus::OK));
    EXPECT_EQ(readFile(there.file(longest)), "long");
    EXPECT_FALSE(fs::exists(root + "/" + longest));

    // A source the system will not let go of: the move answers so, and both
    // sides stay as they were, whether the source is the file itself, or a
    // tree whose other files went before the one kept stopped the removal,
    // and whether the move was to replace a file or not.
    writeFile(root + "/kept.txt", "kept");
    writeFile(root + "/dir/a.txt", "a");
    writeFile(root + "/dir/sub/b.txt", "b");
    writeFile(root + "/dir/sub/kept.txt", "kept inside");
    writeFile(root + "/dir/sub/z.txt", "z");
    writeFile(there.file("old.txt"), "old");
    const bool immutable = setImmutable(root + "/kept.txt", true) && setImmutable(root + "/dir/sub/kept.txt", true);
    struct Release {
        std::string root;
        ~Release() {
            setImmutable(root + "/kept.txt", false);
            setImmutable(root + "/dir/sub/kept.txt", false);
        }
    } release{root};
    WHARF_REQUIRE_COMPONENT(immutable, "immutable files (chattr +i, as root on tmpfs)");
    const auto sourceBefore = snapshot(root);
    const auto targetBefore = snapshot(there.path());
    EXPECT_EQ(code(copy("/kept.txt", "/", "kept.txt", false, elsewhere)), NO_MODIFICATION_ALLOWED_ERR);
    EXPECT_EQ(code(copy("/kept.txt", "/", "old.txt", false, elsewhere)), NO_MODIFICATION_ALLOWED_ERR);
    EXPECT_EQ(code(copy("/dir", "/", "dir", false, elsewhere)), NO_MODIFICATION_ALLOWED_ERR);
    EXPECT_EQ(snapshot(root), sourceBefore);
    EXPECT_EQ(snapshot(there.path()), targetBefore);
}

TEST_F(LocalFilesystemTest, ReadsTakeTheAskedRange) {
    writeFile(root + "/a.txt", "abcdef");
    EXPECT_EQ(read("/a.txt", 2, 5).text(), "cde");
    EXPECT_EQ(read("/a.txt", 2, -1).text(), "cdef");
    EXPECT_EQ(read("/a.txt", 0, 100).text(), "abcdef");
    Read backwards = read("/a.txt", 5, 2);
    EXPECT_EQ(backwards.text(), "");
    EXPECT_EQ(backwards.error, 0);
    EXPECT_EQ(read("/a.txt", 0, -1).mimeType, "text/plain");
    EXPECT_EQ(read("/missing", 0, -1).error, NOT_FOUND_ERR);
    EXPECT_EQ(read("/../a.txt", 0, -1).error, ENCODING_ERR);
    // A pipe at the path answers at once instead of waiting for a writer.
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(read("/pipe", 0, -1).error, NOT_FOUND_ERR);
}

TEST_F(LocalFilesystemTest, WritesAndTruncationReportWhatHappened) {
    auto bytes = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
    EXPECT_EQ(files->writeToFileAtURL(persistent("/a.txt"), bytes("abcdef"), false).message(), 6);
    EXPECT_EQ(files->writeToFileAtURL(persistent("/a.txt"), bytes("gh"), true).message(), 2);
    EXPECT_EQ(readFile(root + "/a.txt"), "abcdefgh");
    EXPECT_EQ(files->writeToFileAtURL(persistent("/a.txt"), {}, true).message(), 0);
    EXPECT_EQ(readFile(root + "/a.txt"), "abcdefgh");
    // Truncation: a missing file is an error, offsets go past 4 GiB.
    EXPECT_EQ(code(files->truncateFileAtURL(persistent("/missing"), 0)), NOT_FOUND_ERR);
    EXPECT_FALSE(fs::exists(root + "/missing"));
    const int64_t big = (int64_t{5} << 30) + 3;
    WFPluginResult grown = files->truncateFileAtURL(persistent("/a.txt"), big);
    EXPECT_EQ(grown.message(), big);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(root + "/a.txt")), big);
    EXPECT_EQ(files->truncateFileAtURL(persistent("/a.txt"), 3).message(), 3);
    EXPECT_EQ(readFile(root + "/a.txt"), "abc");

    // A write the file system stops half-way is a failure, not a short success.
    writeFile(root + "/whole.bin", std::string(64 * 1024, 'w'));
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    WFPluginResult cut = files->writeToFileAtURL(persistent("/big.bin"), platform::Bytes(64 * 1024, 7), false);
    // So is a copy: nothing of it is left under the new name.
    WFPluginResult cutCopy = copy("/whole.bin", "/", "copied.bin", true);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, previous);
    EXPECT_EQ(cut.status(), int(WFResultStatus::Error));
    EXPECT_EQ(code(cut), QUOTA_EXCEEDED_ERR);
    EXPECT_EQ(code(cutCopy), QUOTA_EXCEEDED_ERR);
    EXPECT_FALSE(fs::exists(root + "/copied.bin"));
}

TEST_F(LocalFilesystemTest, MetadataDescribesTheFile) {
    writeFile(root + "/notes.txt", "hello");
    fs::create_directories(root + "/dir");
    auto metadata = [&](const std::string& fullPath) {
        std::optional<WFPluginResult> answer;
        files->getFileMetadataForURL(persistent(fullPath), [&](WFPluginResult r) { answer = std::move(r); });
        return answer.value_or(WFPluginResult());
    };
    Value m = metadata("/notes.txt").message();
    EXPECT_EQ(m["size"], 5);
    EXPECT_EQ(m["type"], "text/plain");
    EXPECT_EQ(m["name"], "notes.txt");
    EXPECT_EQ(m["fullPath"], "/notes.txt");
    struct stat st {};
    ::stat((root + "/notes.txt").c_str(), &st);
    EXPECT_NEAR(m["lastModifiedDate"].get<double>(), st.st_mtim.tv_sec * 1000.0 + st.st_mtim.tv_nsec / 1e6, 0.001);
    EXPECT_EQ(metadata("/dir").message()["size"], 0);
    WFPluginResult missing = metadata("/missing");
    EXPECT_EQ(missing.status(), int(WFResultStatus::Error));
    EXPECT_EQ(code(missing), NOT_FOUND_ERR);
}

}  // namespace
}  // namespace wharf
