#include "nimbus/toolbox/TBLogFilter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "platform/base/Value.h"
#include "platform/storage/UserDefaults.h"

namespace wharf {

namespace {

constexpr const char* kVerboseLoggingKey = "TBVerboseLogging";

bool verboseLoggingEnabled(const platform::UserDefaults& defaults) {
    if (const char* env = std::getenv(kVerboseLoggingKey)) {
        std::string_view value(env);
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) value.remove_prefix(1);
        if (!value.empty()) {
            const char first = static_cast<char>(std::toupper(static_cast<unsigned char>(value.front())));
            if (first == 'Y' || first == 'T') return true;
        }
        return platform::stringIntValue(value) != 0;
    }
    return defaults.boolForKey(kVerboseLoggingKey);
}

}  // namespace

TBLogLevelFilter::TBLogLevelFilter() : TBLogLevelFilter(platform::UserDefaults::standard()) {}

TBLogLevelFilter::TBLogLevelFilter(platform::UserDefaults& userDefaults)
    : userDefaults_(&userDefaults), verboseLoggingEnabled_(std::make_shared<std::atomic<bool>>(false)) {
    observer_ =
        userDefaults.addObserver([defaults = userDefaults_, flag = verboseLoggingEnabled_](const std::string& key) {
            if (key == kVerboseLoggingKey) flag->store(verboseLoggingEnabled(*defaults));
        });
    verboseLoggingEnabled_->store(verboseLoggingEnabled(userDefaults));
}

TBLogLevelFilter::~TBLogLevelFilter() { userDefaults_->removeObserver(observer_); }

bool TBLogLevelFilter::filterAllowsMessage(const std::string&, int level) {
    if (level == 1) return false;
    if (level == 2) return verboseLoggingEnabled_->load();
    return true;
}

bool TBLogAllowedLevelFilter::valid(const std::set<int>& levels) {
    return !levels.empty() && *levels.begin() >= 0 && *levels.rbegin() <= 4;
}

std::shared_ptr<TBLogAllowedLevelFilter> TBLogAllowedLevelFilter::initWithAllowedLevels(const std::set<int>& levels) {
    if (!valid(levels)) return nullptr;
    return std::shared_ptr<TBLogAllowedLevelFilter>(new TBLogAllowedLevelFilter(levels));
}

TBLogAllowedLevelFilter::TBLogAllowedLevelFilter() : allowedLevels_{0, 1, 2, 3, 4} {}

bool TBLogAllowedLevelFilter::filterAllowsMessage(const std::string&, int level) {
    return allowedLevels_.count(level) > 0;
}

namespace {

// The levels from..to, clipped to 0..4 first so that no level outside can
// make the set large: what was clipped away makes the filter invalid anyway.
std::set<int> levelRange(int from, int to) {
    std::set<int> levels;
    if (from < 0) levels.insert(-1);
    if (to > 4) levels.insert(5);
    for (int level = std::max(from, 0); level <= std::min(to, 4); ++level) levels.insert(level);
    return levels;
}

}  // namespace

std::shared_ptr<TBLogMininumLevelFilter> TBLogMininumLevelFilter::initWithMinimumLevel(int level) {
    std::set<int> levels = levelRange(level, 4);
    if (!valid(levels)) return nullptr;
    return std::shared_ptr<TBLogMininumLevelFilter>(new TBLogMininumLevelFilter(std::move(levels)));
}

std::shared_ptr<TBLogMaximumLevelFilter> TBLogMaximumLevelFilter::initWithMaximumLevel(int level) {
    std::set<int> levels = levelRange(0, level);
    if (!valid(levels)) return nullptr;
    return std::shared_ptr<TBLogMaximumLevelFilter>(new TBLogMaximumLevelFilter(std::move(levels)));
}

}  // namespace wharf
