#include "nimbus/core/NBApp.h"

#include <optional>

#include "nimbus/core/DORIzurizava.h"
#include "nimbus/core/NBBundleUtil.h"
#include "nimbus/core/NBConfiguration.h"
#include "nimbus/core/NBException.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBOptions.h"
#include "platform/base/ClassRegistry.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/Bundle.h"

namespace wharf {

namespace {

// Deployment addresses that complete the messages to the developer.
constexpr const char* kConsoleURL = "https://console.rovude.com/";
constexpr const char* kSetupDocumentationURL = "https://rovude.com/docs/nimbus/setup";
constexpr const char* kAppIndexingDocumentationURL = "https://rovude.com/docs/nimbus/app-indexing";

constexpr const char* kAppIndexingClassName = "NBAppIndexing";

// The class lock: re-entrant, because observers of the ready notification and
// the delete completion run inside it and may look apps up.
std::recursive_mutex gClassLock;
std::shared_ptr<NBApp> gDefaultApp;
std::optional<std::map<std::string, std::shared_ptr<NBApp>>> gApps;

const char gClassTag = 0;

void postDiagnostics(platform::Value userInfo, std::shared_ptr<NBApp> app = nullptr) {
    platform::Notification notification;
    notification.name = NBAppDiagnosticsNotification;
    notification.userInfo = std::move(userInfo);
    if (app) notification.objects[kNBAppDiagnosticsAppKey] = std::move(app);
    platform::NotificationCenter::defaultCenter().post(notification);
}

bool isAllowedNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isLowerHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }

bool isHex(char c) { return isLowerHex(c) || (c >= 'A' && c <= 'F'); }

// Length of the leading run of characters for which `pred` holds.
template <class Pred>
std::size_t span(std::string_view s, Pred pred) {
    std::size_t n = 0;
    while (n < s.size() && pred(s[n])) ++n;
    return n;
}

bool formatPreconditions(const std::string& appID, const std::string& version) {
    return !appID.empty() && !version.empty() && version.back() == ':' && appID.starts_with(version);
}

std::string describe(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

}  // namespace

platform::Value NBErrorToValue(const platform::Error& error) {
    return platform::Value{{"domain", error.domain}, {"code", error.code}, {"userInfo", error.userInfo}};
}

std::optional<platform::Error> NBErrorFromValue(const platform::Value& value) {
    if (!value.is_object() || !value.contains("domain") || !value["domain"].is_string()) return std::nullopt;
    platform::Error error(value["domain"].get<std::string>(),
                          value.contains("code") ? platform::integerValue(value["code"]) : 0,
                          value.contains("userInfo") ? value["userInfo"] : platform::Value::object());
    return error;
}

// --- configuring ------------------------------------------------------------------

void NBApp::configure() {
    auto options = NBOptions::defaultOptions();
    if (!options) {
        postDiagnostics({{kNBAppDiagnosticsConfigTypeKey, kNBConfigTypeCore},
                         {kNBAppDiagnosticsErrorKey, NBErrorToValue(errorForMissingOptions())}});
        throw NBException(std::string("`[NBApp configure];` (`NimbusApp.configure()` in Swift) could not find a valid "
                                      "RovudeService-Info.plist in your project. Please download one from ") +
                          kConsoleURL + ".");
    }
    configureDefaultAppWithOptions(options, true);
}

void NBApp::configureWithoutSendingNotification() {
    auto options = NBOptions::defaultOptions();
    if (!options) {
        postDiagnostics({{kNBAppDiagnosticsConfigTypeKey, kNBConfigTypeCore},
                         {kNBAppDiagnosticsErrorKey, NBErrorToValue(errorForMissingOptions())}});
        throw NBException("Please check there is a valid RovudeService-Info.plist in the project.");
    }
    configureDefaultAppWithOptions(options, false);
}

void NBApp::configureWithOptions(const std::shared_ptr<NBOptions>& options) {
    if (!options) throw NBException("Options is nil. Please pass a valid options.");
    configureDefaultAppWithOptions(options, true);
}

void NBApp::configureDefaultAppWithOptions(const std::shared_ptr<NBOptions>& options, bool sendingNotifications) {
    if (!options) throw NBException("Options is nil. Please pass a valid options.");
    // The check and the replacement happen under one hold of the lock, so two
    // threads cannot both find no default app and both configure one.
    std::lock_guard lock(gClassLock);
    if (gDefaultApp && !(sendingNotifications && !gDefaultApp->alreadySentConfigureNotification()))
        throw NBException("Default app has already been configured.");

    NBLogDebug(kNBLoggerCore, "I-COR000001", "Configuring the default app.");
    auto app = initInstanceWithName(kNBDefaultAppName, options);
    auto previous = gDefaultApp;
    gDefaultApp = app;
    try {
        addAppToAppDictionary(app);
    } catch (...) {
        // An app that failed its configuration never stays the default app.
        gDefaultApp = previous;
        throw;
    }
    if (sendingNotifications && !app->alreadySentConfigureNotification()) {
        sendNotificationsToSDKs(app);
        app->setAlreadySentConfigureNotification(true);
    }
}

void NBApp::configureWithName(const std::optional<std::string>& name, const std::shared_ptr<NBOptions>& options) {
    if (!name || !options) throw NBException("Neither name nor options can be nil.");
    if (name->empty()) throw NBException("Name cannot be empty.");
    if (*name == kNBDefaultAppName) throw NBException("Name cannot be __NBAPP_DEFAULT.");
    for (char c : *name)
        if (!isAllowedNameCharacter(c))
            throw NBException("App name should only contain Letters, Numbers, Underscores, and Dashes.");

    std::lock_guard lock(gClassLock);
    if (gApps && gApps->count(*name)) throw NBException("App named " + *name + " has already been configured.");
    NBLogDebug(kNBLoggerCore, "I-COR000002", "Configuring app named %s", name->c_str());
    auto app = initInstanceWithName(*name, options);
    addAppToAppDictionary(app);
    if (!app->alreadySentConfigureNotification()) {
        sendNotificationsToSDKs(app);
        app->setAlreadySentConfigureNotification(true);
    }
}

void NBApp::addAppToAppDictionary(const std::shared_ptr<NBApp>& app) {
    if (!app) return;
    std::lock_guard lock(gClassLock);
    if (!gApps) gApps.emplace();
    if (!app->configureCore())
        throw NBException(
            "Configuration fails. It may be caused by an invalid ROVUDE_APP_ID in RovudeService-Info.plist or set in "
            "the customized options.");
    (*gApps)[app->name()] = app;
    postDiagnostics({{kNBAppDiagnosticsConfigTypeKey, kNBConfigTypeCore}}, app);
}

void NBApp::sendNotificationsToSDKs(const std::shared_ptr<NBApp>& app) {
    if (!app) return;
    std::lock_guard lock(gClassLock);
    auto appID = app->options_->rovudeAppID();
    platform::Value userInfo{{NBAppNameKey, app->name()},
                             {NBAppIsDefaultAppKey, gDefaultApp == app},
                             {NBRovudeAppIDKey, appID ? platform::Value(*appID) : platform::Value()}};
    platform::NotificationCenter::defaultCenter().post(NBAppReadyToConfigureSDKNotification, classObject(), userInfo);
}

const void* NBApp::classObject() { return &gClassTag; }

// --- the registry -------------------------------------------------------------------

std::shared_ptr<NBApp> NBApp::defaultApp() {
    std::lock_guard lock(gClassLock);
    if (!gDefaultApp)
        NBLogError(kNBLoggerCore, "I-COR000003",
                   "The default Nimbus app has not yet been configured. Add `[NBApp configure];` "
                   "(`NimbusApp.configure()` in Swift) to your application initialization. Read more: %s.",
                   kSetupDocumentationURL);
    return gDefaultApp;
}

std::shared_ptr<NBApp> NBApp::appNamed(const std::string& name) {
    std::lock_guard lock(gClassLock);
    if (gApps) {
        auto it = gApps->find(name);
        if (it != gApps->end()) return it->second;
    }
    NBLogError(kNBLoggerCore, "I-COR000004", "App with name %s does not exist.", name.c_str());
    return nullptr;
}

std::map<std::string, std::shared_ptr<NBApp>> NBApp::allApps() {
    std::lock_guard lock(gClassLock);
    if (!gApps) {
        NBLogError(kNBLoggerCore, "I-COR000005", "No app has been configured yet.");
        return {};
    }
    return *gApps;
}

bool NBApp::isDefaultAppConfigured() {
    std::lock_guard lock(gClassLock);
    return gDefaultApp != nullptr;
}

void NBApp::resetApps() {
    std::lock_guard lock(gClassLock);
    gDefaultApp.reset();
    gApps.reset();
}

// --- errors -----------------------------------------------------------------------

platform::Error NBApp::errorForMissingOptions() {
    return platform::Error(
        kNBCoreErrorDomain, kNBErrorCodeMissingOptions,
        {{platform::kLocalizedDescriptionKey,
          "Unable to parse RovudeService-Info.plist in order to configure services."},
         {kNBLocalizedRecoverySuggestionErrorKey, "Check formatting and location of RovudeService-Info.plist."}});
}

platform::Error NBApp::errorForInvalidAppID() {
    return platform::Error(kNBCoreErrorDomain, kNBErrorCodeInvalidAppID,
                           {{platform::kLocalizedDescriptionKey, "Unable to validate Rovude App ID"},
                            {kNBLocalizedRecoverySuggestionErrorKey,
                             "Check formatting and location of RovudeService-Info.plist or RovudeAppID set in the "
                             "customized options."}});
}

platform::Error NBApp::errorForSubspecConfigurationFailureWithDomain(const std::string& domain, int64_t code,
                                                                     const std::string& service,
                                                                     const std::string& reason) {
    return platform::Error(domain, code,
                           {{platform::kLocalizedDescriptionKey, "Configuration failed for service " + service + "."},
                            {platform::kLocalizedFailureReasonKey, reason}});
}

// --- application identifiers ------------------------------------------------------

bool NBApp::validateAppID(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) return false;
    const std::size_t digits = span(*appID, isDigit);
    if (digits == 0 || digits >= appID->size() || (*appID)[digits] != ':') return false;
    const std::string version = appID->substr(0, digits + 1);
    // Later versions of the identifier are accepted as they come.
    if (version != "1:") return true;
    return validateAppIDFormat(*appID, version) && validateAppIDFingerprint(*appID, version);
}

bool NBApp::validateAppIDFormat(const std::string& appID, const std::string& version) {
    if (!formatPreconditions(appID, version)) return false;
    // The rest is exactly: digits ":ios:" lower-case hexadecimal digits.
    std::string_view rest = std::string_view(appID).substr(version.size());
    const std::size_t project = span(rest, isDigit);
    if (project == 0) return false;
    rest.remove_prefix(project);
    if (!rest.starts_with(":ios:")) return false;
    rest.remove_prefix(5);
    return !rest.empty() && span(rest, isLowerHex) == rest.size();
}

bool NBApp::validateAppIDFingerprint(const std::string& appID, const std::string& version) {
    if (!formatPreconditions(appID, version)) return false;
    std::vector<std::string_view> parts;
    std::string_view s = appID;
    for (std::size_t start = 0;;) {
        std::size_t colon = s.find(':', start);
        parts.push_back(s.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (parts.size() != 4) return false;
    const std::string_view fingerprint = parts[3];
    if (fingerprint.empty() || !isHex(fingerprint.front())) return false;
    return version == "1:";
}

std::string NBApp::actualBundleID() { return platform::Bundle::mainBundle()->bundleIdentifier(); }

// --- the app ----------------------------------------------------------------------

NBApp::NBApp(std::string name, std::shared_ptr<NBOptions> options)
    : name_(std::move(name)), options_(std::move(options)) {}

std::shared_ptr<NBApp> NBApp::initInstanceWithName(const std::string& name, const std::shared_ptr<NBOptions>& options) {
    auto copy = options ? options->copy() : NBOptions::initWithRovudeAppID(std::nullopt, std::nullopt);
    copy->setEditingLocked(true);
    std::shared_ptr<NBApp> app(new NBApp(name, std::move(copy)));
    std::lock_guard lock(gClassLock);
    if (gApps) {
        auto it = gApps->find(name);
        if (it != gApps->end()) {
            app->setAlreadySentConfigureNotification(it->second->alreadySentConfigureNotification());
            app->setAlreadySentDeleteNotification(it->second->alreadySentDeleteNotification());
        }
    }
    return app;
}

std::shared_ptr<NBOptions> NBApp::options() const { return options_->copy(); }

NBApp::GetTokenImplementation NBApp::getTokenImplementation() const {
    std::lock_guard lock(implementationsMutex_);
    return getTokenImplementation_;
}

void NBApp::setGetTokenImplementation(GetTokenImplementation implementation) {
    std::lock_guard lock(implementationsMutex_);
    getTokenImplementation_ = std::move(implementation);
}

NBApp::GetUIDImplementation NBApp::getUIDImplementation() const {
    std::lock_guard lock(implementationsMutex_);
    return getUIDImplementation_;
}

void NBApp::setGetUIDImplementation(GetUIDImplementation implementation) {
    std::lock_guard lock(implementationsMutex_);
    getUIDImplementation_ = std::move(implementation);
}

bool NBApp::configureCore() {
    checkExpectedBundleID();
    if (!isAppIDValid()) {
        if (options_->usingOptionsFromDefaultPlist())
            postDiagnostics({{kNBAppDiagnosticsConfigTypeKey, kNBConfigTypeCore},
                             {kNBAppDiagnosticsErrorKey, NBErrorToValue(errorForInvalidAppID())}});
        return false;
    }
    auto& registry = platform::ClassRegistry::shared();
    if (registry.hasClass(kAppIndexingClassName))
        NBLogDebug(kNBLoggerCore, "I-COR000024",
                   "Nimbus App Indexing on iOS is deprecated. You don't need to take any action at this time. Learn "
                   "more about Nimbus App Indexing at %s.",
                   kAppIndexingDocumentationURL);
    if (name_ == kNBDefaultAppName) {
        if (!registry.hasClass(DORIzurizava::kClassName)) {
            NBLogError(kNBLoggerCore, "I-COR000022", "Vuzuruzu Zavozurur is not available.");
        } else if (auto start = registry.classMethod<DORIzurizava::StartFunction>(DORIzurizava::kClassName,
                                                                                  DORIzurizava::kStartSelector)) {
            if (*start) (*start)(NBConfiguration::sharedInstance().analyticsConfiguration(), options_);
        }
    }
    return true;
}

void NBApp::deleteApp(const std::function<void(bool success)>& completion) {
    std::lock_guard lock(gClassLock);
    if (gApps && gApps->count(name_)) {
        NBLogDebug(kNBLoggerCore, "I-COR000006", "Deleting app named %s", name_.c_str());
        gApps->erase(name_);
        if (name_ == kNBDefaultAppName) gDefaultApp.reset();
        if (!alreadySentDeleteNotification()) {
            platform::NotificationCenter::defaultCenter().post(NBAppDeleteNotification, classObject(),
                                                               platform::Value{{NBAppNameKey, name_}});
            setAlreadySentDeleteNotification(true);
        }
        if (completion) completion(true);
        return;
    }
    NBLogError(kNBLoggerCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
}

void NBApp::sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                    const platform::Error* error) {
    platform::Value userInfo{{kNBAppDiagnosticsConfigTypeKey, kNBConfigTypeSDK},
                             {kNBAppDiagnosticsSDKNameKey, serviceName},
                             {kNBAppDiagnosticsSDKVersionKey, version}};
    if (error) userInfo[kNBAppDiagnosticsErrorKey] = NBErrorToValue(*error);
    postDiagnostics(std::move(userInfo), shared_from_this());
}

void NBApp::getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) {
    auto implementation = getTokenImplementation();
    if (!implementation) {
        if (callback) callback(std::nullopt, nullptr);
        return;
    }
    implementation(forceRefresh, callback);
}

std::optional<std::string> NBApp::getUID() {
    auto implementation = getUIDImplementation();
    if (!implementation) {
        NBLogWarning(kNBLoggerCore, "I-COR000025", "NBAuth getUID implementation wasn't set.");
        return std::nullopt;
    }
    return implementation();
}

void NBApp::checkExpectedBundleID() {
    auto expected = expectedBundleID();
    if (expected && !NBBundleUtil::hasBundleIdentifier(*expected, NBBundleUtil::relevantBundles()))
        NBLogError(kNBLoggerCore, "I-COR000008",
                   "The project's Bundle ID is inconsistent with either the Bundle ID in '%s.%s', or the Bundle ID in "
                   "the options if you are using a customized options. To ensure that everything can be configured "
                   "correctly, you may need to make the Bundle IDs consistent. To continue with this plist file, you "
                   "may change your app's bundle identifier to '%s'. Or you can download a new configuration file "
                   "that matches your bundle identifier from %s and replace the current one.",
                   kNBOptionsFileName, kNBOptionsFileType, expected->c_str(), kConsoleURL);
}

bool NBApp::isAppIDValid() {
    const bool valid = validateAppID(options_->rovudeAppID());
    if (!valid)
        NBLogError(kNBLoggerCore, "I-COR000009",
                   "The ROVUDE_APP_ID either in the plist file '%s.%s' or the one set in the customized options is "
                   "invalid. If you are using the plist file, use the iOS version of bundle identifier to download "
                   "the file, and do not manually edit the ROVUDE_APP_ID. You may change your app's bundle "
                   "identifier to '%s'. Or you can download a new configuration file that matches your bundle "
                   "identifier from %s and replace the current one.",
                   kNBOptionsFileName, kNBOptionsFileType, describe(expectedBundleID()).c_str(), kConsoleURL);
    return valid;
}

std::optional<std::string> NBApp::expectedBundleID() const { return options_->bundleID(); }

}  // namespace wharf
