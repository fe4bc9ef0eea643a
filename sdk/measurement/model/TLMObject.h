// What callers hand to the measurement model: nil, a measurement value, or a host object (a
// platform::Value: number, string, array, dictionary, ...). Validation and normalisation tell
// these apart the way the library's checks need ("not a string", "not a TLMValue", ...).
//
// Also the two ordered dictionaries of the model: TLMParameters (name -> TLMValue, what an event
// holds) and TLMObjectDictionary (name -> TLMObject, what callers pass in).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/Value.h"
#include "measurement/model/TLMValue.h"

class TLMObject {
 public:
  TLMObject() = default;  // nil
  TLMObject(std::nullptr_t) {}
  TLMObject(const TLMValue& value) : v_(value) {}
  TLMObject(const std::optional<TLMValue>& value);  // empty gives nil
  TLMObject(platform::Value object);                // a null Value is nil
  // A host object as found in a container: a null Value stays an object (the platform's null
  // object), not nil.
  static TLMObject hostObject(platform::Value object);
  TLMObject(const char* s);                         // nullptr gives nil
  TLMObject(std::string s) : v_(platform::Value(std::move(s))) {}
  TLMObject(std::string_view s) : v_(platform::Value(s)) {}
  template <typename T>
    requires(std::is_arithmetic_v<T> && !std::is_same_v<T, char>)
  TLMObject(T number) : v_(platform::Value(number)) {}

  bool isNil() const { return std::holds_alternative<std::monostate>(v_); }
  bool isTLMValue() const { return std::holds_alternative<TLMValue>(v_); }
  // The measurement value, or nullptr.
  const TLMValue* tlmValue() const { return std::get_if<TLMValue>(&v_); }
  // The host object, or nullptr (nil and measurement values have none).
  const platform::Value* object() const { return std::get_if<platform::Value>(&v_); }

  // Host-object tests (a TLMValue is none of these).
  bool isString() const;  // a plain string
  const std::string* stringPtr() const;
  bool isNumber() const;
  bool isArray() const;
  bool isDictionary() const;

  // The platform class name of what is held ("NSString", "NSNumber", "TLMValue", ...); "nil"
  // for nil.
  std::string className() const;
  // The description text; "(null)" for nil.
  std::string description() const;
  // As a monitor context: the host object, the value's held object, or null.
  platform::Value contextValue() const;

  friend bool operator==(const TLMObject& a, const TLMObject& b) { return a.v_ == b.v_; }

 private:
  std::variant<std::monostate, TLMValue, platform::Value> v_;
};

// A dictionary with string keys that keeps insertion order (its enumeration order). Setting an
// existing key replaces the value in place.
template <typename V>
class TLMOrderedMap {
 public:
  using Entry = std::pair<std::string, V>;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  TLMOrderedMap() = default;
  TLMOrderedMap(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  const V* find(std::string_view key) const {
    for (const auto& e : entries_)
      if (e.first == key) return &e.second;
    return nullptr;
  }
  V* find(std::string_view key) {
    for (auto& e : entries_)
      if (e.first == key) return &e.second;
    return nullptr;
  }
  void set(std::string key, V value) {
    if (V* existing = find(key)) {
      *existing = std::move(value);
      return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
  }
  bool remove(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first == key) {
        entries_.erase(it);
        return true;
      }
    }
    return false;
  }
  void clear() { entries_.clear(); }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.first);
    return out;
  }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // Same keys with equal values, order ignored.
  friend bool operator==(const TLMOrderedMap& a, const TLMOrderedMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& e : a.entries_) {
      const V* other = b.find(e.first);
      if (other == nullptr || !(*other == e.second)) return false;
    }
    return true;
  }

 private:
  std::vector<Entry> entries_;
};

// Normalised event parameters: name -> measurement value.
class TLMParameters : public TLMOrderedMap<TLMValue> {
 public:
  using TLMOrderedMap<TLMValue>::TLMOrderedMap;
  // Each value's held object under its name.
  platform::Dictionary toDictionary() const;
};

// Parameters as callers hand them in: name -> any object.
class TLMObjectDictionary : public TLMOrderedMap<TLMObject> {
 public:
  using TLMOrderedMap<TLMObject>::TLMOrderedMap;
  TLMObjectDictionary(const TLMParameters& parameters);
  TLMObjectDictionary(const platform::Dictionary& dictionary);
  // Host objects as they are, values as their held objects, nil as null.
  platform::Dictionary toDictionary() const;
};
