#pragma once
// The configured application of the Nimbus components: a named object holding
// a locked copy of its options.
//
// The default app is configured once at launch (NBApp::configure); further
// apps by name. Configuring validates the options, registers the app, starts
// analytics through the class "DORIzurizava" (looked up in
// platform::ClassRegistry) and posts NBAppReadyToConfigureSDKNotification
// synchronously, under the class lock, so that observers configure themselves
// inside the call and may look apps up (the lock is re-entrant). A caller's
// configuration fault raises NBException named "com.rovude.nimbus.core"; the
// lock is released as the exception passes and nothing half-configured stays.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

namespace wharf {

class NBOptions;

inline constexpr const char* kNBDefaultAppName = "__NBAPP_DEFAULT";

// Notifications (object: NBApp::classObject(), except the diagnostics one).
inline constexpr const char* NBAppReadyToConfigureSDKNotification = "NBAppReadyToConfigureSDKNotification";
inline constexpr const char* NBAppDeleteNotification = "NBAppDeleteNotification";
inline constexpr const char* NBAppDiagnosticsNotification = "NBAppDiagnosticsNotification";
inline constexpr const char* NBAppNameKey = "NBAppNameKey";
inline constexpr const char* NBAppIsDefaultAppKey = "NBAppIsDefaultAppKey";
inline constexpr const char* NBRovudeAppIDKey = "NBRovudeAppIDKey";

// Keys of the diagnostics notification's user info. "Error" holds the error
// as NBErrorToValue writes it; "NBApp" is the app itself, among the
// notification's objects (Notification::objectFor<NBApp>), so that a reader
// has it even after the app was deleted or another took its name.
inline constexpr const char* kNBAppDiagnosticsConfigTypeKey = "ConfigType";
inline constexpr const char* kNBAppDiagnosticsErrorKey = "Error";
inline constexpr const char* kNBAppDiagnosticsAppKey = "NBApp";
inline constexpr const char* kNBAppDiagnosticsSDKNameKey = "SDKName";
inline constexpr const char* kNBAppDiagnosticsSDKVersionKey = "SDKVersion";
inline constexpr int kNBConfigTypeCore = 1;
inline constexpr int kNBConfigTypeSDK = 2;

inline constexpr int64_t kNBErrorCodeMissingOptions = -100;
inline constexpr int64_t kNBErrorCodeInvalidAppID = -101;
inline constexpr const char* kNBLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";

// An error inside a Value ({"domain", "code", "userInfo"}) and back.
platform::Value NBErrorToValue(const platform::Error& error);
std::optional<platform::Error> NBErrorFromValue(const platform::Value& value);

class NBApp : public std::enable_shared_from_this<NBApp> {
public:
    using TokenCallback = std::function<void(const std::optional<std::string>& token, const platform::Error* error)>;
    using GetTokenImplementation = std::function<void(bool forceRefresh, TokenCallback callback)>;
    using GetUIDImplementation = std::function<std::string()>;

    // --- configuring ----------------------------------------------------------
    // The default app from "RovudeService-Info.plist", with the ready notification.
    static void configure();
    static void configureWithOptions(const std::shared_ptr<NBOptions>& options);
    // The default app without the ready notification; a later configure() may
    // configure it again and post it.
    static void configureWithoutSendingNotification();
    static void configureDefaultAppWithOptions(const std::shared_ptr<NBOptions>& options, bool sendingNotifications);
    // A further app; the name holds only letters, digits, '-' and '_'.
    static void configureWithName(const std::optional<std::string>& name, const std::shared_ptr<NBOptions>& options);

    // --- the registry -----------------------------------------------------------
    static std::shared_ptr<NBApp> defaultApp();
    static std::shared_ptr<NBApp> appNamed(const std::string& name);
    static std::map<std::string, std::shared_ptr<NBApp>> allApps();
    static bool isDefaultAppConfigured();
    // Back to the initial state, without notifications.
    static void resetApps();

    static void addAppToAppDictionary(const std::shared_ptr<NBApp>& app);
    static void sendNotificationsToSDKs(const std::shared_ptr<NBApp>& app);

    // The sender of this class's notifications.
    static const void* classObject();

    // --- errors -------------------------------------------------------------------
    static platform::Error errorForMissingOptions();
    static platform::Error errorForInvalidAppID();
    static platform::Error errorForSubspecConfigurationFailureWithDomain(const std::string& domain, int64_t code,
                                                                         const std::string& service,
                                                                         const std::string& reason);

    // --- application identifiers ------------------------------------------------
    static bool validateAppID(const std::optional<std::string>& appID);
    static bool validateAppIDFormat(const std::string& appID, const std::string& version);
    static bool validateAppIDFingerprint(const std::string& appID, const std::string& version);
    static std::string actualBundleID();

    // --- the app -------------------------------------------------------------------
    // Copies the name and the options (locking the copy) and takes the
    // notification flags of an app registered under the same name.
    static std::shared_ptr<NBApp> initInstanceWithName(const std::string& name,
                                                       const std::shared_ptr<NBOptions>& options);

    const std::string& name() const { return name_; }
    // A fresh copy of the app's options, locked against editing.
    std::shared_ptr<NBOptions> options() const;

    bool alreadySentConfigureNotification() const { return alreadySentConfigureNotification_; }
    void setAlreadySentConfigureNotification(bool sent) { alreadySentConfigureNotification_ = sent; }
    bool alreadySentDeleteNotification() const { return alreadySentDeleteNotification_; }
    void setAlreadySentDeleteNotification(bool sent) { alreadySentDeleteNotification_ = sent; }

    GetTokenImplementation getTokenImplementation() const;
    void setGetTokenImplementation(GetTokenImplementation implementation);
    GetUIDImplementation getUIDImplementation() const;
    void setGetUIDImplementation(GetUIDImplementation implementation);

    // Validation and the analytics start; false when the application identifier is invalid.
    bool configureCore();
    // Removes the app from the registry; the completion runs inside the class lock.
    void deleteApp(const std::function<void(bool success)>& completion);
    // Lets another component report its configuration to the diagnostics.
    void sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                 const platform::Error* error);
    void getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback);
    std::optional<std::string> getUID();

    void checkExpectedBundleID();
    bool isAppIDValid();
    std::optional<std::string> expectedBundleID() const;

    NBApp(const NBApp&) = delete;
    NBApp& operator=(const NBApp&) = delete;

private:
    NBApp(std::string name, std::shared_ptr<NBOptions> options);

    const std::string name_;
    const std::shared_ptr<NBOptions> options_;
    std::atomic<bool> alreadySentConfigureNotification_{false};
    std::atomic<bool> alreadySentDeleteNotification_{false};
    mutable std::mutex implementationsMutex_;
    GetTokenImplementation getTokenImplementation_;
    GetUIDImplementation getUIDImplementation_;
};

}  // namespace wharf
