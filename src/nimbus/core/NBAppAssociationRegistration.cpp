#include "nimbus/core/NBAppAssociationRegistration.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "nimbus/core/NBException.h"

namespace wharf {

namespace {

using Objects = std::map<std::string, std::shared_ptr<void>>;
using Attachments = std::map<std::weak_ptr<const void>, Objects, std::owner_less<std::weak_ptr<const void>>>;

std::recursive_mutex gMutex;
Attachments gAttachments;

// Stands in the entry while its object is being created.
const std::shared_ptr<void>& creationMarker() {
    static const std::shared_ptr<void> marker = std::make_shared<char>(0);
    return marker;
}

void dropEntriesOfGoneHosts() {
    for (auto it = gAttachments.begin(); it != gAttachments.end();)
        it = it->first.expired() ? gAttachments.erase(it) : std::next(it);
}

}  // namespace

std::shared_ptr<void> NBAppAssociationRegistration::registeredObject(
    const std::shared_ptr<const void>& host, const std::string& key,
    const std::function<std::shared_ptr<void>()>& creationBlock) {
    if (!host) return nullptr;
    std::lock_guard lock(gMutex);
    dropEntriesOfGoneHosts();
    std::weak_ptr<const void> hostKey = host;
    auto found = gAttachments[hostKey].find(key);
    if (found != gAttachments[hostKey].end()) {
        if (found->second == creationMarker()) {
            char address[32];
            std::snprintf(address, sizeof address, "%p", host.get());
            throw NBException("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                              "host: " + std::string(address) + " key: " + key);
        }
        return found->second;
    }
    gAttachments[hostKey][key] = creationMarker();
    std::shared_ptr<void> object;
    try {
        object = creationBlock();
    } catch (...) {
        // A failed creation must not leave the key looking busy for ever.
        gAttachments[hostKey].erase(key);
        throw;
    }
    if (object)
        gAttachments[hostKey][key] = object;
    else
        gAttachments[hostKey].erase(key);
    return object;
}

}  // namespace wharf
