#pragma once
// A dictionary that may be used from any thread: every access runs on a
// private serial queue "NBMutableDictionary". Reads wait for their answer and
// see every write submitted before them from any thread; writes are queued and
// return at once. Do not call it from a block running on its own queue.
//
// A "nil" value (nullptr for pointers and functions, a null Value) given to
// setObject removes the key, as a subscript assignment of nil does.
#include <concepts>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/dispatch/Dispatch.h"

namespace wharf {

template <class V, class K = std::string>
class NBMutableDictionary {
public:
    using Map = std::map<K, V>;

    NBMutableDictionary()
        : state_(std::make_shared<State>()), queue_(platform::dispatch::createSerialQueue("NBMutableDictionary")) {}
    ~NBMutableDictionary() = default;
    NBMutableDictionary(const NBMutableDictionary&) = delete;
    NBMutableDictionary& operator=(const NBMutableDictionary&) = delete;

    // --- reads (synchronous) ---------------------------------------------------
    std::optional<V> objectForKey(const K& key) const {
        std::optional<V> result;
        queue_->sync([&] {
            auto it = state_->objects.find(key);
            if (it != state_->objects.end()) result = it->second;
        });
        return result;
    }
    std::optional<V> operator[](const K& key) const { return objectForKey(key); }

    std::size_t count() const {
        std::size_t n = 0;
        queue_->sync([&] { n = state_->objects.size(); });
        return n;
    }

    // A snapshot of every entry.
    Map dictionary() const {
        Map copy;
        queue_->sync([&] { copy = state_->objects; });
        return copy;
    }

    std::string description() const {
        std::string text;
        queue_->sync([&] { text = describe(state_->objects); });
        return text;
    }

    // --- writes (asynchronous) -------------------------------------------------
    void setObject(V value, K key) {
        if (isNil(value)) {
            removeObjectForKey(std::move(key));
            return;
        }
        queue_->async([state = state_, value = std::move(value), key = std::move(key)]() mutable {
            state->objects.insert_or_assign(std::move(key), std::move(value));
        });
    }
    void setObjectForKeyedSubscript(V value, K key) { setObject(std::move(value), std::move(key)); }

    void removeObjectForKey(K key) {
        queue_->async([state = state_, key = std::move(key)] { state->objects.erase(key); });
    }

    void removeAllObjects() {
        queue_->async([state = state_] { state->objects.clear(); });
    }

private:
    // Blocks hold the entries, so writes still queued when the dictionary goes
    // away touch nothing that has been freed.
    struct State {
        Map objects;
    };

    static bool isNil(const V& value) {
        if constexpr (requires { value == nullptr; })
            return value == nullptr;
        else
            return false;
    }

    template <class T>
    static void put(std::ostringstream& out, const T& value) {
        // A text with invalid UTF-8 is shown with replacement characters:
        // throwing here would leave the whole description empty.
        if constexpr (requires { value.dump(-1, ' ', false, T::error_handler_t::replace); })
            out << value.dump(-1, ' ', false, T::error_handler_t::replace);
        else if constexpr (requires { out << value; })
            out << value;
        else
            out << "<" << static_cast<const void*>(&value) << ">";
    }

    static std::string describe(const Map& objects) {
        std::ostringstream out;
        out << "{\n";
        for (const auto& [key, value] : objects) {
            out << "    ";
            put(out, key);
            out << " = ";
            put(out, value);
            out << ";\n";
        }
        out << "}";
        return out.str();
    }

    std::shared_ptr<State> state_;
    platform::dispatch::QueuePtr queue_;
};

}  // namespace wharf
