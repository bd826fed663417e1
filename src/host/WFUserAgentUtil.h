#pragma once
// The platform web view's default user agent (cached in memory and in user
// defaults), and the lock that serialises setting the agent a new web view
// picks up: whoever holds it registers "UserAgent" and keeps it until its
// first page has loaded or failed.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

inline constexpr const char* NSCurrentLocaleDidChangeNotification = "NSCurrentLocaleDidChangeNotification";

class WFUserAgentUtil {
public:
    using LockBlock = std::function<void(int64_t lockToken)>;
    // Asks a throw-away web view for "navigator.userAgent". Set by the web-view
    // layer; without one the default user agent is "".
    using UserAgentProvider = std::function<std::string()>;

    static std::string originalUserAgent();
    // Forgets the cached user agent.
    static void onAppLocaleDidChange(const platform::Notification& notification);
    // Calls `block` at once with a new token when the lock is free; otherwise
    // queues it, first come first served.
    static void acquireLock(LockBlock block);
    // Releases the lock held with *lockToken and sets *lockToken to 0; hands
    // the lock to the next waiter. Nothing for a null address or a 0 token.
    // A token that is not the holder's throws platform::FatalConfigurationError.
    static void releaseLock(int64_t* lockToken);
    // Registers {"UserAgent": userAgent} in the defaults' registration domain.
    static void setUserAgent(const std::string& userAgent, int64_t lockToken);

    static void setUserAgentProvider(UserAgentProvider provider);
    // Test support: free lock, no waiters, tokens from 1 again, no cache.
    static void resetForTesting();
};

}  // namespace wharf
