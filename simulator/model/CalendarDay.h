// A day of the calendar, without a time of day or a time zone: the dates of the money-movement
// forms ("Dec 9, 2026") and of booked transactions ("2026-12-09").
#pragma once

#include <compare>
#include <optional>
#include <string>

#include "foundation/Date.h"

namespace vesmora {

// Whether the year of the Gregorian calendar has a February 29.
inline bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

struct CalendarDay {
  int year = 1970;
  int month = 1;  // 1-12
  int day = 1;    // 1-31

  // The day on which `date` (seconds since 1970) falls in `zone`.
  static CalendarDay of(double date, const platform::TimeZone& zone);
  // The day of "yyyy-MM-dd"; empty for text that names no day.
  static std::optional<CalendarDay> fromISO(const std::string& text);
  static int daysInMonth(int year, int month);

  // Days since 1970-01-01 (negative before it).
  long long serial() const;
  static CalendarDay fromSerial(long long serial);

  CalendarDay addingDays(long long days) const { return fromSerial(serial() + days); }
  // The same day `months` later, or the month's last day when it is shorter (Jan 31 + 1: Feb 28).
  CalendarDay addingMonths(int months) const;
  // Whole days from this day to `other` (negative when `other` comes first).
  long long daysUntil(const CalendarDay& other) const { return other.serial() - serial(); }

  std::string text() const;  // "Dec 9, 2026"
  std::string iso() const;   // "2026-12-09"

  friend auto operator<=>(const CalendarDay&, const CalendarDay&) = default;
};

}  // namespace vesmora
