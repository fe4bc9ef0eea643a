// User defaults: small key/value settings kept per domain in a property-list file
// "<Preferences>/<domain>.plist" of the sandbox (foundation/Sandbox.h).
//
// The standard user defaults use the main bundle's identifier as domain (the process name when
// the bundle has none); a suite uses its name. All UserDefaults objects naming the same domain
// share one store, so a write through one is seen through the others at once. Every change is
// written to the file right away; synchronize() writes anything still unwritten (after a failed
// write) and reports whether the file is current. All members are thread-safe.
//
// When the sandbox has no folder for the app (foundation/Sandbox.h: no bundle identifier to name
// it, no root chosen), the values are kept in memory only: reads and writes go on, nothing
// throws, and synchronize() answers false with the sandbox's reason as error.
//
// Stored values must be property-list data (bool, number, string, data, date, and arrays or
// dictionaries of those); anything else throws platform::Exception (invalid argument) and stores
// nothing. Setting a null Value removes the key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform {

class UserDefaults {
 public:
  // The standard user defaults; the object follows the current sandbox and main bundle.
  static UserDefaults& standard();
  // Empty suite name: the standard domain.
  explicit UserDefaults(std::string suiteName = {});

  // The domain this object reads and writes.
  std::string domainName() const;

  Value objectForKey(const std::string& key) const;  // null when absent
  void setObject(const Value& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Typed getters convert as the platform does: numbers and numeric strings give numbers,
  // "YES"/"true"/non-zero give true; anything else (absent included) gives 0, 0.0 or false.
  std::optional<std::string> stringForKey(const std::string& key) const;  // strings, numbers as text
  std::int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  // The stored value when it is of that kind, else a null Value.
  Value arrayForKey(const std::string& key) const;
  Value dictionaryForKey(const std::string& key) const;
  Value dataForKey(const std::string& key) const;

  void setInteger(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setFloat(float value, const std::string& key);
  void setBool(bool value, const std::string& key);

  // Every stored key and value of this object's domain.
  Dictionary dictionaryRepresentation() const;
  // True when the file holds every change; else false with `error` (may be null) saying why.
  bool synchronize(Error* error = nullptr);

  // Whole domains by name.
  static std::optional<Dictionary> persistentDomainForName(const std::string& domain);
  static void setPersistentDomain(const Dictionary& values, const std::string& domain);
  static void removePersistentDomainForName(const std::string& domain);
  // The domain name of the standard user defaults.
  static std::string standardDomainName();
  // Forgets every in-memory store, so the next use re-reads the files (an app relaunch).
  static void resetForTesting();

  class Store;  // one domain's values and file (internal)

 private:
  std::shared_ptr<Store> store() const;
  std::string suiteName_;
};

}  // namespace platform
