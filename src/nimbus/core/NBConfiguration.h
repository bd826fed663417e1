#pragma once
// Process-wide settings of the Nimbus core: the logger threshold and the
// analytics configuration handed to the analytics start.
#include <cstdint>
#include <memory>
#include <mutex>

namespace wharf {

class DORIzurizavaConfiguration;

class NBConfiguration {
public:
    static NBConfiguration& sharedInstance();

    std::shared_ptr<DORIzurizavaConfiguration> analyticsConfiguration() const;
    void setAnalyticsConfiguration(std::shared_ptr<DORIzurizavaConfiguration> configuration);

    // Only stored; the threshold is set with setLoggerLevel.
    int64_t logLevel() const;
    void setLogLevel(int64_t level);

    // Hands the level (3 to 7) to the core logger.
    void setLoggerLevel(int level);

    NBConfiguration(const NBConfiguration&) = delete;
    NBConfiguration& operator=(const NBConfiguration&) = delete;

private:
    NBConfiguration();
    mutable std::mutex mutex_;
    std::shared_ptr<DORIzurizavaConfiguration> analyticsConfiguration_;
    int64_t logLevel_ = 0;
};

}  // namespace wharf
