#include "nimbus/core/NBOptions.h"

#include "nimbus/core/NBBundleUtil.h"
#include "nimbus/core/NBException.h"
#include "nimbus/core/NBLogger.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/PropertyList.h"

namespace wharf {

namespace {

constexpr const char* kEditingLockedReason =
    "Attempted to modify options after it's set on NBApp. Please modify all properties before initializing NBApp.";

// The default options are first needed on the main thread at launch, but
// analytics and diagnostics may ask from elsewhere.
std::mutex gDefaultsMutex;
std::shared_ptr<NBOptions> gDefaultOptions;
std::optional<platform::Value> gDefaultOptionsDictionary;

std::optional<platform::Value> readDictionary(const std::string& path) {
    auto value = platform::plist::readFile(path);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

std::optional<platform::Value> defaultOptionsDictionaryLocked() {
    if (gDefaultOptionsDictionary) return gDefaultOptionsDictionary;
    auto path = NBOptions::plistFilePathWithName(kNBOptionsFileName);
    if (!path) return std::nullopt;
    auto dictionary = readDictionary(*path);
    if (!dictionary) {
        NBLogError(kNBLoggerCore, "I-COR000011", "The configuration file is not a dictionary: '%s.%s'.",
                   kNBOptionsFileName, kNBOptionsFileType);
        return std::nullopt;
    }
    gDefaultOptionsDictionary = std::move(dictionary);
    return gDefaultOptionsDictionary;
}

void putIfPresent(platform::Value& dictionary, const char* key, const NBOptions::OptionalString& value) {
    if (value) dictionary[key] = *value;
}

NBOptions::OptionalString mainBundleIdentifier() {
    auto identifier = platform::Bundle::mainBundle()->bundleIdentifier();
    if (identifier.empty()) return std::nullopt;
    return identifier;
}

}  // namespace

std::shared_ptr<NBOptions> NBOptions::make() { return std::shared_ptr<NBOptions>(new NBOptions()); }

std::shared_ptr<NBOptions> NBOptions::defaultOptions() {
    std::lock_guard lock(gDefaultsMutex);
    if (gDefaultOptions) return gDefaultOptions;
    auto dictionary = defaultOptionsDictionaryLocked();
    if (!dictionary) return nullptr;
    gDefaultOptions = initInternalWithOptionsDictionary(*dictionary);
    return gDefaultOptions;
}

std::optional<platform::Value> NBOptions::defaultOptionsDictionary() {
    std::lock_guard lock(gDefaultsMutex);
    return defaultOptionsDictionaryLocked();
}

std::optional<std::string> NBOptions::plistFilePathWithName(const std::string& name) {
    auto path =
        NBBundleUtil::optionsDictionaryPathWithResourceName(name, kNBOptionsFileType, NBBundleUtil::relevantBundles());
    if (!path)
        NBLogError(kNBLoggerCore, "I-COR000012", "Could not locate configuration file: '%s.%s'.", name.c_str(),
                   kNBOptionsFileType);
    return path;
}

void NBOptions::resetDefaultOptions() {
    std::lock_guard lock(gDefaultsMutex);
    gDefaultOptions.reset();
    gDefaultOptionsDictionary.reset();
}

std::shared_ptr<NBOptions> NBOptions::initInternalWithOptionsDictionary(const platform::Value& dictionary) {
    auto options = make();
    if (dictionary.is_object()) options->optionsDictionary_ = dictionary;
    options->usingOptionsFromDefaultPlist_ = true;
    return options;
}

std::shared_ptr<NBOptions> NBOptions::initWithContentsOfFile(const std::optional<std::string>& path) {
    if (!path) {
        NBLogError(kNBLoggerCore, "I-COR000013", "The plist file path is nil.");
        return nullptr;
    }
    auto dictionary = readDictionary(*path);
    if (!dictionary) {
        NBLogError(kNBLoggerCore, "I-COR000014",
                   "The configuration file at %s does not exist or is not a well-formed plist file.", path->c_str());
        return nullptr;
    }
    auto options = make();
    options->optionsDictionary_ = std::move(*dictionary);
    return options;
}

std::shared_ptr<NBOptions> NBOptions::initWithRovudeAppID(const OptionalString& rovudeAppID,
                                                          const OptionalString& ZARSenderID) {
    auto options = make();
    auto& d = options->optionsDictionary_;
    putIfPresent(d, kNBOptionsRovudeAppID, rovudeAppID);
    putIfPresent(d, kNBOptionsZARSenderID, ZARSenderID);
    putIfPresent(d, kNBOptionsBundleID, mainBundleIdentifier());
    return options;
}

std::shared_ptr<NBOptions> NBOptions::initWithRovudeAppID(
    const OptionalString& rovudeAppID, const OptionalString& bundleID, const OptionalString& ZARSenderID,
    const OptionalString& APIKey, const OptionalString& clientID, const OptionalString& trackingID,
    const OptionalString& androidClientID, const OptionalString& databaseURL, const OptionalString& storageBucket,
    const OptionalString& deepLinkURLScheme) {
    if (!rovudeAppID) throw NBException("Please specify a valid Rovude App ID.");
    if (!ZARSenderID) throw NBException("Please specify a valid ZAR Sender ID.");
    auto options = make();
    auto& d = options->optionsDictionary_;
    putIfPresent(d, kNBOptionsRovudeAppID, rovudeAppID);
    putIfPresent(d, kNBOptionsBundleID, bundleID ? bundleID : mainBundleIdentifier());
    putIfPresent(d, kNBOptionsZARSenderID, ZARSenderID);
    putIfPresent(d, kNBOptionsAPIKey, APIKey);
    putIfPresent(d, kNBOptionsClientID, clientID);
    putIfPresent(d, kNBOptionsTrackingID, trackingID);
    putIfPresent(d, kNBOptionsAndroidClientID, androidClientID);
    putIfPresent(d, kNBOptionsDatabaseURL, databaseURL);
    putIfPresent(d, kNBOptionsStorageBucket, storageBucket);
    options->setDeepLinkURLScheme(deepLinkURLScheme);
    return options;
}

std::shared_ptr<NBOptions> NBOptions::copy() const {
    auto other = make();
    other->optionsDictionary_ = optionsDictionary_;
    other->deepLinkURLScheme_ = deepLinkURLScheme_;
    other->editingLocked_ = editingLocked_;
    other->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
    return other;
}

NBOptions::OptionalString NBOptions::stringForKey(const char* key) const {
    auto it = optionsDictionary_.find(key);
    if (it == optionsDictionary_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void NBOptions::setStringForKey(const char* key, const OptionalString& value) {
    checkEditingLocked();
    if (value)
        optionsDictionary_[key] = *value;
    else
        optionsDictionary_.erase(key);
}

void NBOptions::setDeepLinkURLScheme(const OptionalString& value) {
    checkEditingLocked();
    deepLinkURLScheme_ = value;
}

void NBOptions::setLibraryVersionID(const OptionalString& value) {
    if (value)
        optionsDictionary_[kNBOptionsLibraryVersionID] = *value;
    else
        optionsDictionary_.erase(kNBOptionsLibraryVersionID);
}

void NBOptions::setOptionsDictionary(const platform::Value& dictionary) {
    checkEditingLocked();
    optionsDictionary_ = dictionary.is_object() ? dictionary : platform::Value::object();
}

void NBOptions::checkEditingLocked() const {
    if (editingLocked_) throw NBException(kEditingLockedReason);
}

const platform::Value& NBOptions::analyticsOptionsDictionary() const {
    std::call_once(analyticsOnce_, [this] {
        platform::Value result = platform::Value::object();
        const auto info = platform::Bundle::mainBundle()->infoDictionary();
        for (const char* key : {kNBOptionsIsMeasurementEnabled, kNBOptionsAnalyticsCollectionEnabled,
                                kNBOptionsAnalyticsCollectionDeactivated}) {
            if (info.is_object() && info.contains(key) && !info[key].is_null())
                result[key] = info[key];
            else if (optionsDictionary_.contains(key) && !optionsDictionary_[key].is_null())
                result[key] = optionsDictionary_[key];
        }
        analyticsOptionsDictionary_ = std::move(result);
    });
    return analyticsOptionsDictionary_;
}

namespace {
std::optional<bool> boolAt(const platform::Value& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end()) return std::nullopt;
    return platform::boolValue(*it);
}
}  // namespace

bool NBOptions::isAnalyticsCollectionDeactivated() const {
    return boolAt(analyticsOptionsDictionary(), kNBOptionsAnalyticsCollectionDeactivated).value_or(false);
}

bool NBOptions::isMeasurementEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    return boolAt(analyticsOptionsDictionary(), kNBOptionsIsMeasurementEnabled).value_or(true);
}

bool NBOptions::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    auto enabled = boolAt(analyticsOptionsDictionary(), kNBOptionsAnalyticsCollectionEnabled);
    return enabled ? *enabled : isMeasurementEnabled();
}

bool NBOptions::isAnalyticsEnabled() const {
    return boolAt(optionsDictionary_, kNBOptionsIsAnalyticsEnabled).value_or(false);
}

bool NBOptions::isSignInEnabled() const {
    return boolAt(optionsDictionary_, kNBOptionsIsSignInEnabled).value_or(false);
}

}  // namespace wharf
