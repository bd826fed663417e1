#include "host/WFUserAgentUtil.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/device/Device.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/UserDefaults.h"

namespace wharf {

namespace {

constexpr const char* kCachedUserAgentKey = "Wharf-User-Agent";
constexpr const char* kCachedUserAgentVersionKey = "Wharf-User-Agent-Version";

// Used on the main thread; the mutex only keeps a stray caller from
// corrupting the state. It is never held while a waiter's block runs.
struct State {
    std::mutex mutex;
    std::optional<std::string> cachedUserAgent;
    std::deque<WFUserAgentUtil::LockBlock> pendingBlocks;
    int64_t currentLockToken = 0;
    int64_t nextLockToken = 0;
    WFUserAgentUtil::UserAgentProvider provider;
    platform::ObserverToken localeObservation;
};

State& state() {
    static State s;
    return s;
}

std::string userAgentVersionKey() {
    std::string bundleVersion;
    if (auto bundle = platform::Bundle::mainBundle())
        bundleVersion = platform::stringValue(bundle->objectForInfoDictionaryKey("CFBundleVersion"));
    return bundleVersion + " " + platform::Device::model() + " " + platform::Device::systemVersion() + " " +
           platform::Device::localeIdentifier();
}

// Caller holds the mutex.
void checkToken(const State& s, int64_t given) {
    if (given == s.currentLockToken) return;
    char message[96];
    std::snprintf(message, sizeof message, "Got token %lld, expected %lld", static_cast<long long>(given),
                  static_cast<long long>(s.currentLockToken));
    throw platform::FatalConfigurationError(message);
}

}  // namespace

std::string WFUserAgentUtil::originalUserAgent() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.cachedUserAgent) return *s.cachedUserAgent;
        s.localeObservation = platform::NotificationCenter::defaultCenter().addObserver(
            NSCurrentLocaleDidChangeNotification, nullptr, &WFUserAgentUtil::onAppLocaleDidChange);
    }
    const std::string versionKey = userAgentVersionKey();
    auto& defaults = platform::UserDefaults::standard();
    auto storedVersion = defaults.objectForKey(kCachedUserAgentVersionKey);
    auto stored = defaults.objectForKey(kCachedUserAgentKey);
    std::optional<std::string> userAgent;
    if (stored && stored->is_string()) userAgent = stored->get<std::string>();
    const bool sameVersion = storedVersion && storedVersion->is_string() && *storedVersion == versionKey;
    if (!userAgent || !sameVersion) {
        UserAgentProvider provider;
        {
            std::lock_guard lock(s.mutex);
            provider = s.provider;
        }
        userAgent = provider ? provider() : std::string();
        // One write for both: each costs a sync to the disk before the first page.
        defaults.setObjectsForKeys(
            platform::Value{{kCachedUserAgentKey, *userAgent}, {kCachedUserAgentVersionKey, versionKey}});
        defaults.synchronize();
    }
    std::lock_guard lock(s.mutex);
    s.cachedUserAgent = userAgent;
    return *userAgent;
}

void WFUserAgentUtil::onAppLocaleDidChange(const platform::Notification&) {
    std::lock_guard lock(state().mutex);
    state().cachedUserAgent.reset();
}

void WFUserAgentUtil::acquireLock(LockBlock block) {
    State& s = state();
    int64_t token = 0;
    {
        std::lock_guard lock(s.mutex);
        if (s.currentLockToken != 0) {
            s.pendingBlocks.push_back(std::move(block));
            return;
        }
        token = ++s.nextLockToken;
        s.currentLockToken = token;
    }
    block(token);
}

void WFUserAgentUtil::releaseLock(int64_t* lockToken) {
    if (!lockToken || *lockToken == 0) return;
    State& s = state();
    LockBlock next;
    int64_t token = 0;
    {
        std::lock_guard lock(s.mutex);
        checkToken(s, *lockToken);
        if (!s.pendingBlocks.empty()) {
            next = std::move(s.pendingBlocks.front());
            s.pendingBlocks.pop_front();
            token = ++s.nextLockToken;
            s.currentLockToken = token;
        } else {
            s.currentLockToken = 0;
        }
    }
    // Zeroed before the waiter runs: the waiter may be the same owner taking
    // the lock again through this very variable.
    *lockToken = 0;
    if (next) {
        platform::log("Gave lock %lld", static_cast<long long>(token));
        next(token);
    }
}

void WFUserAgentUtil::setUserAgent(const std::string& userAgent, int64_t lockToken) {
    {
        std::lock_guard lock(state().mutex);
        checkToken(state(), lockToken);
    }
    platform::UserDefaults::standard().registerDefaults(platform::Value{{"UserAgent", userAgent}});
}

void WFUserAgentUtil::setUserAgentProvider(UserAgentProvider provider) {
    std::lock_guard lock(state().mutex);
    state().provider = std::move(provider);
}

void WFUserAgentUtil::resetForTesting() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.cachedUserAgent.reset();
    s.pendingBlocks.clear();
    s.currentLockToken = 0;
    s.nextLockToken = 0;
    s.localeObservation.reset();
}

}  // namespace wharf
