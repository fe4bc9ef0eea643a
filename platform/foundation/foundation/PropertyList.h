// Property lists, XML and binary, to and from Value.
//
// Reading detects the format from the content. Integers come back as signed 64-bit numbers,
// reals as doubles, dates as dates (seconds since 1970; the XML form keeps whole seconds only,
// the binary form keeps fractions). Writing refuses values a property list
// cannot hold (null, objects, non-string keys cannot occur); unsigned numbers above the signed
// 64-bit range are refused too, since a property list integer is signed. Strings and keys that
// hold U+0000 or are not UTF-8 are refused both ways (libplist cannot carry them whole), and so
// are dates more than 2^31 seconds away from 2001-01-01 (before 1932 or after 2069). Reading
// refuses arrays and dictionaries nested more than 512 levels below the top, binary lists whose
// objects hold themselves, and binary lists that share containers so often that copying them
// out would take more than about four values per reference.
//
// Failures: an Error in the Cocoa domain, 3840 for unreadable data, 3851 for an unwritable value,
// and the file codes of foundation/Files.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform::plist {

enum class Format { XML, Binary };

std::optional<Value> read(std::string_view bytes, Error* error = nullptr);
std::optional<Value> read(const Bytes& bytes, Error* error = nullptr);
std::optional<Bytes> write(const Value& value, Format format, Error* error = nullptr);

// A property list of the app's own data (see files::readFile: a regular file of this user's).
std::optional<Value> readFile(const std::string& path, Error* error = nullptr);
// A property list the app ships or the system keeps, whoever owns it (see files::readResource).
std::optional<Value> readResource(const std::string& path, Error* error = nullptr);
// Writes atomically (see files::writeFileAtomically).
bool writeFile(const std::string& path, const Value& value, Format format = Format::XML,
               Error* error = nullptr);

}  // namespace platform::plist
