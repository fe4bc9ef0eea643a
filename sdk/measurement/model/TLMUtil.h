// Small utilities shared by the whole measurement library: measurement errors, numeric strings
// read as exact decimals, random event ids, code-point lengths, MD5 digests and fingerprints, URL
// query strings, and the paths of the library's preference and database files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "foundation/Decimal.h"

inline constexpr const char* kTLMErrorDomain = "com.ombrix.qpx.measurement.ErrorDomain";
inline constexpr const char* kTLMMonitorContextKey = "TLMMonitorContext";
inline constexpr const char* kTLMMeasurementApplicationSupportSubdirectory = "Ombrix/Measurement";

// --- Errors -------------------------------------------------------------------------------------

// An error of the measurement domain. The description goes into the user info under
// "NSLocalizedDescription" and the context under "TLMMonitorContext", each only when non-empty.
platform::Error tlm_errorWithCode(std::int64_t code, const std::string& description,
                                  const std::string& monitorContext = {});
// Stores a new measurement error into `*error` when `error` is not null.
void TLMSetErrorWithMonitorContext(platform::Error* error, std::int64_t code,
                                   const std::string& description, const std::string& context);
void TLMSetError(platform::Error* error, std::int64_t code, const std::string& description);

// True when the condition holds; otherwise store a measurement error (no context) and false.
bool TLMAssertTrue(bool condition, platform::Error* error, std::int64_t code,
                   const std::string& description);
bool TLMAssertNotNil(const void* object, platform::Error* error, std::int64_t code,
                     const std::string& description);
bool TLMAssertNotNull(const void* pointer, platform::Error* error, std::int64_t code,
                      const std::string& description);
bool TLMAssertNotZero(std::int64_t value, platform::Error* error, std::int64_t code,
                      const std::string& description);

// The non-empty monitor contexts of the measurement-domain errors among `errors`, in order,
// joined with ","; the empty string when there are none.
std::string TLMMonitorContextString(const std::vector<platform::Error>& errors);

// --- Numbers ------------------------------------------------------------------------------------

// Plain decimal text: an optional sign, then digits with an optional trailing point, or optional
// digits, a point and at least one digit. The empty string is not one.
bool TLMIsValidNumericString(std::string_view text);
// The exact decimal number (38 significant digits) of a plain decimal text; empty (after a log) when the text is not
// numeric or does not fit the decimal type without loss of precision.
std::optional<platform::Decimal> TLMParseNumericValueFromString(std::string_view text);
// The same number without the log (empty where the form above logs).
std::optional<platform::Decimal> TLMNumericValueFromString(std::string_view text);

class TLMNumericUtil {
 public:
  // A 64-bit integer from 8 bytes of the system's secure random source (SecRandomCopyBytes), or
  // of the platform random source a test installed. When the source fails, logs 26004 and returns what
  // was read (0 when nothing was).
  static std::int64_t randomInt64();

  // Test support: replaces the secure random source (nullptr restores it). The source fills the
  // buffer and answers whether it could.
  using RandomSource = std::function<bool(unsigned char* buffer, std::size_t length)>;
  static RandomSource setRandomSourceForTesting(RandomSource source);
};

// --- Text and data ------------------------------------------------------------------------------

// Seconds to whole milliseconds, truncated toward zero; times outside the int64 range are clamped
// to it and NaN gives 0, never an overflowing conversion.
std::int64_t TLMMillisecondsFromSeconds(double seconds);

// The number of Unicode code points (a character outside the Basic Multilingual Plane counts once).
std::size_t tlm_UTF32Length(std::string_view s);
// Writes the UTF-32 little-endian encoding of `s`, whole code points only, into `buffer`, at most
// `maxBytes` bytes. Returns the number of bytes written.
std::size_t tlm_getUTF32Bytes(std::string_view s, void* buffer, std::size_t maxBytes);

// The 16-byte MD5 digest of `data`.
platform::Bytes tlm_MD5Data(const platform::Bytes& data);
// The last min(length, 8) bytes read as an unsigned big-endian number; 0 for empty data.
std::uint64_t tlm_64LeastSignificantBits(const platform::Bytes& data);
// The 64 least significant bits of the MD5 digest: digest bytes 8 to 15 as a big-endian integer.
// The local store uses it as the fingerprint of encoded messages.
std::int64_t tlm_64LSBMD5(const platform::Bytes& data);
// The MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits; empty when `s` is not valid
// UTF-8.
std::optional<std::string> tlm_MD5String(std::string_view s);

// --- URL query strings --------------------------------------------------------------------------

// The description text of `object`, percent-escaped as UTF-8: everything outside the unreserved
// URL characters (letters, digits, "-", ".", "_", "~") is escaped, including "&", "=", "+", "#"
// and "%", so that a component can never change the query it stands in.
std::string TLMNetworkURLEncode(const platform::Value& object);
// "key=value" pairs of the encoded keys and values, in the dictionary's order, joined with "&".
std::string tlm_queryString(const platform::Dictionary& dictionary);
// "+" becomes a space, then percent escapes are decoded as UTF-8; empty when they do not decode.
std::optional<std::string> tlm_stringByUnescapingFromURLArgument(std::string_view s);
// Splits a query on "&" and "=" and unescapes keys and values (string values). For a key given
// more than once the first occurrence wins; a piece without "=" gives the empty string as value.
platform::Dictionary tlm_dictionaryWithHttpArgumentsString(std::string_view query);

// --- Files --------------------------------------------------------------------------------------

// <Library>/Preferences/<name>.plist; the empty string for an empty name or (after a log saying
// why) when there is no Library directory, as when the sandbox has no folder for the app.
std::string TLMFilePathForPreferencesName(const std::string& name);
// <Application Support>/Ombrix/Measurement/<name>; the empty string for an empty name or (after a
// log saying why) when there is no Application Support directory.
std::string TLMFilePathForDatabaseName(const std::string& name);
// Makes the folders of that path below Application Support, the SDK's own: closed to other
// users when found open. False (after a log saying why) when there is no Application Support
// directory or one of them belongs to another user.
bool TLMMakeDatabaseFolders();
// Marks the file as excluded from backups.
bool TLMExcludeFilePathFromBackup(const std::string& path, platform::Error* error);
// Removes the file or directory at `path`.
bool TLMDeleteFile(const std::string& path, platform::Error* error);

// The user-domain directories the paths are made from; by default the sandbox's Library and
// Application Support directories. Test support: replace the lookup (nullptr restores it); it
// answers the directory for "Library" or "ApplicationSupport", or the empty string for none.
using TLMDirectoryLookup = std::function<std::string(const std::string& directory)>;
TLMDirectoryLookup TLMSetDirectoryLookupForTesting(TLMDirectoryLookup lookup);
