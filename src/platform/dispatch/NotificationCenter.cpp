#include "platform/dispatch/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <thread>

#include "platform/base/Log.h"

namespace wharf::platform {

struct NotificationCenter::Entry {
    uint64_t id = 0;
    std::string name;
    const void* object = nullptr;
    NotificationHandler handler;

    // Calls under way, by thread, so that a removal from another thread can
    // wait for them: once removeObserver returns, the handler (and whatever it
    // captured) is no longer in use elsewhere.
    std::mutex mutex;
    std::condition_variable idle;
    bool removed = false;
    std::vector<std::thread::id> running;

    bool matches(const Notification& n) const {
        return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
    }
};

// --- ObserverToken --------------------------------------------------------------

ObserverToken::ObserverToken(ObserverToken&& other) noexcept : center_(std::move(other.center_)), id_(other.id_) {
    other.id_ = 0;
}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
        reset();
        center_ = std::move(other.center_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

ObserverToken::~ObserverToken() { reset(); }

void ObserverToken::reset() {
    if (id_ != 0) {
        if (auto center = center_.lock()) center->removeObserver(id_);
    }
    id_ = 0;
    center_.reset();
}

// --- NotificationCenter ---------------------------------------------------------

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers held by other statics may go away during exit
    // in any order, and must still find the center.
    static auto* center = new std::shared_ptr<NotificationCenter>(create());
    return **center;
}

std::shared_ptr<NotificationCenter> NotificationCenter::create() { return std::make_shared<NotificationCenter>(); }

ObserverToken NotificationCenter::addObserver(const std::string& name, const void* object,
                                              NotificationHandler handler) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    entry->id = nextId_++;
    entries_.push_back(entry);
    return ObserverToken(weak_from_this(), entry->id);
}

void NotificationCenter::removeObserver(uint64_t id) {
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e->id == id; });
        if (it == entries_.end()) return;
        entry = *it;
        entries_.erase(it);
    }
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(entry->mutex);
    entry->removed = true;
    // A handler removing its own observation (on this thread) is not waited for.
    entry->idle.wait(lock, [&] {
        return std::all_of(entry->running.begin(), entry->running.end(), [&](auto t) { return t == self; });
    });
}

void NotificationCenter::post(const std::string& name, const void* object, const Value& userInfo) {
    Notification notification;
    notification.name = name;
    notification.object = object;
    notification.userInfo = userInfo;
    post(notification);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e->matches(notification)) targets.push_back(e);
    }
    const auto self = std::this_thread::get_id();
    for (const auto& e : targets) {
        {
            std::lock_guard lock(e->mutex);
            if (e->removed || !e->handler) continue;
            e->running.push_back(self);
        }
        struct Leave {
            Entry& e;
            std::thread::id self;
            ~Leave() {
                std::lock_guard lock(e.mutex);
                auto it = std::find(e.running.begin(), e.running.end(), self);
                if (it != e.running.end()) e.running.erase(it);
                e.idle.notify_all();
            }
        } leave{*e, self};
        // One observer's exception must not cost the observers after it their
        // notification (a final backup at termination, say), nor unwind into
        // whatever posted.
        try {
            e->handler(notification);
        } catch (const std::exception& ex) {
            log("ERROR: Observer of '%s' threw: %s", notification.name.c_str(), ex.what());
        } catch (...) {
            log("ERROR: Observer of '%s' threw an unknown exception", notification.name.c_str());
        }
    }
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace wharf::platform
