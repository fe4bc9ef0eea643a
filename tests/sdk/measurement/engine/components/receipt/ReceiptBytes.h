// Builds receipt bytes the way the store lays them out, as far as the readers look: purchase
// entries (attribute 17) holding typed fields, and the originally installed version (19).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "foundation/Value.h"

namespace receipt_bytes {

using platform::Bytes;

// Grows the vector first and copies into it: GCC 12's optimiser misreads a range insert at the
// end of a vector built from a brace list as reaching past it.
inline void append(Bytes& to, const Bytes& more) {
  const std::size_t size = to.size();
  to.resize(size + more.size());
  std::copy(more.begin(), more.end(), to.begin() + static_cast<std::ptrdiff_t>(size));
}

// Attribute of type `type` (1536..1791) whose octet string holds one value with `tag`.
inline Bytes field(int type, std::uint8_t tag, const Bytes& value) {
  Bytes out = {0x02, 0x02, 0x06, static_cast<std::uint8_t>(type - 1536), 0x02, 0x01, 0x01, 0x04,
               static_cast<std::uint8_t>(value.size() + 2), tag, static_cast<std::uint8_t>(value.size())};
  append(out, value);
  return out;
}
inline Bytes utf8(int type, const std::string& s) { return field(type, 0x0C, Bytes(s.begin(), s.end())); }
inline Bytes ia5(int type, const std::string& s) { return field(type, 0x16, Bytes(s.begin(), s.end())); }
inline Bytes integer(int type, std::uint8_t v) { return field(type, 0x02, Bytes{v}); }

// A purchase entry: its attribute header, then its fields.
inline Bytes entry(std::initializer_list<Bytes> fields) {
  Bytes out = {0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04};
  for (const auto& f : fields) append(out, f);
  return out;
}

// The originally installed version as a UTF8String inside attribute 19.
inline Bytes versionAttribute(const std::string& version) {
  const auto n = static_cast<std::uint8_t>(version.size());
  Bytes out = {0x30, static_cast<std::uint8_t>(n + 9), 0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04,
               static_cast<std::uint8_t>(n + 2), 0x0C, n};
  append(out, Bytes(version.begin(), version.end()));
  return out;
}

}  // namespace receipt_bytes
