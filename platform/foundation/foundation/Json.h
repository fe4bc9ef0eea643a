// JSON to and from Value. Object keys keep their order. Integers read as signed 64-bit numbers
// (unsigned when above that range), other numbers as doubles; null as a null Value.
// Writing refuses data, dates, objects and non-finite numbers (Cocoa domain, code 3851); reading
// refuses malformed text (code 3840, the description saying where).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform::json {

std::optional<Value> parse(std::string_view text, Error* error = nullptr);
// Compact by default; `pretty` indents by two spaces.
std::optional<std::string> serialize(const Value& value, bool pretty = false, Error* error = nullptr);

}  // namespace platform::json
