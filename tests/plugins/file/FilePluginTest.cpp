// The file plug-in through the host's command delegate: the registry the
// preferences build, the actions' answers as the page receives them, and
// the "wffile" scheme's responses.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "Await.h"
#include "TestSupport.h"
#include "host/WFCommandQueue.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/FileBodyStream.h"
#include "platform/storage/AssetStore.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/Xattr.h"
#include "plugins/file/WFFile.h"
#include "plugins/file/WFFilesystemURLProtocol.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf {
namespace {

namespace fs = std::filesystem;
using platform::Container;
using platform::Value;

struct Answer {
    int status = -1;
    Value message;
};

class FilePluginTest : public ::testing::Test {
protected:
    // A child a test below starts works in the home its parent made.
    void SetUp() override {
        if (const char* parents = std::getenv(kChildHome))
            Container::setHome(parents);
        else
            home.emplace();
    }
    static constexpr const char* kChildHome = "WHARF_FILE_CHILD_HOME";

    // Creates the plug-in with these preferences (as config.xml gives them).
    void start(const Value& preferences = Value::object()) {
        controller = testing::FakeViewController::create();
        for (auto& [key, value] : preferences.items()) controller->mutableSettings()[key] = value;
        plugin = std::make_shared<WFFile>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "file");
    }

    // Runs an action and waits for the answer the page would get.
    Answer call(const std::string& action, const Value& arguments) {
        const std::string id = "File" + std::to_string(++calls);
        const std::string prefix = "nativeCallback('" + id + "',";
        plugin->performAction(action + ":", WFInvokedUrlCommand(arguments, id, "WFFile", action));
        std::vector<std::string> scripts;
        platform::RunLoop::pumpUntil([&] { return !(scripts = callbacksContaining(prefix)).empty(); });
        if (scripts.empty()) return {};
        return parse(scripts[0], prefix);
    }
    Answer error(int status, int code) { return {status, code}; }
    // Sends every call at once, without waiting for any answer, then waits
    // for all the answers, in the order of the calls.
    std::vector<Answer> sendTogether(const std::vector<std::pair<std::string, Value>>& batch) {
        std::vector<std::string> ids;
        for (const auto& [action, arguments] : batch) {
            ids.push_back("File" + std::to_string(++calls));
            plugin->performAction(action + ":", WFInvokedUrlCommand(arguments, ids.back(), "WFFile", action));
        }
        std::vector<Answer> answers;
        EXPECT_TRUE(platform::RunLoop::pumpUntil([&] {
            answers.clear();
            for (const auto& id : ids) {
                auto sent = callbacksContaining("nativeCallback('" + id + "',");
                if (sent.empty()) return false;
                answers.push_back(parse(sent[0], "nativeCallback('" + id + "',"));
            }
            return true;
        }));
        return answers;
    }
    // ...nativeCallback('<id>',<status>,<message>,<keep>, 0)
    static Answer parse(const std::string& script, const std::string& prefix) {
        std::string rest = script.substr(script.find(prefix) + prefix.size());
        Answer answer;
        answer.status = std::stoi(rest);
        rest = rest.substr(rest.find(',') + 1);
        answer.message = Value::parse(rest.substr(0, rest.size() - std::string(",0, 0)").size()));
        return answer;
    }
    // The callbacks delivered so far (several may share one script) that hold `text`.
    std::vector<std::string> callbacksContaining(const std::string& text) const {
        std::vector<std::string> found;
        for (auto& script : controller->engine()->callbackScripts())
            if (script.find(text) != std::string::npos) found.push_back(script);
        return found;
    }

    // What the "wffile" scheme answers for a URL.
    static platform::SchemeResponse fetch(const std::string& url) {
        platform::URLRequest request;
        request.url = *platform::Url::parse(url);
        return test::await<platform::SchemeResponse>(
                   [&](auto respond) { WFFilesystemURLProtocol::startLoading(request, respond); })
            .value_or(platform::SchemeResponse{});
    }
    // What the page gets: the bytes the answer carries, or those of the file
    // it is served from.
    static std::string bodyOf(const platform::SchemeResponse& response) {
        if (!response.bodyFile) return std::string(response.body.begin(), response.body.end());
        std::string text(response.bodyFileLength, '\0');
        EXPECT_EQ(
            ::pread(response.bodyFile->get(), text.data(), text.size(), static_cast<off_t>(response.bodyFileOffset)),
            static_cast<ssize_t>(text.size()));
        return text;
    }
    // The page's bridge asks for these features.
    void ask(const Value& features) {
        controller->commandQueue()->execute(WFInvokedUrlCommand(features, std::nullopt, "WharfBridge", "ask"));
    }
    // The bytes a readAsArrayBuffer answer carries in its text.
    static std::string inlineBytes(const Answer& answer) {
        auto bytes = platform::base64Decode(answer.message.value("data", "")).value_or(platform::Bytes());
        return std::string(bytes.begin(), bytes.end());
    }

    std::vector<std::string> fileSystemNames() {
        std::vector<std::string> names;
        for (const auto& root : call("requestAllFileSystems", Value::array()).message) {
            EXPECT_EQ(root["fullPath"], "/");
            names.push_back(root["filesystemName"]);
        }
        return names;
    }

    std::optional<test::TempHome> home;
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFFile> plugin;
    int calls = 0;
};

bool operator==(const Answer& a, const Answer& b) { return a.status == b.status && a.message == b.message; }
std::ostream& operator<<(std::ostream& out, const Answer& a) { return out << a.status << " " << a.message.dump(); }

TEST_F(FilePluginTest, PreferencesBuildTheRegistryInOrder) {
    start();
    EXPECT_EQ(fileSystemNames(),
              (std::vector<std::string>{"temporary", "persistent", "assets-library", "library", "library-nosync",
                                        "documents", "documents-nosync", "cache", "bundle", "root"}));
    // "root" is the application's home, not the machine's "/".
    EXPECT_EQ(call("_getLocalFilesystemPath", Value::array({"wffile://localhost/root/"})).message, Container::home());
    EXPECT_EQ(call("_getLocalFilesystemPath", Value::array({"wffile://localhost/persistent/a.txt"})).message,
              Container::documentsPath() + "/a.txt");

    platform::LogCapture log;
    test::TempDir elsewhere;
    start(Value{{"iospersistentfilelocation", "Library"},
                {"iosextrafilesystems", "cache, bundle,root"},
                {"rootfilesystemlocation", elsewhere.path()}});
    EXPECT_EQ(fileSystemNames(),
              (std::vector<std::string>{"temporary", "persistent", "assets-library", "cache", "root"}));
    EXPECT_TRUE(log.contains("Unrecognized extra filesystem identifier:  bundle"));
    EXPECT_EQ(call("_getLocalFilesystemPath", Value::array({"wffile://localhost/persistent/"})).message,
              Container::libraryPath() + "/files");
    EXPECT_EQ(call("_getLocalFilesystemPath", Value::array({"wffile://localhost/root/x"})).message,
              elsewhere.path() + "/x");

    // A bad persistent location leaves that filesystem out; the others move up.
    start(Value{{"iospersistentfilelocation", "elsewhere"}, {"iosextrafilesystems", ""}});
    EXPECT_EQ(fileSystemNames(), (std::vector<std::string>{"temporary", "assets-library"}));
    EXPECT_TRUE(log.contains("File plugin configuration error"));
}

TEST_F(FilePluginTest, RequestFileSystemAndNativePaths) {
    start();
    Answer temporary = call("requestFileSystem", Value::array({0, 0}));
    EXPECT_EQ(temporary.message["name"], "temporary");
    EXPECT_EQ(temporary.message["root"]["name"], "/");
    EXPECT_EQ(call("requestFileSystem", Value::array({10, 0})), error(9, NOT_FOUND_ERR));
    EXPECT_EQ(call("requestFileSystem", Value::array({-1, 0})), error(9, NOT_FOUND_ERR));
    EXPECT_EQ(call("requestFileSystem", Value::array({1, INT64_MAX})), error(6, QUOTA_EXCEEDED_ERR));
    // A native path names the filesystem with the shortest full path.
    test::writeFile(Container::documentsPath() + "/d/x.txt", "x");
    test::writeFile(Container::libraryPath() + "/NoCloud/y.txt", "y");
    Answer documents =
        call("resolveLocalFileSystemURI",
             Value::array({platform::Url::fileURL(Container::documentsPath() + "/d/x.txt").absoluteString()}));
    EXPECT_EQ(documents.message["filesystemName"], "persistent");
    EXPECT_EQ(documents.message["fullPath"], "/d/x.txt");
    Answer noCloud =
        call("resolveLocalFileSystemURI", Value::array({"file://" + Container::libraryPath() + "/NoCloud/y.txt"}));
    EXPECT_EQ(noCloud.message["filesystemName"], "library-nosync");
    EXPECT_EQ(call("resolveLocalFileSystemURI", Value::array({"wffile://localhost/nosuch/x"})), error(9, ENCODING_ERR));
    EXPECT_EQ(call("resolveLocalFileSystemURI", Value::array({"file:///etc/passwd"})), error(9, ENCODING_ERR));
}

TEST_F(FilePluginTest, WriteReadAndRemoveAsThePageSeesThem) {
    start();
    const std::string docs = Container::documentsPath();
    const Value url = "wffile://localhost/persistent/a.txt";
    EXPECT_EQ(call("getFile", Value::array({"wffile://localhost/persistent/", "a.txt", {{"create", true}}})).status, 1);
    EXPECT_EQ(call("write", Value::array({url, "abcdef", 0})), (Answer{1, 6}));
    EXPECT_EQ(call("write", Value::array({url, "xyz", 2})), (Answer{1, 3}));
    EXPECT_EQ(test::readFile(docs + "/a.txt"), "abxyz");
    // Data of another kind: the file is still cut at the position.
    EXPECT_EQ(call("write", Value::array({url, 42, 1})), (Answer{9, "Invalid parameter type"}));
    EXPECT_EQ(test::readFile(docs + "/a.txt"), "a");
    EXPECT_EQ(call("truncate", Value::array({"wffile://localhost/persistent/none.txt", 0})), error(6, NOT_FOUND_ERR));

    test::writeFile(docs + "/t.txt", "h\xC3\xA9llo");
    const Value text = "wffile://localhost/persistent/t.txt";
    EXPECT_EQ(call("readAsText", Value::array({text, "utf-8", 0, -1})), (Answer{1, "h\xC3\xA9llo"}));
    EXPECT_EQ(call("readAsText", Value::array({text, "latin1", 0, -1})), error(6, ENCODING_ERR));
    test::writeFile(docs + "/bad.txt", "\xFF\xFE");
    EXPECT_EQ(call("readAsText", Value::array({"wffile://localhost/persistent/bad.txt", "UTF-8", 0, -1})),
              error(6, ENCODING_ERR));
    EXPECT_EQ(call("readAsDataURL", Value::array({text, 1, 3})), (Answer{1, "data:text/plain;base64,w6k="}));

    EXPECT_EQ(call("remove", Value::array({"wffile://localhost/persistent"})), error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/persistent/"})),
              error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(call("copyTo", Value::array({text, "wffile://localhost/persistent/", "a:b"})), error(6, ENCODING_ERR));
    EXPECT_TRUE(fs::exists(docs + "/t.txt"));
    Answer copied = call("copyTo", Value::array({text, "wffile://localhost/temporary/", nullptr}));
    EXPECT_EQ(copied.message["fullPath"], "/t.txt");
    EXPECT_EQ(test::readFile(Container::tmpPath() + "/t.txt"), "h\xC3\xA9llo");
}

// Writes sent together (two writers on one file) each replace the file
// whole, never one appended after the other; of copies sent together to one
// name, one is made and the others find it there.
TEST_F(FilePluginTest, ChangesSentTogetherNeitherMergeNorReplaceEachOther) {
    start();
    const std::string docs = Container::documentsPath();
    auto sendAll = [&](const std::string& action, int count, auto arguments) {
        std::vector<std::pair<std::string, Value>> batch;
        for (int i = 0; i < count; ++i) batch.push_back({action, arguments(i)});
        std::vector<int> statuses;
        for (const auto& answer : sendTogether(batch)) statuses.push_back(answer.status);
        return statuses;
    };
    const Value url = "wffile://localhost/persistent/c.txt";
    auto written = sendAll("write", 8, [&](int i) {
        return Value::array({url, std::string(200000, char('a' + i)), 0});
    });
    EXPECT_EQ(written, std::vector<int>(8, 1));
    const std::string content = test::readFile(docs + "/c.txt");
    EXPECT_EQ(content.size(), 200000u);
    EXPECT_EQ(content.find_first_not_of(content.front()), std::string::npos);

    for (int i = 0; i < 8; ++i) test::writeFile(docs + "/src" + std::to_string(i), std::string(2 << 20, char('a' + i)));
    auto copied = sendAll("copyTo", 8, [&](int i) {
        return Value::array(
            {"wffile://localhost/persistent/src" + std::to_string(i), "wffile://localhost/persistent/", "copy"});
    });
    ASSERT_EQ(std::count(copied.begin(), copied.end(), 1), 1);
    EXPECT_EQ(std::count(copied.begin(), copied.end(), 6), 7);
    const auto made = std::find(copied.begin(), copied.end(), 1) - copied.begin();
    EXPECT_EQ(test::readFile(docs + "/copy"), test::readFile(docs + "/src" + std::to_string(made)));
}

// Two writes sent without waiting, the second further on: both land, in
// order; a cut sent after a write cuts what that write wrote; a read sent
// after a write reads it.
TEST_F(FilePluginTest, WritesAndCutsSentBackToBackTakeEffectInTheOrderSent) {
    start();
    const std::string docs = Container::documentsPath();
    std::vector<std::pair<std::string, Value>> calls;
    for (int i = 0; i < 30; ++i) {
        const std::string url = "wffile://localhost/persistent/w" + std::to_string(i) + ".txt";
        calls.push_back({"write", Value::array({url, "AAAA", 0})});
        calls.push_back({"write", Value::array({url, "BBBB", 4})});
        calls.push_back({"write", Value::array({url, std::string(100000, 'C'), 8})});
        calls.push_back({"truncate", Value::array({url, 10})});
        calls.push_back({"write", Value::array({url, "D", 10})});
        calls.push_back({"readAsText", Value::array({url, "UTF-8", 0, -1})});
    }
    const auto answers = sendTogether(calls);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(test::readFile(docs + "/w" + std::to_string(i) + ".txt"), "AAAABBBBCCD") << i;
        EXPECT_EQ(answers[i * 6 + 1], (Answer{1, 4})) << i;
        EXPECT_EQ(answers[i * 6 + 3], (Answer{1, 10})) << i;
        EXPECT_EQ(answers[i * 6 + 5], (Answer{1, "AAAABBBBCCD"})) << i;
    }
}

TEST_F(FilePluginTest, TheBundleIsReadOnly) {
    test::TempDir bundle;
    test::writeFile(bundle.file("config.xml"), "<widget/>");
    test::writeFile(bundle.file("www/index.html"), "<p>");
    platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    start();
    platform::Bundle::setMainBundle(nullptr);
    const std::string config = "wffile://localhost/bundle/config.xml";
    const Answer refused = error(6, NO_MODIFICATION_ALLOWED_ERR);
    EXPECT_EQ(call("write", Value::array({config, "<widget><content src='http://evil/'/></widget>", 0})), refused);
    EXPECT_EQ(call("write", Value::array({"wffile://localhost/bundle/www/new.html", "<p>", 0})), refused);
    EXPECT_EQ(call("truncate", Value::array({config, 0})), refused);
    EXPECT_EQ(call("remove", Value::array({config})), refused);
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/bundle/www"})), refused);
    EXPECT_EQ(call("setMetadata", Value::array({config, {{"com.apple.MobileBackup", true}}})), refused);
    EXPECT_EQ(call("getFile", Value::array({"wffile://localhost/bundle/", "new.html", {{"create", true}}})), refused);
    EXPECT_EQ(call("getDirectory", Value::array({"wffile://localhost/bundle/", "new", {{"create", true}}})), refused);
    test::writeFile(Container::documentsPath() + "/page.html", "<p>mine</p>");
    EXPECT_EQ(call("copyTo", Value::array({"wffile://localhost/persistent/page.html", "wffile://localhost/bundle/www/",
                                           "index.html"})),
              refused);
    EXPECT_EQ(call("moveTo", Value::array({"wffile://localhost/persistent/page.html", "wffile://localhost/bundle/www/",
                                           "other.html"})),
              refused);
    EXPECT_EQ(call("moveTo", Value::array({config, "wffile://localhost/persistent/", "config.xml"})), refused);
    EXPECT_EQ(test::readFile(bundle.file("config.xml")), "<widget/>");
    EXPECT_EQ(test::readFile(bundle.file("www/index.html")), "<p>");
    EXPECT_FALSE(platform::xattr::isExcludedFromBackup(bundle.file("config.xml")));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(bundle.path()), fs::recursive_directory_iterator()), 3);
    // Nor does a filesystem whose root holds the bundle reach it, by name
    // or through a link.
    const auto parent = fs::path(bundle.path()).parent_path().string();
    const std::string name = fs::path(bundle.path()).filename();
    const std::string home = fs::path(Container::home()).filename();
    fs::create_directory_symlink("../" + name + "/www", Container::home() + "/www-link");
    platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    start(Value{{"rootfilesystemlocation", parent}});
    platform::Bundle::setMainBundle(nullptr);
    const std::string viaRoot = "wffile://localhost/root/" + name;
    EXPECT_EQ(call("write", Value::array({viaRoot + "/config.xml", "x", 0})), refused);
    EXPECT_EQ(call("removeRecursively", Value::array({viaRoot + "/www"})), refused);
    EXPECT_EQ(call("removeRecursively", Value::array({viaRoot})), refused);
    EXPECT_EQ(call("getFile", Value::array({viaRoot + "/www/", "new.html", {{"create", true}}})), refused);
    EXPECT_EQ(call("copyTo", Value::array({"wffile://localhost/persistent/page.html", viaRoot + "/", "p.html"})),
              refused);
    EXPECT_EQ(call("moveTo", Value::array({viaRoot + "/config.xml", "wffile://localhost/persistent/", "c.xml"})),
              refused);
    EXPECT_EQ(call("write", Value::array({"wffile://localhost/root/" + home + "/www-link/x", "x", 0})), refused);
    EXPECT_EQ(call("remove", Value::array({"wffile://localhost/root/" + home + "/www-link/index.html"})), refused);
    // Beside the bundle, the root is the page's as before.
    test::TempDir sibling;
    const std::string siblingURL = "wffile://localhost/root/" + fs::path(sibling.path()).filename().string();
    EXPECT_EQ(call("write", Value::array({siblingURL + "/mine.txt", "mine", 0})), (Answer{1, 4}));
    EXPECT_EQ(test::readFile(sibling.file("mine.txt")), "mine");

    // Reading it, and copying out of it, are the page's to do.
    EXPECT_EQ(call("readAsText", Value::array({config, "UTF-8", 0, -1})), (Answer{1, "<widget/>"}));
    EXPECT_EQ(call("copyTo", Value::array({config, "wffile://localhost/persistent/", "copy.xml"})).status, 1);
    EXPECT_EQ(test::readFile(Container::documentsPath() + "/copy.xml"), "<widget/>");
}

// Any name of up to 255 bytes is copied and moved as well as made.
TEST_F(FilePluginTest, TheLongestNamesAreCopiedAndMoved) {
    test::TempDir pictures;
    test::writeFile(pictures.file("pic.jpg"), "jpeg");
    ::setenv("WHARF_PICTURES_DIR", pictures.path().c_str(), 1);
    start();
    ::unsetenv("WHARF_PICTURES_DIR");
    const std::string docs = Container::documentsPath();
    const std::string name(255, 'n');
    ASSERT_EQ(call("getFile", Value::array({"wffile://localhost/persistent/", name, {{"create", true}}})).status, 1);
    ASSERT_EQ(call("write", Value::array({"wffile://localhost/persistent/" + name, "long", 0})), (Answer{1, 4}));
    Answer copied = call(
        "copyTo", Value::array({"wffile://localhost/persistent/" + name, "wffile://localhost/temporary/", nullptr}));
    EXPECT_EQ(copied.message["name"], name);
    EXPECT_EQ(test::readFile(Container::tmpPath() + "/" + name), "long");
    const std::string other(254, 'm');
    EXPECT_EQ(
        call("copyTo", Value::array({"wffile://localhost/persistent/" + name, "wffile://localhost/persistent/", other}))
            .status,
        1);
    EXPECT_EQ(test::readFile(docs + "/" + other), "long");
    Answer fromLibrary = call("copyTo", Value::array({platform::AssetStore::urlForRelativePath("pic.jpg"),
                                                      "wffile://localhost/persistent/", std::string(250, 'p')}));
    EXPECT_EQ(fromLibrary.status, 1) << fromLibrary.message;
    EXPECT_EQ(test::readFile(docs + "/" + std::string(250, 'p')), "jpeg");
}

TEST_F(FilePluginTest, AnUncreatableTemporaryDirectoryIsLoggedWithItsError) {
    platform::LogCapture log;
    fs::remove_all(Container::home() + "/tmp");
    test::writeFile(Container::home() + "/tmp", "a file where the directory should be");
    start();
    EXPECT_TRUE(log.contains("Unable to create temporary directory: Error Domain=NSPOSIXErrorDomain Code=20 \"" +
                             platform::errnoText(ENOTDIR) + "\""));
    EXPECT_EQ(fileSystemNames().front(), "persistent");
}

// The answers of the actions that look at entries and at the machine.
TEST_F(FilePluginTest, ParentsMetadataAndTheMachineAsThePageSeesThem) {
    start();
    const std::string docs = Container::documentsPath();
    test::writeFile(docs + "/d/x.txt", "x");
    fs::create_directories(docs + "/e");
    Answer parent = call("getParent", Value::array({"wffile://localhost/persistent/d/x.txt"}));
    EXPECT_EQ(parent.message["fullPath"], "/d/");
    EXPECT_EQ(parent.message["isDirectory"], true);
    EXPECT_EQ(call("getParent", Value::array({"wffile://localhost/persistent/d"})).message["fullPath"], "/");
    EXPECT_EQ(call("getParent", Value::array({"wffile://localhost/persistent/"})).message["fullPath"], "/");
    EXPECT_EQ(call("getParent", Value::array({"wffile://localhost/persistent/none/x.txt"})), error(6, NOT_FOUND_ERR));

    // With create, the entry is of the kind asked for, whatever is there.
    Answer asFile = call("getFile", Value::array({"wffile://localhost/persistent/", "e", {{"create", true}}}));
    EXPECT_EQ(asFile.message["isFile"], true);
    EXPECT_EQ(asFile.message["fullPath"], "/e");
    Answer asDirectory =
        call("getDirectory", Value::array({"wffile://localhost/persistent/", "d/x.txt", {{"create", true}}}));
    EXPECT_EQ(asDirectory.message["isDirectory"], true);
    EXPECT_EQ(asDirectory.message["fullPath"], "/d/x.txt/");

    // The backup flag goes on and comes off the file itself.
    const std::string file = docs + "/d/x.txt";
    const bool attributes = platform::xattr::setExcludedFromBackup(file, false) == platform::xattr::Result::Ok;
    if (attributes) {
        const Value url = "wffile://localhost/persistent/d/x.txt";
        EXPECT_EQ(call("setMetadata", Value::array({url, {{"com.apple.MobileBackup", true}}})), (Answer{1, nullptr}));
        EXPECT_TRUE(platform::xattr::isExcludedFromBackup(file));
        EXPECT_EQ(call("setMetadata", Value::array({url, {{"com.apple.MobileBackup", 0}}})), (Answer{1, nullptr}));
        EXPECT_FALSE(platform::xattr::isExcludedFromBackup(file));
        EXPECT_EQ(call("setMetadata", Value::array({url, {{"com.apple.MobileBackup", "yes"}}})), (Answer{9, nullptr}));
        EXPECT_FALSE(platform::xattr::isExcludedFromBackup(file));
    }

    Answer metadata = call("getFileMetadata", Value::array({"wffile://localhost/persistent/d/x.txt"}));
    EXPECT_EQ(metadata.message["size"], 1);
    EXPECT_EQ(metadata.message["name"], "x.txt");
    EXPECT_EQ(metadata.message["type"], "text/plain");

    EXPECT_EQ(call("testFileExists", Value::array({file})), (Answer{1, 1}));
    EXPECT_EQ(call("testFileExists", Value::array({docs + "/e"})), (Answer{1, 1}));
    EXPECT_EQ(call("testFileExists", Value::array({docs + "/none"})), (Answer{1, 0}));
    EXPECT_EQ(call("testDirectoryExists", Value::array({docs + "/e"})), (Answer{1, 1}));
    EXPECT_EQ(call("testDirectoryExists", Value::array({file})), (Answer{1, 0}));
    EXPECT_EQ(call("testDirectoryExists", Value::array({docs + "/none"})), (Answer{1, 0}));

    const Value paths = call("requestAllPaths", Value::array()).message;
    auto directory = [](const std::string& path) { return platform::Url::fileURL(path).absoluteString() + "/"; };
    EXPECT_EQ(paths["applicationDirectory"], directory(platform::Bundle::mainBundle()->bundlePath()));
    EXPECT_EQ(paths["applicationStorageDirectory"], directory(Container::home()));
    EXPECT_EQ(paths["dataDirectory"], directory(Container::libraryPath() + "/NoCloud"));
    EXPECT_EQ(paths["syncedDataDirectory"], directory(Container::libraryPath() + "/Cloud"));
    EXPECT_EQ(paths["documentsDirectory"], directory(docs));
    EXPECT_EQ(paths["cacheDirectory"], directory(Container::cachesPath()));
    EXPECT_EQ(paths["tempDirectory"], directory(Container::tmpPath()));
    EXPECT_TRUE(fs::is_directory(Container::libraryPath() + "/Cloud"));
    EXPECT_TRUE(fs::is_directory(Container::libraryPath() + "/NoCloud"));

    // The free space of the volume holding Documents, as the machine tells it.
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(docs.c_str(), &volume), 0);
    const double free = static_cast<double>(volume.f_bavail) * static_cast<double>(volume.f_frsize);
    const Answer space = call("getFreeDiskSpace", Value::array());
    ASSERT_TRUE(space.message.is_string());
    EXPECT_NEAR(std::stod(space.message.get<std::string>()), free, free * 0.05 + 1e6);
    EXPECT_GT(std::stod(space.message.get<std::string>()), 0);
}

TEST_F(FilePluginTest, SizesNoFileCanHoldAreRefusedNotMisplacedOrLeftUnanswered) {
    test::TempDir pictures;
    ::setenv("WHARF_PICTURES_DIR", pictures.path().c_str(), 1);
    struct RestorePictures {
        ~RestorePictures() { ::unsetenv("WHARF_PICTURES_DIR"); }
    } restorePictures;
    start();
    const std::string docs = Container::documentsPath();
    const Value url = "wffile://localhost/persistent/a.txt";
    test::writeFile(docs + "/a.txt", "abcdef");
    // A position the file cannot be cut at writes nothing, here or at the end.
    EXPECT_EQ(call("write", Value::array({url, "xyz", INT64_MAX})).status, 6);
    EXPECT_EQ(call("write", Value::array({url, "xyz", -3})), error(6, INVALID_MODIFICATION_ERR));
    EXPECT_EQ(test::readFile(docs + "/a.txt"), "abcdef");

    // A sparse file far larger than memory: reading it whole answers an error.
    const int64_t huge = int64_t{1} << 40;
    ASSERT_EQ(call("truncate", Value::array({url, huge})), (Answer{1, huge}));
    EXPECT_EQ(call("readAsArrayBuffer", Value::array({url, 0, -1})), error(6, NOT_READABLE_ERR));
    EXPECT_EQ(call("readAsArrayBuffer", Value::array({url, huge - 2, huge + 5})),
              (Answer{1, {{"WFType", "ArrayBuffer"}, {"data", "AAA="}}}));
    platform::URLRequest request;
    request.url = *platform::Url::parse("wffile://localhost/persistent/a.txt");
    auto response = test::await<platform::SchemeResponse>(
        [&](auto respond) { WFFilesystemURLProtocol::startLoading(request, respond); });
    ASSERT_TRUE(response);
    // The scheme serves it as the page reads it, from the file.
    EXPECT_EQ(response->status, 200);
    ASSERT_TRUE(response->bodyFile && *response->bodyFile);
    EXPECT_EQ(response->bodyFileLength, static_cast<uint64_t>(huge));
    char head[3] = {};
    EXPECT_EQ(::pread(response->bodyFile->get(), head, sizeof head, 0), 3);
    EXPECT_EQ(std::string(head, 3), "abc");

    // Under a lowered bound, answers are sized by the text they make: 600 KiB
    // of two-byte characters fit as text, not as a character per byte; bytes
    // fit while their Base64 does, for a bridge that asked for nothing.
    ::setenv("WHARF_LARGEST_READ", "1048576", 1);
    struct Restore {
        ~Restore() { ::unsetenv("WHARF_LARGEST_READ"); }
    } restore;
    std::string accents;
    while (accents.size() < (600 << 10)) accents += "\xC3\xA9";
    test::writeFile(docs + "/accents.txt", accents);
    const Value accentsURL = "wffile://localhost/persistent/accents.txt";
    EXPECT_EQ(call("readAsText", Value::array({accentsURL, "UTF-8"})), (Answer{1, accents}));
    EXPECT_EQ(call("readAsBinaryString", Value::array({accentsURL})), error(6, NOT_READABLE_ERR));
    // Each NUL is six characters of the text.
    test::writeFile(docs + "/nuls.txt", std::string(200 << 10, '\0'));
    EXPECT_EQ(call("readAsText", Value::array({"wffile://localhost/persistent/nuls.txt", "UTF-8"})),
              error(6, NOT_READABLE_ERR));
    test::writeFile(docs + "/fits.bin", std::string(700 << 10, 'x'));
    test::writeFile(docs + "/over.bin", std::string(800 << 10, 'x'));
    EXPECT_EQ(call("readAsArrayBuffer", Value::array({"wffile://localhost/persistent/fits.bin"})).status, 1);
    EXPECT_EQ(call("readAsArrayBuffer", Value::array({"wffile://localhost/persistent/over.bin"})),
              error(6, NOT_READABLE_ERR));
    EXPECT_EQ(call("readAsDataURL", Value::array({"wffile://localhost/persistent/over.bin"})),
              error(6, NOT_READABLE_ERR));
    // A picture too: the range counts, not the whole.
    test::writeFile(pictures.file("long.txt"), std::string(3 << 19, 'a'));
    const Value picture = platform::AssetStore::urlForRelativePath("long.txt");
    EXPECT_EQ(call("readAsText", Value::array({picture, "UTF-8"})), error(6, NOT_READABLE_ERR));
    EXPECT_EQ(call("readAsText", Value::array({picture, "UTF-8", 1 << 20, -1})),
              (Answer{1, std::string(1 << 19, 'a')}));
}

TEST_F(FilePluginTest, NoFilesystemRootGoesThroughAnotherFilesystem) {
    start();
    test::writeFile(Container::documentsPath() + "/keep.txt", "k");
    test::writeFile(Container::cachesPath() + "/keep.txt", "k");
    // "root" is the container: the others' roots lie inside it.
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/root/Documents"})),
              error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/root/Library/"})),
              error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(call("remove", Value::array({"wffile://localhost/root/tmp"})), error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(call("moveTo", Value::array({"wffile://localhost/root/Library", "wffile://localhost/temporary/", "L"})),
              error(6, INVALID_MODIFICATION_ERR));
    // Nor does a move put another directory in a root's place (Library/NoCloud,
    // the empty root of "library-nosync"): its filesystem would refuse it.
    fs::create_directories(Container::tmpPath() + "/empty");
    EXPECT_EQ(
        call("moveTo", Value::array({"wffile://localhost/temporary/empty", "wffile://localhost/library/", "NoCloud"})),
        error(6, INVALID_MODIFICATION_ERR));
    EXPECT_TRUE(fs::is_directory(Container::tmpPath() + "/empty"));
    EXPECT_EQ(call("readEntries", Value::array({"wffile://localhost/library-nosync/"})).status, 1);
    EXPECT_EQ(test::readFile(Container::documentsPath() + "/keep.txt"), "k");
    EXPECT_EQ(test::readFile(Container::cachesPath() + "/keep.txt"), "k");
    EXPECT_TRUE(fs::is_directory(Container::tmpPath()));
    // What is not a root stays the page's own.
    test::writeFile(Container::libraryPath() + "/mine/x", "x");
    EXPECT_EQ(
        call("moveTo", Value::array({"wffile://localhost/root/Library/mine", "wffile://localhost/temporary/", "m"}))
            .message["fullPath"],
        "/m/");
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/temporary/m"})).status, 1);
}

// Every file below a directory with its contents.
std::map<std::string, std::string> contents(const std::string& directory) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        out[entry.path()] = entry.is_regular_file() ? test::readFile(entry.path()) : "";
    return out;
}

// Another process renames the home's Documents away and puts a link to a
// directory outside, or a directory of its own, in its place, again and
// again, while the page reads and writes there: the page gets its own files
// or a refusal, and nothing outside is read or written. Once Documents is
// back, the page has its files again.
TEST_F(FilePluginTest, ARootRenamedAwayAndReplacedLeadsNowhereElse) {
    start();
    const std::string home = Container::home(), docs = Container::documentsPath();
    test::writeFile(docs + "/f.txt", "mine");
    test::TempDir outside;
    test::writeFile(outside.file("f.txt"), "outside");
    fs::create_directory_symlink(outside.path(), home + "/link");
    test::writeFile(home + "/impostor/f.txt", "impostor");
    const auto outsideBefore = contents(outside.path()), impostorBefore = contents(home + "/impostor");
    const platform::FileDescriptor top(::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top);
    // Each exchange renames one away and puts the other in its place at once.
    auto exchange = [&](const char* with) {
        return ::renameat2(top.get(), "Documents", top.get(), with, RENAME_EXCHANGE) == 0;
    };
    const Value file = "wffile://localhost/persistent/f.txt";
    auto written = [](int i) { return "wffile://localhost/persistent/w" + std::to_string(i) + ".txt"; };

    std::atomic<bool> swapping{true};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        for (int i = 0; swapping; ++i) {
            const char* with = i % 2 ? "impostor" : "link";
            ASSERT_TRUE(exchange(with));
            std::this_thread::yield();
            ASSERT_TRUE(exchange(with));
            ++swaps;
            std::this_thread::yield();
        }
    });
    // Reads give "mine" or are refused; writes land or are refused (by the
    // cut that goes first, or by the write itself).
    std::map<std::string, int> reads, writes;
    std::vector<int> kept;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; (i < 300 || swaps < 300) && std::chrono::steady_clock::now() < deadline; ++i) {
        const Answer read = call("readAsText", Value::array({file, "UTF-8", 0, -1}));
        ++reads[read.status == 1 || read.message != SECURITY_ERR ? read.message.dump() : "refused"];
        const Answer write = call("write", Value::array({written(i), "w", 0}));
        ++writes[write.status == 1 ? "written" : write.message == SECURITY_ERR ? "refused" : write.message.dump()];
        if (write.status == 1) kept.push_back(i);
    }
    swapping = false;
    swapper.join();
    EXPECT_GT(swaps, 0);
    reads.erase("\"mine\"");
    reads.erase("refused");
    writes.erase("written");
    writes.erase("refused");
    EXPECT_EQ(reads, (std::map<std::string, int>{}));
    EXPECT_EQ(writes, (std::map<std::string, int>{}));
    EXPECT_EQ(contents(outside.path()), outsideBefore);
    EXPECT_EQ(contents(home + "/impostor"), impostorBefore);
    for (int i : kept) EXPECT_EQ(test::readFile(docs + "/w" + std::to_string(i) + ".txt"), "w") << i;

    // While another stands in its place, the page is refused; back, it is served.
    ASSERT_TRUE(exchange("link"));
    EXPECT_EQ(call("readAsText", Value::array({file, "UTF-8", 0, -1})), error(6, SECURITY_ERR));
    EXPECT_EQ(call("write", Value::array({written(-1), "w", 0})).message, SECURITY_ERR);
    EXPECT_EQ(call("readEntries", Value::array({"wffile://localhost/persistent/"})), error(6, SECURITY_ERR));
    ASSERT_TRUE(exchange("link"));
    EXPECT_EQ(call("readAsText", Value::array({file, "UTF-8", 0, -1})), (Answer{1, "mine"}));
    EXPECT_EQ(contents(outside.path()), outsideBefore);
}

// A root not there when the plug-in starts ("root" named by the
// preferences, the photo library with its parent) is served once it is made as a directory
// (the links on the part of its path that was there are followed, as they
// are for a root there at start); made as a link, by a local process before
// the page first reaches it, it is refused as a root replaced by one is, and
// nothing it leads to is read, written or listed. The next start takes
// whatever the path leads to then.
TEST_F(FilePluginTest, ARootMadeAfterStartIsServedAsADirectoryNeverThroughALink) {
    test::TempDir dir;
    fs::create_directories(dir.file("real"));
    fs::create_directory_symlink("real", dir.file("via"));
    const std::string later = dir.file("via/later"), pictures = dir.file("via/photos/Pictures");
    const std::string outside = dir.file("outside");
    test::writeFile(outside + "/secret.txt", "OUTSIDE-SECRET");
    test::writeFile(outside + "/p.jpg", "OUTSIDE-PICTURE");
    const auto outsideBefore = contents(outside);
    platform::LogCapture log;
    ::setenv("WHARF_PICTURES_DIR", pictures.c_str(), 1);
    start(Value{{"rootfilesystemlocation", later}});
    ::unsetenv("WHARF_PICTURES_DIR");
    auto read = [&](const std::string& url) { return call("readAsText", Value::array({url, "UTF-8", 0, -1})); };
    const std::string secret = "wffile://localhost/root/secret.txt";
    const std::string picture = platform::AssetStore::urlForRelativePath("p.jpg");
    EXPECT_EQ(read(secret), error(6, NOT_FOUND_ERR));
    EXPECT_EQ(read(picture), error(6, NOT_FOUND_ERR));

    fs::create_directory_symlink(outside, later);
    fs::create_directories(dir.file("via/photos"));
    fs::create_directory_symlink("../../outside", pictures);
    EXPECT_EQ(read(secret), error(6, SECURITY_ERR));
    EXPECT_EQ(call("write", Value::array({"wffile://localhost/root/w.txt", "w", 0})).message, SECURITY_ERR);
    EXPECT_EQ(call("getFile", Value::array({"wffile://localhost/root/", "made.txt", {{"create", true}}})),
              error(6, SECURITY_ERR));
    EXPECT_EQ(call("readEntries", Value::array({"wffile://localhost/root/"})), error(6, SECURITY_ERR));
    EXPECT_EQ(read(picture), error(6, NOT_FOUND_ERR));
    EXPECT_EQ(contents(outside), outsideBefore);
    EXPECT_EQ(log.count(later + " was not there at start and is now reached through a link"), 1u);

    // Made as directories instead, they are served, and held from then on.
    fs::remove(later);
    fs::remove(pictures);
    test::writeFile(later + "/secret.txt", "mine");
    test::writeFile(pictures + "/p.jpg", "picture");
    EXPECT_EQ(read(secret), (Answer{1, "mine"}));
    EXPECT_EQ(read(picture), (Answer{1, "picture"}));
    EXPECT_EQ(call("write", Value::array({"wffile://localhost/root/w.txt", "w", 0})), (Answer{1, 1}));
    fs::rename(later, dir.file("away"));
    fs::create_directory_symlink(outside, later);
    EXPECT_EQ(read(secret), error(6, SECURITY_ERR));
    EXPECT_EQ(contents(outside), outsideBefore);
    EXPECT_EQ(test::readFile(dir.file("away/w.txt")), "w");

    start(Value{{"rootfilesystemlocation", later}});
    EXPECT_EQ(read(secret), (Answer{1, "OUTSIDE-SECRET"}));
}

TEST_F(FilePluginTest, AQuestionMarkInANameIsPartOfTheName) {
    start();
    const std::string docs = Container::documentsPath();
    test::writeFile(docs + "/d/keep.txt", "k");
    test::writeFile(docs + "/d?x/f.txt", "f");
    Value listed;
    for (const auto& entry : call("readEntries", Value::array({"wffile://localhost/persistent/"})).message)
        if (entry["fullPath"] == "/d?x/") listed = entry;
    EXPECT_EQ(listed["name"], "d?x");
    EXPECT_EQ(listed["nativeURL"], "file://" + docs + "/d%3Fx/");
    Answer copied = call(
        "copyTo", Value::array({"wffile://localhost/persistent/d/keep.txt", "wffile://localhost/persistent/", "k?v"}));
    EXPECT_EQ(copied.message["name"], "k?v");
    EXPECT_EQ(call("readAsText", Value::array({"wffile://localhost/persistent/k%3Fv", "utf-8", 0, -1})),
              (Answer{1, "k"}));
    // Removing "d?x" (as the page escapes it) removes that directory, not "d".
    EXPECT_EQ(call("removeRecursively", Value::array({"wffile://localhost/persistent/d%3Fx/"})).status, 1);
    EXPECT_FALSE(fs::exists(docs + "/d?x"));
    EXPECT_EQ(test::readFile(docs + "/d/keep.txt"), "k");
    // A real query is still no part of the path.
    EXPECT_EQ(call("readAsText", Value::array({"wffile://localhost/persistent/d/keep.txt?v=2", "utf-8", 0, -1})),
              (Answer{1, "k"}));
    // Resolved, an escaped "?" names the file that has it, not the one its
    // name begins with.
    test::writeFile(docs + "/q", "q");
    test::writeFile(docs + "/q?x.txt", "qx");
    Answer resolved = call("resolveLocalFileSystemURI", Value::array({"wffile://localhost/persistent/q%3Fx.txt"}));
    EXPECT_EQ(resolved.message["fullPath"], "/q?x.txt");
    EXPECT_EQ(resolved.message["name"], "q?x.txt");
    EXPECT_EQ(
        call("resolveLocalFileSystemURI", Value::array({"wffile://localhost/persistent/q?x.txt"})).message["fullPath"],
        "/q");
    EXPECT_EQ(call("remove", Value::array({"wffile://localhost/persistent" +
                                           platform::percentEncode(resolved.message["fullPath"].get<std::string>())})),
              (Answer{1, nullptr}));
    EXPECT_FALSE(fs::exists(docs + "/q?x.txt"));
    EXPECT_EQ(test::readFile(docs + "/q"), "q");
}

TEST_F(FilePluginTest, EveryActionAnswersBadArgumentsWithoutCrashing) {
    start();
    const Value shapes[] = {
        Value::array(), Value::array({nullptr, nullptr, nullptr, nullptr}),
        Value::array({42, {{"x", 1}}, Value::array(), true}),
        Value::array({"wffile://localhost/nosuch/x", "y", "z", 1}),
        Value::array({"wffile://localhost/persistent/../../wharf-escape", "../wharf-escape", {{"create", true}}, -5})};
    for (const auto& [selector, action] : WFFile::actions()) {
        const std::string name = selector.substr(0, selector.size() - 1);
        for (const auto& arguments : shapes) EXPECT_NE(call(name, arguments).status, -1) << name << arguments.dump();
    }
    EXPECT_FALSE(fs::exists(Container::home() + "/wharf-escape"));
    EXPECT_FALSE(fs::exists(Container::home() + "/../wharf-escape"));
}

TEST_F(FilePluginTest, SchemeServesFilesUncachedAndMissingOnesAs404) {
    start();
    test::writeFile(Container::documentsPath() + "/a.css", "p{}");
    platform::SchemeResponse css = fetch("wffile://localhost/persistent/a.css");
    EXPECT_EQ(css.status, 200);
    EXPECT_EQ(css.headers["Content-Type"], "text/css");
    EXPECT_EQ(css.headers["Cache-Control"], "no-cache");
    EXPECT_EQ(bodyOf(css), "p{}");
    platform::SchemeResponse missing = fetch("wffile://localhost/persistent/none.css");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.headers["Cache-Control"], "no-cache");
    EXPECT_EQ(fetch("wffile://localhost/nosuch/a.css").status, 404);

    // A large readAsArrayBuffer answers the bytes themselves, unless the
    // page's bridge asked for them by URL: then they are held for one fetch
    // by the scheme; up to a mebibyte they are in the answer all the same.
    std::string large(3 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4096);
    test::writeFile(Container::documentsPath() + "/large.bin", large);
    const Value url = "wffile://localhost/persistent/large.bin";
    EXPECT_TRUE(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, -1}))) == large);
    ask(Value::array({"arrayBufferURL"}));
    EXPECT_EQ(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, 1 << 20}))).size(), std::size_t{1} << 20);
    const Answer held = call("readAsArrayBuffer", Value::array({url, 0, -1}));
    ASSERT_EQ(held.status, 1);
    EXPECT_EQ(held.message["WFType"], "ArrayBuffer");
    EXPECT_FALSE(held.message.contains("data"));
    ASSERT_TRUE(held.message.contains("url")) << held.message.dump().substr(0, 100);
    const std::string heldURL = held.message["url"];
    const platform::SchemeResponse fetched = fetch(heldURL);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_TRUE(bodyOf(fetched) == large);
    EXPECT_EQ(fetch(heldURL).status, 404);  // once only
    // A new document lets go of what the last one did not fetch, and of its ask.
    const Answer forgotten = call("readAsArrayBuffer", Value::array({url, 1, -1}));
    plugin->onReset();
    controller->commandQueue()->documentCommitted();
    EXPECT_EQ(fetch(forgotten.message.value("url", "")).status, 404);
    EXPECT_TRUE(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, -1}))) == large);
    // An ask that comes from the last document, its batch the answer to a
    // script sent to it before the new one came (a fetch, a callback),
    // holds for neither.
    bool asked = false;
    controller->engine()->setResponder([&](const std::string&) {
        if (asked) return std::string();
        asked = true;
        controller->commandQueue()->documentCommitted();
        return std::string(R"([[null,"WharfBridge","ask",["arrayBufferURL"]]])");
    });
    // (An answer's script is evaluated after the batch before it has run.)
    auto afterwards = [&] { EXPECT_EQ(call("testFileExists", Value::array({"/"})).status, 1); };
    controller->commandQueue()->fetchCommandsFromJs();
    afterwards();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, -1}))) == large);
    asked = false;
    afterwards();
    afterwards();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, -1}))) == large);
    controller->engine()->setResponder(nullptr);
    // The page that is there now asks as it did before. Each ask names all
    // the bridge wants.
    ask(Value::array({"arrayBufferURL"}));
    EXPECT_TRUE(call("readAsArrayBuffer", Value::array({url, 0, -1})).message.contains("url"));
    ask(Value::array({"somethingElse"}));
    EXPECT_TRUE(inlineBytes(call("readAsArrayBuffer", Value::array({url, 0, -1}))) == large);
}

// The answers held for the page's fetches hold their bytes in memory while
// they fit under the bound together (the page may change the file right
// after asking: they are what was read); beyond it, none is dropped: they
// are sent from the file, should it still be as it was read, else the fetch
// fails. Bytes count until the page has them, and no longer.
TEST_F(FilePluginTest, AnswersHeldForTheirFetchStayWithinTheBoundAndNoneIsLost) {
    constexpr std::size_t kBound = 8 << 20, kSize = 5 << 20;
    ::setenv("WHARF_LARGEST_READ", std::to_string(kBound).c_str(), 1);
    struct Restore {
        ~Restore() { ::unsetenv("WHARF_LARGEST_READ"); }
    } restore;
    start();
    ask(Value::array({"arrayBufferURL"}));
    const std::string docs = Container::documentsPath();
    std::map<std::string, std::string> files;
    for (const char* name : {"a", "b", "c"})
        test::writeFile(docs + "/" + name + ".bin", files[name] = std::string(kSize, name[0]));
    auto read = [&](const std::string& name) {
        const Answer answer =
            call("readAsArrayBuffer", Value::array({"wffile://localhost/persistent/" + name + ".bin"}));
        EXPECT_EQ(answer.status, 1);
        EXPECT_FALSE(answer.message.contains("data"));
        return answer.message.value("url", "");
    };
    // Its last bytes written anew, and one more: another version, whatever
    // the clock's grain.
    auto change = [&](const std::string& name, const std::string& tail) {
        EXPECT_EQ(call("write", Value::array({"wffile://localhost/persistent/" + name + ".bin", tail, kSize - 4})),
                  (Answer{1, static_cast<int>(tail.size())}));
        files[name] = files[name].substr(0, kSize - 4) + tail;
    };

    // a fits; b does not beside it. Both files change before the fetches:
    // a's answer is what was read, b's cannot be had any more.
    const std::string oldA = files["a"];
    const std::string a = read("a"), b = read("b");
    change("a", "AAAAA");
    change("b", "BBBBB");
    std::optional<platform::SchemeResponse> fetchedA = fetch(a);
    EXPECT_EQ(fetchedA->status, 200);
    EXPECT_EQ(fetchedA->mimeType, "application/octet-stream");
    EXPECT_FALSE(fetchedA->bodyFile);
    EXPECT_TRUE(bodyOf(*fetchedA) == oldA);
    EXPECT_EQ(fetch(b).status, 404);

    // While a's bytes are on their way, c does not fit either: it is sent
    // from its file, unchanged. Once the page has a's, c fits again.
    platform::SchemeResponse fetchedC = fetch(read("c"));
    EXPECT_EQ(fetchedC.status, 200);
    EXPECT_EQ(fetchedC.mimeType, "application/octet-stream");
    ASSERT_TRUE(fetchedC.bodyFile);
    EXPECT_EQ(fetchedC.bodyFileLength, kSize);
    EXPECT_TRUE(bodyOf(fetchedC) == files["c"]);
    fetchedA.reset();
    std::string oldC = files["c"];
    const std::string again = read("c");
    change("c", "CCCCC");
    platform::SchemeResponse fetchedAgain = fetch(again);
    EXPECT_FALSE(fetchedAgain.bodyFile);
    EXPECT_TRUE(bodyOf(fetchedAgain) == oldC);

    // What a page leaves unfetched goes with it, and counts no more.
    fetchedAgain = {};
    const std::string left = read("c");
    plugin->onReset();
    EXPECT_EQ(fetch(left).status, 404);
    oldC = files["c"];
    const std::string after = read("c");
    change("c", "DDDD");
    EXPECT_TRUE(bodyOf(fetch(after)) == oldC) << "held in memory, as it was read";
}

// The body the scheme sends is the file as it was opened: changed since,
// the body fails rather than mix versions; unchanged, it comes whole, from
// where the response says, and its descriptor goes with the stream.
TEST_F(FilePluginTest, TheSchemesBodyIsTheFileAsItWasOpened) {
    start();
    const std::string path = Container::documentsPath() + "/a.txt";
    test::writeFile(path, "abcdef");
    // Whether the descriptor of the response's file is open still (as that file).
    auto open = [](int fd, const struct stat& file) {
        struct stat now {};
        return ::fstat(fd, &now) == 0 && now.st_dev == file.st_dev && now.st_ino == file.st_ino;
    };
    auto readAll = [](GInputStream* stream, std::string& out) {
        char buffer[4] = {};
        GError* error = nullptr;
        gssize n;
        while ((n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, &error)) > 0) out.append(buffer, n);
        if (error) g_error_free(error);
        g_object_unref(stream);
        return n == 0;
    };
    struct stat file {};
    ASSERT_EQ(::stat(path.c_str(), &file), 0);
    platform::SchemeResponse whole = fetch("wffile://localhost/persistent/a.txt");
    ASSERT_TRUE(whole.bodyFile);
    const int fd = whole.bodyFile->get();
    std::string body;
    EXPECT_TRUE(readAll(platform::newFileBodyStream(whole), body));
    EXPECT_EQ(body, "abcdef");
    EXPECT_FALSE(open(fd, file));

    // (Longer: another version whatever the clock's grain.)
    platform::SchemeResponse changed = fetch("wffile://localhost/persistent/a.txt");
    const int changedFd = changed.bodyFile->get();
    test::writeFile(path, "abcdefg");
    body.clear();
    EXPECT_FALSE(readAll(platform::newFileBodyStream(changed), body));
    EXPECT_FALSE(open(changedFd, file));
}

// A filesystem that never answers a read (native code may register one)
// holds back none of the actions sent after the read.
TEST_F(FilePluginTest, AnActionLeftUnansweredHoldsOnlyItself) {
    struct Silent : WFLocalFilesystem {
        using WFLocalFilesystem::WFLocalFilesystem;
        void readFileAtURL(const WFFilesystemURL&, int64_t, int64_t, WFFileReadCallback) override {}
    };
    start();
    test::TempDir silent;
    plugin->registerFilesystem(std::make_shared<Silent>("silent", silent.path()));
    WFFile::setAnswerWait(std::chrono::milliseconds(100));
    struct Restore {
        ~Restore() { WFFile::setAnswerWait(std::chrono::seconds(60)); }
    } restore;
    plugin->performAction("readAsText:", WFInvokedUrlCommand(Value::array({"wffile://localhost/silent/x", "UTF-8"}),
                                                             "Unanswered", "WFFile", "readAsText"));
    EXPECT_EQ(call("write", Value::array({"wffile://localhost/persistent/after.txt", "after", 0})), (Answer{1, 5}));
    EXPECT_EQ(test::readFile(Container::documentsPath() + "/after.txt"), "after");
    EXPECT_TRUE(callbacksContaining("'Unanswered'").empty());
}

using FilePluginChild = FilePluginTest;

// The child of the crash test below: copies a large file and removes the
// copy, each action sent once the last is answered, for as long as it lives,
// however long its parent takes to catch it copying.
TEST_F(FilePluginChild, CopiesUntilKilled) {
    if (home) GTEST_SKIP() << "run by FilePluginTest.WhatACopyCutShortLeftIsRemovedAndNeverListed only";
    start();
    for (;;) {
        call("copyTo",
             Value::array({"wffile://localhost/persistent/big.bin", "wffile://localhost/persistent/copies/", "copy"}));
        call("remove", Value::array({"wffile://localhost/persistent/copies/copy"}));
    }
}

// The user the child below runs as, as a page's host runs as a user.
constexpr uid_t kNobody = 65534;

// The child of the test below: installs a filter that refuses one system
// call ($WHARF_FILE_CHILD_REFUSE: "openat2:EPERM", say), gives up root (so
// that a directory its owner may not search answers EACCES), then runs a
// page's actions on the home its parent made.
TEST_F(FilePluginChild, WorksUnderAFilterThatRefusesACall) {
    const char* refuse = std::getenv("WHARF_FILE_CHILD_REFUSE");
    if (home || !refuse) GTEST_SKIP() << "run by FilePluginTest.EveryActionWorksWhereAFilterRefusesOpenat2 only";
    const std::string refused(refuse);
    const std::map<std::string, long> calls = {{"openat2", SYS_openat2}, {"readlinkat", SYS_readlinkat}};
    const std::map<std::string, int> errors = {{"EPERM", EPERM}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS}};
    const long number = calls.at(refused.substr(0, refused.find(':')));
    const int err = errors.at(refused.substr(refused.find(':') + 1));
    ASSERT_TRUE(test::refuseSyscall(number, err)) << platform::errnoText(errno);
    // The filter answers before the kernel would look at the arguments.
    ASSERT_EQ(::syscall(number, -1, nullptr, nullptr, 0), -1);
    ASSERT_EQ(errno, err);
    // Every thread's (the C library sees to it).
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setresgid(kNobody, kNobody, kNobody), 0);
    ASSERT_EQ(::setresuid(kNobody, kNobody, kNobody), 0);

    platform::LogCapture log;
    start();
    const std::string docs = "wffile://localhost/persistent/";
    auto read = [&](const std::string& url) { return call("readAsText", Value::array({url, "UTF-8", 0, -1})); };
    // What the owner may not search answers as a permission failure, and
    // sends no later resolution to the walk: with readlinkat refused, the
    // walk could not follow the link inside the root read after it.
    EXPECT_EQ(call("getFileMetadata", Value::array({docs + "locked/f.txt"})), error(9, ABORT_ERR));
    EXPECT_EQ(call("write", Value::array({docs + "locked/new.txt", "x", 0})), error(6, NO_MODIFICATION_ALLOWED_ERR));
    EXPECT_EQ(read(docs + "in-file"), (Answer{1, "abc"}));
    EXPECT_EQ(read(docs + "a.txt"), (Answer{1, "abc"}));
    EXPECT_EQ(read(docs + "out-file"), error(6, SECURITY_ERR));
    // A write through a link is resolved by hand, which needs readlinkat.
    if (refused.rfind("readlinkat", 0) != 0) {
        EXPECT_EQ(call("write", Value::array({docs + "out-file", "gotcha", 0})).message, SECURITY_ERR);
    }
    std::vector<std::string> names;
    for (const auto& entry : call("readEntries", Value::array({docs})).message) names.push_back(entry["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"NoCloud", "a.txt", "in-file", "locked", "out-file"}));
    EXPECT_EQ(call("getDirectory", Value::array({docs, "new", {{"create", true}}})).status, 1);
    EXPECT_EQ(call("write", Value::array({docs + "new/w.txt", "w", 0})), (Answer{1, 1}));
    EXPECT_EQ(call("copyTo", Value::array({docs + "a.txt", docs + "new/", "b.txt"})).message["fullPath"], "/new/b.txt");
    EXPECT_EQ(call("moveTo", Value::array({docs + "new/b.txt", docs, "c.txt"})).message["fullPath"], "/c.txt");
    EXPECT_EQ(call("removeRecursively", Value::array({docs + "new"})), (Answer{1, nullptr}));
    EXPECT_EQ(read("wffile://localhost/root/Documents/c.txt"), (Answer{1, "abc"}));
    EXPECT_EQ(read(platform::AssetStore::urlForRelativePath("p.jpg")), (Answer{1, "picture"}));
    // The refusal is found once, and holds.
    EXPECT_EQ(log.count("openat2 is refused here"), number == SYS_openat2 ? 1u : 0u);
}

// Under a seccomp filter that refuses openat2, with EPERM as container
// runtimes answer the calls they do not know, or with another error, every
// action works as it does where openat2 answers, and no link leads out of a
// root; a directory that may not be searched still answers as a permission
// failure, never as a sign that openat2 is refused.
TEST_F(FilePluginTest, EveryActionWorksWhereAFilterRefusesOpenat2) {
    WHARF_REQUIRE_COMPONENT(::geteuid() == 0, "root, to hand the files to another user");
    for (const std::string refused : {"openat2:EPERM", "openat2:EACCES", "openat2:ENOSYS", "readlinkat:EPERM"}) {
        SCOPED_TRACE(refused);
        test::TempDir dir;
        const std::string childHome = dir.file("home"), docs = childHome + "/Documents", outside = dir.file("outside");
        test::writeFile(docs + "/a.txt", "abc");
        test::writeFile(docs + "/locked/f.txt", "locked");
        test::writeFile(outside + "/secret.txt", "OUTSIDE-SECRET");
        test::writeFile(dir.file("pictures/p.jpg"), "picture");
        fs::create_symlink("a.txt", docs + "/in-file");
        fs::create_symlink(outside + "/secret.txt", docs + "/out-file");
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
        fs::permissions(docs + "/locked", fs::perms::none);
        const auto outsideBefore = contents(outside);
        EXPECT_EQ(test::runChildTest("FilePluginChild.WorksUnderAFilterThatRefusesACall",
                                     {std::string(kChildHome) + "=" + childHome, "WHARF_FILE_CHILD_REFUSE=" + refused,
                                      "WHARF_PICTURES_DIR=" + dir.file("pictures")}),
                  0);
        EXPECT_EQ(contents(outside), outsideBefore);
        EXPECT_EQ(test::readFile(docs + "/c.txt"), "abc");
        EXPECT_FALSE(fs::exists(docs + "/new"));
    }
}

// A process killed while it copied leaves the copy it was building; the
// next start removes it, and it is never listed. The page's own files whose
// names only begin like a staging entry's stay, listed.
TEST_F(FilePluginTest, WhatACopyCutShortLeftIsRemovedAndNeverListed) {
    const std::string docs = Container::documentsPath(), copies = docs + "/copies";
    fs::create_directories(copies);
    test::writeFile(docs + "/big.bin", std::string(32 << 20, 'b'));
    auto staging = [&] {
        std::size_t found = 0;
        for (const auto& entry : fs::directory_iterator(copies))
            found += entry.path().filename().string().rfind(".wharf-", 0) == 0;
        return found;
    };
    // Killed while a copy is being written: stopped at the write, and killed
    // once the copy is seen still there (not renamed into place meanwhile).
    ASSERT_TRUE(test::killChildTestAtFileEvent(
        "FilePluginChild.CopiesUntilKilled", {std::string(kChildHome) + "=" + home->path()}, copies, IN_MODIFY,
        [](std::string_view name) { return WFLocalFilesystem::isStagingName(std::string(name)); },
        [&] { return staging() > 0; }));
    ASSERT_GT(staging(), 0u);
    const std::vector<std::string> mine = {
        ".wharf-cafe", ".wharf-0123456789ABCDEF", ".wharf-0123456789abcdef0", ".wharf-0123456789abcdeg",
        ".wharf-",     "x.wharf-0123456789abcdef"};
    for (const auto& name : mine) test::writeFile(docs + "/" + name, name);

    start();
    const Answer listed = call("readEntries", Value::array({"wffile://localhost/persistent/copies/"}));
    ASSERT_EQ(listed.status, 1);
    for (const auto& entry : listed.message)
        EXPECT_EQ(entry["name"].get<std::string>().rfind(".wharf-", 0), std::string::npos) << entry.dump();
    EXPECT_EQ(staging(), 0u);
    // One being built meanwhile (by another process, say) is not listed either.
    test::writeFile(copies + "/.wharf-0123456789abcdef", "half");
    EXPECT_EQ(call("readEntries", Value::array({"wffile://localhost/persistent/copies/"})).message, listed.message);
    std::vector<std::string> names;
    for (const auto& entry : call("readEntries", Value::array({"wffile://localhost/persistent/"})).message)
        names.push_back(entry["name"]);
    for (const auto& name : mine) {
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
        EXPECT_EQ(test::readFile(docs + "/" + name), name);
    }
}

}  // namespace
}  // namespace wharf
