// Dates of the UI-test suite and their texts. A Date is an instant; a DateFormatter turns it into
// text with a Unicode date pattern ("MMM d, yyyy") in a time zone, with English (en_US) names.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace date {
class time_zone;
}

class DateFormatter;

class Date {
 public:
  using Clock = std::chrono::system_clock;
  using TimePoint = std::chrono::time_point<Clock, std::chrono::milliseconds>;

  Date() : Date(now()) {}
  explicit Date(TimePoint instant) : instant_(instant) {}

  // The current date and time, from the clock source (the system clock unless replaced).
  static Date now();
  // Replaces the clock source (empty restores the system clock); returns the previous one.
  static std::function<TimePoint()> setClockSource(std::function<TimePoint()> source);

  TimePoint instant() const { return instant_; }

  // The same wall-clock time `day` days later (earlier when negative) in the device's calendar
  // and time zone. Empty when the result is out of range.
  std::optional<Date> addDays(int day) const;

  // A new formatter in the time zone abbreviated "MDT" (America/Denver), or the device's zone
  // when that zone is unknown.
  static DateFormatter vesmoraDateFormatter();

  // "MMM d, yyyy", "MMMM", "d" and "yyyy" through vesmoraDateFormatter().
  std::string monthDayYearString() const;
  std::string fullMonthString() const;
  std::string dayString() const;
  std::string fullYearString() const;

  friend bool operator==(const Date& a, const Date& b) { return a.instant_ == b.instant_; }

 private:
  TimePoint instant_;
};

class DateFormatter {
 public:
  // A formatter in the device's time zone with an empty pattern.
  DateFormatter();

  std::string dateFormat;
  // The device's zone when null.
  void setTimeZone(const date::time_zone* zone) { zone_ = zone; }
  const date::time_zone* timeZone() const { return zone_; }

  // Supported pattern letters: y, M, d, E, H, h, m, s, a; text in single quotes is copied ('' is
  // a quote); any other character is copied as it is.
  std::string string(const Date& from) const;

  // The device's time zone, and a zone by its abbreviation (only "MDT" and a few North-American
  // ones are known) or null.
  static const date::time_zone* deviceTimeZone();
  static const date::time_zone* timeZone(const std::string& abbreviation);

 private:
  const date::time_zone* zone_;
};
