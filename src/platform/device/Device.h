#pragma once
// Facts about this machine.
#include <chrono>
#include <string>

namespace wharf::platform {

struct Device {
    static std::string model();  // e.g. "x86_64" (uname machine)
    static std::string name();  // host name
    static std::string systemName();  // "Linux"
    static std::string systemVersion();  // VERSION_ID of /etc/os-release, else uname release
    static std::string kernelVersion();  // uname release
    static std::string localeIdentifier();  // e.g. "en_US" from LC_ALL/LC_MESSAGES/LANG, "en_US" fallback
    static std::string preferredLanguage();  // e.g. "en-US"
    static std::chrono::system_clock::time_point bootTime();
    static double uptimeSeconds();  // CLOCK_BOOTTIME
    static unsigned processorCount();  // from the affinity mask
    static unsigned long long physicalMemory();
};

}  // namespace wharf::platform
