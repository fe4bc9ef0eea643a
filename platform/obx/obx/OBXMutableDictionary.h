// A dictionary that may be read and written from several threads at once. Reads hand out
// copies, so a value stays valid whatever other threads do afterwards.
#pragma once

#include <map>
#include <optional>
#include <shared_mutex>
#include <string>

template <typename Value, typename Key = std::string>
class OBXMutableDictionary {
 public:
  // The value for `key`, or nothing.
  std::optional<Value> objectForKeyedSubscript(const Key& key) const {
    std::shared_lock lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  // Stores the value; an empty value removes the key.
  void setObject(std::optional<Value> value, const Key& key) {
    std::unique_lock lock(mutex_);
    if (value) {
      values_.insert_or_assign(key, std::move(*value));
    } else {
      values_.erase(key);
    }
  }

  void removeObjectForKey(const Key& key) { setObject(std::nullopt, key); }

  void removeAllObjects() {
    std::unique_lock lock(mutex_);
    values_.clear();
  }

  std::size_t count() const {
    std::shared_lock lock(mutex_);
    return values_.size();
  }

  // A copy of the whole contents.
  std::map<Key, Value> dictionary() const {
    std::shared_lock lock(mutex_);
    return values_;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::map<Key, Value> values_;
};
