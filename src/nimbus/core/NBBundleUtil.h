#pragma once
// Finds the options file in the bundles that matter to the core and answers
// bundle-identifier and URL-scheme questions.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wharf {
namespace platform {
class Bundle;
}

class NBBundleUtil {
public:
    using Bundles = std::vector<std::shared_ptr<platform::Bundle>>;

    // The main bundle. The core is linked into the executable and has no bundle
    // of its own, so the main bundle is also the bundle of the core's classes
    // and is listed once.
    static Bundles relevantBundles();
    // The first path a bundle gives for `<name>.<type>`, in order; nullopt if none.
    static std::optional<std::string> optionsDictionaryPathWithResourceName(const std::string& name,
                                                                            const std::string& type,
                                                                            const Bundles& bundles);
    // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" entry, in
    // order, duplicates kept.
    static std::vector<std::string> relevantURLSchemes();
    static bool hasBundleIdentifier(const std::string& identifier, const Bundles& bundles);
};

}  // namespace wharf
