// The file plug-in's actions as the page calls them: the input is a JSON
// array of calls, each an array of the action's name and its arguments
// (filesystem URLs, "file://" URLs, paths, options of any kind), run one after
// the other through the real plug-in over a container of real directories
// (files, a link looping on its own directory, a link to a file beside it, a
// link across to another filesystem's root, and links leading out of the
// container: to a file, to a directory, absolute and relative, and dangling
// ones whose target does not exist yet). "{home}" in a string stands for the
// container's directory, so that "file://" URLs can name its files.
//
// Whatever the calls, nothing outside the filesystems' roots is touched, read
// or named: a directory beside the container keeps its contents (names, link
// targets, bytes and the backup attribute) and nothing new appears there,
// every native path a URL maps to lies inside its filesystem's root and maps
// back to the same URL, and every entry and path the page is answered with
// lies inside the root of the filesystem it names. Every call is answered exactly once,
// with a file error code, a message or success; no root is ever removed; and
// what a write reports written is in the file where it was asked for.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "PluginAnswers.h"
#include "host/testing/FakeViewController.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/Xattr.h"
#include "plugins/file/WFFile.h"
#include "plugins/file/WFLocalFilesystem.h"

using namespace wharf;
using platform::Value;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMostCalls = 12;

struct Paths {
    std::string home, bundle, pictures, outside;
};

const Paths& paths() {
    static const Paths p{fuzz::scratchDir() + "/home", fuzz::scratchDir() + "/bundle", fuzz::scratchDir() + "/pictures",
                         fuzz::scratchDir() + "/outside"};
    return p;
}

void writeFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The container as a page finds it, the bundle, the photo library and a
// directory beside them all that nothing may reach.
void buildTree() {
    fuzz::clearScratch();
    const Paths& p = paths();
    for (const char* dir : {"/tmp", "/Library/NoCloud", "/Library/Caches", "/Documents/NoCloud", "/Documents/d"})
        fs::create_directories(p.home + dir);
    writeFile(p.home + "/Documents/a.txt", "hello");
    writeFile(p.home + "/Documents/d/one.txt", "1");
    writeFile(p.home + "/Library/b.bin", std::string("\0\x01\xff", 3));
    fs::create_directory_symlink(".", p.home + "/Documents/d/loop");
    fs::create_symlink("a.txt", p.home + "/Documents/f-link");
    fs::create_directory_symlink(p.home + "/Library", p.home + "/Documents/lib");
    // Links leading out of every root.
    fs::create_symlink(p.outside + "/secret.txt", p.home + "/Documents/out-file");
    fs::create_directory_symlink("../../outside", p.home + "/Documents/out-dir");
    fs::create_symlink(p.outside + "/made.txt", p.home + "/Documents/dangling");
    fs::create_symlink("../../outside/sub/made.txt", p.home + "/Library/rel-dangling");
    fs::create_directory_symlink("../../outside/sub", p.home + "/Library/out");
    fs::create_directory_symlink("../..", p.home + "/tmp/up");
    writeFile(p.bundle + "/www/index.html", "<html></html>");
    writeFile(p.pictures + "/beach.jpg", "\xff\xd8\xff\xe0 not much of a picture");
    writeFile(p.outside + "/secret.txt", "secret");
    writeFile(p.outside + "/sub/inner.txt", "inner");
}

// Every name below a directory (links not followed) with its contents, its
// link target and whether it carries the backup attribute.
std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(directory, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path();
        std::string what = it->is_symlink()        ? "<link " + fs::read_symlink(path, ec).string() + ">"
                           : it->is_regular_file() ? readFile(path)
                           : it->is_directory()    ? "<dir>"
                                                   : "<other>";
        if (platform::xattr::isExcludedFromBackup(path)) what += "<excluded>";
        out[path] = what;
    }
    return out;
}

struct Plugin {
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFFile> file;
    std::vector<std::pair<std::string, std::shared_ptr<WFLocalFilesystem>>> locals;
    std::unique_ptr<fuzz::PluginAnswers> answers;
};

Plugin& plugin() {
    static Plugin* p = [] {
        ::setenv("WHARF_PICTURES_DIR", paths().pictures.c_str(), 1);
        platform::Container::setHome(paths().home);
        buildTree();
        platform::Bundle::setMainBundle(platform::Bundle::open(paths().bundle));
        auto* made = new Plugin;
        made->controller = testing::FakeViewController::create();
        made->file = std::make_shared<WFFile>();
        made->file->initWithWebViewEngine(made->controller->engine());
        made->controller->registerPlugin(made->file, "File");
        made->answers = std::make_unique<fuzz::PluginAnswers>(*made->controller->engine());
        for (const auto& f : made->file->fileSystems())
            if (auto local = std::dynamic_pointer_cast<WFLocalFilesystem>(f))
                made->locals.emplace_back(f->name(), local);
        return made;
    }();
    return *p;
}

bool isInside(const std::string& path, const std::string& root) {
    auto normalised = WFLocalFilesystem::normalizePath(path);
    if (!normalised || normalised->empty() || normalised->front() != '/') return false;
    if (*normalised == root) return true;
    return normalised->starts_with(root == "/" ? root : root + "/");
}

// A URL's native path in each local filesystem lies inside its root and
// comes back from the filesystem's own URL for it.
void checkMapping(const std::string& text) {
    const WFFilesystemURL url = WFFilesystemURL::fileSystemURLWithString(text);
    for (const auto& [name, local] : plugin().locals) {
        auto native = local->filesystemPathForURL(url);
        if (!native) continue;
        FUZZ_CHECK(native->find('\0') == std::string::npos);
        FUZZ_CHECK(isInside(*native, local->fsRoot()));
        auto again = local->URLforFilesystemPath(*native);
        FUZZ_CHECK(again && again->fileSystemName() == name);
        FUZZ_CHECK(local->filesystemPathForURL(*again) == WFLocalFilesystem::normalizePath(*native));
    }
    // The plug-in's own resolution, "file://" URLs included; the photo
    // library's paths are names in the library, not on the disk.
    if (auto resolved = plugin().file->fileSystemURLforArg(text)) {
        auto* local = dynamic_cast<WFLocalFilesystem*>(plugin().file->filesystemForURL(*resolved).get());
        auto path = plugin().file->filesystemPathForURL(*resolved);
        if (local && path) FUZZ_CHECK(isInside(*path, local->fsRoot()));
    }
}

// Entries ({"filesystemName", "fullPath", "nativeURL", ...}) anywhere in an
// answer name a registered filesystem and a native file inside its root.
void checkEntries(const Value& v) {
    if (v.is_array()) {
        for (const auto& item : v) checkEntries(item);
        return;
    }
    if (!v.is_object()) return;
    for (const auto& [key, item] : v.items()) checkEntries(item);
    if (!v.contains("filesystemName") || !v.contains("nativeURL")) return;
    auto fileSystem = plugin().file->fileSystemByName(v["filesystemName"].get<std::string>());
    FUZZ_CHECK(fileSystem);
    auto* local = dynamic_cast<WFLocalFilesystem*>(fileSystem.get());
    if (!local) return;
    auto nativeURL = platform::Url::parse(v["nativeURL"].get<std::string>());
    FUZZ_CHECK(nativeURL && nativeURL->isFileURL());
    FUZZ_CHECK(isInside(nativeURL->path(), local->fsRoot()));
    // The entry's full path names that same file.
    auto url = local->URLforFullPath(v["fullPath"].get<std::string>());
    FUZZ_CHECK(url && local->filesystemPathForURL(*url) == WFLocalFilesystem::normalizePath(nativeURL->path()));
}

bool isFileErrorCode(const Value& message) {
    if (!message.is_number_integer()) return false;
    const auto code = message.get<int64_t>();
    return code >= NOT_FOUND_ERR && code <= PATH_EXISTS_ERR && code != INVALID_STATE_ERR;
}

Value withHome(const Value& v) {
    if (v.is_string()) {
        std::string text = v.get<std::string>();
        for (std::size_t at; (at = text.find("{home}")) != std::string::npos;) text.replace(at, 6, paths().home);
        return text;
    }
    if (!v.is_array() && !v.is_object()) return v;
    Value out = v;
    for (auto& item : out) item = withHome(item);
    return out;
}

// The native path of a URL argument as the plug-in resolves it.
std::optional<std::string> nativePathOf(const Value& argument) {
    if (!argument.is_string()) return std::nullopt;
    auto url = plugin().file->fileSystemURLforArg(argument.get<std::string>());
    return url ? plugin().file->filesystemPathForURL(*url) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto calls = platform::parseJSON(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!calls || !calls->is_array()) return 0;
    Plugin& p = plugin();
    buildTree();
    p.answers->clear();
    const auto outsideBefore = snapshot(paths().outside);

    std::size_t made = 0;
    for (const auto& call : *calls) {
        if (made == kMostCalls) break;
        if (!call.is_array() || call.empty() || !call[0].is_string()) continue;
        const std::string action = call[0].get<std::string>();
        Value arguments = Value::array();
        for (std::size_t i = 1; i < call.size(); ++i) arguments.push_back(withHome(call[i]));
        for (const auto& argument : arguments)
            if (argument.is_string()) checkMapping(argument.get<std::string>());

        const std::string id = "File" + std::to_string(++made);
        if (!p.file->performAction(action + ":", WFInvokedUrlCommand(arguments, id, "WFFile", action))) continue;
        const test::SentResult answer = p.answers->await(id);

        if (answer.status == int(WFResultStatus::OK)) {
            checkEntries(answer.message);
            if (action == "_getLocalFilesystemPath") {
                auto url = p.file->fileSystemURLforArg(arguments[0].get<std::string>());
                auto* local = dynamic_cast<WFLocalFilesystem*>(p.file->filesystemForURL(*url).get());
                FUZZ_CHECK(local && isInside(answer.message.get<std::string>(), local->fsRoot()));
            }
            // Written where asked: the text (made valid UTF-8) at the position.
            if (action == "write" && arguments.size() > 1 && arguments[1].is_string()) {
                const std::string text = platform::sanitizeUTF8(arguments[1].get<std::string>());
                FUZZ_CHECK(answer.message == Value(static_cast<int64_t>(text.size())) ||
                           (text.empty() && answer.message == Value(0.0)));
                const auto native = nativePathOf(arguments[0]);
                FUZZ_CHECK(native);
                const int64_t position = platform::integerValue(arguments.size() > 2 ? arguments[2] : Value());
                const std::string contents = readFile(*native);
                FUZZ_CHECK(position >= 0 && contents.size() >= static_cast<uint64_t>(position) + text.size());
                FUZZ_CHECK(contents.compare(static_cast<std::size_t>(position), text.size(), text) == 0);
            }
        } else {
            FUZZ_CHECK(answer.status == int(WFResultStatus::Error) || answer.status == int(WFResultStatus::IOError));
            FUZZ_CHECK(answer.message.is_null() || answer.message.is_string() || isFileErrorCode(answer.message));
        }
    }

    FUZZ_CHECK(snapshot(paths().outside) == outsideBefore);
    std::error_code ec;
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(fuzz::scratchDir(), ec)) top.push_back(entry.path());
    std::sort(top.begin(), top.end());
    FUZZ_CHECK(top == (std::vector<std::string>{paths().bundle, paths().home, paths().outside, paths().pictures}));
    for (const auto& [name, local] : p.locals) FUZZ_CHECK(fs::is_directory(local->fsRoot()));
    return 0;
}
