#include "platform/Bundle.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace wharf::platform {

namespace {

// Never destroyed: work other threads still do while the process exits (a
// start-up sweep, say) may still ask for the main bundle.
struct MainBundle {
    std::mutex mutex;
    std::shared_ptr<Bundle> bundle;
};
MainBundle& mainState() {
    static auto* state = new MainBundle;
    return *state;
}

std::optional<std::string> realPath(const std::string& path) {
    char* p = ::realpath(path.c_str(), nullptr);
    if (!p) return std::nullopt;
    std::string out(p);
    std::free(p);
    return out;
}

bool hasParentComponent(const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

bool isUnsafeComponent(const std::string& part) {
    return (!part.empty() && part.front() == '/') || part.find('\0') != std::string::npos || hasParentComponent(part);
}

}  // namespace

std::shared_ptr<Bundle> Bundle::open(const std::string& path, Error* error) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        setError(error,
                 Error::withDescription("NSCocoaErrorDomain", 4, "The bundle “" + path + "” is not a directory."));
        return nullptr;
    }
    std::string root = path;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const std::string infoPath = (root == "/" ? "" : root) + "/Info.plist";
    Value info = Value::object();
    if (::stat(infoPath.c_str(), &st) == 0) {
        auto read = plist::readFile(infoPath, error);
        if (!read) return nullptr;
        if (!read->is_object()) {
            setError(error, Error::withDescription(plist::kErrorDomain, 3840,
                                                   "“" + infoPath + "” does not hold a dictionary."));
            return nullptr;
        }
        info = std::move(*read);
    }
    return std::shared_ptr<Bundle>(new Bundle(std::move(root), std::move(info)));
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
    MainBundle& state = mainState();
    std::lock_guard lock(state.mutex);
    if (state.bundle) return state.bundle;
    std::string path = ".";
    if (const char* env = std::getenv("WHARF_BUNDLE"); env && *env) path = env;
    if (path == ".") {
        if (auto cwd = realPath(".")) path = *cwd;
    }
    Error error;
    state.bundle = open(path, &error);
    if (!state.bundle) {
        log("Cannot open the main bundle %s: %s", path.c_str(), error.localizedDescription().c_str());
        state.bundle = std::shared_ptr<Bundle>(new Bundle(path, Value::object()));
    }
    return state.bundle;
}

void Bundle::setMainBundle(std::shared_ptr<Bundle> bundle) {
    MainBundle& state = mainState();
    std::lock_guard lock(state.mutex);
    state.bundle = std::move(bundle);
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    const auto it = info_.find(key);
    return it == info_.end() ? Value() : *it;
}

std::string Bundle::bundleIdentifier() const {
    const auto it = info_.find("CFBundleIdentifier");
    return it != info_.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                   const std::string& subdirectory) const {
    if (name.empty() || isUnsafeComponent(name) || isUnsafeComponent(subdirectory) ||
        type.find('/') != std::string::npos || type.find('\0') != std::string::npos)
        return std::nullopt;
    std::string relative = subdirectory;
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    if (!relative.empty()) relative += '/';
    relative += name;
    if (!type.empty()) relative += "." + type;
    const std::string candidate = (path_ == "/" ? "" : path_) + "/" + relative;

    // The file must exist, and wherever its links lead it must stay inside the bundle.
    const auto resolved = realPath(candidate);
    const auto root = realPath(path_);
    if (!resolved || !root) return std::nullopt;
    const std::string prefix = *root == "/" ? "/" : *root + "/";
    if (resolved->compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return candidate;
}

}  // namespace wharf::platform
