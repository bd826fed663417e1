// The files the platform reads at start-up: a defaults file and a bundle's
// Info.plist, through UserDefaults and Bundle. A defaults file is never lost:
// a readable one keeps every key across a save, an unreadable one is kept
// aside byte for byte, and the saved key is there for the next reader.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/UserDefaults.h"

using namespace wharf;
using namespace wharf::platform;

namespace {

void writeBytes(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size || size == 0);
    FUZZ_CHECK(std::fclose(f) == 0);
}

std::string readBytes(const std::string& path) {
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
        std::fclose(f);
    }
    return out;
}

void defaults(const uint8_t* data, std::size_t size) {
    const std::string dir = fuzz::scratchDir() + "/Preferences";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/org.example.fuzz.plist";
    writeBytes(path, data, size);

    UserDefaults first(path);
    const Value before = first.persistentDomain();
    const bool readable = first.synchronize();
    // Every reader answers without throwing, whatever the stored kinds.
    for (auto it = before.begin(); it != before.end(); ++it) {
        (void)first.stringForKey(it.key());
        (void)first.integerForKey(it.key());
        (void)first.doubleForKey(it.key());
        (void)first.boolForKey(it.key());
        (void)first.arrayForKey(it.key());
        (void)first.dictionaryForKey(it.key());
    }

    first.setObject("saved", "org.example.fuzz.key");
    UserDefaults second(path);
    FUZZ_CHECK(second.stringForKey("org.example.fuzz.key") == "saved");
    if (readable) {
        for (auto it = before.begin(); it != before.end(); ++it)
            FUZZ_CHECK(it.key() == "org.example.fuzz.key" || second.objectForKey(it.key()));
    } else {
        FUZZ_CHECK(readBytes(path + ".corrupt") == std::string(reinterpret_cast<const char*>(data), size));
    }
}

void bundle(const uint8_t* data, std::size_t size) {
    const std::string dir = fuzz::scratchDir() + "/App.bundle";
    std::filesystem::create_directories(dir + "/www");
    writeBytes(dir + "/Info.plist", data, size);
    writeBytes(dir + "/www/index.html", reinterpret_cast<const uint8_t*>("<html></html>"), 13);
    Error error;
    auto opened = Bundle::open(dir, &error);
    if (!opened) return;
    FUZZ_CHECK(opened->infoDictionary().is_object());
    (void)opened->bundleIdentifier();
    (void)opened->objectForInfoDictionaryKey("CFBundleIdentifier");
    FUZZ_CHECK(opened->pathForResource("index", "html", "www"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::clearScratch();
    defaults(data, size);
    bundle(data, size);
    return 0;
}
