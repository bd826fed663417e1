#include "platform/Container.h"

#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Bundle.h"
#include "platform/Paths.h"

namespace wharf::platform {

namespace {

// Never destroyed, as the main bundle: threads still at work while the
// process exits may still ask where the home is.
struct HomeOverride {
    std::mutex mutex;
    std::optional<std::string> home;
};
HomeOverride& homeOverride() {
    static auto* state = new HomeOverride;
    return *state;
}

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string userHome() {
    std::string home = envOrEmpty("HOME");
    if (!home.empty()) return home;
    passwd entry{};
    passwd* pw = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &pw) == 0 && pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// A bundle identifier names one directory: nothing in it may climb or nest.
std::string directoryNameFor(std::string id) {
    if (id.empty()) return "wharf";
    for (char& c : id)
        if (c == '/' || c == '\0') c = '_';
    if (id == "." || id == "..") return "wharf";
    return id;
}

std::string subdirectory(const std::string& relative) {
    std::string path = Container::home() + "/" + relative;
    Container::ensureDirectory(path);
    return path;
}

}  // namespace

void Container::setHome(const std::string& home) {
    HomeOverride& state = homeOverride();
    std::lock_guard lock(state.mutex);
    state.home = home;
}

void Container::resetHome() {
    HomeOverride& state = homeOverride();
    std::lock_guard lock(state.mutex);
    state.home.reset();
}

std::string Container::home() {
    std::string home;
    {
        HomeOverride& state = homeOverride();
        std::lock_guard lock(state.mutex);
        if (state.home) home = *state.home;
    }
    if (home.empty()) home = envOrEmpty("WHARF_HOME");
    if (home.empty()) {
        // Relative values of XDG_DATA_HOME are invalid and ignored.
        std::string data = envOrEmpty("XDG_DATA_HOME");
        if (data.empty() || data.front() != '/') data = userHome() + "/.local/share";
        home = data + "/wharf/" + directoryNameFor(Bundle::mainBundle()->bundleIdentifier());
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    ensureDirectory(home);
    return home;
}

std::string Container::documentsPath() { return subdirectory("Documents"); }
std::string Container::libraryPath() { return subdirectory("Library"); }
std::string Container::cachesPath() { return subdirectory("Library/Caches"); }
std::string Container::applicationSupportPath() { return subdirectory("Library/Application Support"); }
std::string Container::preferencesPath() { return subdirectory("Library/Preferences"); }
std::string Container::tmpPath() { return subdirectory("tmp"); }

std::string Container::privateStatePath() {
    const std::string home = Container::home();
    const std::string resolvedHome = resolvedPath(home).value_or(home);
    // Relative values of XDG_STATE_HOME are invalid and ignored.
    std::string state = envOrEmpty("XDG_STATE_HOME");
    if (state.empty() || state.front() != '/') state = userHome() + "/.local/state";
    gchar* digest = g_compute_checksum_for_string(G_CHECKSUM_SHA256, resolvedHome.c_str(), -1);
    const std::string path = state + "/wharf/" + std::string(digest, 32);
    g_free(digest);
    const auto resolved = ensureDirectory(path) ? resolvedPath(path) : std::nullopt;
    // A state directory inside the home (a home of "~") is one the home's
    // "root" filesystem reaches.
    if (!resolved || (*resolved + "/").starts_with(resolvedHome == "/" ? "/" : resolvedHome + "/")) return "";
    return *resolved;
}

bool Container::ensureDirectory(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Create each missing ancestor in turn; another thread or process may race us.
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace wharf::platform
