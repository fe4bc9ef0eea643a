// The SDK options: one key-value dictionary, normally read from "OmbrixService-Info.plist",
// with typed accessors, an edit lock that freezes the options once an app holds them, and the
// analytics switches, which the host's Info.plist may override.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/ClassRegistry.h"
#include "foundation/Error.h"
#include "foundation/Value.h"

// Keys of the options dictionary.
inline constexpr const char* kCDVAPIKey = "API_KEY";
inline constexpr const char* kCDVClientID = "CLIENT_ID";
inline constexpr const char* kCDVTrackingID = "TRACKING_ID";
inline constexpr const char* kCDVWRQSenderID = "WRQ_SENDER_ID";
inline constexpr const char* kCDVProjectID = "PROJECT_ID";
inline constexpr const char* kCDVAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr const char* kCDVOmbrixAppID = "OMBRIX_APP_ID";
inline constexpr const char* kCDVDatabaseURL = "DATABASE_URL";
inline constexpr const char* kCDVStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kCDVBundleID = "BUNDLE_ID";
inline constexpr const char* kCDVIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr const char* kCDVIsAnalyticsCollectionEnabled = "CINDERVALE_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kCDVIsAnalyticsCollectionDeactivated =
    "CINDERVALE_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kCDVIsAnalyticsEnabled = "IS_ANALYTICS_ENABLED";
inline constexpr const char* kCDVIsSignInEnabled = "IS_SIGNIN_ENABLED";

inline constexpr const char* kServiceInfoFileName = "OmbrixService-Info";
inline constexpr const char* kServiceInfoFileType = "plist";
inline constexpr const char* kCDVExceptionBadModification =
    "Attempted to modify options after it's set on CDVApp. Please modify all properties before "
    "initializing CDVApp.";
// Version of the core library.
inline constexpr const char* CDVCoreVersionString = "6.0.4";

class CDVOptions : public platform::Object {
 public:
  // The options built once from the default options file (the same object every time), or null
  // when there is no readable file (retried on the next call).
  static std::shared_ptr<CDVOptions> defaultOptions();
  // The dictionary of the default options file, or none.
  static std::optional<platform::Dictionary> defaultOptionsDictionary();
  // Why the default options file, found, could not be read (opened or parsed) at the last try;
  // none when it was read, or not found.
  static std::optional<platform::Error> defaultOptionsReadError();
  static std::optional<std::string> plistFilePathWithName(const std::string& resourceName);
  // Forgets the default options and the cached dictionary.
  static void resetDefaultOptions();

  // Options marked as coming from the default options file.
  static std::shared_ptr<CDVOptions> initInternalWithOptionsDictionary(
      const platform::Dictionary& optionsDictionary);
  // Options read from a property-list file; null (after logging) when there is no path or the
  // file is no readable dictionary.
  static std::shared_ptr<CDVOptions> initWithContentsOfFile(const std::optional<std::string>& path);
  // Options built in code: the app id, the sender id and the main bundle's identifier (a missing
  // value leaves its key out).
  CDVOptions(const std::optional<std::string>& ombrixAppID,
             const std::optional<std::string>& WRQSenderID);

  // Copies duplicate the dictionary: a copy never changes its source.
  CDVOptions(const CDVOptions& other);
  CDVOptions& operator=(const CDVOptions&) = delete;
  std::shared_ptr<CDVOptions> copy() const { return std::make_shared<CDVOptions>(*this); }

  // Typed accessors. Setters raise platform::Exception ("com.cindervale.core",
  // kCDVExceptionBadModification) once editing is locked; setting none removes the key.
  std::optional<std::string> APIKey() const { return stringForKey(kCDVAPIKey); }
  void setAPIKey(const std::optional<std::string>& v) { setStringForKey(kCDVAPIKey, v); }
  std::optional<std::string> clientID() const { return stringForKey(kCDVClientID); }
  void setClientID(const std::optional<std::string>& v) { setStringForKey(kCDVClientID, v); }
  std::optional<std::string> trackingID() const { return stringForKey(kCDVTrackingID); }
  void setTrackingID(const std::optional<std::string>& v) { setStringForKey(kCDVTrackingID, v); }
  std::optional<std::string> WRQSenderID() const { return stringForKey(kCDVWRQSenderID); }
  void setWRQSenderID(const std::optional<std::string>& v) { setStringForKey(kCDVWRQSenderID, v); }
  std::optional<std::string> projectID() const { return stringForKey(kCDVProjectID); }
  void setProjectID(const std::optional<std::string>& v) { setStringForKey(kCDVProjectID, v); }
  std::optional<std::string> androidClientID() const { return stringForKey(kCDVAndroidClientID); }
  void setAndroidClientID(const std::optional<std::string>& v) { setStringForKey(kCDVAndroidClientID, v); }
  std::optional<std::string> ombrixAppID() const { return stringForKey(kCDVOmbrixAppID); }
  void setOmbrixAppID(const std::optional<std::string>& v) { setStringForKey(kCDVOmbrixAppID, v); }
  std::optional<std::string> databaseURL() const { return stringForKey(kCDVDatabaseURL); }
  void setDatabaseURL(const std::optional<std::string>& v) { setStringForKey(kCDVDatabaseURL, v); }
  std::optional<std::string> storageBucket() const { return stringForKey(kCDVStorageBucket); }
  void setStorageBucket(const std::optional<std::string>& v) { setStringForKey(kCDVStorageBucket, v); }
  std::optional<std::string> bundleID() const { return stringForKey(kCDVBundleID); }
  void setBundleID(const std::optional<std::string>& v) { setStringForKey(kCDVBundleID, v); }

  std::optional<std::string> deepLinkURLScheme() const;
  void setDeepLinkURLScheme(const std::optional<std::string>& scheme);

  // The library version of the core as a number text ("6.0.4" gives "60004000").
  std::string libraryVersionID() const;
  // Kept for callers that record a version id; libraryVersionID does not read it.
  void setLibraryVersionID(const std::string& libraryVersionID);

  // Raises when editing is locked.
  void checkEditingLocked() const;

  // The analytics switches, each taken from the host's Info.plist when present there, else from
  // the options. Built on first use and kept: later calls return it whatever they pass.
  platform::Dictionary analyticsOptionsDictionaryWithInfoDictionary(
      const platform::Dictionary& infoDictionary) const;
  platform::Dictionary analyticsOptionsDictionary() const;

  bool isMeasurementEnabled() const;
  bool isAnalyticsCollectionExpicitlySet() const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsEnabled() const;
  bool isSignInEnabled() const;

  platform::Dictionary optionsDictionary() const;
  void setOptionsDictionary(platform::Dictionary optionsDictionary);
  bool usingOptionsFromDefaultPlist() const;
  void setUsingOptionsFromDefaultPlist(bool usingOptionsFromDefaultPlist);
  bool isEditingLocked() const;
  void setEditingLocked(bool editingLocked);

  std::string description() const override;

  // Test support: the one-time class set-up (library registration) runs again on next use.
  static void resetClassInitializationForTesting();

 private:
  struct Internal {};

 public:
  // For the factories above (the tag type is private).
  explicit CDVOptions(Internal);

 private:
  static void initializeClass();

  std::optional<std::string> stringForKey(const char* key) const;
  void setStringForKey(const char* key, const std::optional<std::string>& value);

  mutable std::mutex mutex_;
  mutable std::optional<platform::Dictionary> analyticsOptionsDictionary_;
  bool usingOptionsFromDefaultPlist_ = false;
  bool editingLocked_ = false;
  std::optional<std::string> deepLinkURLScheme_;
  platform::Dictionary optionsDictionary_;
  std::optional<std::string> libraryVersionIDOverride_;
};
