#include "nimbus/core/NBLogger.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "platform/base/ClassRegistry.h"
#include "platform/base/Format.h"
#include "platform/device/Application.h"
#include "platform/device/SystemLog.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/storage/UserDefaults.h"

namespace wharf {

namespace {

constexpr const char* kDebugModeDefaultsKey = "/rovude/nimbus/debug_mode";
constexpr const char* kDebugEnabledArgument = "-NBDebugEnabled";
constexpr const char* kDebugDisabledArgument = "-NBDebugDisabled";
constexpr int kDefaultMaxLevel = NBLoggerLevelNotice;
constexpr int kMaskLevelsUpToNotice = 63;
constexpr int kMaskAllLevels = 255;

// The level a line may have and still pass: `maxLevel`, or everything in debug
// mode. Zero until the set-up has run, which sends the first caller (of any
// level, since every level is above zero) down the slow path. Keeping the
// decision in one word makes a dropped line one load and one compare.
std::atomic<int> gPassLevel{0};
std::atomic<int> gMaxLevel{kDefaultMaxLevel};
std::atomic<bool> gDebugMode{false};
std::atomic<bool> gAnalyticsDebugMode{false};
// The system log client's filter: bit n lets level n through.
std::atomic<int> gFilterMask{kMaskLevelsUpToNotice};
std::atomic<bool> gSystemLogEnabled{true};

std::once_flag gSetUpOnce;
platform::dispatch::QueuePtr* gQueue = nullptr;  // lives for the whole process

std::mutex gCapturesMutex;
std::vector<NBLoggerCapture*> gCaptures;

void publishPassLevel() {
    gPassLevel.store(gDebugMode.load(std::memory_order_relaxed) ? INT_MAX : gMaxLevel.load(std::memory_order_relaxed),
                     std::memory_order_release);
}

void setUp() {
    // Lines are not copied to standard error: that was only for system versions
    // before 10, a numbering this platform's versions do not follow.
    gFilterMask.store(kMaskLevelsUpToNotice);
    gMaxLevel.store(kDefaultMaxLevel);
    gAnalyticsDebugMode.store(false);
    bool debugMode = false;

    const auto& arguments = platform::Application::shared().launchArguments();
    auto hasArgument = [&](const char* argument) {
        return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    };
    auto& defaults = platform::UserDefaults::standard();
    if (hasArgument(kDebugDisabledArgument)) {
        defaults.removeObjectForKey(kDebugModeDefaultsKey);
    } else if (defaults.boolForKey(kDebugModeDefaultsKey) || hasArgument(kDebugEnabledArgument)) {
        defaults.setBool(true, kDebugModeDefaultsKey);
        gFilterMask.store(kMaskAllLevels);
        debugMode = true;
    }
    // Debug logging stays off in store builds whatever was asked; the stored
    // switch and the widened mask are kept.
    if (debugMode && NBAppEnvironmentUtil::isFromAppStore()) debugMode = false;
    gDebugMode.store(debugMode);

    // Never released: lines may be logged until the very end of the process.
    gQueue = new platform::dispatch::QueuePtr(platform::dispatch::createSerialQueue("NBLoggingClientQueue"));
    publishPassLevel();
}

void ensureSetUp() { std::call_once(gSetUpOnce, setUp); }

void writeLine(int level, const std::string& line) {
    if (level < 0 || level > 7 || !(gFilterMask.load(std::memory_order_relaxed) & (1 << level))) return;
    static const platform::SystemLog::Fields fields = {{"NB_FACILITY", "com.rovude.nimbus.app.logger"}};
    if (gSystemLogEnabled.load(std::memory_order_relaxed)) platform::SystemLog::write(level, line, fields);
    std::lock_guard lock(gCapturesMutex);
    for (auto* capture : gCaptures) capture->record(level, line);
}

inline bool passes(int level, std::string_view service) {
    const int passLevel = gPassLevel.load(std::memory_order_acquire);
    if (level <= passLevel) return true;
    if (passLevel == 0) {
        ensureSetUp();
        if (level <= gPassLevel.load(std::memory_order_acquire)) return true;
    }
    return gAnalyticsDebugMode.load(std::memory_order_relaxed) && service == kNBLoggerAnalytics;
}

}  // namespace

namespace {

void logPassedLine(int level, std::string_view service, std::string_view messageCode, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));
void logPassedLine(int level, std::string_view service, std::string_view messageCode, const char* format,
                   va_list args) {
    ensureSetUp();  // a level at or below zero passes before the set-up has run
    std::string message = format ? platform::formatv(format, args) : std::string();
    std::string line;
    line.reserve(service.size() + messageCode.size() + message.size() + 3);
    line.append(service).append("[").append(messageCode).append("] ").append(message);
    (*gQueue)->async([level, line = std::move(line)] { writeLine(level, line); });
}

}  // namespace

void NBLogWithLevel(int level, std::string_view service, std::string_view messageCode, const char* format,
                    va_list args) {
    if (passes(level, service)) logPassedLine(level, service, messageCode, format, args);
}

// The level test comes before va_start so that a dropped line touches nothing else.
#define NB_DEFINE_LEVEL_FUNCTION(name, level)                                                    \
    void name(std::string_view service, std::string_view messageCode, const char* format, ...) { \
        if (!passes(level, service)) return;                                                     \
        va_list args;                                                                            \
        va_start(args, format);                                                                  \
        logPassedLine(level, service, messageCode, format, args);                                \
        va_end(args);                                                                            \
    }

NB_DEFINE_LEVEL_FUNCTION(NBLogError, NBLoggerLevelError)
NB_DEFINE_LEVEL_FUNCTION(NBLogWarning, NBLoggerLevelWarning)
NB_DEFINE_LEVEL_FUNCTION(NBLogNotice, NBLoggerLevelNotice)
NB_DEFINE_LEVEL_FUNCTION(NBLogInfo, NBLoggerLevelInfo)
NB_DEFINE_LEVEL_FUNCTION(NBLogDebug, NBLoggerLevelDebug)

#undef NB_DEFINE_LEVEL_FUNCTION

void NBSetLoggerLevel(int level) {
    if (level < NBLoggerLevelMin || level > NBLoggerLevelMax) {
        NBLogError(kNBLoggerCore, "I-COR000023", "Invalid logger level, %ld", static_cast<long>(level));
        return;
    }
    ensureSetUp();
    (*gQueue)->async([level] {
        if (level >= NBLoggerLevelNotice && NBAppEnvironmentUtil::isFromAppStore()) return;
        gMaxLevel.store(level);
        gFilterMask.store((1 << (level + 1)) - 1);
        publishPassLevel();
    });
}

void NBSetAnalyticsDebugMode(bool enabled) {
    ensureSetUp();
    (*gQueue)->async([enabled] {
        if (enabled && NBAppEnvironmentUtil::isFromAppStore()) return;
        gAnalyticsDebugMode.store(enabled);
        gFilterMask.store(kMaskAllLevels);
    });
}

bool NBIsLoggableLevel(int level, bool analyticsComponent) {
    ensureSetUp();
    if (gDebugMode.load()) return true;
    if (gAnalyticsDebugMode.load() && analyticsComponent) return true;
    return level <= gMaxLevel.load();
}

void NBLoggerWrapper::logWithLevel(int level, std::string_view service, std::string_view code, const char* message,
                                   va_list args) {
    NBLogWithLevel(level, service, code, message, args);
}

void NBLoggerWrapper::registerClass() {
    platform::ClassRegistry::shared().registerClassMethod<LogFunction>(
        "NBLoggerWrapper", "logWithLevel:withService:withCode:withMessage:withArgs:",
        std::function<LogFunction>(&NBLoggerWrapper::logWithLevel));
}

// --- test support -------------------------------------------------------------

NBLoggerCapture::NBLoggerCapture() {
    std::lock_guard lock(gCapturesMutex);
    gCaptures.push_back(this);
}

NBLoggerCapture::~NBLoggerCapture() {
    std::lock_guard lock(gCapturesMutex);
    gCaptures.erase(std::remove(gCaptures.begin(), gCaptures.end(), this), gCaptures.end());
}

void NBLoggerCapture::record(int level, const std::string& text) {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, text});
}

std::vector<NBLoggerCapture::Line> NBLoggerCapture::lines() const {
    NBLoggerFlush();
    std::lock_guard lock(mutex_);
    return lines_;
}

bool NBLoggerCapture::contains(const std::string& substring) const { return count(substring) > 0; }

std::size_t NBLoggerCapture::count(const std::string& substring) const {
    auto all = lines();
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const Line& line) { return line.text.find(substring) != std::string::npos; }));
}

void NBLoggerCapture::clear() {
    NBLoggerFlush();
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void NBLoggerFlush() {
    ensureSetUp();
    if (!(*gQueue)->isCurrent()) (*gQueue)->sync([] {});
}

void NBLoggerResetForTesting() {
    ensureSetUp();
    (*gQueue)->sync([] {
        gMaxLevel.store(kDefaultMaxLevel);
        gAnalyticsDebugMode.store(false);
        gFilterMask.store(gDebugMode.load() ? kMaskAllLevels : kMaskLevelsUpToNotice);
        publishPassLevel();
    });
}

bool NBLoggerDebugModeForTesting() {
    ensureSetUp();
    return gDebugMode.load();
}

void NBLoggerSetSystemLogEnabled(bool enabled) { gSystemLogEnabled.store(enabled); }

}  // namespace wharf
