#include "platform/base/ClassRegistry.h"

namespace wharf::platform {

ClassRegistry& ClassRegistry::shared() {
    // Never destroyed: registered factories may be looked up from other static destructors.
    static auto* registry = new ClassRegistry;
    return *registry;
}

bool ClassRegistry::hasClass(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return classes_.count(name) != 0;
}

bool ClassRegistry::instancesRespondTo(const std::string& className, const std::string& selector) const {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(className);
    return it != classes_.end() && it->second.instanceSelectors.count(selector) != 0;
}

bool ClassRegistry::respondsToClassMethod(const std::string& className, const std::string& selector) const {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(className);
    return it != classes_.end() && it->second.classMethods.count(selector) != 0;
}

void ClassRegistry::addInstanceSelectors(const std::string& className, const std::set<std::string>& selectors) {
    std::lock_guard lock(mutex_);
    classes_[className].instanceSelectors.insert(selectors.begin(), selectors.end());
}

void ClassRegistry::unregisterClass(const std::string& name) {
    std::lock_guard lock(mutex_);
    classes_.erase(name);
}

}  // namespace wharf::platform
