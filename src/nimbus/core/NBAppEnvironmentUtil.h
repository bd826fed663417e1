#pragma once
// Facts about the build and the device that several Nimbus components need.
//
// On Linux the main executable is an ELF image: there is no Mach-O encryption
// command to find, so the executable never counts as encrypted and an
// installed application is only "from the App Store" when its bundle carries
// an "SC_Info" entry. Other components' tests may stand in facts of their own.
#include <functional>
#include <optional>
#include <string>

namespace wharf {
namespace platform {
class Application;
}

class NBAppEnvironmentUtil {
public:
    // What the App Store decision rests on.
    struct Facts {
        bool simulator = false;
        bool hasSCInfoFolder = false;
        bool executableEncrypted = false;
        bool appStoreReceiptSandbox = false;
        bool hasEmbeddedMobileProvision = false;
    };

    static bool isFromAppStore();
    static bool isFromAppStoreWithFacts(const Facts& facts);
    // The facts of this process.
    static Facts currentFacts();
    // Replaces currentFacts() while set (tests); an empty function restores it.
    static void setFactsProviderForTesting(std::function<Facts()> provider);

    static bool isAppStoreReceiptSandbox();
    static bool hasEmbeddedMobileProvision();
    static bool hasSCInfoFolder();
    // Whether deviceModel() is "x86_64" or "i386", the simulator's machine.
    static bool isSimulator();
    // The machine's hardware model, read once: the DMI product name, else the
    // device tree's model, and only where neither exists the machine field
    // of uname (the architecture); nullopt if that fails too.
    static std::optional<std::string> deviceModel();
    // Reads the hardware model under another root directory from now on
    // (tests); an empty root restores "/".
    static void setSystemRootForTesting(const std::string& root);
    static std::string systemVersion();
    static bool isAppExtension();
    // The application object, or null inside an application extension.
    static platform::Application* sharedApplication();
};

}  // namespace wharf
