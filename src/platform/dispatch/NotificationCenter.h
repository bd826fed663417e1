#pragma once
// Named notifications with an optional sender filter, delivered synchronously
// on the posting thread in registration order.
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Value.h"

namespace wharf::platform {

// The platform's notification names used by the system.
inline constexpr const char* kUIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kUIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr const char* kUIApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kUIApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kUIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kUIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kUIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, compared by address
    Value userInfo;  // null when there is none
    // Entries of the user info that are objects rather than data (an app, a
    // message), each a std::shared_ptr<T> by key; objectFor<T>(key) reads one
    // back (null when absent or of another type).
    std::map<std::string, std::any> objects;

    template <class T>
    std::shared_ptr<T> objectFor(const std::string& key) const {
        auto it = objects.find(key);
        if (it == objects.end()) return nullptr;
        auto* object = std::any_cast<std::shared_ptr<T>>(&it->second);
        return object ? *object : nullptr;
    }
};

using NotificationHandler = std::function<void(const Notification&)>;

class NotificationCenter;

// Removes its observation when destroyed or reset(). Move-only.
class ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&& other) noexcept;
    ObserverToken& operator=(ObserverToken&& other) noexcept;
    ObserverToken(const ObserverToken&) = delete;
    ObserverToken& operator=(const ObserverToken&) = delete;
    ~ObserverToken();

    void reset();
    bool active() const { return id_ != 0; }
    uint64_t id() const { return id_; }

private:
    friend class NotificationCenter;
    ObserverToken(std::weak_ptr<NotificationCenter> center, uint64_t id) : center_(std::move(center)), id_(id) {}
    std::weak_ptr<NotificationCenter> center_;
    uint64_t id_ = 0;
};

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
public:
    static NotificationCenter& defaultCenter();
    static std::shared_ptr<NotificationCenter> create();

    // `name` empty: every notification. `object` null: any sender.
    [[nodiscard]] ObserverToken addObserver(const std::string& name, const void* object, NotificationHandler handler);
    // Once this returns, the handler is not running on any other thread (a
    // handler removing an observation from inside a post is not waited for).
    void removeObserver(uint64_t id);

    // Delivers to each matching observer registered before the post began and
    // not removed meanwhile (observers may remove themselves or others while a
    // post is under way; those removed are not called afterwards).
    void post(const std::string& name, const void* object = nullptr, const Value& userInfo = nullptr);
    void post(const Notification& notification);

    std::size_t observerCount() const;

private:
    struct Entry;
    mutable std::recursive_mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
    uint64_t nextId_ = 1;
};

}  // namespace wharf::platform
