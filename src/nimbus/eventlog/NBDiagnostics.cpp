#include "nimbus/eventlog/NBDiagnostics.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <glib.h>

#include "nimbus/core/NBApp.h"
#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBOptions.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/NBEventlogLogger.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"
#include "nimbus/eventlog/NBPBICoreConfiguration.h"
#include "platform/base/ClassRegistry.h"
#include "platform/base/Error.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/Xattr.h"

namespace wharf {

namespace {

std::recursive_mutex gLock;  // the class lock
std::shared_ptr<NBEventlogLogger> gTestLogger;

struct Probe {
    std::vector<const char*> classes;
    const char* service;
};

const Probe kProbes[] = {
    {{"ADSBannerView"}, "Ads"},
    {{"NBInvites"}, "Invites"},
    {{"NBMessaging"}, "Messaging"},
    {{"NBRemoteConfig"}, "RemoteConfig"},
    {{"NBCRClient"}, "Crash"},
    {{"DORIzurizava"}, "Measurement"},
    {{"NBDatabase"}, "Database"},
    {{"NBDynamicLinks"}, "DynamicLinks"},
    {{"NBAuth"}, "Auth"},
    {{"NBUIAuth"}, "AuthUI"},
    {{"NBStorage"}, "Storage"},
    {{"SGNSignIn", "LGCContext"}, "SignIn"},
    {{"LGCTracker", "LGCContext"}, "Analytics"},
};

// Libraries of the system, as the image list names them.
bool isSystemImage(const std::string& path) {
    if (path.rfind("linux-vdso", 0) == 0 || path.rfind("linux-gate", 0) == 0) return true;
    for (const char* prefix : {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/", "/usr/local/lib/"})
        if (path.rfind(prefix, 0) == 0) return true;
    return false;
}

std::string infoString(const char* key) {
    auto value = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace

void NBDiagnostics::load() {
    static platform::ObserverToken token = platform::NotificationCenter::defaultCenter().addObserver(
        NBAppDiagnosticsNotification, nullptr, [](const platform::Notification& n) { logDiagnostics(n); });
    (void)token;
}

void NBDiagnostics::logDiagnostics(const platform::Notification& notification) {
    const int appCount = static_cast<int>(NBApp::allApps().size());
    std::lock_guard lock(gLock);
    auto config = NBPBICoreConfiguration::create();
    const platform::Value& info = notification.userInfo;
    auto has = [&](const char* key) { return info.is_object() && info.contains(key); };
    if (has(kNBAppDiagnosticsConfigTypeKey)) {
        const int64_t type = platform::integerValue(info[kNBAppDiagnosticsConfigTypeKey]);
        if (type == 1 || type == 2)
            NANOSetInt32(config.get(), NBPBICoreConfiguration::configuration_type, static_cast<int32_t>(type));
    }
    if (has(kNBAppDiagnosticsSDKNameKey))
        NANOSetInt32(config.get(), NBPBICoreConfiguration::sdk_name,
                     mapFromServiceStringToTypeEnum(platform::stringValue(info[kNBAppDiagnosticsSDKNameKey])));
    if (has(kNBAppDiagnosticsSDKVersionKey))
        NANOSetString(config.get(), NBPBICoreConfiguration::sdk_version,
                      platform::stringValue(info[kNBAppDiagnosticsSDKVersionKey]));
    if (has(kNBAppDiagnosticsErrorKey)) {
        if (auto error = NBErrorFromValue(info[kNBAppDiagnosticsErrorKey])) {
            auto errorInfo = NBPBErrorInfo::create();
            NANOSetBool(errorInfo.get(), NBPBErrorInfo::field_1, true);
            NANOSetInt32(errorInfo.get(), NBPBErrorInfo::error_code, static_cast<int32_t>(error->code));
            NANOSetString(errorInfo.get(), NBPBErrorInfo::error_domain, error->domain);
            NANOSetMessage(config.get(), NBPBICoreConfiguration::error_info, errorInfo.get());
        }
    }
    populateLogProtoWithCommonInfo(*config, notification.objectFor<NBApp>(kNBAppDiagnosticsAppKey), appCount);
    populateLogProtoWithInstalledServices(*config);
    populateLogProtoWithNumberOfLinkedFrameworks(*config);
    populateLogProtoWithInfoPlistValues(*config);
    sendLogsToEventlog(*config, nullptr);
}

void NBDiagnostics::populateLogProtoWithCommonInfo(NBPBICoreConfiguration& config, const std::shared_ptr<NBApp>& app,
                                                   int appCount) {
    NANOSetInt32(&config, NBPBICoreConfiguration::field_16, 2);
    NANOSetInt32(&config, NBPBICoreConfiguration::app_count, appCount);
    if (app) {
        if (auto options = app->options()) {
            if (auto id = options->rovudeAppID(); id && !id->empty())
                NANOSetString(&config, NBPBICoreConfiguration::rovude_app_id, *id);
            if (auto bundle = options->bundleID(); bundle && !bundle->empty())
                NANOSetString(&config, NBPBICoreConfiguration::bundle_id, *bundle);
            NANOSetBool(&config, NBPBICoreConfiguration::using_options_from_default_plist,
                        options->usingOptionsFromDefaultPlist());
            NANOSetString(&config, NBPBICoreConfiguration::library_version_id, options->libraryVersionID());
        }
    }
    if (auto install = installString(); install && !install->empty())
        NANOSetString(&config, NBPBICoreConfiguration::install_string, *install);
    if (auto model = deviceModel(); model && !model->empty())
        NANOSetString(&config, NBPBICoreConfiguration::device_model, *model);
    if (auto version = NBAppEnvironmentUtil::systemVersion(); !version.empty())
        NANOSetString(&config, NBPBICoreConfiguration::system_version, version);
    NANOSetBool(&config, NBPBICoreConfiguration::field_29, true);
    NANOSetBool(&config, NBPBICoreConfiguration::from_app_store, NBAppEnvironmentUtil::isFromAppStore());
}

void NBDiagnostics::populateLogProtoWithInstalledServices(NBPBICoreConfiguration& config) {
    std::vector<NANOObject> installed;
    auto& registry = platform::ClassRegistry::shared();
    for (const Probe& probe : kProbes) {
        bool present = true;
        for (const char* cls : probe.classes) present = present && registry.hasClass(cls);
        if (present) installed.emplace_back(platform::Value(mapFromServiceStringToTypeEnum(probe.service)));
    }
    NANOSetArray(&config, NBPBICoreConfiguration::sdk_service_installed, installed);
}

void NBDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(NBPBICoreConfiguration& config) {
    // The executable itself comes first (with an empty name) and is not counted.
    int count = -1;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (!isSystemImage(name)) ++*static_cast<int*>(data);
            return 0;
        },
        &count);
    NANOSetInt32(&config, NBPBICoreConfiguration::linked_framework_count, count);
}

void NBDiagnostics::populateLogProtoWithInfoPlistValues(NBPBICoreConfiguration& config) {
    NANOSetString(&config, NBPBICoreConfiguration::xcode_sdk_build,
                  infoString("DTXcodeBuild") + "-" + infoString("DTSDKBuild"));
    auto minimum = platform::Bundle::mainBundle()->objectForInfoDictionaryKey("MinimumOSVersion");
    if (minimum.is_string())
        NANOSetString(&config, NBPBICoreConfiguration::minimum_os_version, minimum.get<std::string>());
}

int NBDiagnostics::mapFromServiceStringToTypeEnum(const std::string& service) {
    static const std::map<std::string, int> table = {
        {"Ads", 2},           {"SignIn", 5},   {"Analytics", 9},  {"Crash", 13},       {"Auth", 14},
        {"Database", 15},     {"Storage", 16}, {"Messaging", 17}, {"Measurement", 18}, {"RemoteConfig", 19},
        {"DynamicLinks", 20}, {"Invites", 21}, {"AuthUI", 22},
    };
    auto it = table.find(service);
    return it == table.end() ? 0 : it->second;
}

void NBDiagnostics::sendLogsToEventlog(const NBPBICoreConfiguration& config, std::function<void()> completion) {
    auto logger = eventLogger();
    static std::once_flag serverOnce;
    std::call_once(serverOnce, [&] {
        // The service's endpoint is a deployment setting; a logger given
        // another server keeps it.
        if (logger->serverURL().empty()) logger->setServerURL(NBEventlogLogger::defaultServerURL());
    });
    auto event = EVLPBLogEvent::create();
    NANOSetBytes(event.get(), EVLPBLogEvent::source_payload, config.protoBuffer().value_or(platform::Bytes{}));
    std::lock_guard lock(gLock);
    logger->logEvent(event, kLogSource, kAccount);
    logger->flushWithCompletionHandler(std::move(completion));
}

std::optional<std::string> NBDiagnostics::deviceModel() {
    // The machine's hardware model, as the environment utility knows it.
    return NBAppEnvironmentUtil::deviceModel();
}

std::optional<std::string> NBDiagnostics::installString() {
    std::lock_guard lock(gLock);
    auto path = filePathURLWithName(kInstallFileName);
    if (!path || path->empty()) return std::nullopt;
    if (auto existing = stringAtURL(*path); existing && !existing->empty()) return existing;
    gchar* uuid = g_uuid_string_random();
    std::string identifier(uuid);
    g_free(uuid);
    for (char& c : identifier) c = static_cast<char>(g_ascii_toupper(c));
    if (!writeStringToURL(identifier, *path)) return std::nullopt;
    return identifier;
}

std::optional<std::string> NBDiagnostics::filePathURLWithName(const std::string& name) {
    std::lock_guard lock(gLock);
    const std::string directory = platform::Container::applicationSupportPath() + "/Rovude/NBApp";
    if (!platform::Container::ensureDirectory(directory)) {
        NBLogWarning(kNBLoggerCore, "I-COR100001", "Unable to create internal state storage: %s",
                     platform::errnoText(errno).c_str());
        return std::nullopt;
    }
    return directory + "/" + name;
}

std::optional<std::string> NBDiagnostics::stringAtURL(const std::string& path) {
    std::lock_guard lock(gLock);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096) text.append(buffer, n);
    ::close(fd);
    if (n < 0 || !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return std::nullopt;
    return text;
}

bool NBDiagnostics::writeStringToURL(const std::string& string, const std::string& path) {
    std::lock_guard lock(gLock);
    const std::string temp = path + ".partial";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    if (ok) {
        ok = ::write(fd, string.data(), string.size()) == static_cast<ssize_t>(string.size()) && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok && ::rename(temp.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        NBLogWarning(kNBLoggerCore, "I-COR100004", "Unable to persist internal state: %s",
                     platform::errnoText(errno).c_str());
        ::unlink(temp.c_str());
        return false;
    }
    if (platform::xattr::setExcludedFromBackup(path, true) == platform::xattr::Result::Error)
        NBLogWarning(kNBLoggerCore, "I-COR100003", "Unable to update internal resource: %s",
                     platform::errnoText(errno).c_str());
    return true;
}

std::shared_ptr<NBEventlogLogger> NBDiagnostics::eventLogger() {
    {
        std::lock_guard lock(gLock);
        if (gTestLogger) return gTestLogger;
    }
    return NBEventlogLogger::sharedInstance();
}

void NBDiagnostics::setEventLoggerForTesting(std::shared_ptr<NBEventlogLogger> logger) {
    std::lock_guard lock(gLock);
    gTestLogger = std::move(logger);
}

}  // namespace wharf
