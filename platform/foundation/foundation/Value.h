// One value type for property-list-like data: null, bool, numbers that remember how they were
// stored, UTF-8 strings, bytes, dates, arrays and dictionaries with string keys kept in
// insertion order.
//
// Values have value semantics. Strings, bytes, arrays and dictionaries live in shared storage,
// so copying a Value is cheap; the mutating members (set, append, remove, ...) copy the storage
// first when another Value still shares it, so no copy ever sees another's change.
//
// Besides plain data a Value can hold an opaque shared object (Type::Object), so dictionaries
// such as a notification's user info can carry an app or an error object. Objects compare by
// identity and are refused by the property-list and JSON writers.
//
// Equality follows the platform's object equality: numbers (bool included) compare by numeric
// value whatever their stored kind (true == 1, 2 == 2.0), dictionaries compare as key/value sets
// whatever their order, arrays element by element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace platform {

class Value;
class Dictionary;

using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// Dictionary with string keys that keeps insertion order. Setting an existing key replaces its
// value in place (the key keeps its position).
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dictionary();
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  std::size_t size() const;
  bool empty() const;
  bool contains(std::string_view key) const;
  // The value for `key`, or nullptr when absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // The value for `key`, or a null Value when absent.
  const Value& get(std::string_view key) const;
  void set(std::string key, Value value);
  bool remove(std::string_view key);
  void clear();
  std::vector<std::string> keys() const;

  const_iterator begin() const;
  const_iterator end() const;
  const std::vector<Entry>& entries() const { return entries_; }

  // Same keys with equal values, order ignored.
  friend bool operator==(const Dictionary& a, const Dictionary& b);

 private:
  std::ptrdiff_t indexOf(std::string_view key) const;
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Type { Null, Bool, Number, String, Data, Date, Array, Dictionary, Object };
  // How a number was stored. Bool values report Bool.
  enum class NumberKind { None, Bool, Int, UInt, Float, Double };

  Value() noexcept;
  Value(std::nullptr_t) noexcept;
  Value(bool b) noexcept;
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             std::is_signed_v<T>)
  Value(T v) noexcept : Value(Tag::Int, static_cast<std::int64_t>(v)) {}
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             std::is_unsigned_v<T>)
  Value(T v) noexcept : Value(Tag::UInt, static_cast<std::uint64_t>(v)) {}
  Value(float f) noexcept;
  Value(double d) noexcept;
  Value(const char* s);  // nullptr gives a null Value
  Value(std::string s);
  Value(std::string_view s);
  Value(Bytes data);
  Value(Array array);
  Value(Dictionary dictionary);

  // Named constructors where the C++ type alone is ambiguous.
  static Value date(double secondsSince1970);
  static Value data(const void* bytes, std::size_t length);
  static Value array(std::initializer_list<Value> items);
  static Value dictionary(std::initializer_list<Dictionary::Entry> entries);
  // Refers to an object owned elsewhere (its identity only; the caller keeps it alive).
  template <typename T>
  static Value unownedObject(T* object) {
    return Value::object(std::shared_ptr<T>(std::shared_ptr<void>(), object));
  }
  // Wraps a shared object; a null pointer gives a null Value.
  template <typename T>
  static Value object(std::shared_ptr<T> object) {
    if (!object) return Value();
    return Value(ObjectBox{std::const_pointer_cast<void>(std::static_pointer_cast<const void>(object)),
                           &typeid(T)});
  }

  Type type() const;
  NumberKind numberKind() const;
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  // Bools count as numbers, as the platform's boxed booleans do.
  bool isNumber() const { return type() == Type::Bool || type() == Type::Number; }
  bool isInteger() const;        // stored as signed or unsigned integer (not bool)
  bool isFloatingPoint() const;  // stored as float or double
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isObject() const { return type() == Type::Object; }

  // Typed accessors: empty when the value is not of a fitting kind. The numeric ones accept any
  // number (bool included) and convert as a C cast would; boolValue is "non-zero".
  std::optional<bool> boolValue() const;
  std::optional<std::int64_t> int64Value() const;
  std::optional<std::uint64_t> uint64Value() const;
  std::optional<double> doubleValue() const;
  std::optional<std::string> stringValue() const;
  std::optional<Bytes> dataValue() const;
  std::optional<double> dateValue() const;  // seconds since 1970

  // Borrowing accessors: nullptr when the value is not of that kind. Valid until this Value
  // changes or dies.
  const std::string* stringPtr() const;
  const Bytes* dataPtr() const;
  const Array* arrayPtr() const;
  const Dictionary* dictionaryPtr() const;
  // The wrapped object when this holds one made from exactly std::shared_ptr<T>; else nullptr.
  template <typename T>
  std::shared_ptr<T> objectAs() const {
    const ObjectBox* box = objectBox();
    if (box == nullptr || *box->type != typeid(T)) return nullptr;
    return std::static_pointer_cast<T>(box->object);
  }

  // Dictionary convenience: the value for `key`, or a null Value when this is not a dictionary
  // or has no such key.
  const Value& operator[](std::string_view key) const;
  // Array convenience: the element at `index`, or a null Value when out of range.
  const Value& at(std::size_t index) const;
  // Element count of an array or dictionary, byte count of data, 0 otherwise.
  std::size_t size() const;

  // Mutation (copy-on-write). On a null Value, set() makes a dictionary and append() an array;
  // on any other mismatching kind they throw platform::Exception (invalid argument).
  void set(std::string key, Value value);
  bool remove(std::string_view key);
  void append(Value value);
  // Mutable access to the whole container (copy-on-write); nullptr when not of that kind.
  Dictionary* mutableDictionary();
  Array* mutableArray();

  // Text in the platform's description style: strings as they are at the top level; numbers in
  // shortest form; bools as 1/0; data as <0a0b0c0d 0e>; dates as "2024-01-02 03:04:05 +0000";
  // arrays and dictionaries in the old-style property-list layout with 4-space indentation.
  std::string description() const;

  friend bool operator==(const Value& a, const Value& b);

 private:
  enum class Tag : std::uint8_t { Null, Bool, Int, UInt, Float, Double, Date, String, Data, Array, Dictionary, Object };
  struct ObjectBox {
    std::shared_ptr<void> object;
    const std::type_info* type;
  };
  explicit Value(ObjectBox box);
  const ObjectBox* objectBox() const;
  Value(Tag tag, std::int64_t v) noexcept;
  Value(Tag tag, std::uint64_t v) noexcept;
  void describe(std::string& out, int indent, bool nested) const;
  friend class Dictionary;

  Tag tag_ = Tag::Null;
  union {
    bool b;
    std::int64_t i;
    std::uint64_t u;
    float f;
    double d;
  } scalar_{};
  std::shared_ptr<void> storage_;  // string, bytes, array or dictionary, per tag_
};

// Lets GoogleTest (and streams) print values by their description.
void PrintTo(const Value& value, std::ostream* os);
std::ostream& operator<<(std::ostream& os, const Value& value);

inline std::size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }
inline Dictionary::const_iterator Dictionary::begin() const { return entries_.begin(); }
inline Dictionary::const_iterator Dictionary::end() const { return entries_.end(); }

}  // namespace platform
