#include "nimbus/core/NBConfiguration.h"

#include "nimbus/core/DORIzurizavaConfiguration.h"
#include "nimbus/core/NBLogger.h"

namespace wharf {

NBConfiguration& NBConfiguration::sharedInstance() {
    static NBConfiguration* instance = new NBConfiguration();
    return *instance;
}

NBConfiguration::NBConfiguration() : analyticsConfiguration_(DORIzurizavaConfiguration::sharedInstance()) {}

std::shared_ptr<DORIzurizavaConfiguration> NBConfiguration::analyticsConfiguration() const {
    std::lock_guard lock(mutex_);
    return analyticsConfiguration_;
}

void NBConfiguration::setAnalyticsConfiguration(std::shared_ptr<DORIzurizavaConfiguration> configuration) {
    std::lock_guard lock(mutex_);
    analyticsConfiguration_ = std::move(configuration);
}

int64_t NBConfiguration::logLevel() const {
    std::lock_guard lock(mutex_);
    return logLevel_;
}

void NBConfiguration::setLogLevel(int64_t level) {
    std::lock_guard lock(mutex_);
    logLevel_ = level;
}

void NBConfiguration::setLoggerLevel(int level) { NBSetLoggerLevel(level); }

}  // namespace wharf
