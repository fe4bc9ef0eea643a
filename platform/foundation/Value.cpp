#include "foundation/Value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <ostream>

#include "foundation/Error.h"
#include "foundation/Exception.h"

namespace platform {

namespace {

const Value& nullValue() {
  static const Value& kNull = *new Value();
  return kNull;
}

}  // namespace

// ---- Dictionary ----

Dictionary::Dictionary() = default;
Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

std::ptrdiff_t Dictionary::indexOf(std::string_view key) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

bool Dictionary::contains(std::string_view key) const { return indexOf(key) >= 0; }

const Value* Dictionary::find(std::string_view key) const {
  auto index = indexOf(key);
  return index < 0 ? nullptr : &entries_[static_cast<std::size_t>(index)].second;
}

Value* Dictionary::find(std::string_view key) {
  auto index = indexOf(key);
  return index < 0 ? nullptr : &entries_[static_cast<std::size_t>(index)].second;
}

const Value& Dictionary::get(std::string_view key) const {
  const Value* found = find(key);
  return found ? *found : nullValue();
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
  } else {
    entries_.emplace_back(std::move(key), std::move(value));
  }
}

bool Dictionary::remove(std::string_view key) {
  auto index = indexOf(key);
  if (index < 0) return false;
  entries_.erase(entries_.begin() + index);
  return true;
}

void Dictionary::clear() { entries_.clear(); }

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a.entries_) {
    const Value* other = b.find(key);
    if (other == nullptr || !(*other == value)) return false;
  }
  return true;
}

// ---- Value: construction ----

Value::Value() noexcept = default;
Value::Value(std::nullptr_t) noexcept {}
Value::Value(bool b) noexcept : tag_(Tag::Bool) { scalar_.b = b; }
Value::Value(Tag tag, std::int64_t v) noexcept : tag_(tag) { scalar_.i = v; }
Value::Value(Tag tag, std::uint64_t v) noexcept : tag_(tag) { scalar_.u = v; }
Value::Value(float f) noexcept : tag_(Tag::Float) { scalar_.f = f; }
Value::Value(double d) noexcept : tag_(Tag::Double) { scalar_.d = d; }
Value::Value(const char* s) {
  if (s != nullptr) {
    tag_ = Tag::String;
    storage_ = std::make_shared<std::string>(s);
  }
}
Value::Value(std::string s) : tag_(Tag::String), storage_(std::make_shared<std::string>(std::move(s))) {}
Value::Value(std::string_view s) : tag_(Tag::String), storage_(std::make_shared<std::string>(s)) {}
Value::Value(Bytes data) : tag_(Tag::Data), storage_(std::make_shared<Bytes>(std::move(data))) {}
Value::Value(Array array) : tag_(Tag::Array), storage_(std::make_shared<Array>(std::move(array))) {}
Value::Value(Dictionary dictionary)
    : tag_(Tag::Dictionary), storage_(std::make_shared<Dictionary>(std::move(dictionary))) {}

Value::Value(ObjectBox box) : tag_(Tag::Object), storage_(std::make_shared<ObjectBox>(std::move(box))) {}

const Value::ObjectBox* Value::objectBox() const {
  return tag_ == Tag::Object ? static_cast<const ObjectBox*>(storage_.get()) : nullptr;
}

Value Value::date(double secondsSince1970) {
  Value v;
  v.tag_ = Tag::Date;
  v.scalar_.d = secondsSince1970;
  return v;
}

Value Value::data(const void* bytes, std::size_t length) {
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  return Value(Bytes(begin, begin + length));
}

Value Value::array(std::initializer_list<Value> items) { return Value(Array(items)); }

Value Value::dictionary(std::initializer_list<Dictionary::Entry> entries) {
  return Value(Dictionary(entries));
}

// ---- Value: inspection ----

Value::Type Value::type() const {
  switch (tag_) {
    case Tag::Null: return Type::Null;
    case Tag::Bool: return Type::Bool;
    case Tag::Int:
    case Tag::UInt:
    case Tag::Float:
    case Tag::Double: return Type::Number;
    case Tag::Date: return Type::Date;
    case Tag::String: return Type::String;
    case Tag::Data: return Type::Data;
    case Tag::Array: return Type::Array;
    case Tag::Dictionary: return Type::Dictionary;
    case Tag::Object: return Type::Object;
  }
  return Type::Null;
}

Value::NumberKind Value::numberKind() const {
  switch (tag_) {
    case Tag::Bool: return NumberKind::Bool;
    case Tag::Int: return NumberKind::Int;
    case Tag::UInt: return NumberKind::UInt;
    case Tag::Float: return NumberKind::Float;
    case Tag::Double: return NumberKind::Double;
    default: return NumberKind::None;
  }
}

bool Value::isInteger() const { return tag_ == Tag::Int || tag_ == Tag::UInt; }
bool Value::isFloatingPoint() const { return tag_ == Tag::Float || tag_ == Tag::Double; }

namespace {

// Converts a double to an integer type the way a saturating C cast would (NaN gives 0).
template <typename I>
I saturate(long double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<long double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
  if (d >= static_cast<long double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
  return static_cast<I>(d);
}

}  // namespace

std::optional<bool> Value::boolValue() const {
  switch (tag_) {
    case Tag::Bool: return scalar_.b;
    case Tag::Int: return scalar_.i != 0;
    case Tag::UInt: return scalar_.u != 0;
    case Tag::Float: return scalar_.f != 0.0f;
    case Tag::Double: return scalar_.d != 0.0;
    default: return std::nullopt;
  }
}

std::optional<std::int64_t> Value::int64Value() const {
  switch (tag_) {
    case Tag::Bool: return scalar_.b ? 1 : 0;
    case Tag::Int: return scalar_.i;
    case Tag::UInt: return static_cast<std::int64_t>(scalar_.u);
    case Tag::Float: return saturate<std::int64_t>(scalar_.f);
    case Tag::Double: return saturate<std::int64_t>(scalar_.d);
    default: return std::nullopt;
  }
}

std::optional<std::uint64_t> Value::uint64Value() const {
  switch (tag_) {
    case Tag::Bool: return scalar_.b ? 1 : 0;
    case Tag::Int: return static_cast<std::uint64_t>(scalar_.i);
    case Tag::UInt: return scalar_.u;
    case Tag::Float: return saturate<std::uint64_t>(scalar_.f);
    case Tag::Double: return saturate<std::uint64_t>(scalar_.d);
    default: return std::nullopt;
  }
}

std::optional<double> Value::doubleValue() const {
  switch (tag_) {
    case Tag::Bool: return scalar_.b ? 1.0 : 0.0;
    case Tag::Int: return static_cast<double>(scalar_.i);
    case Tag::UInt: return static_cast<double>(scalar_.u);
    case Tag::Float: return static_cast<double>(scalar_.f);
    case Tag::Double: return scalar_.d;
    default: return std::nullopt;
  }
}

std::optional<std::string> Value::stringValue() const {
  if (const auto* s = stringPtr()) return *s;
  return std::nullopt;
}

std::optional<Bytes> Value::dataValue() const {
  if (const auto* d = dataPtr()) return *d;
  return std::nullopt;
}

std::optional<double> Value::dateValue() const {
  if (tag_ == Tag::Date) return scalar_.d;
  return std::nullopt;
}

const std::string* Value::stringPtr() const {
  return tag_ == Tag::String ? static_cast<const std::string*>(storage_.get()) : nullptr;
}
const Bytes* Value::dataPtr() const {
  return tag_ == Tag::Data ? static_cast<const Bytes*>(storage_.get()) : nullptr;
}
const Array* Value::arrayPtr() const {
  return tag_ == Tag::Array ? static_cast<const Array*>(storage_.get()) : nullptr;
}
const Dictionary* Value::dictionaryPtr() const {
  return tag_ == Tag::Dictionary ? static_cast<const Dictionary*>(storage_.get()) : nullptr;
}

const Value& Value::operator[](std::string_view key) const {
  if (const auto* dict = dictionaryPtr()) return dict->get(key);
  return nullValue();
}

const Value& Value::at(std::size_t index) const {
  if (const auto* arr = arrayPtr(); arr != nullptr && index < arr->size()) return (*arr)[index];
  return nullValue();
}

std::size_t Value::size() const {
  if (const auto* arr = arrayPtr()) return arr->size();
  if (const auto* dict = dictionaryPtr()) return dict->size();
  if (const auto* data = dataPtr()) return data->size();
  return 0;
}

// ---- Value: mutation ----

Dictionary* Value::mutableDictionary() {
  if (tag_ != Tag::Dictionary) return nullptr;
  if (storage_.use_count() != 1) {
    storage_ = std::make_shared<Dictionary>(*static_cast<const Dictionary*>(storage_.get()));
  }
  return static_cast<Dictionary*>(storage_.get());
}

Array* Value::mutableArray() {
  if (tag_ != Tag::Array) return nullptr;
  if (storage_.use_count() != 1) {
    storage_ = std::make_shared<Array>(*static_cast<const Array*>(storage_.get()));
  }
  return static_cast<Array*>(storage_.get());
}

void Value::set(std::string key, Value value) {
  if (tag_ == Tag::Null) *this = Value(Dictionary());
  Dictionary* dict = mutableDictionary();
  if (dict == nullptr) {
    throw Exception(kInvalidArgumentException, "set(key, value) called on a value that is not a dictionary");
  }
  dict->set(std::move(key), std::move(value));
}

bool Value::remove(std::string_view key) {
  if (tag_ != Tag::Dictionary || !dictionaryPtr()->contains(key)) return false;
  return mutableDictionary()->remove(key);
}

void Value::append(Value value) {
  if (tag_ == Tag::Null) *this = Value(Array());
  Array* arr = mutableArray();
  if (arr == nullptr) {
    throw Exception(kInvalidArgumentException, "append(value) called on a value that is not an array");
  }
  arr->push_back(std::move(value));
}

// ---- Value: equality ----

namespace {

bool isIntegral(Value::NumberKind kind) {
  return kind == Value::NumberKind::Bool || kind == Value::NumberKind::Int ||
         kind == Value::NumberKind::UInt;
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
  if (a.isNumber() && b.isNumber()) {
    auto ka = a.numberKind();
    auto kb = b.numberKind();
    if (isIntegral(ka) && isIntegral(kb)) {
      bool aUnsigned = ka == Value::NumberKind::UInt;
      bool bUnsigned = kb == Value::NumberKind::UInt;
      std::int64_t ai = *a.int64Value();
      std::int64_t bi = *b.int64Value();
      if (aUnsigned == bUnsigned) return ai == bi;
      // One is unsigned: equal only when the signed one is non-negative and the bits match.
      std::int64_t signedOne = aUnsigned ? bi : ai;
      return signedOne >= 0 && ai == bi;
    }
    // Long double holds every 64-bit integer and every double exactly.
    auto wide = [](const Value& v) -> long double {
      switch (v.numberKind()) {
        case Value::NumberKind::Int: return static_cast<long double>(*v.int64Value());
        case Value::NumberKind::UInt: return static_cast<long double>(*v.uint64Value());
        default: return static_cast<long double>(*v.doubleValue());
      }
    };
    return wide(a) == wide(b);
  }
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case Value::Tag::Null: return true;
    case Value::Tag::Date: return a.scalar_.d == b.scalar_.d;
    case Value::Tag::String: return *a.stringPtr() == *b.stringPtr();
    case Value::Tag::Data: return *a.dataPtr() == *b.dataPtr();
    case Value::Tag::Array: return a.storage_ == b.storage_ || *a.arrayPtr() == *b.arrayPtr();
    case Value::Tag::Dictionary:
      return a.storage_ == b.storage_ || *a.dictionaryPtr() == *b.dictionaryPtr();
    case Value::Tag::Object: return a.objectBox()->object == b.objectBox()->object;
    default: return false;  // numbers handled above
  }
}

// ---- Value: description ----

namespace {

template <typename F>
void appendShortest(std::string& out, F value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '.' || c == '$' || c == ':' || c == '/' || c >= 0x80;
    if (!plain) return true;
  }
  return false;
}

void appendQuoted(std::string& out, const std::string& s) {
  if (!needsQuotes(s)) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  out += '"';
}

void appendIndent(std::string& out, int indent) { out.append(static_cast<std::size_t>(indent) * 4, ' '); }

}  // namespace

void Value::describe(std::string& out, int indent, bool nested) const {
  switch (tag_) {
    case Tag::Null: out += "<null>"; break;
    case Tag::Bool: out += scalar_.b ? "1" : "0"; break;
    case Tag::Int: out += std::to_string(scalar_.i); break;
    case Tag::UInt: out += std::to_string(scalar_.u); break;
    case Tag::Float: appendShortest(out, scalar_.f); break;
    case Tag::Double: appendShortest(out, scalar_.d); break;
    case Tag::Date: {
      std::time_t seconds = static_cast<std::time_t>(std::floor(scalar_.d));
      std::tm tm{};
      gmtime_r(&seconds, &tm);
      char buffer[64];
      std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &tm);
      out += buffer;
      break;
    }
    case Tag::String:
      if (nested) {
        appendQuoted(out, *stringPtr());
      } else {
        out += *stringPtr();
      }
      break;
    case Tag::Data: {
      static const char kHex[] = "0123456789abcdef";
      out += '<';
      const Bytes& bytes = *dataPtr();
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0xF];
      }
      out += '>';
      break;
    }
    case Tag::Array: {
      const Array& items = *arrayPtr();
      out += "(\n";
      for (std::size_t i = 0; i < items.size(); ++i) {
        appendIndent(out, indent + 1);
        items[i].describe(out, indent + 1, true);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      appendIndent(out, indent);
      out += ')';
      break;
    }
    case Tag::Object: {
      // An error (an underlying one, say) is shown as an error is; any other object by its address.
      if (const auto error = objectAs<Error>()) {
        out += error->fullDescription();
        break;
      }
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%p", objectBox()->object.get());
      out += "<object ";
      out += buffer;
      out += '>';
      break;
    }
    case Tag::Dictionary: {
      out += "{\n";
      for (const auto& [key, value] : *dictionaryPtr()) {
        appendIndent(out, indent + 1);
        appendQuoted(out, key);
        out += " = ";
        value.describe(out, indent + 1, true);
        out += ";\n";
      }
      appendIndent(out, indent);
      out += '}';
      break;
    }
  }
}

std::string Value::description() const {
  std::string out;
  describe(out, 0, false);
  return out;
}

void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

std::ostream& operator<<(std::ostream& os, const Value& value) { return os << value.description(); }

}  // namespace platform
