#include "foundation/Date.h"

#include <date/tz.h>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

struct TimeZoneAccess {
  static TimeZone make(const date::time_zone* zone, std::string identifier) {
    return TimeZone(zone, std::move(identifier));
  }
  static const date::time_zone* zone(const TimeZone& tz) { return static_cast<const date::time_zone*>(tz.zone_); }
};

namespace {

// The library's zones die with its database when the process exits, while worker threads may
// still be reading dates: every zone handed out is a copy of our own, read from its file at
// once and never destroyed, so that later reads need nothing of the library's database. The
// copies are kept by the library's zone (equal zones stay the same object) and by the names
// they were asked for.
struct ZoneCopies {
  std::mutex mutex;
  std::map<const date::time_zone*, const date::time_zone*> byLibraryZone;
  std::map<std::string, const date::time_zone*, std::less<>> byName;
  std::once_flag systemOnce;
  const date::time_zone* system = nullptr;
};

ZoneCopies& zoneCopies() {
  static ZoneCopies& copies = *new ZoneCopies();
  return copies;
}

// Under the copies' mutex.
const date::time_zone* copyOf(ZoneCopies& copies, const date::time_zone* libraryZone) {
  if (libraryZone == nullptr) return nullptr;
  auto [it, inserted] = copies.byLibraryZone.try_emplace(libraryZone, nullptr);
  if (inserted) {
    auto* own = new date::time_zone(std::string(libraryZone->name()), date::detail::undocumented{});
    try {
      own->get_info(date::sys_seconds{});  // reads the zone's file now
    } catch (const std::exception&) {
      // Unreadable: the copy tries again, and fails, at each use, as the library's zone would.
    }
    it->second = own;
  }
  return it->second;
}

const date::time_zone* locate(std::string_view name) {
  ZoneCopies& copies = zoneCopies();
  std::lock_guard<std::mutex> lock(copies.mutex);
  if (auto it = copies.byName.find(name); it != copies.byName.end()) return it->second;
  const date::time_zone* found = nullptr;
  try {
    found = date::locate_zone(std::string(name));
  } catch (const std::exception&) {
    return nullptr;  // unknown names are not kept: callers may pass anything
  }
  const date::time_zone* own = copyOf(copies, found);
  copies.byName.emplace(std::string(name), own);
  return own;
}

// The system's zone (/etc/localtime), looked up once.
const date::time_zone* systemDatabaseZone() {
  ZoneCopies& copies = zoneCopies();
  std::call_once(copies.systemOnce, [&copies] {
    const date::time_zone* found = nullptr;
    try {
      found = date::current_zone();
    } catch (const std::exception&) {
    }
    std::lock_guard<std::mutex> lock(copies.mutex);
    copies.system = copyOf(copies, found);
  });
  return copies.system;
}

// The zone a host or test installed with `setCurrent`, if any. The system's zone needs no copy
// here: its lookups ($TZ by name, the /etc/localtime zone) are kept by the zone copies above.
struct CurrentZone {
  std::mutex mutex;
  std::optional<TimeZone> installed;
};

CurrentZone& currentZone() {
  static auto* state = new CurrentZone();  // never destroyed: threads may outlive main()
  return *state;
}

TimeZone systemZone(const char* tz) {
  if (tz != nullptr && *tz != '\0') {
    std::string_view name(tz);
    if (name.front() == ':') name.remove_prefix(1);
    if (auto zone = TimeZone::named(name)) return *zone;
  }
  if (const date::time_zone* zone = systemDatabaseZone()) return TimeZoneAccess::make(zone, std::string(zone->name()));
  return TimeZone::utc();
}

// The device's zone and UTC are looked up while the program loads, on its main thread: no
// worker thread then reads the library's database (or its other process-wide state) for them,
// which could race with the library destroying it when the process exits.
[[maybe_unused]] const bool kCommonZonesLoaded = [] {
  systemZone(std::getenv("TZ"));
  locate("Etc/UTC");
  return true;
}();

date::sys_info infoAt(const TimeZone& zone, double when) {
  auto seconds = static_cast<long long>(std::floor(when));
  return TimeZoneAccess::zone(zone)->get_info(date::sys_seconds{std::chrono::seconds{seconds}});
}

constexpr std::array<const char*, 12> kMonths = {"January", "February", "March",     "April",   "May",      "June",
                                                  "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<const char*, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                   "Thursday", "Friday", "Saturday"};

struct Token {
  char letter;        // 0 for literal text
  int count;
  std::string text;   // literal text
};

// Splits a pattern into fields and literal text. Empty on a letter the formatter does not know.
std::optional<std::vector<Token>> tokenize(const std::string& pattern) {
  static const std::string& kKnown = *new std::string("GyMdEaHhkKmsSzZX");
  std::vector<Token> tokens;
  auto addLiteral = [&](char c) {
    if (tokens.empty() || tokens.back().letter != 0) tokens.push_back(Token{0, 0, {}});
    tokens.back().text += c;
  };
  for (std::size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
        addLiteral('\'');
        i += 2;
        continue;
      }
      ++i;
      while (i < pattern.size()) {
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
            addLiteral('\'');
            i += 2;
            continue;
          }
          break;
        }
        addLiteral(pattern[i++]);
      }
      ++i;  // closing quote (an unclosed one runs to the end)
      continue;
    }
    if (std::isalpha(static_cast<unsigned char>(c))) {
      if (kKnown.find(c) == std::string::npos) return std::nullopt;
      int count = 0;
      while (i < pattern.size() && pattern[i] == c) {
        ++count;
        ++i;
      }
      tokens.push_back(Token{c, count, {}});
      continue;
    }
    addLiteral(c);
    ++i;
  }
  return tokens;
}

std::string padded(long long value, int width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  return value < 0 ? "-" + digits : digits;
}

std::string offsetText(int seconds, bool colon, bool zForZero, bool hoursOnly) {
  if (zForZero && seconds == 0) return "Z";
  char sign = seconds < 0 ? '-' : '+';
  int magnitude = std::abs(seconds);
  std::string out(1, sign);
  out += padded(magnitude / 3600, 2);
  if (hoursOnly) return out;
  if (colon) out += ':';
  out += padded((magnitude % 3600) / 60, 2);
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Matches the longest of `names` (full, then three-letter forms) at the start of `text`.
// Returns the index and consumes the text, or -1.
int matchName(std::string_view& text, const char* const* names, std::size_t count) {
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string_view name(names[i]);
      if (pass == 1) name = name.substr(0, 3);
      if (text.size() >= name.size() && equalsIgnoringCase(text.substr(0, name.size()), name)) {
        text.remove_prefix(name.size());
        return static_cast<int>(i);
      }
    }
  }
  return -1;
}

std::optional<long long> readNumber(std::string_view& text, int minDigits, int maxDigits) {
  int n = 0;
  long long value = 0;
  while (n < maxDigits && n < static_cast<int>(text.size()) && std::isdigit(static_cast<unsigned char>(text[n]))) {
    value = value * 10 + (text[n] - '0');
    ++n;
  }
  if (n < minDigits || n == 0) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(n));
  return value;
}

// Reads "+hh", "+hhmm", "+hh:mm" or "Z"; seconds east of UTC.
std::optional<int> readOffset(std::string_view& text) {
  if (!text.empty() && (text.front() == 'Z' || text.front() == 'z')) {
    text.remove_prefix(1);
    return 0;
  }
  if (text.empty() || (text.front() != '+' && text.front() != '-')) return std::nullopt;
  int sign = text.front() == '-' ? -1 : 1;
  text.remove_prefix(1);
  auto hours = readNumber(text, 2, 2);
  if (!hours || *hours > 23) return std::nullopt;
  long long minutes = 0;
  if (!text.empty() && text.front() == ':') text.remove_prefix(1);
  std::string_view save = text;
  if (auto m = readNumber(text, 2, 2)) {
    minutes = *m;
  } else {
    text = save;
  }
  if (minutes > 59) return std::nullopt;
  return sign * static_cast<int>(*hours * 3600 + minutes * 60);
}

bool isNumericField(const Token& t) {
  char letter = t.letter;
  return (letter == 'M' && t.count <= 2) || letter == 'y' || letter == 'd' || letter == 'H' || letter == 'h' || letter == 'k' || letter == 'K' ||
         letter == 'm' || letter == 's' || letter == 'S';
}

}  // namespace

// ---- TimeZone ----

std::optional<TimeZone> TimeZone::named(std::string_view identifier) {
  std::string name(identifier);
  if (name == "UTC" || name == "GMT") name = "Etc/UTC";
  const date::time_zone* zone = locate(name);
  if (zone == nullptr) return std::nullopt;
  return TimeZone(zone, std::string(identifier));
}

std::optional<TimeZone> TimeZone::withAbbreviation(std::string_view abbreviation) {
  static const std::array<std::pair<const char*, const char*>, 50> kTable = {{
      {"ADT", "America/Halifax"},     {"AKDT", "America/Juneau"},      {"AKST", "America/Juneau"},
      {"ART", "America/Argentina/Buenos_Aires"}, {"AST", "America/Halifax"}, {"BDT", "Asia/Dhaka"},
      {"BRST", "America/Sao_Paulo"},  {"BRT", "America/Sao_Paulo"},    {"BST", "Europe/London"},
      {"CAT", "Africa/Harare"},       {"CDT", "America/Chicago"},      {"CEST", "Europe/Paris"},
      {"CET", "Europe/Paris"},        {"CLST", "America/Santiago"},    {"CLT", "America/Santiago"},
      {"COT", "America/Bogota"},      {"CST", "America/Chicago"},      {"EAT", "Africa/Addis_Ababa"},
      {"EDT", "America/New_York"},    {"EEST", "Europe/Athens"},       {"EET", "Europe/Athens"},
      {"EST", "America/New_York"},    {"GMT", "GMT"},                  {"GST", "Asia/Dubai"},
      {"HKT", "Asia/Hong_Kong"},      {"HST", "Pacific/Honolulu"},     {"ICT", "Asia/Bangkok"},
      {"IRST", "Asia/Tehran"},        {"IST", "Asia/Kolkata"},         {"JST", "Asia/Tokyo"},
      {"KST", "Asia/Seoul"},          {"MDT", "America/Denver"},       {"MSD", "Europe/Moscow"},
      {"MSK", "Europe/Moscow"},       {"MST", "America/Denver"},       {"NZDT", "Pacific/Auckland"},
      {"NZST", "Pacific/Auckland"},   {"PDT", "America/Los_Angeles"},  {"PET", "America/Lima"},
      {"PHT", "Asia/Manila"},         {"PKT", "Asia/Karachi"},         {"PST", "America/Los_Angeles"},
      {"SGT", "Asia/Singapore"},      {"UTC", "UTC"},                  {"WAT", "Africa/Lagos"},
      {"WEST", "Europe/Lisbon"},      {"WET", "Europe/Lisbon"},        {"WIT", "Asia/Jakarta"},
      {"NDT", "America/St_Johns"},    {"NST", "America/St_Johns"},
  }};
  for (const auto& [abbr, name] : kTable) {
    if (abbreviation == abbr) return named(name);
  }
  return std::nullopt;
}

TimeZone TimeZone::utc() {
  static const TimeZone& zone = *new TimeZone(*named("UTC"));
  return zone;
}

TimeZone TimeZone::current() {
  {
    CurrentZone& state = currentZone();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.installed) return *state.installed;
  }
  return system();
}

TimeZone TimeZone::system() { return systemZone(std::getenv("TZ")); }

void TimeZone::setCurrent(std::optional<TimeZone> zone) {
  CurrentZone& state = currentZone();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.installed = std::move(zone);
}

int TimeZone::secondsFromGMT(double date) const {
  return static_cast<int>(infoAt(*this, date).offset.count());
}

std::string TimeZone::abbreviation(double date) const { return infoAt(*this, date).abbrev; }

// ---- calendar ----

DateComponents componentsOfDate(double when, const TimeZone& zone) {
  double whole = std::floor(when);
  auto info = infoAt(zone, when);
  date::local_seconds local{std::chrono::seconds{static_cast<long long>(whole)} + info.offset};
  auto day = date::floor<date::days>(local);
  date::year_month_day ymd{day};
  date::hh_mm_ss<std::chrono::seconds> hms{local - day};
  DateComponents c;
  c.year = static_cast<int>(ymd.year());
  c.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  c.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  c.hour = static_cast<int>(hms.hours().count());
  c.minute = static_cast<int>(hms.minutes().count());
  c.second = static_cast<int>(hms.seconds().count());
  c.fraction = when - whole;
  c.weekday = static_cast<int>(date::weekday{day}.c_encoding()) + 1;
  return c;
}

std::optional<double> dateFromComponents(const DateComponents& c, const TimeZone& zone) {
  if (c.month < 1 || c.month > 12 || c.day < 1 || c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 ||
      c.second < 0 || c.second > 59 || c.fraction < 0 || c.fraction >= 1) {
    return std::nullopt;
  }
  date::year_month_day ymd{date::year{c.year}, date::month{static_cast<unsigned>(c.month)},
                           date::day{static_cast<unsigned>(c.day)}};
  if (!ymd.ok()) return std::nullopt;
  date::local_seconds local = date::local_days{ymd} + std::chrono::hours{c.hour} + std::chrono::minutes{c.minute} +
                              std::chrono::seconds{c.second};
  auto info = TimeZoneAccess::zone(zone)->get_info(local);
  // Unique and ambiguous times use the first offset (the earlier instant); a skipped time read
  // with the offset before the gap lands after it, moved forward by the gap.
  auto sys = local.time_since_epoch() - info.first.offset;
  return static_cast<double>(sys.count()) + c.fraction;
}

double dateByAddingDays(double when, int days, const TimeZone& zone) {
  DateComponents c = componentsOfDate(when, zone);
  date::year_month_day ymd{date::local_days{date::year_month_day{date::year{c.year}, date::month{static_cast<unsigned>(c.month)},
                                                                 date::day{static_cast<unsigned>(c.day)}}} +
                           date::days{days}};
  c.year = static_cast<int>(ymd.year());
  c.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  c.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  return dateFromComponents(c, zone).value_or(when + days * 86400.0);
}

double startOfDay(double when, const TimeZone& zone) {
  DateComponents c = componentsOfDate(when, zone);
  c.hour = c.minute = c.second = 0;
  c.fraction = 0;
  return dateFromComponents(c, zone).value_or(when);
}

// ---- DateFormatter ----

DateFormatter::DateFormatter() : zone_(TimeZone::current()) {}
DateFormatter::DateFormatter(std::string pattern) : pattern_(std::move(pattern)), zone_(TimeZone::current()) {}

std::string DateFormatter::stringFromDate(double when) const {
  auto tokens = tokenize(pattern_);
  if (!tokens) return {};
  DateComponents c = componentsOfDate(when, zone_);
  int offset = zone_.secondsFromGMT(when);
  std::string out;
  for (const Token& t : *tokens) {
    switch (t.letter) {
      case 0: out += t.text; break;
      case 'G': out += c.year > 0 ? "AD" : "BC"; break;
      case 'y':
        out += t.count == 2 ? padded(((c.year % 100) + 100) % 100, 2) : padded(c.year, t.count);
        break;
      case 'M':
        if (t.count <= 2) {
          out += padded(c.month, t.count);
        } else {
          std::string name = kMonths[static_cast<std::size_t>(c.month - 1)];
          out += t.count == 3 ? name.substr(0, 3) : (t.count == 4 ? name : name.substr(0, 1));
        }
        break;
      case 'd': out += padded(c.day, t.count); break;
      case 'E': {
        std::string name = kWeekdays[static_cast<std::size_t>(c.weekday - 1)];
        out += t.count == 4 ? name : (t.count >= 5 ? name.substr(0, 1) : name.substr(0, 3));
        break;
      }
      case 'a': out += c.hour < 12 ? "AM" : "PM"; break;
      case 'H': out += padded(c.hour, t.count); break;
      case 'h': out += padded(c.hour % 12 == 0 ? 12 : c.hour % 12, t.count); break;
      case 'k': out += padded(c.hour == 0 ? 24 : c.hour, t.count); break;
      case 'K': out += padded(c.hour % 12, t.count); break;
      case 'm': out += padded(c.minute, t.count); break;
      case 's': out += padded(c.second, t.count); break;
      case 'S': {
        auto scaled = static_cast<long long>(std::floor(c.fraction * std::pow(10.0, t.count)));
        out += padded(scaled, t.count);
        break;
      }
      case 'z': out += t.count >= 4 ? zone_.identifier() : zone_.abbreviation(when); break;
      case 'Z': out += offsetText(offset, t.count == 5, t.count == 5, false); break;
      case 'X': out += offsetText(offset, t.count >= 3, true, t.count == 1); break;
      default: break;
    }
  }
  return out;
}

std::optional<double> DateFormatter::dateFromString(std::string_view text) const {
  auto tokens = tokenize(pattern_);
  if (!tokens) return std::nullopt;
  DateComponents c;
  std::optional<int> hour12;
  std::optional<bool> pm;
  std::optional<int> explicitOffset;
  std::optional<TimeZone> parsedZone;
  for (std::size_t i = 0; i < tokens->size(); ++i) {
    const Token& t = (*tokens)[i];
    // A numeric field right before another one reads exactly its width.
    bool fixed = i + 1 < tokens->size() && isNumericField((*tokens)[i + 1]) && isNumericField(t);
    int minDigits = fixed ? t.count : 1;
    int maxDigits = fixed ? t.count : 9;
    switch (t.letter) {
      case 0:
        if (text.substr(0, t.text.size()) != t.text) return std::nullopt;
        text.remove_prefix(t.text.size());
        break;
      case 'G':
        if (text.substr(0, 2) != "AD") return std::nullopt;
        text.remove_prefix(2);
        break;
      case 'y': {
        auto v = readNumber(text, t.count == 2 ? 2 : minDigits, t.count == 2 ? 2 : maxDigits);
        if (!v) return std::nullopt;
        c.year = static_cast<int>(t.count == 2 ? (*v < 50 ? 2000 + *v : 1900 + *v) : *v);
        break;
      }
      case 'M':
        if (t.count <= 2) {
          auto v = readNumber(text, minDigits, fixed ? t.count : 2);
          if (!v) return std::nullopt;
          c.month = static_cast<int>(*v);
        } else {
          int index = matchName(text, kMonths.data(), kMonths.size());
          if (index < 0) return std::nullopt;
          c.month = index + 1;
        }
        break;
      case 'd': {
        auto v = readNumber(text, minDigits, fixed ? t.count : 2);
        if (!v) return std::nullopt;
        c.day = static_cast<int>(*v);
        break;
      }
      case 'E':
        if (matchName(text, kWeekdays.data(), kWeekdays.size()) < 0) return std::nullopt;
        break;
      case 'a':
        if (text.size() >= 2 && equalsIgnoringCase(text.substr(0, 2), "AM")) {
          pm = false;
        } else if (text.size() >= 2 && equalsIgnoringCase(text.substr(0, 2), "PM")) {
          pm = true;
        } else {
          return std::nullopt;
        }
        text.remove_prefix(2);
        break;
      case 'H':
      case 'k':
      case 'h':
      case 'K': {
        auto v = readNumber(text, minDigits, fixed ? t.count : 2);
        if (!v) return std::nullopt;
        int h = static_cast<int>(*v);
        if (t.letter == 'H') {
          c.hour = h;
        } else if (t.letter == 'k') {
          c.hour = h == 24 ? 0 : h;
        } else {
          if (t.letter == 'h' && (h < 1 || h > 12)) return std::nullopt;
          if (t.letter == 'K' && h > 11) return std::nullopt;
          hour12 = h % 12;
        }
        break;
      }
      case 'm': {
        auto v = readNumber(text, minDigits, fixed ? t.count : 2);
        if (!v) return std::nullopt;
        c.minute = static_cast<int>(*v);
        break;
      }
      case 's': {
        auto v = readNumber(text, minDigits, fixed ? t.count : 2);
        if (!v) return std::nullopt;
        c.second = static_cast<int>(*v);
        break;
      }
      case 'S': {
        std::string_view before = text;
        auto v = readNumber(text, minDigits, maxDigits);
        if (!v) return std::nullopt;
        auto digits = static_cast<int>(before.size() - text.size());
        c.fraction = static_cast<double>(*v) / std::pow(10.0, digits);
        break;
      }
      case 'z': {
        std::size_t n = 0;
        while (n < text.size() && std::isalpha(static_cast<unsigned char>(text[n]))) ++n;
        std::string_view word = text.substr(0, n);
        if (word == "GMT" || word == "UTC") {
          text.remove_prefix(n);
          if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            explicitOffset = readOffset(text);
            if (!explicitOffset) return std::nullopt;
          } else {
            parsedZone = TimeZone::utc();
          }
        } else if (auto zone = TimeZone::withAbbreviation(word)) {
          text.remove_prefix(n);
          parsedZone = zone;
        } else {
          return std::nullopt;
        }
        break;
      }
      case 'Z':
      case 'X':
        explicitOffset = readOffset(text);
        if (!explicitOffset) return std::nullopt;
        break;
      default: return std::nullopt;
    }
  }
  if (!text.empty()) return std::nullopt;
  if (hour12) c.hour = *hour12 + (pm.value_or(false) ? 12 : 0);
  if (explicitOffset) {
    auto asUTC = dateFromComponents(c, TimeZone::utc());
    if (!asUTC) return std::nullopt;
    return *asUTC - *explicitOffset;
  }
  return dateFromComponents(c, parsedZone ? *parsedZone : zone_);
}

}  // namespace platform
