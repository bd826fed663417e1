#pragma once
// Classes looked up by name at run time. Registration is explicit (static
// initialisers in libraries are dropped by the linker). A class is registered
// with the base type its factory produces; "responds to" is answered from the
// selectors registered with it; class methods are stored as typed callables.
#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <typeindex>

namespace wharf::platform {

class ClassRegistry {
public:
    static ClassRegistry& shared();

    // Registers (or replaces) a class. `Base` is the type callers create it as.
    template <class Base, class... Args>
    void registerClass(const std::string& name, std::function<std::shared_ptr<Base>(Args...)> factory,
                       std::set<std::string> instanceSelectors = {}) {
        std::lock_guard lock(mutex_);
        auto& e = classes_[name];
        e.factory = std::move(factory);
        e.factoryType = std::type_index(typeid(std::function<std::shared_ptr<Base>(Args...)>));
        e.instanceSelectors = std::move(instanceSelectors);
    }

    // A new instance of `name` as `Base`, or nullptr when the class is absent
    // or was registered with another base or other constructor arguments.
    template <class Base, class... Args>
    std::shared_ptr<Base> create(const std::string& name, Args... args) const {
        using F = std::function<std::shared_ptr<Base>(Args...)>;
        F f;
        {
            std::lock_guard lock(mutex_);
            auto it = classes_.find(name);
            if (it == classes_.end() || !it->second.factory.has_value() ||
                it->second.factoryType != std::type_index(typeid(F)))
                return nullptr;
            f = std::any_cast<F>(it->second.factory);
        }
        return f ? f(std::forward<Args>(args)...) : nullptr;
    }

    // A class method: a callable of any signature stored under a selector.
    template <class Fn>
    void registerClassMethod(const std::string& className, const std::string& selector, std::function<Fn> fn) {
        std::lock_guard lock(mutex_);
        classes_[className].classMethods[selector] = std::move(fn);
    }
    template <class Fn>
    std::optional<std::function<Fn>> classMethod(const std::string& className, const std::string& selector) const {
        std::lock_guard lock(mutex_);
        auto it = classes_.find(className);
        if (it == classes_.end()) return std::nullopt;
        auto m = it->second.classMethods.find(selector);
        if (m == it->second.classMethods.end()) return std::nullopt;
        if (auto* f = std::any_cast<std::function<Fn>>(&m->second)) return *f;
        return std::nullopt;
    }

    bool hasClass(const std::string& name) const;
    // Instance selectors registered with the class.
    bool instancesRespondTo(const std::string& className, const std::string& selector) const;
    bool respondsToClassMethod(const std::string& className, const std::string& selector) const;
    void addInstanceSelectors(const std::string& className, const std::set<std::string>& selectors);
    void unregisterClass(const std::string& name);

private:
    struct Entry {
        std::any factory;
        std::type_index factoryType{typeid(void)};
        std::set<std::string> instanceSelectors;
        std::map<std::string, std::any> classMethods;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> classes_;
};

}  // namespace wharf::platform
