#pragma once
// Objects attached to a host object under a key, created on first request.
// The attachment lives as long as the host (entries of hosts that are gone are
// dropped on the next call). All hosts share one lock; the creation block runs
// inside it and may register objects for other keys, but asking again for the
// same host and key from inside its own creation raises NBException named
// "Reentering registeredObjectWithHost:key:creationBlock: not allowed".
#include <functional>
#include <memory>
#include <string>

namespace wharf {

class NBAppAssociationRegistration {
public:
    // The object registered for `key` on `host`, made by `creationBlock` when
    // there is none (a null result registers nothing). All calls for one key
    // must use one type T.
    template <class T, class Host>
    static std::shared_ptr<T> registeredObjectWithHost(const std::shared_ptr<Host>& host, const std::string& key,
                                                       const std::function<std::shared_ptr<T>()>& creationBlock) {
        return std::static_pointer_cast<T>(registeredObject(
            std::static_pointer_cast<const void>(host), key,
            [&creationBlock]() -> std::shared_ptr<void> { return creationBlock ? creationBlock() : nullptr; }));
    }

private:
    static std::shared_ptr<void> registeredObject(const std::shared_ptr<const void>& host, const std::string& key,
                                                  const std::function<std::shared_ptr<void>()>& creationBlock);
};

}  // namespace wharf
