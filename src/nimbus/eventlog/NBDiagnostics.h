#pragma once
// Turns every NBAppDiagnosticsNotification into one diagnostics record (an
// NBPBICoreConfiguration describing the configuration event, the application
// and the device) and hands it to the event logger as an EVLPBLogEvent for
// account "greenhouse" and log source 137, asking for an immediate send. It
// also keeps the per-installation identifier file.
//
// The observer is registered explicitly at start-up (load()).
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

class NBApp;
class NBPBICoreConfiguration;
class NBEventlogLogger;

class NBDiagnostics {
public:
    static constexpr const char* kAccount = "greenhouse";
    static constexpr int kLogSource = 137;
    static constexpr const char* kInstallFileName = "NIMBUS_UNIQUE_INSTALL";

    // Observes NBAppDiagnosticsNotification from any sender (once).
    static void load();
    static void logDiagnostics(const platform::Notification& notification);

    // `appCount` is read before the diagnostics lock is taken: the app lock
    // is held by whoever posts, and never taken inside ours.
    static void populateLogProtoWithCommonInfo(NBPBICoreConfiguration& config, const std::shared_ptr<NBApp>& app,
                                               int appCount);
    static void populateLogProtoWithInstalledServices(NBPBICoreConfiguration& config);
    static void populateLogProtoWithNumberOfLinkedFrameworks(NBPBICoreConfiguration& config);
    static void populateLogProtoWithInfoPlistValues(NBPBICoreConfiguration& config);
    // The service's enum value; 0 for an unknown name.
    static int mapFromServiceStringToTypeEnum(const std::string& service);
    static void sendLogsToEventlog(const NBPBICoreConfiguration& config, std::function<void()> completion);

    static std::optional<std::string> deviceModel();
    // The install identifier, created (and kept) on first use; nullopt when
    // the file cannot be had.
    static std::optional<std::string> installString();
    static std::optional<std::string> filePathURLWithName(const std::string& name);
    static std::optional<std::string> stringAtURL(const std::string& path);
    static bool writeStringToURL(const std::string& string, const std::string& path);

    // The event logger records go to (the shared one unless a test set another).
    static std::shared_ptr<NBEventlogLogger> eventLogger();
    static void setEventLoggerForTesting(std::shared_ptr<NBEventlogLogger> logger);
};

}  // namespace wharf
