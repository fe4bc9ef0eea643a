// Dates are seconds since 1970-01-01 00:00:00 UTC as double (the current time comes from the
// injectable clock of dispatch/Clock.h). This header adds time zones (the system's time-zone
// database), calendar arithmetic in a zone, and formatting/parsing with date patterns.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Seconds between 1970-01-01 and the platform's reference date 2001-01-01 (both UTC).
inline constexpr double kTimeIntervalSince1970ToReferenceDate = 978307200.0;

class TimeZone {
 public:
  // An identifier of the time-zone database ("America/Denver", "UTC", "GMT", ...).
  static std::optional<TimeZone> named(std::string_view identifier);
  // The platform's abbreviation table ("MDT" and "MST" are America/Denver, "PDT"/"PST"
  // America/Los_Angeles, "UTC"/"GMT" UTC, ...); empty for an unknown abbreviation.
  static std::optional<TimeZone> withAbbreviation(std::string_view abbreviation);
  static TimeZone utc();
  // The device's time zone: the one a host or test installed, else the system's ($TZ, then
  // /etc/localtime), else UTC. $TZ is read at every call; each zone's file is read once, and
  // /etc/localtime is resolved once per process.
  static TimeZone current();
  // The system's zone, whatever zone is installed ($TZ, then /etc/localtime, else UTC).
  static TimeZone system();
  // Installs the device's time zone; an empty optional goes back to the system's.
  static void setCurrent(std::optional<TimeZone> zone);

  const std::string& identifier() const { return identifier_; }
  int secondsFromGMT(double date) const;
  // The zone's abbreviation at `date` ("MDT", "MST", "UTC", ...).
  std::string abbreviation(double date) const;

  friend bool operator==(const TimeZone& a, const TimeZone& b) { return a.zone_ == b.zone_; }

 private:
  TimeZone(const void* zone, std::string identifier) : zone_(zone), identifier_(std::move(identifier)) {}
  friend struct TimeZoneAccess;
  const void* zone_;  // our own copy of a zone of the time-zone database, never destroyed
  std::string identifier_;
};

// A date broken down in a time zone (Gregorian calendar).
struct DateComponents {
  int year = 1970;
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;
  int second = 0;
  double fraction = 0;  // fraction of the second, 0 <= fraction < 1
  int weekday = 5;      // 1 Sunday ... 7 Saturday (ignored when building a date)
};

DateComponents componentsOfDate(double date, const TimeZone& zone);
// The date with these local components. Out-of-range fields are refused (empty). A local time
// that the zone skips (a daylight-saving gap) moves forward by the gap; one that occurs twice
// takes the earlier.
std::optional<double> dateFromComponents(const DateComponents& components, const TimeZone& zone);
// The date moved by whole calendar days in `zone`, keeping the local time of day where it exists.
double dateByAddingDays(double date, int days, const TimeZone& zone);
// Midnight (or the first existing instant) of the date's day in `zone`.
double startOfDay(double date, const TimeZone& zone);

// Formats and parses with a date pattern of the platform's syntax, English names:
//   G era (AD); y, yy, yyyy year; M, MM, MMM (Jan), MMMM (January), MMMMM (J) month;
//   d, dd day; D day of year; E..EEE (Mon), EEEE (Monday) weekday; a (AM/PM);
//   H, HH (0-23); h, hh (1-12); k (1-24); K (0-11); m, mm; s, ss; S... fraction digits;
//   z..zzz (MDT), Z..ZZZ (-0600), ZZZZZ / XXX (-06:00, Z for UTC), X (-06, Z), XX (-0600, Z);
//   'text' literal text ('' a quote); other letters are refused, other characters literal.
// Parsing needs the whole text to match; missing fields default to 1970-01-01 00:00:00 in the
// formatter's zone (a zone in the text wins). A fresh formatter uses the device's time zone.
class DateFormatter {
 public:
  DateFormatter();
  explicit DateFormatter(std::string pattern);

  void setDateFormat(std::string pattern) { pattern_ = std::move(pattern); }
  const std::string& dateFormat() const { return pattern_; }
  void setTimeZone(TimeZone zone) { zone_ = std::move(zone); }
  const TimeZone& timeZone() const { return zone_; }

  std::string stringFromDate(double date) const;
  std::optional<double> dateFromString(std::string_view text) const;

 private:
  std::string pattern_;
  TimeZone zone_;
};

}  // namespace platform
