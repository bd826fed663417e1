#include <gtest/gtest.h>

#include <sched.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "platform/device/Device.h"

using namespace wharf::platform;

namespace {

// Sets or unsets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(DeviceTest, MachineFactsAreSane) {
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(Device::model(), u.machine);
    EXPECT_EQ(Device::kernelVersion(), u.release);
    EXPECT_EQ(Device::systemName(), "Linux");
    EXPECT_FALSE(Device::systemVersion().empty());
    EXPECT_EQ(Device::systemVersion().find('"'), std::string::npos);
    EXPECT_FALSE(Device::name().empty());
    EXPECT_GE(Device::processorCount(), 1u);
    // A thread restricted to one processor sees one (taskset, containers).
    std::thread([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        ASSERT_EQ(sched_getaffinity(0, sizeof one, &one), 0);
        int first = 0;
        while (!CPU_ISSET(first, &one)) ++first;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(Device::processorCount(), 1u);
    }).join();
    EXPECT_GT(Device::physicalMemory(), 16ull << 20);

    const auto now = std::chrono::system_clock::now();
    const auto boot = Device::bootTime();
    EXPECT_LT(boot, now);
    EXPECT_GT(boot, std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 20)));
    EXPECT_NEAR(std::chrono::duration<double>(now - boot).count(), Device::uptimeSeconds(), 1.0);
}

TEST(DeviceTest, LocaleFromTheEnvironment) {
    ScopedEnv all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), lang("LANG", nullptr);
    EXPECT_EQ(Device::localeIdentifier(), "en_US");
    {
        ScopedEnv l("LANG", "de_DE.UTF-8");
        EXPECT_EQ(Device::localeIdentifier(), "de_DE");
        EXPECT_EQ(Device::preferredLanguage(), "de-DE");
        ScopedEnv m("LC_MESSAGES", "fr_CA.ISO-8859-1");
        EXPECT_EQ(Device::localeIdentifier(), "fr_CA");
        ScopedEnv a("LC_ALL", "sr_RS@latin");
        EXPECT_EQ(Device::localeIdentifier(), "sr_RS");
        ScopedEnv emptyAll("LC_ALL", "");  // empty counts as unset
        EXPECT_EQ(Device::localeIdentifier(), "fr_CA");
    }
    for (const char* plain : {"C", "POSIX", "C.UTF-8"}) {
        ScopedEnv l("LANG", plain);
        EXPECT_EQ(Device::localeIdentifier(), "en_US") << plain;
    }
}

}  // namespace
