#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <glib.h>

#include "platform/Container.h"
#include "platform/UserDefaults.h"

namespace wharf::test {

TempDir::TempDir() {
    GError* err = nullptr;
    char* p = g_dir_make_tmp("wharf-test-XXXXXX", &err);
    if (!p) {
        std::string msg = err ? err->message : "unknown";
        g_clear_error(&err);
        throw std::runtime_error("cannot make temporary directory: " + msg);
    }
    path_ = p;
    g_free(p);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempHome::TempHome() {
    platform::Container::setHome(dir_.path());
    platform::UserDefaults::resetStandard();
}

TempHome::~TempHome() {
    platform::UserDefaults::resetStandard();
    platform::Container::resetHome();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string sourceDir() { return WHARF_SOURCE_DIR; }

}  // namespace wharf::test
