#include "model/CalendarDay.h"

#include <cstdio>

namespace vesmora {
namespace {

const char* const kMonthAbbreviations[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

long long floorDiv(long long a, long long b) { return (a >= 0 ? a : a - (b - 1)) / b; }

}  // namespace

CalendarDay CalendarDay::of(double date, const platform::TimeZone& zone) {
  platform::DateComponents c = platform::componentsOfDate(date, zone);
  return {c.year, c.month, c.day};
}

std::optional<CalendarDay> CalendarDay::fromISO(const std::string& text) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return std::nullopt;
  if (m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m)) return std::nullopt;
  return CalendarDay{y, m, d};
}

int CalendarDay::daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
}

// Days from civil date, proleptic Gregorian calendar (era arithmetic over 400-year cycles).
long long CalendarDay::serial() const {
  long long y = year - (month <= 2 ? 1 : 0);
  long long era = floorDiv(y, 400);
  long long yoe = y - era * 400;
  long long mp = (month + 9) % 12;
  long long doy = (153 * mp + 2) / 5 + day - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CalendarDay CalendarDay::fromSerial(long long serial) {
  long long z = serial + 719468;
  long long era = floorDiv(z, 146097);
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  int y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  return {y, m, d};
}

CalendarDay CalendarDay::addingMonths(int months) const {
  long long index = static_cast<long long>(year) * 12 + (month - 1) + months;
  int y = static_cast<int>(floorDiv(index, 12));
  int m = static_cast<int>(index - static_cast<long long>(y) * 12) + 1;
  int d = day < daysInMonth(y, m) ? day : daysInMonth(y, m);
  return {y, m, d};
}

std::string CalendarDay::text() const {
  return std::string(kMonthAbbreviations[month - 1]) + " " + std::to_string(day) + ", " + std::to_string(year);
}

std::string CalendarDay::iso() const {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day);
  return buffer;
}

}  // namespace vesmora
