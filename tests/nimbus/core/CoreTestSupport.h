#pragma once
// A temporary main bundle with an Info.plist and, optionally, the options file.
#include <memory>
#include <optional>
#include <string>

#include "TestSupport.h"
#include "platform/base/Value.h"
#include "platform/storage/PropertyList.h"

namespace wharf::test {

class TestBundle {
public:
    explicit TestBundle(const platform::Value& info = platform::Value::object());
    ~TestBundle();

    // Writes "RovudeService-Info.plist" and forgets the cached default options.
    void writeOptions(const platform::Value& options, platform::plist::Format format = platform::plist::Format::XML);
    void writeRawOptions(const std::string& bytes);
    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
};

// Options with a valid application identifier and this bundle's identifier.
platform::Value validOptionsDictionary();

inline constexpr const char* kTestBundleIdentifier = "com.example.wharf.tests";
inline constexpr const char* kTestAppID = "1:1234567890:ios:abcdef0123";

}  // namespace wharf::test
