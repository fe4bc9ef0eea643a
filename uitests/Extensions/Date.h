// Dates of the UI-test suite. A Date is an instant read from the suite's clock; its calendar
// arithmetic, time zones and texts are the platform's (foundation/Date.h).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "foundation/Date.h"

class Date {
 public:
  using Clock = std::chrono::system_clock;
  using TimePoint = std::chrono::time_point<Clock, std::chrono::milliseconds>;

  Date() : Date(now()) {}
  explicit Date(TimePoint instant) : instant_(instant) {}
  // The instant `seconds` after 1970-01-01 00:00:00 UTC, to the nearest millisecond.
  static Date fromTimeIntervalSince1970(double seconds);

  // The current date and time, from the clock source (the system clock unless replaced).
  static Date now();
  // Replaces the clock source (empty restores the system clock); returns the previous one.
  static std::function<TimePoint()> setClockSource(std::function<TimePoint()> source);

  TimePoint instant() const { return instant_; }
  // Seconds since 1970-01-01 00:00:00 UTC: the platform's form of a date.
  double timeIntervalSince1970() const;

  // The same wall-clock time `day` days later (earlier when negative) in the device's time zone,
  // by the platform's calendar. Empty when the move exceeds 10,000 years.
  std::optional<Date> addDays(int day) const;

  // A new formatter in the time zone abbreviated "MDT" (America/Denver), or the device's zone
  // when that zone is unknown.
  static platform::DateFormatter vesmoraDateFormatter();

  // "MMM d, yyyy", "MMMM", "d" and "yyyy" through vesmoraDateFormatter().
  std::string monthDayYearString() const;
  std::string fullMonthString() const;
  std::string dayString() const;
  std::string fullYearString() const;

  friend bool operator==(const Date& a, const Date& b) { return a.instant_ == b.instant_; }

 private:
  std::string vesmoraText(const char* pattern) const;

  TimePoint instant_;
};
