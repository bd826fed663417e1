#pragma once
// The values that identify the application to the Nimbus services, read from
// "RovudeService-Info.plist" in the bundle (the default options), from another
// property-list file, or given by the caller.
//
// An options object is a plain value: a copy owns its own dictionary, so an
// edit of one never shows in another. Once locked (NBApp locks the copy it
// keeps), every setter raises NBException; copies of a locked object are locked.
// An instance has no lock of its own: share it between threads only for reading.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

inline constexpr const char* kNBOptionsFileName = "RovudeService-Info";
inline constexpr const char* kNBOptionsFileType = "plist";

// Keys of the options file.
inline constexpr const char* kNBOptionsAPIKey = "API_KEY";
inline constexpr const char* kNBOptionsBundleID = "BUNDLE_ID";
inline constexpr const char* kNBOptionsClientID = "CLIENT_ID";
inline constexpr const char* kNBOptionsTrackingID = "TRACKING_ID";
inline constexpr const char* kNBOptionsZARSenderID = "ZAR_SENDER_ID";
inline constexpr const char* kNBOptionsProjectID = "PROJECT_ID";
inline constexpr const char* kNBOptionsAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr const char* kNBOptionsRovudeAppID = "ROVUDE_APP_ID";
inline constexpr const char* kNBOptionsDatabaseURL = "DATABASE_URL";
inline constexpr const char* kNBOptionsStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kNBOptionsIsAnalyticsEnabled = "IS_ANALYTICS_ENABLED";
inline constexpr const char* kNBOptionsIsSignInEnabled = "IS_SIGNIN_ENABLED";
inline constexpr const char* kNBOptionsIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr const char* kNBOptionsAnalyticsCollectionEnabled = "NIMBUS_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kNBOptionsAnalyticsCollectionDeactivated = "NIMBUS_ANALYTICS_COLLECTION_DEACTIVATED";

inline constexpr const char* kNBOptionsLibraryVersionID = "40007000";

class NBOptions {
public:
    using OptionalString = std::optional<std::string>;

    // --- the default options file, read once per process ---------------------
    static std::shared_ptr<NBOptions> defaultOptions();
    static std::optional<platform::Value> defaultOptionsDictionary();
    static std::optional<std::string> plistFilePathWithName(const std::string& name);
    static void resetDefaultOptions();

    // --- creation -------------------------------------------------------------
    // The options of the default file (marked as such).
    static std::shared_ptr<NBOptions> initInternalWithOptionsDictionary(const platform::Value& dictionary);
    // Another property-list file; null (with an error line) when it is missing
    // or its top level is not a dictionary.
    static std::shared_ptr<NBOptions> initWithContentsOfFile(const std::optional<std::string>& path);
    static std::shared_ptr<NBOptions> initWithRovudeAppID(const OptionalString& rovudeAppID,
                                                          const OptionalString& ZARSenderID);
    // Raises NBException when the application or the sender identifier is missing.
    static std::shared_ptr<NBOptions> initWithRovudeAppID(
        const OptionalString& rovudeAppID, const OptionalString& bundleID, const OptionalString& ZARSenderID,
        const OptionalString& APIKey, const OptionalString& clientID, const OptionalString& trackingID,
        const OptionalString& androidClientID, const OptionalString& databaseURL, const OptionalString& storageBucket,
        const OptionalString& deepLinkURLScheme);

    // A new object with its own copy of every value (locked if this one is).
    std::shared_ptr<NBOptions> copy() const;

    // --- values (nullopt when absent or not a string) ------------------------
    OptionalString APIKey() const { return stringForKey(kNBOptionsAPIKey); }
    OptionalString bundleID() const { return stringForKey(kNBOptionsBundleID); }
    OptionalString clientID() const { return stringForKey(kNBOptionsClientID); }
    OptionalString trackingID() const { return stringForKey(kNBOptionsTrackingID); }
    OptionalString ZARSenderID() const { return stringForKey(kNBOptionsZARSenderID); }
    OptionalString projectID() const { return stringForKey(kNBOptionsProjectID); }
    OptionalString androidClientID() const { return stringForKey(kNBOptionsAndroidClientID); }
    OptionalString rovudeAppID() const { return stringForKey(kNBOptionsRovudeAppID); }
    OptionalString databaseURL() const { return stringForKey(kNBOptionsDatabaseURL); }
    OptionalString storageBucket() const { return stringForKey(kNBOptionsStorageBucket); }
    const OptionalString& deepLinkURLScheme() const { return deepLinkURLScheme_; }
    std::string libraryVersionID() const { return kNBOptionsLibraryVersionID; }

    // Setters raise NBException once the object is locked; nullopt removes.
    void setAPIKey(const OptionalString& value) { setStringForKey(kNBOptionsAPIKey, value); }
    void setBundleID(const OptionalString& value) { setStringForKey(kNBOptionsBundleID, value); }
    void setClientID(const OptionalString& value) { setStringForKey(kNBOptionsClientID, value); }
    void setTrackingID(const OptionalString& value) { setStringForKey(kNBOptionsTrackingID, value); }
    void setZARSenderID(const OptionalString& value) { setStringForKey(kNBOptionsZARSenderID, value); }
    void setProjectID(const OptionalString& value) { setStringForKey(kNBOptionsProjectID, value); }
    void setAndroidClientID(const OptionalString& value) { setStringForKey(kNBOptionsAndroidClientID, value); }
    void setRovudeAppID(const OptionalString& value) { setStringForKey(kNBOptionsRovudeAppID, value); }
    void setDatabaseURL(const OptionalString& value) { setStringForKey(kNBOptionsDatabaseURL, value); }
    void setStorageBucket(const OptionalString& value) { setStringForKey(kNBOptionsStorageBucket, value); }
    void setDeepLinkURLScheme(const OptionalString& value);
    // Kept for callers that set it; the version reported stays the core's own.
    void setLibraryVersionID(const OptionalString& value);

    // Raises the editing-lock NBException when the object is locked.
    void checkEditingLocked() const;

    // --- switches ---------------------------------------------------------------
    bool isAnalyticsEnabled() const;
    bool isSignInEnabled() const;
    bool isMeasurementEnabled() const;
    bool isAnalyticsCollectionEnabled() const;
    bool isAnalyticsCollectionDeactivated() const;
    // The three analytics switches, the Info.plist's values winning over the
    // options file's; built once per object.
    const platform::Value& analyticsOptionsDictionary() const;

    // --- state --------------------------------------------------------------------
    const platform::Value& optionsDictionary() const { return optionsDictionary_; }
    // Replaces every value; raises when locked. A non-dictionary becomes empty.
    void setOptionsDictionary(const platform::Value& dictionary);
    bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
    void setUsingOptionsFromDefaultPlist(bool value) { usingOptionsFromDefaultPlist_ = value; }
    bool isEditingLocked() const { return editingLocked_; }
    void setEditingLocked(bool locked) { editingLocked_ = locked; }

    NBOptions(const NBOptions&) = delete;
    NBOptions& operator=(const NBOptions&) = delete;

private:
    NBOptions() = default;
    static std::shared_ptr<NBOptions> make();
    OptionalString stringForKey(const char* key) const;
    void setStringForKey(const char* key, const OptionalString& value);

    platform::Value optionsDictionary_ = platform::Value::object();
    OptionalString deepLinkURLScheme_;
    bool usingOptionsFromDefaultPlist_ = false;
    bool editingLocked_ = false;
    mutable std::once_flag analyticsOnce_;
    mutable platform::Value analyticsOptionsDictionary_;
};

}  // namespace wharf
