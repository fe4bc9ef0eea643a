#include "Extensions/Date.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

namespace {

// 10,000 years of days: far beyond any date a test needs, well within the calendar's range.
constexpr int kMaxDayShift = 3'652'425;

std::mutex& clockMutex() {
  static std::mutex m;
  return m;
}

std::function<Date::TimePoint()>& clockSource() {
  static std::function<Date::TimePoint()> source;
  return source;
}

}  // namespace

Date Date::fromTimeIntervalSince1970(double seconds) {
  return Date(TimePoint(std::chrono::milliseconds(std::llround(seconds * 1000))));
}

Date Date::now() {
  std::function<TimePoint()> source;
  {
    std::lock_guard<std::mutex> lock(clockMutex());
    source = clockSource();
  }
  if (source) return Date(source());
  return Date(std::chrono::time_point_cast<std::chrono::milliseconds>(Clock::now()));
}

std::function<Date::TimePoint()> Date::setClockSource(std::function<TimePoint()> source) {
  std::lock_guard<std::mutex> lock(clockMutex());
  auto old = std::move(clockSource());
  clockSource() = std::move(source);
  return old;
}

double Date::timeIntervalSince1970() const {
  return static_cast<double>(instant_.time_since_epoch().count()) / 1000.0;
}

std::optional<Date> Date::addDays(int day) const {
  if (std::abs(static_cast<long long>(day)) > kMaxDayShift) return std::nullopt;
  double moved = platform::dateByAddingDays(timeIntervalSince1970(), day, platform::TimeZone::current());
  return fromTimeIntervalSince1970(moved);
}

platform::DateFormatter Date::vesmoraDateFormatter() {
  platform::DateFormatter formatter;
  if (auto mdt = platform::TimeZone::withAbbreviation("MDT")) formatter.setTimeZone(*mdt);
  return formatter;
}

std::string Date::vesmoraText(const char* pattern) const {
  platform::DateFormatter formatter = vesmoraDateFormatter();
  formatter.setDateFormat(pattern);
  return formatter.stringFromDate(timeIntervalSince1970());
}

std::string Date::monthDayYearString() const { return vesmoraText("MMM d, yyyy"); }
std::string Date::fullMonthString() const { return vesmoraText("MMMM"); }
std::string Date::dayString() const { return vesmoraText("d"); }
std::string Date::fullYearString() const { return vesmoraText("yyyy"); }
