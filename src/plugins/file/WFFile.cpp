#include "plugins/file/WFFile.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <random>
#include <utility>

#include "host/WFCommandDelegate.h"
#include "host/WFCommandQueue.h"
#include "host/WFPreferences.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "platform/base/Log.h"
#include "platform/base/Paths.h"
#include "platform/gui/WebView.h"
#include "platform/storage/AssetStore.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/Xattr.h"
#include "plugins/file/WFAssetLibraryFilesystem.h"
#include "plugins/file/WFFilesystemURLProtocol.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf {

namespace {

using platform::Container;
using platform::Value;

constexpr const char* kDefaultExtraFileSystems = "library,library-nosync,documents,documents-nosync,cache,bundle,root";
// Names the directory the "root" filesystem serves (the application's home by default).
constexpr const char* kRootFilesystemLocationKey = "RootFilesystemLocation";

std::mutex gCurrentMutex;
std::weak_ptr<WFFile> gCurrent;

// How long the plug-in's queue waits for an answer that comes later (the
// photo library's): long enough for any read, short of forever.
std::atomic<std::chrono::milliseconds> gAnswerWait{std::chrono::seconds(60)};

// Larger byte answers reach a bridge that asks for it by one fetch over the
// "wffile" scheme: as Base64 in the script text, they would cost the host and
// the web process several times their size. None outlive the page.
constexpr std::size_t kLargestInlineArrayBuffer = std::size_t{1} << 20;
// "wffile://localhost/?result=<token>": no filesystem is named by it.
constexpr const char* kHeldResultQuery = "result";

std::optional<std::string> stringSetting(const Value& settings, const std::string& key) {
    auto value = wharfSettingForKey(settings, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::string bundlePath() {
    auto bundle = platform::Bundle::mainBundle();
    return bundle ? bundle->bundlePath() : std::string();
}

// The directory of a file URL ends with "/".
std::string directoryURL(const std::string& path) {
    std::string text = platform::Url::fileURL(path).absoluteString();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

// The path with its links resolved as far as it exists; the rest appended.
std::string resolvingLinks(const std::string& path) {
    if (auto resolved = platform::resolvedPath(path)) return *resolved;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || path == "/") return path;
    const std::string parent = resolvingLinks(slash == 0 ? "/" : path.substr(0, slash));
    return (parent == "/" ? "" : parent) + path.substr(slash);
}

// Escapes what may not stand in a URL, as the platform's legacy escaping
// did, and "#" too: file names may hold one, fragments never name files.
std::string legacyEscape(const std::string& text) {
    static const std::string allowed = [] {
        std::string chars;
        for (char c = 0x21; c < 0x7F; ++c)
            if (std::string_view("\"#%<>[\\]^`{|}").find(c) == std::string_view::npos) chars += c;
        return chars;
    }();
    return platform::percentEncode(text, allowed.c_str());
}

// The argument with its escapes undone and made again as the legacy escaping
// makes them; nullopt for a broken escape. An escaped "?" stays escaped: it
// is part of a name, where a "?" as written begins the query.
std::optional<std::string> reescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += legacyEscape(text.substr(i, 1));
            continue;
        }
        auto decoded = platform::percentDecode(std::string_view(text).substr(i, 3));
        if (!decoded || decoded->size() != 1) return std::nullopt;
        out += *decoded == "?" ? "%3F" : legacyEscape(*decoded);
        i += 2;
    }
    return out;
}

// Creates a directory and its parents; false with errno set when it fails.
bool createDirectory(const std::string& path) {
    errno = 0;
    if (Container::ensureDirectory(path)) return true;
    if (errno == 0 || errno == EEXIST) errno = ENOTDIR;  // something else is there
    return false;
}

// Each byte as the character of that code (bytes above 127 as U+0080–U+00FF),
// so that the page's charCodeAt gives the bytes back.
std::string binaryString(const platform::Bytes& data) {
    std::string out;
    out.reserve(data.size());
    for (uint8_t b : data) {
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

// The length of the JSON string the bytes become in an answer: as UTF-8 text,
// or each byte a character (those over 0x7F two bytes in UTF-8).
uint64_t jsonTextSize(const platform::Bytes& data, bool eachByteACharacter) {
    static const auto table = [](bool latin1) {
        std::array<uint8_t, 256> sizes{};
        for (int b = 0; b < 256; ++b) {
            const bool shortEscape =
                b == '"' || b == '\\' || b == '\b' || b == '\f' || b == '\n' || b == '\r' || b == '\t';
            sizes[b] = shortEscape ? 2 : b < 0x20 ? 6 : (b >= 0x80 && latin1) ? 2 : 1;
        }
        return sizes;
    };
    static const std::array<uint8_t, 256> text = table(false), characters = table(true);
    const auto& sizes = eachByteACharacter ? characters : text;
    uint64_t size = 2;
    for (uint8_t b : data) size += sizes[b];
    return size;
}

uint64_t base64Size(std::size_t bytes) { return (static_cast<uint64_t>(bytes) + 2) / 3 * 4; }

// The answer for a read whose answer would be larger than the host can hold.
WFPluginResult tooLarge() { return WFFileErrorResult(NOT_READABLE_ERR); }

}  // namespace

void registerFilePlugin() {
    WFRegisterPluginClass<WFFile>("WFFile");
    platform::URISchemeOptions options;
    options.local = true;
    options.corsEnabled = true;
    platform::declareURIScheme(kWFFilesystemURLPrefix, options);
}

const WFActionTable& WFFile::actions() {
    static const WFActionTable table = WFMakeActionTable<WFFile>({
        {"requestFileSystem", &WFFile::requestFileSystem},
        {"requestAllFileSystems", &WFFile::requestAllFileSystems},
        {"requestAllPaths", &WFFile::requestAllPaths},
        {"resolveLocalFileSystemURI", &WFFile::resolveLocalFileSystemURI},
        {"getDirectory", &WFFile::getDirectory},
        {"getFile", &WFFile::getFile},
        {"getParent", &WFFile::getParent},
        {"setMetadata", &WFFile::setMetadata},
        {"remove", &WFFile::remove},
        {"removeRecursively", &WFFile::removeRecursively},
        {"copyTo", &WFFile::copyTo},
        {"moveTo", &WFFile::moveTo},
        {"getFileMetadata", &WFFile::getFileMetadata},
        {"readEntries", &WFFile::readEntries},
        {"readAsText", &WFFile::readAsText},
        {"readAsDataURL", &WFFile::readAsDataURL},
        {"readAsArrayBuffer", &WFFile::readAsArrayBuffer},
        {"readAsBinaryString", &WFFile::readAsBinaryString},
        {"truncate", &WFFile::truncate},
        {"write", &WFFile::write},
        {"testFileExists", &WFFile::testFileExists},
        {"testDirectoryExists", &WFFile::testDirectoryExists},
        {"getFreeDiskSpace", &WFFile::getFreeDiskSpace},
        {"_getLocalFilesystemPath", &WFFile::_getLocalFilesystemPath},
    });
    return table;
}

std::shared_ptr<WFFile> WFFile::current() {
    std::lock_guard lock(gCurrentMutex);
    return gCurrent.lock();
}

// --- Initialisation ---------------------------------------------------------------

void WFFile::pluginInitialize() {
    {
        std::lock_guard lock(gCurrentMutex);
        gCurrent = std::static_pointer_cast<WFFile>(shared_from_this());
    }
    if (auto* view = webView()) view->registerURIScheme(kWFFilesystemURLPrefix, &WFFilesystemURLProtocol::startLoading);
    {
        std::lock_guard lock(mutex_);
        fileSystems_.clear();
    }
    appLibraryPath_ = Container::libraryPath() + "/files";
    appTempPath_ = Container::tmpPath();
    while (appTempPath_.size() > 1 && appTempPath_.back() == '/') appTempPath_.pop_back();
    rootDocsPath_ = Container::documentsPath();
    appDocsPath_ = rootDocsPath_ + "/files";

    auto controller = viewController();
    const Value settings = controller ? controller->settings() : Value::object();
    const std::string location =
        wf_lowercase(stringSetting(settings, "iosPersistentFileLocation").value_or("compatibility"));

    if (createDirectory(appTempPath_))
        registerFilesystem(std::make_shared<WFLocalFilesystem>("temporary", appTempPath_));
    else
        platform::log("Unable to create temporary directory: %s", WFErrnoDescription(errno, appTempPath_).c_str());

    if (location == "library") {
        if (createDirectory(appLibraryPath_))
            registerFilesystem(std::make_shared<WFLocalFilesystem>("persistent", appLibraryPath_));
        else
            platform::log("Unable to create library directory: %s", WFErrnoDescription(errno, appLibraryPath_).c_str());
    } else if (location == "compatibility") {
        registerFilesystem(std::make_shared<WFLocalFilesystem>("persistent", rootDocsPath_));
    } else {
        // A configuration fault, but not one worth ending the application for:
        // the page still gets every other filesystem.
        platform::log("*** Assertion failure in WFFile::pluginInitialize(), %s:%d: %s", __FILE__, __LINE__,
                      "File plugin configuration error: Please set iosPersistentFileLocation in config.xml to one of "
                      "\"library\" (for new applications) or \"compatibility\" (for compatibility with previous "
                      "versions)");
    }

    registerFilesystem(std::make_shared<WFAssetLibraryFilesystem>(
        kWFAssetsLibraryFilesystemName, std::make_shared<platform::AssetStore>(platform::AssetStore::defaultRoot())));

    registerExtraFileSystems(
        wf_lowercase(stringSetting(settings, "iosExtraFilesystems").value_or(kDefaultExtraFileSystems)));

    // The bundle stays read-only through any filesystem whose root holds it
    // ("root" set to a directory above it).
    const std::string bundle = bundlePath();
    for (const auto& fs : fileSystems()) {
        auto* local = dynamic_cast<WFLocalFilesystem*>(fs.get());
        if (local && !bundle.empty() && local->fullPathForFileSystemPath(resolvingLinks(bundle)))
            local->setReadOnlyDirectory(bundle);
    }

    // What copies and moves of an earlier run left half-built goes before
    // any action of this one runs.
    std::vector<std::shared_ptr<const WFLocalFilesystem>> local;
    for (const auto& fs : fileSystems()) {
        auto writable = std::dynamic_pointer_cast<const WFLocalFilesystem>(fs);
        if (writable && !writable->readOnly()) local.push_back(std::move(writable));
    }
    inOrder([local] { WFLocalFilesystem::removeStagingLeftovers(local); });
}

void WFFile::registerExtraFileSystems(const std::string& list) {
    auto controller = viewController();
    const Value settings = controller ? controller->settings() : Value::object();
    // The "root" filesystem serves the application's own home unless the
    // preferences name another directory: never the machine's "/" unasked.
    std::string root = Container::home();
    if (auto configured = stringSetting(settings, kRootFilesystemLocationKey)) {
        if (!configured->empty() && configured->front() == '/')
            root = *configured;
        else
            platform::log("Ignoring %s \"%s\": not an absolute path", kRootFilesystemLocationKey, configured->c_str());
    }
    const std::vector<std::pair<std::string, std::string>> available = {
        {"library", Container::libraryPath()},
        {"library-nosync", Container::libraryPath() + "/NoCloud"},
        {"documents", Container::documentsPath()},
        {"documents-nosync", Container::documentsPath() + "/NoCloud"},
        {"cache", Container::cachesPath()},
        {"bundle", bundlePath()},
        {"root", root},
    };
    const std::vector<std::string> names = wf_split(list, ',');
    auto listed = [&](const std::string& name) { return std::find(names.begin(), names.end(), name) != names.end(); };
    for (const char* noSync : {"library-nosync", "documents-nosync"}) {
        if (!listed(noSync)) continue;
        for (const auto& [name, path] : available) {
            if (name != noSync) continue;
            Container::ensureDirectory(path);
            platform::xattr::setExcludedFromBackup(path, true);
        }
    }
    std::vector<std::string> registered;
    auto plugin = current();
    for (const auto& name : names) {
        if (std::find(registered.begin(), registered.end(), name) != registered.end()) continue;
        auto it =
            std::find_if(available.begin(), available.end(), [&](const auto& entry) { return entry.first == name; });
        if (it == available.end()) {
            platform::log("Unrecognized extra filesystem identifier: %s", name.c_str());
            continue;
        }
        // The application's bundle is only read: a page that could change it
        // would change what the next launch runs.
        (plugin ? plugin.get() : this)
            ->registerFilesystem(std::make_shared<WFLocalFilesystem>(name, it->second, name == "bundle"));
        registered.push_back(name);
    }
}

// --- Registry -------------------------------------------------------------------

void WFFile::registerFilesystem(std::shared_ptr<WFFileSystem> fileSystem) {
    if (!fileSystem) return;
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    // The delegate's transformer is fetched on every call: it may change later.
    fileSystem->setUrlTransformer([weak](const platform::Url& url) {
        auto self = weak.lock();
        auto delegate = self ? self->commandDelegate() : nullptr;
        WFUrlTransformer transform = delegate ? delegate->urlTransformer() : nullptr;
        return transform ? transform(url) : url;
    });
    std::lock_guard lock(mutex_);
    fileSystems_.push_back(std::move(fileSystem));
}

std::vector<std::shared_ptr<WFFileSystem>> WFFile::fileSystems() const {
    std::lock_guard lock(mutex_);
    return fileSystems_;
}

std::shared_ptr<WFFileSystem> WFFile::fileSystemByName(const std::string& name) const {
    for (const auto& fs : fileSystems())
        if (fs->name() == name) return fs;
    return nullptr;
}

std::shared_ptr<WFFileSystem> WFFile::filesystemForURL(const WFFilesystemURL& url) const {
    if (!url.fileSystemName()) return nullptr;
    return fileSystemByName(*url.fileSystemName());
}

std::optional<WFFilesystemURL> WFFile::fileSystemURLforArg(const std::string& argument) const {
    if (argument.rfind("file://", 0) == 0) {
        auto url = platform::Url::parse(argument);
        if (!url) return std::nullopt;
        return fileSystemURLforLocalPath(resolvingLinks(url->path()));
    }
    return WFFilesystemURL::fileSystemURLWithString(argument);
}

std::optional<WFFilesystemURL> WFFile::fileSystemURLforLocalPath(const std::string& nativePath) const {
    std::optional<WFFilesystemURL> best;
    for (const auto& fs : fileSystems()) {
        auto url = fs->URLforFilesystemPath(nativePath);
        if (!url || !url->fullPath()) continue;
        if (!best || url->fullPath()->size() < best->fullPath()->size()) best = std::move(url);
    }
    return best;
}

std::optional<std::string> WFFile::filesystemPathForURL(const WFFilesystemURL& url) const {
    for (const auto& fs : fileSystems()) {
        if (!url.fileSystemName() || fs->name() != *url.fileSystemName()) continue;
        if (auto path = fs->filesystemPathForURL(url)) return path;
    }
    return std::nullopt;
}

std::optional<Value> WFFile::makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName,
                                              bool isDirectory) const {
    auto fs = fileSystemByName(fileSystemName);
    if (!fs) return std::nullopt;
    return fs->makeEntryForPath(fullPath, isDirectory);
}

std::optional<Value> WFFile::makeEntryForLocalURL(const WFFilesystemURL& url) const {
    auto fs = filesystemForURL(url);
    return fs ? fs->makeEntryForLocalURL(url) : std::nullopt;
}

std::optional<Value> WFFile::makeEntryForURL(const platform::Url& url) const {
    auto fsURL = fileSystemURLforArg(url.absoluteString());
    return fsURL ? makeEntryForLocalURL(*fsURL) : std::nullopt;
}

std::optional<Value> WFFile::getDirectoryEntry(const std::string& nativePath, bool isDirectory) const {
    auto url = fileSystemURLforLocalPath(nativePath);
    if (!url || !url->fileSystemName() || !url->fullPath()) return std::nullopt;
    return makeEntryForPath(*url->fullPath(), *url->fileSystemName(), isDirectory);
}

std::optional<std::string> WFFile::getMimeTypeFromPath(const std::optional<std::string>& path) {
    return WFLocalFilesystem::getMimeTypeFromPath(path);
}

std::optional<uint64_t> WFFile::checkFreeDiskSpace(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

// --- Helpers for the actions ---------------------------------------------------------

void WFFile::send(const WFPluginResult& result, const WFInvokedUrlCommand& command) const {
    if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}

std::optional<WFFile::Target> WFFile::target(const WFInvokedUrlCommand& command, std::size_t index, int failure,
                                             WFResultStatus status) {
    const Value argument = command.argumentAtIndex(index);
    std::optional<WFFilesystemURL> url;
    if (argument.is_string()) url = fileSystemURLforArg(argument.get<std::string>());
    auto fs = url ? filesystemForURL(*url) : nullptr;
    if (!fs) {
        send(WFFileErrorResult(failure, status), command);
        return std::nullopt;
    }
    return Target{*url, fs};
}

namespace {

// Sends an answer later, from any thread, unless the plug-in is gone by then.
std::function<void(WFPluginResult)> replier(const std::shared_ptr<WFPlugin>& plugin,
                                            const WFInvokedUrlCommand& command) {
    std::weak_ptr<WFPlugin> weakPlugin = plugin;
    std::weak_ptr<WFCommandDelegate> weakDelegate = plugin->commandDelegate();
    return [weakPlugin, weakDelegate, callbackId = command.callbackId()](WFPluginResult result) {
        if (!weakPlugin.lock()) return;
        if (auto delegate = weakDelegate.lock()) delegate->sendPluginResult(std::move(result), callbackId);
    };
}

}  // namespace

void WFFile::inOrder(std::function<void()> work) {
    platform::dispatch::QueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        if (!queue_) queue_ = platform::dispatch::createSerialQueue("wharf.file");
        queue = queue_;
    }
    queue->async(std::move(work));
}

void WFFile::setAnswerWait(std::chrono::milliseconds wait) { gAnswerWait = wait; }

void WFFile::inOrderUntilAnswered(std::function<void(std::function<void()> answered)> work) {
    inOrder([work = std::move(work)] {
        auto answered = std::make_shared<platform::dispatch::Semaphore>(0);
        work([answered] { answered->signal(); });
        // An answer that does not come (a filesystem that never calls back)
        // holds only itself: the actions after it go ahead, and it is still
        // sent should it come.
        const std::chrono::milliseconds wait = gAnswerWait;
        if (!answered->wait(wait))
            platform::log("A file action is still unanswered after %lld ms; the actions after it go ahead",
                          static_cast<long long>(wait.count()));
    });
}

void WFFile::answerInOrder(const WFInvokedUrlCommand& command, std::function<WFPluginResult(const Target&)> operation) {
    auto t = target(command, 0);
    if (!t) return;
    inOrder([t = *t, reply = replier(shared_from_this(), command), operation = std::move(operation)] {
        reply(operation(t));
    });
}

// --- Actions --------------------------------------------------------------------

void WFFile::requestFileSystem(const WFInvokedUrlCommand& command) {
    const int32_t type = platform::intValue(command.argumentAtIndex(0));
    const uint64_t size = static_cast<uint64_t>(platform::integerValue(command.argumentAtIndex(1)));
    const auto all = fileSystems();
    // A negative type compares as a huge unsigned one.
    if (static_cast<uint64_t>(static_cast<int64_t>(type)) >= all.size()) {
        platform::log("No filesystem of type requested");
        return send(WFFileErrorResult(NOT_FOUND_ERR, WFResultStatus::Error), command);
    }
    auto free = checkFreeDiskSpace(rootDocsPath_);
    if (free && *free < size) return send(WFFileErrorResult(QUOTA_EXCEEDED_ERR), command);
    const auto& fs = all[static_cast<std::size_t>(type)];
    Value answer = Value::object();
    answer["name"] = fs->name();
    answer["root"] = fs->makeEntryForPath("/", true);
    send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, answer), command);
}

void WFFile::requestAllFileSystems(const WFInvokedUrlCommand& command) {
    Value roots = Value::array();
    for (const auto& fs : fileSystems()) roots.push_back(fs->makeEntryForPath("/", true));
    send(WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, roots), command);
}

void WFFile::requestAllPaths(const WFInvokedUrlCommand& command) {
    const std::string library = Container::libraryPath();
    Container::ensureDirectory(library + "/Cloud");
    Container::ensureDirectory(library + "/NoCloud");
    platform::xattr::setExcludedFromBackup(library + "/NoCloud", true);
    Value paths = Value::object();
    paths["applicationDirectory"] = directoryURL(bundlePath());
    paths["applicationStorageDirectory"] = directoryURL(Container::home());
    paths["dataDirectory"] = directoryURL(library + "/NoCloud");
    paths["syncedDataDirectory"] = directoryURL(library + "/Cloud");
    paths["documentsDirectory"] = directoryURL(Container::documentsPath());
    paths["cacheDirectory"] = directoryURL(Container::cachesPath());
    paths["tempDirectory"] = directoryURL(Container::tmpPath());
    send(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, paths), command);
}

void WFFile::resolveLocalFileSystemURI(const WFInvokedUrlCommand& command) {
    auto fail = [&] { send(WFFileErrorResult(ENCODING_ERR, WFResultStatus::Error), command); };
    const Value argument = command.argumentAtIndex(0);
    if (!argument.is_string()) return fail();
    auto escaped = reescaped(argument.get<std::string>());
    if (!escaped) return fail();
    auto url = fileSystemURLforArg(*escaped);
    auto fs = url ? filesystemForURL(*url) : nullptr;
    if (!fs) return fail();
    inOrder([fs, url = *url, reply = replier(shared_from_this(), command)] { reply(fs->entryForLocalURI(url)); });
}

void WFFile::getDirectory(const WFInvokedUrlCommand& command) {
    Value arguments = command.arguments().is_array() ? command.arguments() : Value::array();
    Value options = command.argumentAtIndex(2, Value::object(), WFValueClass::Dictionary);
    options["getDir"] = 1;
    if (arguments.size() >= 3)
        arguments[2] = options;
    else
        arguments.push_back(options);
    getFile(WFInvokedUrlCommand(arguments, command.callbackId(), command.className(), command.methodName()));
}

void WFFile::getFile(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [path = command.argumentAtIndex(1), options = command.argumentAtIndex(2)](const Target& t) {
        return t.fileSystem->getFileForURL(t.url, path, options);
    });
}

void WFFile::getParent(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [](const Target& t) { return t.fileSystem->getParentForURL(t.url); });
}

void WFFile::setMetadata(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [metadata = command.argumentAtIndex(1)](const Target& t) {
        return t.fileSystem->setMetadataForURL(t.url, metadata);
    });
}

bool WFFile::holdsAFilesystemRoot(const Target& target, const std::optional<std::string>& child) const {
    if (!dynamic_cast<WFLocalFilesystem*>(target.fileSystem.get())) return false;
    auto native = target.fileSystem->filesystemPathForURL(target.url);
    if (!native) return false;
    if (child) native = (*native == "/" ? "" : *native) + "/" + *child;
    // The "root" filesystem (the container) holds the others' roots: its
    // "/Documents" is the "persistent" root under another name.
    for (const auto& fs : fileSystems()) {
        auto* local = dynamic_cast<WFLocalFilesystem*>(fs.get());
        if (local && local->rootIsAtOrBelow(*native)) return true;
    }
    return false;
}

void WFFile::remove(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    if (t->url.fullPath().value_or("").empty() || holdsAFilesystemRoot(*t))
        return send(WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR), command);
    inOrder([t = *t, reply = replier(shared_from_this(), command)] { reply(t.fileSystem->removeFileAtURL(t.url)); });
}

void WFFile::removeRecursively(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    if (t->url.fullPath().value_or("").empty() || holdsAFilesystemRoot(*t))
        return send(WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR), command);
    inOrder([t = *t, reply = replier(shared_from_this(), command)] {
        reply(t.fileSystem->recursiveRemoveFileAtURL(t.url));
    });
}

void WFFile::copyTo(const WFInvokedUrlCommand& command) { copyOrMove(command, true); }
void WFFile::moveTo(const WFInvokedUrlCommand& command) { copyOrMove(command, false); }

void WFFile::copyOrMove(const WFInvokedUrlCommand& command, bool copy) {
    const Value source = command.argumentAtIndex(0, nullptr, WFValueClass::String);
    const Value destination = command.argumentAtIndex(1, nullptr, WFValueClass::String);
    if (source.is_null() || destination.is_null()) return send(WFFileErrorResult(NOT_FOUND_ERR), command);
    auto sourceURL = fileSystemURLforArg(source.get<std::string>());
    auto destinationURL = fileSystemURLforArg(destination.get<std::string>());
    std::string newName;
    const Value name = command.argumentAtIndex(2, nullptr, WFValueClass::String);
    if (name.is_string())
        newName = name.get<std::string>();
    else if (sourceURL && sourceURL->url())
        newName = WFLastPathComponent(sourceURL->url()->path());
    if (newName.find(':') != std::string::npos) return send(WFFileErrorResult(ENCODING_ERR), command);
    auto sourceFs = sourceURL ? filesystemForURL(*sourceURL) : nullptr;
    auto destinationFs = destinationURL ? filesystemForURL(*destinationURL) : nullptr;
    if (!sourceFs || !destinationFs) return send(WFFileErrorResult(NOT_FOUND_ERR), command);
    // A root stays where it is: neither moved away, nor replaced by what a
    // move brings (its filesystem would no longer find it).
    if (!copy && (holdsAFilesystemRoot({*sourceURL, sourceFs}) ||
                  (!newName.empty() && holdsAFilesystemRoot({*destinationURL, destinationFs}, newName))))
        return send(WFFileErrorResult(INVALID_MODIFICATION_ERR), command);
    inOrderUntilAnswered([destinationFs, sourceFs, newName, copy, reply = replier(shared_from_this(), command),
                          src = *sourceURL, dest = *destinationURL](const std::function<void()>& answered) {
        destinationFs->copyFileToURL(dest, newName, sourceFs, src, copy,
                                     [reply, answered](const WFPluginResult& result) {
                                         reply(result);
                                         answered();
                                     });
    });
}

void WFFile::getFileMetadata(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    inOrderUntilAnswered([t = *t, reply = replier(shared_from_this(), command)](const std::function<void()>& answered) {
        t.fileSystem->getFileMetadataForURL(t.url, [reply, answered](const WFPluginResult& result) {
            reply(result);
            answered();
        });
    });
}

void WFFile::readEntries(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [](const Target& t) { return t.fileSystem->readEntriesAtURL(t.url); });
}

namespace {

// The most bytes whose Base64 text fits in `room` characters.
uint64_t base64Fits(uint64_t room) { return room / 4 * 3; }

// Calls back with a read's answer, then lets the actions after it go.
WFFileReadCallback answerRead(
    std::function<void(WFPluginResult)> reply,
    std::function<WFPluginResult(platform::Bytes&&, const std::optional<std::string>&)> answer,
    std::function<void()> answered) {
    return [reply = std::move(reply), answer = std::move(answer), answered = std::move(answered)](
               std::optional<platform::Bytes> data, const std::optional<std::string>& mimeType, int32_t error) {
        if (!data) {
            reply(WFFileErrorResult(error));
        } else {
            // The page's form of the bytes (Base64, UTF-8) is larger still:
            // a range read whole may not fit twice.
            try {
                reply(answer(std::move(*data), mimeType));
            } catch (const std::bad_alloc&) {
                reply(WFFileErrorResult(NOT_READABLE_ERR));
            }
        }
        answered();
    };
}

// The bytes in the answer's text, as Base64 (read no more than fit in it):
// the binary wrapper, whose "data" holds the bytes themselves (written out as
// that same Base64), so that their text is made once, in the answer's text.
WFPluginResult base64Answer(platform::Bytes&& data, const std::optional<std::string>&) {
    Value wrapper = Value::object();
    wrapper["WFType"] = "ArrayBuffer";
    wrapper["data"] = platform::bytesValue(std::move(data));
    return WFPluginResult(static_cast<int>(WFResultStatus::OK), std::move(wrapper));
}

void logRefused(uint64_t most, const WFFilesystemURL& url) {
    platform::log("Refused to read more than %llu bytes of %s: more than the host can hold at once",
                  static_cast<unsigned long long>(most), url.absoluteURL().c_str());
}

}  // namespace

void WFFile::readWith(const WFInvokedUrlCommand& command, std::size_t startIndex, uint64_t most, ReadAnswer answer) {
    auto t = target(command, 0);
    if (!t) return;
    const int64_t start = platform::integerValue(command.argumentAtIndex(startIndex));
    const int64_t end = platform::integerValue(command.argumentAtIndex(startIndex + 1, -1));
    inOrderUntilAnswered([t = *t, start, end, most, reply = replier(shared_from_this(), command),
                          answer = std::move(answer)](const std::function<void()>& answered) {
        readBounded(t.fileSystem, t.url, start, end, most, answerRead(reply, answer, answered));
    });
}

void WFFile::readBounded(const std::shared_ptr<WFFileSystem>& fileSystem, const WFFilesystemURL& url, int64_t start,
                         int64_t end, uint64_t most, WFFileReadCallback callback) {
    // A file's size tells a range too long before anything is read.
    if (auto file = fileSystem->openFileAtURL(url); file && !file->error) {
        if (fileSystem->readLength(file->size, start, end) > most) {
            logRefused(most, url);
            return callback(std::nullopt, file->mimeType, NOT_READABLE_ERR);
        }
    }
    // Asked for one byte more than it may bring, the filesystem tells a range
    // that fits from one too long (a file grown meanwhile), and reads no further.
    const int64_t from = std::max<int64_t>(start, 0);
    const int64_t over = static_cast<uint64_t>(from) > std::numeric_limits<int64_t>::max() - most - 1
                             ? std::numeric_limits<int64_t>::max()
                             : from + static_cast<int64_t>(most) + 1;
    fileSystem->readFileAtURL(
        url, start, end < 0 || end > over ? over : end,
        [most, url, callback = std::move(callback)](std::optional<platform::Bytes> data,
                                                    std::optional<std::string> mimeType, int32_t error) {
            if (data && data->size() > most) {
                data.reset();
                logRefused(most, url);
                return callback(std::nullopt, std::move(mimeType), NOT_READABLE_ERR);
            }
            callback(std::move(data), std::move(mimeType), error);
        });
}

void WFFile::readAsText(const WFInvokedUrlCommand& command) {
    const Value encoding = command.argumentAtIndex(1);
    if (!target(command, 0)) return;
    // No encoding named means the page's default, UTF-8.
    if (!encoding.is_null() && (!encoding.is_string() || wf_lowercase(encoding.get<std::string>()) != "utf-8")) {
        platform::log("Only UTF-8 encodings are currently supported by readAsText");
        return send(WFFileErrorResult(ENCODING_ERR), command);
    }
    // Each byte is a character of the text at least.
    readWith(command, 2, WFLargestRead() - 2, [](platform::Bytes&& data, const std::optional<std::string>&) {
        std::string text;
        {
            const platform::Bytes bytes = std::move(data);
            if (!platform::isValidUTF8({reinterpret_cast<const char*>(bytes.data()), bytes.size()}))
                return WFFileErrorResult(ENCODING_ERR);
            if (jsonTextSize(bytes, false) > WFLargestRead()) return tooLarge();
            text.assign(bytes.begin(), bytes.end());
        }
        return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(text)));
    });
}

void WFFile::readAsDataURL(const WFInvokedUrlCommand& command) {
    readWith(command, 1, base64Fits(WFLargestRead() - 16),
             [](platform::Bytes&& data, const std::optional<std::string>& mimeType) {
                 const std::string type = mimeType.value_or("*/*");
                 if (base64Size(data.size()) + type.size() + 16 > WFLargestRead()) return tooLarge();
                 std::string url = "data:" + type + ";base64," + platform::base64Encode(data);
                 platform::Bytes().swap(data);
                 return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(url)));
             });
}

void WFFile::readAsArrayBuffer(const WFInvokedUrlCommand& command) {
    // The URL form only for a bridge that asked for it on this page: any
    // other knows only the bytes themselves.
    auto controller = viewController();
    auto queue = controller ? controller->commandQueue() : nullptr;
    if (queue && queue->bridgeAsked(WFCommandQueue::kArrayBufferURLFeature)) return readByURL(command);
    readWith(command, 1, base64Fits(WFLargestRead() - 32), base64Answer);
}

void WFFile::readByURL(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    const int64_t start = platform::integerValue(command.argumentAtIndex(1));
    const int64_t end = platform::integerValue(command.argumentAtIndex(2, -1));
    std::weak_ptr<WFFile> weak = std::static_pointer_cast<WFFile>(shared_from_this());
    inOrderUntilAnswered([weak, t = *t, start, end,
                          reply = replier(shared_from_this(), command)](const std::function<void()>& answered) {
        auto self = weak.lock();
        if (!self) return answered();
        auto byURL = [](std::string url) {
            Value reference = Value::object();
            reference["WFType"] = "ArrayBuffer";
            reference["url"] = std::move(url);
            return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, reference);
        };
        const uint64_t limit = WFLargestRead();
        auto file = t.fileSystem->openFileAtURL(t.url);
        const uint64_t length = file && !file->error ? t.fileSystem->readLength(file->size, start, end) : 0;
        // Up to a mebibyte the bytes come in the answer all the same, as
        // they do from a filesystem whose files are not descriptors.
        if (length <= kLargestInlineArrayBuffer)
            return readBounded(t.fileSystem, t.url, start, end, base64Fits(limit - 32),
                               answerRead(reply, base64Answer, answered));
        if (length > limit) {
            logRefused(limit, t.url);
            reply(tooLarge());
            return answered();
        }
        const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
        // The bytes are read now, and held until fetched, while they fit
        // beside the others held for the page: a change the page makes to
        // the file next does not reach them. Those that do not fit are left
        // in the file, none dropped, and sent from there should the file
        // still be the version it is now (else the fetch fails).
        if (!self->reserveHeld(length)) {
            HeldResult held;
            held.fileSystem = t.fileSystem;
            held.url = t.url;
            held.offset = from;
            held.length = length;
            held.version = file->version;
            reply(byURL(self->holdResult(std::move(held))));
            return answered();
        }
        t.fileSystem->readFileAtURL(
            t.url, static_cast<int64_t>(from), static_cast<int64_t>(from + length),
            [weak, length, reply, answered, byURL](std::optional<platform::Bytes> data,
                                                   const std::optional<std::string>&, int32_t error) {
                auto self = weak.lock();
                if (!self) return answered();
                if (!data || data->size() > length) {
                    self->releaseHeld(length);
                    reply(WFFileErrorResult(data ? NOT_READABLE_ERR : error));
                    return answered();
                }
                // A file cut short meanwhile gave fewer.
                self->releaseHeld(length - data->size());
                HeldResult held;
                held.bytes = std::move(*data);
                reply(byURL(self->holdResult(std::move(held))));
                answered();
            });
    });
}

bool WFFile::reserveHeld(uint64_t size) {
    std::lock_guard lock(mutex_);
    if (heldBytes_ + size > WFLargestRead()) return false;
    heldBytes_ += size;
    return true;
}

void WFFile::releaseHeld(uint64_t size) {
    std::lock_guard lock(mutex_);
    heldBytes_ -= size;
}

std::string WFFile::holdResult(HeldResult&& result) {
    // Unguessable: no other page comes by the bytes.
    std::random_device random;
    char token[33];
    std::snprintf(token, sizeof token, "%08x%08x%08x%08x", random(), random(), random(), random());
    result.token = token;
    std::lock_guard lock(mutex_);
    heldResults_.push_back(std::move(result));
    return std::string(kWFFilesystemURLPrefix) + "://localhost/?" + kHeldResultQuery + "=" + token;
}

std::optional<platform::SchemeResponse> WFFile::takeHeldResult(const platform::Url& url) {
    if (!url.hasQuery()) return std::nullopt;
    const std::string wanted = std::string(kHeldResultQuery) + "=";
    const std::string& query = url.query();
    if (query.compare(0, wanted.size(), wanted) != 0) return std::nullopt;
    const std::string token = query.substr(wanted.size());
    HeldResult held;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(heldResults_.begin(), heldResults_.end(),
                               [&](const HeldResult& result) { return result.token == token; });
        if (it == heldResults_.end()) return std::nullopt;
        held = std::move(*it);
        heldResults_.erase(it);
    }
    if (held.fileSystem) {
        auto file = held.fileSystem->openFileAtURL(held.url);
        if (!file || file->error || !(file->version == held.version)) {
            platform::log("The file of a readAsArrayBuffer answer changed before the page fetched it: %s",
                          held.url.absoluteURL().c_str());
            return std::nullopt;
        }
        auto response = WFFilesystemURLProtocol::responseFromFile(std::move(*file), held.offset, held.length);
        response.mimeType = "application/octet-stream";
        response.headers.erase("Content-Type");
        return response;
    }
    platform::SchemeResponse response;
    response.mimeType = "application/octet-stream";
    response.headers["Cache-Control"] = "no-cache";
    const uint64_t size = held.bytes.size();
    response.body = std::move(held.bytes);
    // Counted until the page has them.
    std::weak_ptr<WFFile> weak = std::static_pointer_cast<WFFile>(shared_from_this());
    response.bodyOwner = std::shared_ptr<void>(nullptr, [weak, size](void*) {
        if (auto self = weak.lock()) self->releaseHeld(size);
    });
    return response;
}

void WFFile::onReset() {
    std::lock_guard lock(mutex_);
    for (const HeldResult& held : heldResults_) heldBytes_ -= held.bytes.size();
    heldResults_.clear();
}

void WFFile::readAsBinaryString(const WFInvokedUrlCommand& command) {
    // Each byte is a character of the text at least.
    readWith(command, 1, WFLargestRead() - 2, [](platform::Bytes&& data, const std::optional<std::string>&) {
        if (jsonTextSize(data, true) > WFLargestRead()) return tooLarge();
        std::string text = binaryString(data);
        platform::Bytes().swap(data);
        return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(text)));
    });
}

void WFFile::truncate(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [position = platform::integerValue(command.argumentAtIndex(1))](const Target& t) {
        return t.fileSystem->truncateFileAtURL(t.url, position);
    });
}

void WFFile::write(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0, NOT_FOUND_ERR, WFResultStatus::Error);
    if (!t) return;
    const Value data = command.argumentAtIndex(1);
    const int64_t position = platform::integerValue(command.argumentAtIndex(2));
    // A write is a cut and then an append: two at once would leave both
    // appended after both cuts, so writes go one at a time, in order.
    inOrder([t = *t, data, position, reply = replier(shared_from_this(), command)] {
        // The file is cut at the position first: what follows it is replaced.
        // A position it cannot be cut at (negative, past the largest file)
        // must not become an append at the end reported as written there; a
        // file not there yet is made by a write at its start (further in, the
        // bytes would land at the start all the same).
        const WFPluginResult cut = t.fileSystem->truncateFileAtURL(t.url, position);
        if (cut.status() != static_cast<int>(WFResultStatus::OK) && (cut.message() != NOT_FOUND_ERR || position > 0))
            return reply(cut);
        if (data.is_string()) {
            const std::string text = platform::sanitizeUTF8(data.get<std::string>());
            reply(t.fileSystem->writeToFileAtURL(t.url, platform::Bytes(text.begin(), text.end()), true));
        } else if (platform::isBytes(data)) {
            reply(t.fileSystem->writeToFileAtURL(t.url, platform::bytesOf(data), true));
        } else {
            reply(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::Error, "Invalid parameter type"));
        }
    });
}

void WFFile::testFileExists(const WFInvokedUrlCommand& command) {
    inOrder([path = command.argumentAtIndex(0), reply = replier(shared_from_this(), command)] {
        struct stat st {};
        const bool exists = path.is_string() && ::stat(path.get<std::string>().c_str(), &st) == 0;
        reply(WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, exists ? 1 : 0));
    });
}

void WFFile::testDirectoryExists(const WFInvokedUrlCommand& command) {
    inOrder([path = command.argumentAtIndex(0), reply = replier(shared_from_this(), command)] {
        struct stat st {};
        const bool exists =
            path.is_string() && ::stat(path.get<std::string>().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        reply(WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, exists ? 1 : 0));
    });
}

void WFFile::getFreeDiskSpace(const WFInvokedUrlCommand& command) {
    auto free = checkFreeDiskSpace(rootDocsPath_);
    send(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, std::to_string(free.value_or(0))),
         command);
}

void WFFile::_getLocalFilesystemPath(const WFInvokedUrlCommand& command) {
    const Value argument = command.argumentAtIndex(0);
    std::optional<std::string> path;
    if (argument.is_string()) {
        if (auto url = fileSystemURLforArg(argument.get<std::string>())) path = filesystemPathForURL(*url);
    }
    if (!path)
        return send(
            WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::Error, "Cannot resolve URL to a file"),
            command);
    send(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, *path), command);
}

}  // namespace wharf
