#include "TestSupport.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <glib.h>
#include <sys/mount.h>
#include <unistd.h>

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

SmallFilesystem::SmallFilesystem(const char* options, const char* type, const std::string& at)
    : at_(at.empty() ? dir_.path() : at) {
    mounted_ = ::mount("wharf-test", at_.c_str(), type, MS_NOSUID | MS_NODEV, options) == 0;
    if (!mounted_) why_ = std::string("cannot mount a small ") + type + " (mounting needs root): " + strerror(errno);
}

SmallFilesystem::~SmallFilesystem() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

int SmallFilesystem::fill(const std::string& name) const {
    const int fd = ::open(file(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const std::string chunk(4096, 'f');
    int error = 0;
    for (;;) {
        const ssize_t n = ::write(fd, chunk.data(), chunk.size());
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) break;
    }
    // The last, partly written page: fill it byte by byte.
    while (::write(fd, "f", 1) == 1) {}
    ::close(fd);
    return error;
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
