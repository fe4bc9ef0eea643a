#include "foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/Files.h"
#include "foundation/Text.h"

namespace platform::plist {

namespace {

// Property list dates count from 2001-01-01 00:00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;
constexpr int kMaxDepth = 512;

struct NodeDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

// Reads an unsigned big-endian integer of `width` bytes at `at`; false when it does not fit.
bool readBigEndian(std::string_view bytes, std::uint64_t at, std::uint64_t width, std::uint64_t& out) {
  if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) return false;
  out = 0;
  for (std::uint64_t i = 0; i < width; ++i) out = (out << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return true;
}

// Where the contents of a string or container object start and how many units they have: the
// marker's low nibble, or an integer object after the marker when the nibble is 0xF.
bool objectLength(std::string_view bytes, std::uint64_t object, std::uint64_t end, std::uint64_t& start,
                  std::uint64_t& length) {
  length = static_cast<std::uint8_t>(bytes[object]) & 0x0F;
  start = object + 1;
  if (length != 0x0F) return true;
  if (start >= end) return false;
  const auto lengthMarker = static_cast<std::uint8_t>(bytes[start]);
  if ((lengthMarker >> 4) != 0x1 || (lengthMarker & 0x0F) > 3) return false;
  const std::uint64_t width = std::uint64_t{1} << (lengthMarker & 0x0F);
  if (!readBigEndian(bytes, start + 1, width, length)) return false;
  start += 1 + width;
  return true;
}

// Checks a binary property list for what libplist does not survive, before it parses it:
// - a string object holding U+0000: libplist keeps the character inside a string it hands out as
//   a C string, and its getters abort on the mismatch (ASCII strings lose what follows it);
// - containers nested deeper than kMaxDepth: its parser and its free recurse once per level;
// - containers referenced so often that the tree grows without bound: every reference gets a
//   copy, so 200 bytes can ask for billions of nodes. More nodes than four per reference (plus
//   a margin) are refused; writers share strings and numbers, not containers.
// False when one is found or the tables are malformed.
bool binaryPlistIsSafe(std::string_view bytes) {
  constexpr std::uint64_t kHeader = 8, kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) return false;
  const std::uint64_t trailer = bytes.size() - kTrailer;
  const std::uint64_t offsetSize = static_cast<std::uint8_t>(bytes[trailer + 6]);
  const std::uint64_t refSize = static_cast<std::uint8_t>(bytes[trailer + 7]);
  std::uint64_t count = 0, top = 0, table = 0;
  if (!readBigEndian(bytes, trailer + 8, 8, count) || !readBigEndian(bytes, trailer + 16, 8, top) ||
      !readBigEndian(bytes, trailer + 24, 8, table)) {
    return false;
  }
  if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8 || table < kHeader || table > trailer ||
      count > (trailer - table) / offsetSize || top >= count) {
    return false;
  }
  // The reference list of every container object.
  std::vector<std::uint64_t> refStart(count, 0), refCount(count, 0);
  std::uint64_t totalRefs = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t object = 0, start = 0, length = 0;
    if (!readBigEndian(bytes, table + i * offsetSize, offsetSize, object) || object < kHeader || object >= table) {
      return false;
    }
    const unsigned kind = static_cast<std::uint8_t>(bytes[object]) >> 4;
    if (kind == 0x5 || kind == 0x6) {  // ASCII and UTF-16 strings
      const std::uint64_t unit = kind == 0x6 ? 2 : 1;
      if (!objectLength(bytes, object, table, start, length) || start > table || length > (table - start) / unit) {
        return false;
      }
      for (std::uint64_t c = 0; c < length; ++c) {
        bool zero = true;
        for (std::uint64_t b = 0; b < unit; ++b) zero = zero && bytes[start + c * unit + b] == 0;
        if (zero) return false;
      }
    } else if (kind == 0xA || kind == 0xC || kind == 0xD) {  // arrays, sets, dictionaries
      if (!objectLength(bytes, object, table, start, length)) return false;
      const std::uint64_t refs = kind == 0xD ? 2 : 1;  // a dictionary lists its keys, then its values
      if (start > table || length > (table - start) / refSize / refs) return false;
      refStart[i] = start;
      refCount[i] = length * refs;
      totalRefs += length * refs;
    }
  }
  // From the top object, depth first: the height of every object and the nodes its copy takes.
  const std::uint64_t nodeLimit = 4 * totalRefs + 1024;
  std::vector<std::uint8_t> state(count, 0);  // 0 not seen, 1 on the path, 2 measured
  std::vector<std::uint32_t> height(count, 0);
  std::vector<std::uint64_t> nodes(count, 1);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> path{{top, 0}};  // object, next reference
  state[top] = 1;
  auto child = [&](std::uint64_t object, std::uint64_t index) {
    std::uint64_t ref = 0;
    readBigEndian(bytes, refStart[object] + index * refSize, refSize, ref);
    return ref;
  };
  while (!path.empty()) {
    const std::uint64_t object = path.back().first;
    if (path.back().second < refCount[object]) {
      const std::uint64_t next = child(object, path.back().second++);
      if (next >= count || state[next] == 1) return false;  // no such object, or a cycle
      if (state[next] == 0) {
        if (path.size() > static_cast<std::size_t>(kMaxDepth)) return false;
        state[next] = 1;
        path.emplace_back(next, 0);
      }
      continue;
    }
    for (std::uint64_t r = 0; r < refCount[object]; ++r) {
      const std::uint64_t c = child(object, r);
      height[object] = std::max(height[object], height[c] + 1);
      nodes[object] += nodes[c];
      if (nodes[object] > nodeLimit) return false;
    }
    if (height[object] > static_cast<std::uint32_t>(kMaxDepth)) return false;
    state[object] = 2;
    path.pop_back();
  }
  return true;
}

// Whether no more than `limit` arrays and dictionaries nest in an XML property list: libplist
// frees its tree recursively, and a few hundred thousand levels overflow the stack.
bool xmlNestingWithin(std::string_view xml, int limit) {
  int depth = 0;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    std::string_view tag = xml.substr(at + 1);
    const bool closing = !tag.empty() && tag.front() == '/';
    if (closing) tag.remove_prefix(1);
    if (!tag.starts_with("array") && !tag.starts_with("dict")) continue;
    const std::size_t end = xml.find('>', at);
    if (end == std::string_view::npos) return true;  // unfinished: libplist refuses it
    if (closing) {
      --depth;
    } else if (xml[end - 1] != '/' && ++depth > limit) {
      return false;
    }
  }
  return true;
}

// Whether every key in the dictionaries of an XML property list is followed by its value:
// libplist drops a last key that has none (<dict><key>a</key></dict> reads as an empty
// dictionary) instead of refusing the document. Comments, CDATA sections, processing
// instructions and the document type are skipped; text between tags holds no '<'.
bool xmlKeysHaveValues(std::string_view xml) {
  struct Element {
    bool isDictionary;
    bool keyWaiting;  // a dictionary whose last child is a key
  };
  std::vector<Element> open;
  std::size_t at = xml.find('<');
  while (at != std::string_view::npos) {
    const std::string_view rest = xml.substr(at);
    std::size_t end;
    if (rest.starts_with("<!--")) {
      end = xml.find("-->", at + 4);
      if (end == std::string_view::npos) return true;  // unfinished: libplist refuses it
      at = xml.find('<', end + 3);
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      end = xml.find("]]>", at + 9);
      if (end == std::string_view::npos) return true;
      at = xml.find('<', end + 3);
      continue;
    }
    end = xml.find('>', at);
    if (end == std::string_view::npos) return true;
    if (rest.starts_with("<?") || rest.starts_with("<!")) {
      at = xml.find('<', end + 1);
      continue;
    }
    const bool closing = rest.starts_with("</");
    const bool empty = !closing && end > at + 1 && xml[end - 1] == '/';
    std::string_view name = xml.substr(at + (closing ? 2 : 1), end - at - (closing ? 2 : 1) - (empty ? 1 : 0));
    name = name.substr(0, name.find_first_of(" \t\r\n"));
    if (closing) {
      if (!open.empty()) {
        if (open.back().keyWaiting) return false;
        open.pop_back();
      }
    } else {
      if (!open.empty() && open.back().isDictionary) open.back().keyWaiting = name == "key";
      if (!empty) open.push_back(Element{name == "dict", false});
    }
    at = xml.find('<', end + 1);
  }
  return true;
}

std::optional<Value> toValue(plist_t node, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      if (s == nullptr) plist_get_key_val(node, &s);
      std::string text = s ? s : "";
      std::free(s);
      // libplist hands over the bytes of an XML or ASCII string as they stand; text that is not
      // UTF-8 would be cut short when written again.
      if (!text::isValidUTF8(text)) return std::nullopt;
      return Value(std::move(text));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Value v = Value::data(bytes, bytes ? length : 0);
      std::free(bytes);
      return v;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist answers a date more than 2^31 seconds from 2001 (before 1932 or after 2069), or
      // one that is not a number, as the lowest second: refused rather than read as a wrong date.
      if (sec == std::numeric_limits<int32_t>::min()) return std::nullopt;
      // The seconds come rounded toward 2001 and the microseconds as a magnitude, so before 2001
      // the fraction counts backwards. (Within a second of 2001 its sign is lost.)
      return Value::date(kReferenceDateOffset + sec + (sec < 0 ? -usec : usec) / 1e6);
    }
    case PLIST_ARRAY: {
      Array items;
      uint32_t n = plist_array_get_size(node);
      items.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto item = toValue(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
      }
      return Value(std::move(items));
    }
    case PLIST_DICT: {
      Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, it, &key, &child);
        if (child == nullptr) {
          std::free(key);
          break;
        }
        std::string k = key ? key : "";
        std::free(key);
        if (!text::isValidUTF8(k)) {
          std::free(it);
          return std::nullopt;
        }
        auto item = toValue(child, depth + 1);
        if (!item) {
          std::free(it);
          return std::nullopt;
        }
        dict.set(std::move(k), std::move(*item));
      }
      std::free(it);
      return Value(std::move(dict));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value::dictionary({{"CF$UID", u}});
    }
    default:
      return std::nullopt;
  }
}

// libplist takes strings as C strings and converts them to UTF-16 when they are not ASCII.
bool isWritableText(const std::string& s) {
  return s.find('\0') == std::string::npos && text::isValidUTF8(s);
}

// Returns nullptr (and a reason) for values a property list cannot hold.
plist_t toNode(const Value& value, std::string& reason, int depth) {
  if (depth > kMaxDepth) {
    reason = "nesting too deep";
    return nullptr;
  }
  switch (value.type()) {
    case Value::Type::Bool: return plist_new_bool(*value.boolValue() ? 1 : 0);
    case Value::Type::Number:
      if (value.isFloatingPoint()) return plist_new_real(*value.doubleValue());
      if (value.numberKind() == Value::NumberKind::UInt &&
          *value.uint64Value() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        reason = "unsigned integer out of range";
        return nullptr;
      }
      return plist_new_uint(static_cast<uint64_t>(*value.int64Value()));
    case Value::Type::String:
      if (!isWritableText(*value.stringPtr())) {
        reason = "string holds U+0000 or is not UTF-8";
        return nullptr;
      }
      return plist_new_string(value.stringPtr()->c_str());
    case Value::Type::Data: {
      const Bytes& bytes = *value.dataPtr();
      return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Value::Type::Date: {
      double since2001 = *value.dateValue() - kReferenceDateOffset;
      double whole = std::floor(since2001);
      // The lowest second reads back as out of range, and the highest may round up past the top.
      if (whole <= std::numeric_limits<int32_t>::min() || whole >= std::numeric_limits<int32_t>::max()) {
        reason = "date out of range";
        return nullptr;
      }
      auto usec = static_cast<int32_t>(std::lround((since2001 - whole) * 1e6));
      auto sec = static_cast<int32_t>(whole);
      if (usec >= 1000000) {
        usec -= 1000000;
        ++sec;
      }
      return plist_new_date(sec, usec);
    }
    case Value::Type::Array: {
      plist_t array = plist_new_array();
      for (const Value& item : *value.arrayPtr()) {
        plist_t child = toNode(item, reason, depth + 1);
        if (child == nullptr) {
          plist_free(array);
          return nullptr;
        }
        plist_array_append_item(array, child);
      }
      return array;
    }
    case Value::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.dictionaryPtr()) {
        plist_t child = isWritableText(key) ? toNode(item, reason, depth + 1) : nullptr;
        if (child == nullptr) {
          if (reason.empty()) reason = "key holds U+0000 or is not UTF-8";
          plist_free(dict);
          return nullptr;
        }
        plist_dict_set_item(dict, key.c_str(), child);
      }
      return dict;
    }
    case Value::Type::Null: reason = "null value"; return nullptr;
    case Value::Type::Object: reason = "object value"; return nullptr;
  }
  return nullptr;
}

}  // namespace

std::optional<Value> read(std::string_view bytes, Error* error) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    setError(error, files::kCocoaErrorDomain, 3840, "The data is not a property list.");
    return std::nullopt;
  }
  plist_t root = nullptr;
  auto length = static_cast<uint32_t>(bytes.size());
  if (plist_is_binary(bytes.data(), length)) {
    if (binaryPlistIsSafe(bytes)) plist_from_bin(bytes.data(), length, &root);
  } else if (bytes.find('\0') == std::string_view::npos && xmlNestingWithin(bytes, kMaxDepth + 1) &&
             xmlKeysHaveValues(bytes)) {
    plist_from_xml(bytes.data(), length, &root);  // (XML never holds U+0000)
  }
  NodePtr guard(root);
  if (root == nullptr) {
    setError(error, files::kCocoaErrorDomain, 3840, "The data couldn't be read because it isn't in the correct format.");
    return std::nullopt;
  }
  auto value = toValue(root, 0);
  if (!value) {
    setError(error, files::kCocoaErrorDomain, 3840, "The data couldn't be read because it isn't in the correct format.");
  }
  return value;
}

std::optional<Value> read(const Bytes& bytes, Error* error) {
  return read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

std::optional<Bytes> write(const Value& value, Format format, Error* error) {
  std::string reason;
  NodePtr root(toNode(value, reason, 0));
  if (!root) {
    setError(error, files::kCocoaErrorDomain, 3851, "Property list invalid for format: " + reason);
    return std::nullopt;
  }
  char* out = nullptr;
  uint32_t length = 0;
  if (format == Format::Binary) {
    plist_to_bin(static_cast<plist_t>(root.get()), &out, &length);
  } else {
    plist_to_xml(static_cast<plist_t>(root.get()), &out, &length);
  }
  if (out == nullptr) {
    setError(error, files::kCocoaErrorDomain, 3851, "Property list could not be written");
    return std::nullopt;
  }
  Bytes bytes(reinterpret_cast<const std::uint8_t*>(out), reinterpret_cast<const std::uint8_t*>(out) + length);
  if (format == Format::Binary) {
    plist_to_bin_free(out);
  } else {
    plist_to_xml_free(out);
  }
  return bytes;
}

std::optional<Value> readFile(const std::string& path, Error* error) {
  auto bytes = files::readFile(path, error);
  if (!bytes) return std::nullopt;
  return read(*bytes, error);
}

std::optional<Value> readResource(const std::string& path, Error* error) {
  auto bytes = files::readResource(path, error);
  if (!bytes) return std::nullopt;
  return read(*bytes, error);
}

bool writeFile(const std::string& path, const Value& value, Format format, Error* error) {
  auto bytes = write(value, format, error);
  if (!bytes) return false;
  return files::writeFileAtomically(path, *bytes, error);
}

}  // namespace platform::plist
