#pragma once
// User defaults: a registration domain (not stored) under a persistent domain
// stored as a property list `<home>/Library/Preferences/<bundle-id>.plist`.
// Writes go to disk atomically (temporary file + rename) under an advisory
// file lock, merged with what another process may have written meanwhile.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf::platform {

class UserDefaults {
public:
    // The defaults of the main bundle in the current container.
    static UserDefaults& standard();
    // Drops the standard instance (tests that change the home).
    static void resetStandard();

    explicit UserDefaults(std::string plistPath);
    ~UserDefaults();

    const std::string& path() const { return path_; }

    void registerDefaults(const Value& dictionary);

    // The persistent value, else the registered one, else nullopt.
    std::optional<Value> objectForKey(const std::string& key) const;
    std::string stringForKey(const std::string& key) const;  // strings and numbers; "" otherwise
    int64_t integerForKey(const std::string& key) const;  // Foundation readers
    bool boolForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    Value arrayForKey(const std::string& key) const;  // null unless an array
    Value dictionaryForKey(const std::string& key) const;  // null unless an object

    void setObject(const Value& value, const std::string& key);  // null removes
    // Several keys (null removes) in one write to the file.
    void setObjectsForKeys(const Value& dictionary);
    void setBool(bool value, const std::string& key) { setObject(value, key); }
    void setInteger(int64_t value, const std::string& key) { setObject(value, key); }
    void setDouble(double value, const std::string& key) { setObject(value, key); }
    void removeObjectForKey(const std::string& key);

    // Re-reads the file (picking up another process's writes). True on success.
    bool synchronize();
    // The whole persistent domain.
    Value persistentDomain() const;

    // Called (on the writing thread) after a key changed.
    using Observer = std::function<void(const std::string& key)>;
    uint64_t addObserver(Observer observer);
    void removeObserver(uint64_t id);

    // Key → new value (nullopt: a removal).
    using Changes = std::map<std::string, std::optional<Value>>;

private:
    void store(const Changes& changes);
    void applyUnsaved(Value& domain) const;
    void notify(const std::string& key);
    std::string path_;
    mutable std::mutex mutex_;
    Value registered_ = Value::object();
    Value persistent_ = Value::object();
    // Changes the file could not take yet (nullopt: a removal).
    Changes unsaved_;
    struct Observers;
    std::unique_ptr<Observers> observers_;
};

}  // namespace wharf::platform
