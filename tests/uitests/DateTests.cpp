#include <gtest/gtest.h>

#include <date/date.h>

#include "Extensions/Date.h"

namespace {

Date utc(int y, unsigned m, unsigned d, int hour, int minute) {
  auto day = date::sys_days{date::year{y} / m / d};
  return Date(std::chrono::time_point_cast<std::chrono::milliseconds>(day + std::chrono::hours(hour) +
                                                                      std::chrono::minutes(minute)));
}

}  // namespace

TEST(DateTexts, UseMountainTimeForTheAppsPatterns) {
  // 03:30 UTC on 1 July is still 30 June in Denver (UTC-6 in summer).
  Date d = utc(2024, 7, 1, 3, 30);
  EXPECT_EQ(d.monthDayYearString(), "Jun 30, 2024");
  EXPECT_EQ(d.fullMonthString(), "June");
  EXPECT_EQ(d.dayString(), "30");
  EXPECT_EQ(d.fullYearString(), "2024");
  // In winter Denver is UTC-7.
  EXPECT_EQ(utc(2024, 1, 5, 6, 59).monthDayYearString(), "Jan 4, 2024");
  EXPECT_EQ(utc(2024, 1, 5, 7, 0).monthDayYearString(), "Jan 5, 2024");
}

TEST(DateTexts, FormatterHandlesTheCommonPatternLetters) {
  DateFormatter f;
  f.setTimeZone(DateFormatter::timeZone("UTC"));
  f.dateFormat = "EEEE, MMMM dd yy 'at' h:mm a ''HH:ss''";
  EXPECT_EQ(f.string(utc(2023, 3, 9, 15, 4)), "Thursday, March 09 23 at 3:04 PM '15:00'");
  f.dateFormat = "EEE M/d/yyyy hh";
  EXPECT_EQ(f.string(utc(2023, 12, 31, 0, 0)), "Sun 12/31/2023 12");
  EXPECT_EQ(DateFormatter::timeZone("XYZ"), nullptr);
}

TEST(DateTexts, AddDaysMovesWholeCalendarDays) {
  Date d = utc(2024, 2, 28, 12, 0);
  auto later = d.addDays(2);
  ASSERT_TRUE(later.has_value());
  DateFormatter f;
  f.dateFormat = "yyyy-MM-dd";
  EXPECT_EQ(f.string(*later), f.string(*d.addDays(1)->addDays(1)));
  EXPECT_EQ(f.string(*d.addDays(-28)), f.string(utc(2024, 1, 31, 12, 0)));
}

TEST(DateTexts, ClockSourceCanBeReplaced) {
  Date fixed = utc(2020, 5, 17, 12, 0);
  auto previous = Date::setClockSource([&] { return fixed.instant(); });
  EXPECT_EQ(Date::now(), fixed);
  Date::setClockSource(previous);
  EXPECT_FALSE(Date::now() == fixed);
}
