#include "measurement/model/TLMUtil.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

#include "dispatch/Random.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "foundation/Sandbox.h"
#include "foundation/Text.h"
#include "measurement/model/TLMMonitor.h"
#include "security/CommonDigest.h"
#include "security/SecKey.h"

namespace {

std::mutex& hooksMutex() {
  static std::mutex m;
  return m;
}

TLMNumericUtil::RandomSource& randomSource() {
  static TLMNumericUtil::RandomSource& source = *new TLMNumericUtil::RandomSource();
  return source;
}

TLMDirectoryLookup& directoryLookup() {
  static TLMDirectoryLookup& lookup = *new TLMDirectoryLookup();
  return lookup;
}

// The directory, or the empty string with `why` saying why there is none.
std::string userDirectory(const std::string& which, std::string& why) {
  TLMDirectoryLookup lookup;
  {
    std::lock_guard<std::mutex> lock(hooksMutex());
    lookup = directoryLookup();
  }
  if (lookup) {
    why = "NSSearchPath for " + which + " directory is empty";
    return lookup(which);
  }
  platform::Error error;
  const std::string directory = platform::sandbox::folder(
      which == "Library" ? &platform::sandbox::libraryDirectory : &platform::sandbox::applicationSupportDirectory,
      &error);
  why = error.description;
  return directory;
}

// Decodes the next UTF-8 code point of `s` at `i`; an invalid sequence decodes as U+FFFD.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  std::int32_t index = static_cast<std::int32_t>(i);
  UChar32 c;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(s.data()), index, static_cast<std::int32_t>(s.size()), c);
  i = static_cast<std::size_t>(index);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// --- Errors -------------------------------------------------------------------------------------

platform::Error tlm_errorWithCode(std::int64_t code, const std::string& description,
                                  const std::string& monitorContext) {
  platform::Dictionary userInfo;
  if (!description.empty()) userInfo.set("NSLocalizedDescription", platform::Value(description));
  if (!monitorContext.empty()) userInfo.set(kTLMMonitorContextKey, platform::Value(monitorContext));
  return platform::Error(kTLMErrorDomain, code, description,
                         userInfo.empty() ? platform::Value() : platform::Value(std::move(userInfo)));
}

void TLMSetErrorWithMonitorContext(platform::Error* error, std::int64_t code,
                                   const std::string& description, const std::string& context) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description, context);
}

void TLMSetError(platform::Error* error, std::int64_t code, const std::string& description) {
  TLMSetErrorWithMonitorContext(error, code, description, {});
}

bool TLMAssertTrue(bool condition, platform::Error* error, std::int64_t code,
                   const std::string& description) {
  if (condition) return true;
  TLMSetError(error, code, description);
  return false;
}

bool TLMAssertNotNil(const void* object, platform::Error* error, std::int64_t code,
                     const std::string& description) {
  return TLMAssertTrue(object != nullptr, error, code, description);
}

bool TLMAssertNotNull(const void* pointer, platform::Error* error, std::int64_t code,
                      const std::string& description) {
  return TLMAssertTrue(pointer != nullptr, error, code, description);
}

bool TLMAssertNotZero(std::int64_t value, platform::Error* error, std::int64_t code,
                      const std::string& description) {
  return TLMAssertTrue(value != 0, error, code, description);
}

std::string TLMMonitorContextString(const std::vector<platform::Error>& errors) {
  std::string out;
  bool first = true;
  for (const platform::Error& error : errors) {
    if (error.domain != kTLMErrorDomain) continue;
    const std::string* context = error.userInfo[kTLMMonitorContextKey].stringPtr();
    if (context == nullptr || context->empty()) continue;
    if (!first) out += ",";
    out += *context;
    first = false;
  }
  return out;
}

// --- Numbers ------------------------------------------------------------------------------------

// Plain decimal text: an optional sign, then digits with at most one decimal point and at least
// one digit ("5", "5.", ".5", "-0.25"). One pass over the text, whatever its length.
bool TLMIsValidNumericString(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool digit = false;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

namespace {

// A numeric text read as an exact decimal; on failure `failureCode` names the complaint (26001
// not numeric, 26002 not a decimal, 26003 loss of precision) and `normalized` the text compared.
struct NumericReading {
  std::optional<platform::Decimal> number;
  std::int64_t failureCode = 0;
  std::string normalized;
};

NumericReading readNumericString(std::string_view text) {
  NumericReading reading;
  if (!TLMIsValidNumericString(text)) {
    reading.failureCode = 26001;
    return reading;
  }
  std::optional<platform::Decimal> number = platform::Decimal::parse(text);
  if (!number) {
    reading.failureCode = 26002;
    return reading;
  }
  std::string normalized(text);
  if (normalized.starts_with("+.") || normalized.starts_with("-.") || normalized.starts_with(".")) {
    std::string replaced;
    for (char c : normalized) {
      if (c == '.') {
        replaced += "0.";
      } else {
        replaced += c;
      }
    }
    normalized = std::move(replaced);
  }
  const std::string canonical =
      number->isNegative() ? (-*number).toString() : number->toString();
  if (normalized.find(canonical) == std::string::npos) {
    reading.failureCode = 26003;
    reading.normalized = std::move(normalized);
    return reading;
  }
  reading.number = std::move(number);
  return reading;
}

}  // namespace

std::optional<platform::Decimal> TLMNumericValueFromString(std::string_view text) {
  return readNumericString(text).number;
}

std::optional<platform::Decimal> TLMParseNumericValueFromString(std::string_view text) {
  NumericReading reading = readNumericString(text);
  switch (reading.failureCode) {
    case 26001:
      tlm_monitor()->logWithLevel(1, 26001, "String value does not represent a numeric value. Value",
                                  platform::Value{std::string(text)});
      break;
    case 26002:
      tlm_monitor()->logWithLevel(1, 26002,
                                  "Unable to create a NSDecimalNumber from string value. Value",
                                  platform::Value{std::string(text)});
      break;
    case 26003:
      tlm_monitor()->logWithLevel(
          1, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
          platform::Value(reading.normalized));
      break;
    default:
      break;
  }
  return std::move(reading.number);
}

std::int64_t TLMNumericUtil::randomInt64() {
  RandomSource source;
  {
    std::lock_guard<std::mutex> lock(hooksMutex());
    source = randomSource();
  }
  unsigned char bytes[8] = {0};
  bool ok = true;
  if (source) {
    ok = source(bytes, sizeof bytes);
  } else if (std::shared_ptr<platform::Random> random = platform::Random::current();
             random != platform::Random::system()) {
    random->fillBytes(bytes, sizeof bytes);  // an installed (test) source
  } else {
    ok = SecRandomCopyBytes(kSecRandomDefault, sizeof bytes, bytes) == 0;
  }
  if (!ok) {
    tlm_monitor()->logWithLevel(4, 26004, "Unable to generate random integer",
                                platform::Value(std::string(std::strerror(errno))));
  }
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return static_cast<std::int64_t>(value);
}

TLMNumericUtil::RandomSource TLMNumericUtil::setRandomSourceForTesting(RandomSource source) {
  std::lock_guard<std::mutex> lock(hooksMutex());
  std::swap(randomSource(), source);
  return source;
}

// --- Text and data ------------------------------------------------------------------------------

std::size_t tlm_UTF32Length(std::string_view s) { return platform::text::codePointLength(s); }

std::size_t tlm_getUTF32Bytes(std::string_view s, void* buffer, std::size_t maxBytes) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < s.size() && written + 4 <= maxBytes) {
    const char32_t c = nextCodePoint(s, i);
    out[written++] = static_cast<unsigned char>(c & 0xFF);
    out[written++] = static_cast<unsigned char>((c >> 8) & 0xFF);
    out[written++] = static_cast<unsigned char>((c >> 16) & 0xFF);
    out[written++] = static_cast<unsigned char>((c >> 24) & 0xFF);
  }
  return written;
}

platform::Bytes tlm_MD5Data(const platform::Bytes& data) {
  platform::Bytes digest(CC_MD5_DIGEST_LENGTH, 0);
  CC_MD5(data.data(), data.size(), digest.data());
  return digest;
}

std::uint64_t tlm_64LeastSignificantBits(const platform::Bytes& data) {
  const std::size_t n = std::min<std::size_t>(data.size(), 8);
  std::uint64_t value = 0;
  for (std::size_t i = data.size() - n; i < data.size(); ++i) value = (value << 8) | data[i];
  return value;
}

std::int64_t tlm_64LSBMD5(const platform::Bytes& data) {
  return static_cast<std::int64_t>(tlm_64LeastSignificantBits(tlm_MD5Data(data)));
}

std::optional<std::string> tlm_MD5String(std::string_view s) {
  if (!platform::text::isValidUTF8(s)) return std::nullopt;
  const platform::Bytes digest = tlm_MD5Data(platform::Bytes(s.begin(), s.end()));
  std::string out;
  for (std::uint8_t byte : digest) out += platform::format("%02x", static_cast<unsigned>(byte));
  return out;
}

std::int64_t TLMMillisecondsFromSeconds(double seconds) {
  const double millis = std::trunc(seconds * 1000.0);
  if (std::isnan(millis)) return 0;
  if (millis >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (millis <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(millis);
}

// --- URL query strings --------------------------------------------------------------------------

std::string TLMNetworkURLEncode(const platform::Value& object) {
  return platform::text::percentEncoded(platform::format("%@", object), [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
  });
}

std::string tlm_queryString(const platform::Dictionary& dictionary) {
  std::string out;
  bool first = true;
  for (const auto& [key, value] : dictionary) {
    if (!first) out += "&";
    first = false;
    out += platform::format("%@=%@", TLMNetworkURLEncode(platform::Value(key)),
                            TLMNetworkURLEncode(value));
  }
  return out;
}

std::optional<std::string> tlm_stringByUnescapingFromURLArgument(std::string_view s) {
  std::string plus(s);
  for (char& c : plus)
    if (c == '+') c = ' ';
  std::string out;
  for (std::size_t i = 0; i < plus.size(); ++i) {
    if (plus[i] != '%') {
      out += plus[i];
      continue;
    }
    if (i + 2 >= plus.size()) return std::nullopt;
    const int hi = hexValue(plus[i + 1]);
    const int lo = hexValue(plus[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (!platform::text::isValidUTF8(out)) return std::nullopt;
  return out;
}

platform::Dictionary tlm_dictionaryWithHttpArgumentsString(std::string_view query) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t amp = query.find('&', start);
    pieces.push_back(query.substr(start, amp == std::string_view::npos ? std::string_view::npos
                                                                        : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  platform::Dictionary out;
  // From last to first, so that the first occurrence of a key is the one that stays.
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    const std::string_view piece = *it;
    if (piece.empty()) continue;
    const std::size_t eq = piece.find('=');
    std::string key;
    std::string value;
    if (eq == std::string_view::npos) {
      key = tlm_stringByUnescapingFromURLArgument(piece).value_or("");
    } else {
      key = tlm_stringByUnescapingFromURLArgument(piece.substr(0, eq)).value_or("");
      value = tlm_stringByUnescapingFromURLArgument(piece.substr(eq + 1)).value_or("");
    }
    out.remove(key);  // the earlier occurrence takes the later one's place in the order
    out.set(std::move(key), platform::Value(std::move(value)));
  }
  return out;
}

// --- Files --------------------------------------------------------------------------------------

std::string TLMFilePathForPreferencesName(const std::string& name) {
  if (name.empty()) return {};
  std::string why;
  const std::string library = userDirectory("Library", why);
  if (library.empty()) {
    tlm_monitor()->logWithLevel(1, 19000, why);
    return {};
  }
  return (std::filesystem::path(library) / "Preferences" / (name + ".plist")).string();
}

std::string TLMFilePathForDatabaseName(const std::string& name) {
  if (name.empty()) return {};
  std::string why;
  const std::string support = userDirectory("ApplicationSupport", why);
  if (support.empty()) {
    tlm_monitor()->logWithLevel(1, 19001, why);
    return {};
  }
  return (std::filesystem::path(support) / kTLMMeasurementApplicationSupportSubdirectory / name)
      .string();
}

bool TLMMakeDatabaseFolders() {
  std::string why;
  const std::string support = userDirectory("ApplicationSupport", why);
  platform::Error error;
  if (support.empty() ||
      !platform::files::createOwnDirectories(support, kTLMMeasurementApplicationSupportSubdirectory, &error)) {
    tlm_monitor()->logWithLevel(1, 19001, support.empty() ? why : error.description);
    return false;
  }
  return true;
}

bool TLMExcludeFilePathFromBackup(const std::string& path, platform::Error* error) {
  return platform::files::setExcludedFromBackup(path, true, error);
}

bool TLMDeleteFile(const std::string& path, platform::Error* error) {
  if (path.empty()) {
    TLMSetError(error, 1, "Received empty path for deleting file");
    return false;
  }
  return platform::files::removeItem(path, error);
}

TLMDirectoryLookup TLMSetDirectoryLookupForTesting(TLMDirectoryLookup lookup) {
  std::lock_guard<std::mutex> lock(hooksMutex());
  std::swap(directoryLookup(), lookup);
  return lookup;
}
