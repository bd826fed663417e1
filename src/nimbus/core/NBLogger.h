#pragma once
// The core logger of every Nimbus component.
//
// A caller names its component by a service tag ("[Nimbus/Core]"), the message
// by a code ("I-COR000001") and passes a printf format with its arguments. The
// line "<service>[<code>] <message>" goes to the system log on the serial queue
// "NBLoggingClientQueue"; the caller never waits for the write.
//
// Text that comes from outside (file contents, server answers, error texts) is
// always an argument, never the format:
//     NBLogWarning(kNBLoggerCore, "I-COR000012", "Options file: %s", text.c_str());
//
// Levels are the system log's numbers: 3 error, 4 warning, 5 notice, 6 info,
// 7 debug. A line passes when its level is at most the threshold (5 at start),
// or always in debug mode ("-NBDebugEnabled"). A dropped line is not formatted.
//
// Every function may be called from any thread.
#include <cstdarg>
#include <string_view>

namespace wharf {

enum NBLoggerLevel : int {
    NBLoggerLevelError = 3,
    NBLoggerLevelWarning = 4,
    NBLoggerLevelNotice = 5,
    NBLoggerLevelInfo = 6,
    NBLoggerLevelDebug = 7,
    NBLoggerLevelMin = NBLoggerLevelError,
    NBLoggerLevelMax = NBLoggerLevelDebug,
};

// The service tags the Nimbus components share.
inline constexpr const char* kNBLoggerAnalytics = "[Nimbus/Analytics]";
inline constexpr const char* kNBLoggerCore = "[Nimbus/Core]";
inline constexpr const char* kNBLoggerCrash = "[Nimbus/Crash]";
inline constexpr const char* kNBLoggerInstanceID = "[Nimbus/InstanceID]";
inline constexpr const char* kNBLoggerMessaging = "[Nimbus/Messaging]";
inline constexpr const char* kNBLoggerRemoteConfig = "[Nimbus/RemoteConfig]";

void NBLogError(std::string_view service, std::string_view messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void NBLogWarning(std::string_view service, std::string_view messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void NBLogNotice(std::string_view service, std::string_view messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void NBLogInfo(std::string_view service, std::string_view messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void NBLogDebug(std::string_view service, std::string_view messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same with an explicit level and an argument list.
void NBLogWithLevel(int level, std::string_view service, std::string_view messageCode, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));

// Sets the threshold (3 to 7); any other value is reported as an error line
// and changes nothing. Takes effect once the logging queue has run it.
void NBSetLoggerLevel(int level);

// Lets every line of "[Nimbus/Analytics]" through while enabled.
void NBSetAnalyticsDebugMode(bool enabled);

// Whether a line of `level` would be written now; `analyticsComponent` says the
// asking component is analytics.
bool NBIsLoggableLevel(int level, bool analyticsComponent);

// The same entry for components that find the logger by class name at run time
// (platform::ClassRegistry, "NBLoggerWrapper").
class NBLoggerWrapper {
public:
    using LogFunction = void(int, std::string_view, std::string_view, const char*, va_list);
    // Registers the class and its class method with platform::ClassRegistry.
    static void registerClass();
    static void logWithLevel(int level, std::string_view service, std::string_view code, const char* message,
                             va_list args) __attribute__((format(printf, 4, 0)));
};

}  // namespace wharf
