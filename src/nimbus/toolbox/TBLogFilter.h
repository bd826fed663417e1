#pragma once
// Whether the toolbox logger lets a line at a level through.
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace wharf {

namespace platform {
class UserDefaults;
}

class TBLogFilter {
public:
    virtual ~TBLogFilter() = default;
    virtual bool filterAllowsMessage(const std::string& message, int level) = 0;
};

// Drops debug lines, and info lines unless verbose logging is on: from the
// environment variable "TBVerboseLogging" when it is set ("Y…", "T…" in any
// case, or a non-zero number), else from the user default "TBVerboseLogging",
// followed as it changes.
class TBLogLevelFilter : public TBLogFilter {
public:
    TBLogLevelFilter();  // the standard user defaults
    explicit TBLogLevelFilter(platform::UserDefaults& userDefaults);
    ~TBLogLevelFilter() override;
    TBLogLevelFilter(const TBLogLevelFilter&) = delete;
    TBLogLevelFilter& operator=(const TBLogLevelFilter&) = delete;

    bool filterAllowsMessage(const std::string& message, int level) override;

private:
    platform::UserDefaults* userDefaults_;
    uint64_t observer_ = 0;
    // Shared with the observer, which may still be running when the filter goes.
    std::shared_ptr<std::atomic<bool>> verboseLoggingEnabled_;
};

// Lets everything through.
class TBLogNoFilter : public TBLogFilter {
public:
    bool filterAllowsMessage(const std::string&, int) override { return true; }
};

// Lets through exactly the levels of its set (within 0 to 4).
class TBLogAllowedLevelFilter : public TBLogFilter {
public:
    // nullptr for an empty set or one with a level outside 0 to 4.
    static std::shared_ptr<TBLogAllowedLevelFilter> initWithAllowedLevels(const std::set<int>& levels);
    TBLogAllowedLevelFilter();  // 0 to 4
    bool filterAllowsMessage(const std::string& message, int level) override;

protected:
    explicit TBLogAllowedLevelFilter(std::set<int> levels) : allowedLevels_(std::move(levels)) {}
    static bool valid(const std::set<int>& levels);

private:
    const std::set<int> allowedLevels_;
};

// `level` to 4.
class TBLogMininumLevelFilter : public TBLogAllowedLevelFilter {
public:
    static std::shared_ptr<TBLogMininumLevelFilter> initWithMinimumLevel(int level);

private:
    using TBLogAllowedLevelFilter::TBLogAllowedLevelFilter;
};

// 0 to `level`.
class TBLogMaximumLevelFilter : public TBLogAllowedLevelFilter {
public:
    static std::shared_ptr<TBLogMaximumLevelFilter> initWithMaximumLevel(int level);

private:
    using TBLogAllowedLevelFilter::TBLogAllowedLevelFilter;
};

}  // namespace wharf
