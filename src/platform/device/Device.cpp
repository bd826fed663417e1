#include "platform/device/Device.h"

#include <sched.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace wharf::platform {

namespace {

utsname unameInfo() {
    utsname u{};
    if (::uname(&u) != 0) u = utsname{};
    return u;
}

// VERSION_ID from an os-release file, without quotes; "" when absent.
std::string osReleaseVersion(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VERSION_ID=", 0) != 0) continue;
        std::string v = line.substr(11);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

double clockSeconds(clockid_t id) {
    timespec ts{};
    if (clock_gettime(id, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

std::string Device::model() { return unameInfo().machine; }

std::string Device::name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

std::string Device::systemName() { return "Linux"; }

std::string Device::systemVersion() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::string v = osReleaseVersion(path);
        if (!v.empty()) return v;
    }
    return kernelVersion();
}

std::string Device::kernelVersion() { return unameInfo().release; }

std::string Device::localeIdentifier() {
    // The first of these that is set and not empty decides, as for setlocale().
    std::string value;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            value = v;
            break;
        }
    }
    // "en_US.UTF-8@euro" → "en_US"
    value = value.substr(0, value.find_first_of(".@"));
    if (value.empty() || value == "C" || value == "POSIX") return "en_US";
    return value;
}

std::string Device::preferredLanguage() {
    std::string id = localeIdentifier();
    for (char& c : id)
        if (c == '_') c = '-';
    return id;
}

std::chrono::system_clock::time_point Device::bootTime() {
    auto sinceEpoch = std::chrono::duration<double>(clockSeconds(CLOCK_REALTIME) - uptimeSeconds());
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch));
}

double Device::uptimeSeconds() { return clockSeconds(CLOCK_BOOTTIME); }

unsigned Device::processorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

unsigned long long Device::physicalMemory() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize);
}

}  // namespace wharf::platform
