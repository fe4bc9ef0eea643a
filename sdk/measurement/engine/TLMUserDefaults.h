// The measurement library's preferences store: one suite of key/value settings.
//
// Values are kept either through the platform's preferences functions (application id = the
// suite name, or the current application for no suite) or through a platform user-defaults
// object for the suite; the main bundle's Info.plist key "UseCFPreferencesLibrary" (a number)
// chooses, the preferences functions when it is absent. On this platform both reach the same
// per-domain store, so switching modes never hides values.
//
// Keys must be non-empty and values strings, numbers, arrays, dictionaries, dates or data (a null
// value removes the key); anything else is refused with a vendor-logger warning and changes
// nothing. Every write schedules one synchronisation a second later on the store's queue; a
// write within that second pushes it back, so a burst of writes costs one disk synchronisation.
// Synchronising also marks the suite's preferences file as excluded from backups, once.
//
// Stores are shared objects (the delayed synchronisation holds a weak reference); every member
// is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/Queue.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMDelayedTask.h"

class TLMUserDefaults : public std::enable_shared_from_this<TLMUserDefaults> {
 public:
  // initWithSuiteName: (empty: the app's own domain). The delayed synchronisation runs on
  // `synchronizeQueue`, the global background queue when null.
  static std::shared_ptr<TLMUserDefaults> initWithSuiteName(
      const std::string& suiteName, std::shared_ptr<platform::Queue> synchronizeQueue = nullptr);
  // The one store without suite name; its file is never excluded from backup.
  static std::shared_ptr<TLMUserDefaults> standardUserDefaults();
  // The Info.plist choice, read once per process: true unless "UseCFPreferencesLibrary" is a
  // number that is false.
  static bool userPreferenceEnabled();

  virtual ~TLMUserDefaults();
  TLMUserDefaults(const TLMUserDefaults&) = delete;
  TLMUserDefaults& operator=(const TLMUserDefaults&) = delete;

  const std::string& suiteName() const { return suiteName_; }
  bool useCFPreferencesLibrary() const { return useCFPreferences_; }
  void setUseCFPreferencesLibrary(bool use) { useCFPreferences_ = use; }
  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  // Null when absent or the key is invalid.
  platform::Value objectForKey(const std::string& key) const;
  void setObject(const platform::Value& value, const std::string& key);
  // Removes the key. Through the user-defaults object this schedules no synchronisation.
  void removeObjectForKey(const std::string& key);

  // Numbers, or strings read as numbers; 0, 0.0 or false otherwise.
  std::int64_t integerForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  // The stored value when it is of that kind.
  std::optional<std::string> stringForKey(const std::string& key) const;
  platform::Value arrayForKey(const std::string& key) const;       // an array or null
  platform::Value dictionaryForKey(const std::string& key) const;  // a dictionary or null

  void setInteger(std::int64_t value, const std::string& key);
  void setFloat(float value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setBool(bool value, const std::string& key);

  // Removes every key of the suite (of the app's own domain for no suite).
  void clearAllData();
  // Writes the suite to disk now and excludes its file from backup when not yet done.
  virtual void synchronize();
  // Replaces a pending delayed synchronisation with one a second from now.
  void scheduleSynchronize();

 protected:
  TLMUserDefaults(std::string suiteName, std::shared_ptr<platform::Queue> synchronizeQueue);

 private:
  std::string applicationName() const;

  const std::string suiteName_;
  std::atomic<bool> useCFPreferences_;
  mutable std::mutex exclusionMutex_;
  bool preferenceFileExcluded_ = false;
  TLMDelayedTask pendingSynchronize_;
};

using TLMUserDefaultsPtr = std::shared_ptr<TLMUserDefaults>;
