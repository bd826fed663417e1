#pragma once
// The application container: home with Documents, Library, Library/Caches,
// Library/Application Support, Library/Preferences and an app-private tmp.
// Home is $WHARF_HOME, else $XDG_DATA_HOME/wharf/<bundle-id> (XDG_DATA_HOME
// defaulting to ~/.local/share). Directories are created on demand.
#include <string>

namespace wharf::platform {

class Container {
public:
    // Overrides the home (e.g. from --home, or a test's temporary directory).
    static void setHome(const std::string& home);
    // Forgets an override so the next call recomputes from the environment.
    static void resetHome();
    static std::string home();

    static std::string documentsPath();
    static std::string libraryPath();
    static std::string cachesPath();
    static std::string applicationSupportPath();
    static std::string preferencesPath();
    static std::string tmpPath();

    // A directory of this home's own outside it, for what must stay out of
    // reach of everything rooted in the home (the pages' filesystems, the
    // files a page may print to): "$XDG_STATE_HOME/wharf/<digest of the
    // home's resolved path>", XDG_STATE_HOME defaulting to ~/.local/state.
    // Created on demand; "" when it cannot be made, or lies in the home.
    static std::string privateStatePath();

    // Creates the directory and its parents (0700 for new ones). False on failure.
    static bool ensureDirectory(const std::string& path);
};

}  // namespace wharf::platform
