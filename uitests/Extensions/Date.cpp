#include "Extensions/Date.h"

#include <date/date.h>
#include <date/tz.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace {

std::mutex& clockMutex() {
  static std::mutex m;
  return m;
}

std::function<Date::TimePoint()>& clockSource() {
  static std::function<Date::TimePoint()> source;
  return source;
}

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

std::string padded(long long value, std::size_t width) {
  std::string s = std::to_string(value);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

}  // namespace

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

std::optional<Date> Date::addDays(int day) const {
  const date::time_zone* zone = DateFormatter::deviceTimeZone();
  try {
    auto local = zone->to_local(instant_);
    auto shifted = local + date::days(day);
    // A wall time that falls into a daylight-saving gap or overlap takes the earlier instant.
    auto result = zone->to_sys(shifted, date::choose::earliest);
    return Date(result);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

DateFormatter Date::vesmoraDateFormatter() {
  DateFormatter formatter;
  if (const date::time_zone* mdt = DateFormatter::timeZone("MDT")) formatter.setTimeZone(mdt);
  return formatter;
}

std::string Date::monthDayYearString() const {
  DateFormatter f = vesmoraDateFormatter();
  f.dateFormat = "MMM d, yyyy";
  return f.string(*this);
}

std::string Date::fullMonthString() const {
  DateFormatter f = vesmoraDateFormatter();
  f.dateFormat = "MMMM";
  return f.string(*this);
}

std::string Date::dayString() const {
  DateFormatter f = vesmoraDateFormatter();
  f.dateFormat = "d";
  return f.string(*this);
}

std::string Date::fullYearString() const {
  DateFormatter f = vesmoraDateFormatter();
  f.dateFormat = "yyyy";
  return f.string(*this);
}

DateFormatter::DateFormatter() : zone_(nullptr) {}

const date::time_zone* DateFormatter::deviceTimeZone() {
  static const date::time_zone* zone = []() -> const date::time_zone* {
    try {
      return date::current_zone();
    } catch (const std::exception&) {
      return date::locate_zone("UTC");
    }
  }();
  return zone;
}

const date::time_zone* DateFormatter::timeZone(const std::string& abbreviation) {
  static const std::map<std::string, std::string> kKnown = {
      {"MDT", "America/Denver"},      {"MST", "America/Denver"},  {"EDT", "America/New_York"},
      {"EST", "America/New_York"},    {"CDT", "America/Chicago"}, {"CST", "America/Chicago"},
      {"PDT", "America/Los_Angeles"}, {"PST", "America/Los_Angeles"}, {"UTC", "UTC"},
      {"GMT", "UTC"}};
  auto it = kKnown.find(abbreviation);
  if (it == kKnown.end()) return nullptr;
  try {
    return date::locate_zone(it->second);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::string DateFormatter::string(const Date& from) const {
  const date::time_zone* zone = zone_ ? zone_ : deviceTimeZone();
  auto local = zone->to_local(from.instant());
  auto localDay = date::floor<date::days>(local);
  date::year_month_day ymd{localDay};
  date::weekday wd{localDay};
  date::hh_mm_ss<std::chrono::milliseconds> time{local - localDay};
  long long year = static_cast<int>(ymd.year());
  long long month = static_cast<unsigned>(ymd.month());
  long long day = static_cast<unsigned>(ymd.day());
  long long hour = time.hours().count();
  long long minute = time.minutes().count();
  long long second = time.seconds().count();

  const std::string& p = dateFormat;
  std::string out;
  std::size_t i = 0;
  while (i < p.size()) {
    char c = p[i];
    if (c == '\'') {
      if (i + 1 < p.size() && p[i + 1] == '\'') {
        out += '\'';
        i += 2;
        continue;
      }
      std::size_t j = i + 1;
      while (j < p.size()) {
        if (p[j] == '\'') {
          if (j + 1 < p.size() && p[j + 1] == '\'') {
            out += '\'';
            j += 2;
            continue;
          }
          break;
        }
        out += p[j++];
      }
      i = j + 1;
      continue;
    }
    std::size_t n = 1;
    while (i + n < p.size() && p[i + n] == c) ++n;
    switch (c) {
      case 'y':
        out += n == 2 ? padded(year % 100, 2) : padded(year, n);
        break;
      case 'M':
        if (n >= 4) {
          out += kMonths[month - 1];
        } else if (n == 3) {
          out += std::string(kMonths[month - 1]).substr(0, 3);
        } else {
          out += padded(month, n);
        }
        break;
      case 'd':
        out += padded(day, n);
        break;
      case 'E':
        out += n >= 4 ? std::string(kWeekdays[wd.c_encoding()])
                      : std::string(kWeekdays[wd.c_encoding()]).substr(0, 3);
        break;
      case 'H':
        out += padded(hour, n);
        break;
      case 'h':
        out += padded(hour % 12 == 0 ? 12 : hour % 12, n);
        break;
      case 'm':
        out += padded(minute, n);
        break;
      case 's':
        out += padded(second, n);
        break;
      case 'a':
        out += hour < 12 ? "AM" : "PM";
        break;
      default:
        out.append(n, c);
        break;
    }
    i += n;
  }
  return out;
}
