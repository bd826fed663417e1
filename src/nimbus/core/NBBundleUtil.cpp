#include "nimbus/core/NBBundleUtil.h"

#include "platform/storage/Bundle.h"

namespace wharf {

NBBundleUtil::Bundles NBBundleUtil::relevantBundles() { return {platform::Bundle::mainBundle()}; }

std::optional<std::string> NBBundleUtil::optionsDictionaryPathWithResourceName(const std::string& name,
                                                                               const std::string& type,
                                                                               const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        if (auto path = bundle->pathForResource(name, type)) return path;
    }
    return std::nullopt;
}

std::vector<std::string> NBBundleUtil::relevantURLSchemes() {
    std::vector<std::string> schemes;
    for (const auto& bundle : relevantBundles()) {
        const auto types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types.is_array()) continue;
        for (const auto& type : types) {
            if (!type.is_object()) continue;
            auto it = type.find("CFBundleURLSchemes");
            if (it == type.end() || !it->is_array()) continue;
            for (const auto& scheme : *it)
                if (scheme.is_string()) schemes.push_back(scheme.get<std::string>());
        }
    }
    return schemes;
}

bool NBBundleUtil::hasBundleIdentifier(const std::string& identifier, const Bundles& bundles) {
    for (const auto& bundle : bundles)
        if (bundle && bundle->bundleIdentifier() == identifier) return true;
    return false;
}

}  // namespace wharf
