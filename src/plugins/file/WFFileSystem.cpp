#include "plugins/file/WFFileSystem.h"

#include <algorithm>
#include <cstdlib>

#include "platform/base/Error.h"
#include "platform/device/Device.h"

namespace wharf {

WFPluginResult WFFileErrorResult(int code, WFResultStatus status) {
    return WFPluginResult::resultWithStatusMessageAsInt(status, code);
}

std::string WFFileSystem::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void WFFileSystem::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

WFUrlTransformer WFFileSystem::urlTransformer() const {
    std::lock_guard lock(mutex_);
    return urlTransformer_;
}

void WFFileSystem::setUrlTransformer(WFUrlTransformer transformer) {
    std::lock_guard lock(mutex_);
    urlTransformer_ = std::move(transformer);
}

platform::Value WFFileSystem::makeEntry(const std::string& fullPath, const std::string& entryName, bool isDirectory,
                                        const std::optional<platform::Url>& nativeURL) const {
    platform::Value entry = platform::Value::object();
    entry["isFile"] = !isDirectory;
    entry["isDirectory"] = isDirectory;
    entry["name"] = entryName;
    entry["fullPath"] = isDirectory && (fullPath.empty() || fullPath.back() != '/') ? fullPath + "/" : fullPath;
    entry["filesystemName"] = name();
    if (nativeURL) {
        const WFUrlTransformer transform = urlTransformer();
        entry["nativeURL"] = (transform ? transform(*nativeURL) : *nativeURL).absoluteString();
    } else {
        entry["nativeURL"] = nullptr;
    }
    return entry;
}

uint64_t WFFileSystem::readLength(uint64_t size, int64_t start, int64_t end) const {
    const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
    const uint64_t available = from < size ? size - from : 0;
    return end > 0 && static_cast<uint64_t>(end) > from ? std::min(available, static_cast<uint64_t>(end) - from)
                                                        : available;
}

uint64_t WFLargestRead() {
    static const uint64_t machine = [] {
        const uint64_t most = uint64_t{512} << 20;
        const uint64_t memory = platform::Device::physicalMemory();  // 0 when unknown
        // At its peak an answer costs the host about twice its text: the
        // text, and the web engine's copy of it on its way to the page. The
        // largest takes no more than an eighth of the machine.
        constexpr uint64_t kAnswerCost = 2;
        return memory ? std::min<uint64_t>(most, memory / 8 / kAnswerCost) : most;
    }();
    // Lowered, never raised, by the environment (tests use small files).
    if (const char* lowered = std::getenv("WHARF_LARGEST_READ")) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(lowered, &end, 10);
        if (end != lowered && *end == '\0' && value > 0) return std::min<uint64_t>(machine, value);
    }
    return machine;
}

std::string WFErrnoDescription(int err, const std::string& path) {
    platform::Value info = platform::Value::object();
    info[platform::kLocalizedDescriptionKey] = platform::errnoText(err);
    info["NSFilePath"] = path;
    return platform::Error("NSPOSIXErrorDomain", err, info).description();
}

std::string WFLastPathComponent(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    if (end == 1 && path[0] == '/') return "/";
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end - begin);
}

}  // namespace wharf
