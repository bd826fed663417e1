#include "nimbus/core/NBAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/device/Application.h"
#include "platform/device/Device.h"
#include "platform/storage/Bundle.h"

namespace wharf {

namespace {

std::mutex& providerMutex() {
    static std::mutex m;
    return m;
}
std::function<NBAppEnvironmentUtil::Facts()>& factsProvider() {
    static std::function<NBAppEnvironmentUtil::Facts()> provider;
    return provider;
}

}  // namespace

bool NBAppEnvironmentUtil::isFromAppStoreWithFacts(const Facts& facts) {
    if (facts.simulator) return false;
    if (facts.hasSCInfoFolder) return true;
    if (!facts.executableEncrypted) return false;
    if (facts.appStoreReceiptSandbox) return false;
    return !facts.hasEmbeddedMobileProvision;
}

NBAppEnvironmentUtil::Facts NBAppEnvironmentUtil::currentFacts() {
    {
        std::lock_guard lock(providerMutex());
        if (factsProvider()) return factsProvider()();
    }
    Facts facts;
    facts.simulator = isSimulator();
    facts.hasSCInfoFolder = hasSCInfoFolder();
    // An ELF executable carries no encryption command: it never counts as encrypted.
    facts.executableEncrypted = false;
    facts.appStoreReceiptSandbox = isAppStoreReceiptSandbox();
    facts.hasEmbeddedMobileProvision = hasEmbeddedMobileProvision();
    return facts;
}

void NBAppEnvironmentUtil::setFactsProviderForTesting(std::function<Facts()> provider) {
    std::lock_guard lock(providerMutex());
    factsProvider() = std::move(provider);
}

bool NBAppEnvironmentUtil::isFromAppStore() { return isFromAppStoreWithFacts(currentFacts()); }

bool NBAppEnvironmentUtil::isAppStoreReceiptSandbox() {
    // No store receipt is ever handed to a Linux bundle.
    return false;
}

bool NBAppEnvironmentUtil::hasEmbeddedMobileProvision() {
    auto path = platform::Bundle::mainBundle()->pathForResource("embedded", "mobileprovision");
    return path && !path->empty();
}

bool NBAppEnvironmentUtil::hasSCInfoFolder() {
    std::error_code ec;
    auto path = std::filesystem::path(platform::Bundle::mainBundle()->bundlePath()) / "SC_Info";
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool NBAppEnvironmentUtil::isSimulator() {
    auto model = deviceModel();
    return model && (*model == "x86_64" || *model == "i386");
}

namespace {

struct ModelCache {
    std::mutex mutex;
    std::string root = "/";
    bool known = false;
    std::optional<std::string> model;
};
ModelCache& modelCache() {
    static ModelCache cache;
    return cache;
}

// The first line of a small system file, without surrounding blanks or NULs.
std::string firstLine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    const auto isBlank = [](char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); };
    while (!line.empty() && isBlank(line.back())) line.pop_back();
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start])) ++start;
    return line.substr(start);
}

// The phone's model identifier names its hardware; so does DMI on a PC and
// the device tree on a board. The architecture is the last resort.
std::optional<std::string> readDeviceModel(const std::string& root) {
    for (const char* file : {"sys/class/dmi/id/product_name", "sys/firmware/devicetree/base/model"}) {
        std::string model = firstLine(root + "/" + file);
        if (!model.empty()) return model;
    }
    struct utsname info {};
    if (uname(&info) != 0) return std::nullopt;
    return std::string(info.machine);
}

}  // namespace

std::optional<std::string> NBAppEnvironmentUtil::deviceModel() {
    ModelCache& cache = modelCache();
    std::lock_guard lock(cache.mutex);
    if (!cache.known) {
        cache.model = readDeviceModel(cache.root);
        cache.known = true;
    }
    return cache.model;
}

void NBAppEnvironmentUtil::setSystemRootForTesting(const std::string& root) {
    ModelCache& cache = modelCache();
    std::lock_guard lock(cache.mutex);
    cache.root = root.empty() ? "/" : root;
    cache.known = false;
}

std::string NBAppEnvironmentUtil::systemVersion() { return platform::Device::systemVersion(); }

bool NBAppEnvironmentUtil::isAppExtension() {
    const std::string& path = platform::Bundle::mainBundle()->bundlePath();
    static constexpr std::string_view suffix = ".appex";
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return p.size() >= suffix.size() && p.substr(p.size() - suffix.size()) == suffix;
}

platform::Application* NBAppEnvironmentUtil::sharedApplication() {
    if (isAppExtension()) return nullptr;
    return &platform::Application::shared();
}

}  // namespace wharf
