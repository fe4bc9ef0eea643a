#include "foundation/UserDefaults.h"

#include <map>
#include <mutex>

#include "foundation/Bundle.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/Preferences.h"
#include "foundation/ProcessInfo.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "foundation/Text.h"

namespace platform {

class UserDefaults::Store {
 public:
  // No path: the sandbox has no folder for the app, so the values live in memory only and every
  // change stays unwritten.
  explicit Store(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    if (auto read = plist::readFile(path_); read && read->isDictionary()) values_ = *read->dictionaryPtr();
  }

  Value get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_.get(key);
  }

  Dictionary all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

  bool hasFileOrValues() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !values_.empty() || (!path_.empty() && files::exists(path_));
  }

  void set(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value.isNull()) {
      if (!values_.remove(key)) return;
    } else {
      values_.set(key, value);
    }
    persistLocked();
  }

  void replaceAll(const Dictionary& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_ = values;
    persistLocked();
  }

  void removeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.clear();
    dirty_ = false;
    if (!path_.empty()) files::removeItem(path_);
  }

  bool synchronize(Error* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dirty_) persistLocked();
    if (dirty_ && path_.empty()) sandbox::folder(&sandbox::preferencesDirectory, error);
    if (dirty_ && !path_.empty()) setError(error, lastError_);
    return !dirty_;
  }

 private:
  void persistLocked() {
    if (path_.empty()) {
      dirty_ = true;
      return;
    }
    auto slash = path_.rfind('/');
    if (slash != std::string::npos && !files::createDirectories(path_.substr(0, slash), &lastError_)) {
      dirty_ = true;  // a folder that cannot be had (or is refused) is not written into
      return;
    }
    dirty_ = !plist::writeFile(path_, Value(values_), plist::Format::Binary, &lastError_);
  }

  mutable std::mutex mutex_;
  std::string path_;
  Dictionary values_;
  bool dirty_ = false;
  Error lastError_;
};

namespace {

struct StoreRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<UserDefaults::Store>> stores;  // by file path
  std::uint64_t sandboxGeneration = 0;
};

StoreRegistry& storeRegistry() {
  static StoreRegistry* r = new StoreRegistry();  // never destroyed: threads may outlive main()
  return *r;
}
// Made as the program loads, the standard defaults too: a child forked while another thread made
// one would wait for ever on its guard.
[[maybe_unused]] const bool gDefaultsMadeAtLoad = (storeRegistry(), UserDefaults::standard(), true);

// The domain's file; the empty string when the sandbox has no folder for the app.
std::string pathForDomain(const std::string& domain) {
  const std::string preferences = sandbox::folder(&sandbox::preferencesDirectory, nullptr);
  return preferences.empty() ? preferences : files::join(preferences, domain + ".plist");
}

std::shared_ptr<UserDefaults::Store> storeForDomain(const std::string& domain) {
  std::string path = pathForDomain(domain);
  StoreRegistry& r = storeRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  // A new (or wiped) sandbox: stores of the old one must not answer for files that are gone.
  if (r.sandboxGeneration != sandbox::generation()) {
    r.stores.clear();
    r.sandboxGeneration = sandbox::generation();
  }
  // A store kept in memory is found by its domain (a name no absolute path can be).
  auto& slot = r.stores[path.empty() ? domain : path];
  if (!slot) slot = std::make_shared<UserDefaults::Store>(path);
  return slot;
}

bool isPropertyList(const Value& value, int depth = 0) {
  if (depth > 256) return false;
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Object: return false;
    case Value::Type::Number:
      return value.numberKind() != Value::NumberKind::UInt ||
             *value.uint64Value() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    case Value::Type::Array:
      for (const Value& item : *value.arrayPtr()) {
        if (!isPropertyList(item, depth + 1)) return false;
      }
      return true;
    case Value::Type::Dictionary:
      for (const auto& entry : *value.dictionaryPtr()) {
        if (!isPropertyList(entry.second, depth + 1)) return false;
      }
      return true;
    default: return true;
  }
}

void checkStorable(const Value& value, const std::string& key) {
  if (!value.isNull() && !isPropertyList(value)) {
    throw Exception(kInvalidArgumentException,
                    "Attempt to insert non-property list object " + value.description() + " for key " + key);
  }
}

}  // namespace

UserDefaults& UserDefaults::standard() {
  static UserDefaults& instance = *new UserDefaults();
  return instance;
}

UserDefaults::UserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

std::string UserDefaults::standardDomainName() {
  if (auto identifier = Bundle::main()->bundleIdentifier(); identifier && !identifier->empty()) return *identifier;
  std::string name = ProcessInfo::processName();
  return name.empty() ? std::string("app") : name;
}

std::string UserDefaults::domainName() const { return suiteName_.empty() ? standardDomainName() : suiteName_; }

std::shared_ptr<UserDefaults::Store> UserDefaults::store() const { return storeForDomain(domainName()); }

Value UserDefaults::objectForKey(const std::string& key) const { return store()->get(key); }

void UserDefaults::setObject(const Value& value, const std::string& key) {
  checkStorable(value, key);
  store()->set(key, value);
}

void UserDefaults::removeObjectForKey(const std::string& key) { store()->set(key, Value()); }

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isString()) return *v.stringPtr();
  if (v.isNumber()) return v.description();
  return std::nullopt;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return *v.int64Value();
  if (v.isString()) return text::leadingInt64(*v.stringPtr());
  return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return *v.doubleValue();
  if (v.isString()) return text::leadingDouble(*v.stringPtr());
  return 0.0;
}

float UserDefaults::floatForKey(const std::string& key) const { return static_cast<float>(doubleForKey(key)); }

bool UserDefaults::boolForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return *v.boolValue();
  if (v.isString()) return text::leadingBool(*v.stringPtr());
  return false;
}

Value UserDefaults::arrayForKey(const std::string& key) const {
  Value v = objectForKey(key);
  return v.isArray() ? v : Value();
}

Value UserDefaults::dictionaryForKey(const std::string& key) const {
  Value v = objectForKey(key);
  return v.isDictionary() ? v : Value();
}

Value UserDefaults::dataForKey(const std::string& key) const {
  Value v = objectForKey(key);
  return v.isData() ? v : Value();
}

void UserDefaults::setInteger(std::int64_t value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::setDouble(double value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::setFloat(float value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::setBool(bool value, const std::string& key) { setObject(Value(value), key); }

Dictionary UserDefaults::dictionaryRepresentation() const { return store()->all(); }

bool UserDefaults::synchronize(Error* error) { return store()->synchronize(error); }

std::optional<Dictionary> UserDefaults::persistentDomainForName(const std::string& domain) {
  auto s = storeForDomain(domain);
  if (!s->hasFileOrValues()) return std::nullopt;
  return s->all();
}

void UserDefaults::setPersistentDomain(const Dictionary& values, const std::string& domain) {
  checkStorable(Value(values), domain);
  storeForDomain(domain)->replaceAll(values);
}

void UserDefaults::removePersistentDomainForName(const std::string& domain) { storeForDomain(domain)->removeAll(); }

void UserDefaults::resetForTesting() {
  StoreRegistry& r = storeRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.stores.clear();
}

namespace preferences {

namespace {
UserDefaults defaultsFor(const std::string& applicationID) {
  return UserDefaults(applicationID == kCurrentApplication ? std::string() : applicationID);
}
}  // namespace

Value copyAppValue(const std::string& key, const std::string& applicationID) {
  return defaultsFor(applicationID).objectForKey(key);
}

void setAppValue(const std::string& key, const Value& value, const std::string& applicationID) {
  defaultsFor(applicationID).setObject(value, key);
}

bool appSynchronize(const std::string& applicationID, Error* error) {
  return defaultsFor(applicationID).synchronize(error);
}

std::vector<std::string> copyKeyList(const std::string& applicationID) {
  return defaultsFor(applicationID).dictionaryRepresentation().keys();
}

}  // namespace preferences

}  // namespace platform
