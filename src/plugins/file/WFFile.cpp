#include "plugins/file/WFFile.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
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

std::function<void(WFPluginResult)> WFFile::replier(const WFInvokedUrlCommand& command) {
    std::weak_ptr<WFPlugin> weakPlugin = shared_from_this();
    std::weak_ptr<WFCommandDelegate> weakDelegate = commandDelegate();
    return [weakPlugin, weakDelegate, callbackId = command.callbackId()](WFPluginResult result) {
        if (!weakPlugin.lock()) return;
        if (auto delegate = weakDelegate.lock()) delegate->sendPluginResult(std::move(result), callbackId);
    };
}

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
    inOrder([t = *t, reply = replier(command), operation = std::move(operation)] { reply(operation(t)); });
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
    inOrder([fs, url = *url, reply = replier(command)] { reply(fs->entryForLocalURI(url)); });
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
    inOrder([t = *t, reply = replier(command)] { reply(t.fileSystem->removeFileAtURL(t.url)); });
}

void WFFile::removeRecursively(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    if (t->url.fullPath().value_or("").empty() || holdsAFilesystemRoot(*t))
        return send(WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR), command);
    inOrder([t = *t, reply = replier(command)] { reply(t.fileSystem->recursiveRemoveFileAtURL(t.url)); });
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
    inOrderUntilAnswered([destinationFs, sourceFs, newName, copy, reply = replier(command), src = *sourceURL,
                          dest = *destinationURL](const std::function<void()>& answered) {
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
    inOrderUntilAnswered([t = *t, reply = replier(command)](const std::function<void()>& answered) {
        t.fileSystem->getFileMetadataForURL(t.url, [reply, answered](const WFPluginResult& result) {
            reply(result);
            answered();
        });
    });
}

void WFFile::readEntries(const WFInvokedUrlCommand& command) {
    answerInOrder(command, [](const Target& t) { return t.fileSystem->readEntriesAtURL(t.url); });
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
    inOrder([t = *t, data, position, reply = replier(command)] {
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
    inOrder([path = command.argumentAtIndex(0), reply = replier(command)] {
        struct stat st {};
        const bool exists = path.is_string() && ::stat(path.get<std::string>().c_str(), &st) == 0;
        reply(WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, exists ? 1 : 0));
    });
}

void WFFile::testDirectoryExists(const WFInvokedUrlCommand& command) {
    inOrder([path = command.argumentAtIndex(0), reply = replier(command)] {
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
