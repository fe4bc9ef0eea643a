#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/Date.h"

using platform::DateComponents;
using platform::DateFormatter;
using platform::TimeZone;

namespace {
// 2020-03-07 18:30:15.250 UTC, a Saturday.
constexpr double kSample = 1583605815.25;
}  // namespace

TEST(TimeZoneTest, NamesAbbreviationsAndOffsets) {
  auto denver = TimeZone::withAbbreviation("MDT");
  ASSERT_TRUE(denver.has_value());
  EXPECT_EQ(denver->identifier(), "America/Denver");
  EXPECT_EQ(denver->secondsFromGMT(kSample), -7 * 3600);           // winter: MST
  EXPECT_EQ(denver->abbreviation(kSample), "MST");
  EXPECT_EQ(denver->secondsFromGMT(kSample + 40 * 86400), -6 * 3600);  // April: MDT
  EXPECT_EQ(denver->abbreviation(kSample + 40 * 86400), "MDT");
  EXPECT_FALSE(TimeZone::withAbbreviation("XYZ").has_value());
  EXPECT_FALSE(TimeZone::named("Mars/Olympus").has_value());
  EXPECT_EQ(TimeZone::utc().secondsFromGMT(kSample), 0);

  TimeZone::setCurrent(*TimeZone::named("Asia/Tokyo"));
  EXPECT_EQ(TimeZone::current().identifier(), "Asia/Tokyo");
  EXPECT_EQ(DateFormatter().timeZone(), *TimeZone::named("Asia/Tokyo"));
  TimeZone::setCurrent(std::nullopt);
  EXPECT_NE(TimeZone::current().identifier(), "Asia/Tokyo");
}

// Zone lookups are kept between calls: a new $TZ value or the platform's setter must still be
// seen at once.
TEST(TimeZoneTest, CurrentFollowsEveryChangeOfTZAndOfTheInstalledZone) {
  const char* saved = std::getenv("TZ");
  std::string previous = saved ? saved : "";
  TimeZone::setCurrent(std::nullopt);
  setenv("TZ", "Asia/Kolkata", 1);
  EXPECT_EQ(TimeZone::current().identifier(), "Asia/Kolkata");
  setenv("TZ", ":America/Denver", 1);
  EXPECT_EQ(TimeZone::current().identifier(), "America/Denver");
  TimeZone::setCurrent(*TimeZone::named("Asia/Tokyo"));
  setenv("TZ", "UTC", 1);
  EXPECT_EQ(TimeZone::current().identifier(), "Asia/Tokyo");  // an installed zone wins over $TZ
  EXPECT_EQ(TimeZone::system().identifier(), "UTC");
  TimeZone::setCurrent(std::nullopt);
  EXPECT_EQ(TimeZone::current().identifier(), "UTC");
  setenv("TZ", "Asia/Kolkata", 1);
  EXPECT_EQ(DateFormatter().timeZone(), *TimeZone::named("Asia/Kolkata"));
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
}

TEST(DateFormatterTest, FormatsPatternsInTheFormattersZone) {
  DateFormatter formatter("MMM d, yyyy");
  formatter.setTimeZone(*TimeZone::withAbbreviation("MDT"));
  EXPECT_EQ(formatter.stringFromDate(kSample), "Mar 7, 2020");
  formatter.setDateFormat("MMMM");
  EXPECT_EQ(formatter.stringFromDate(kSample), "March");
  formatter.setDateFormat("EEEE dd/MM/yy hh:mm:ss.SSS a zzz Z");
  EXPECT_EQ(formatter.stringFromDate(kSample), "Saturday 07/03/20 11:30:15.250 AM MST -0700");
  formatter.setTimeZone(*TimeZone::named("Asia/Tokyo"));
  formatter.setDateFormat("yyyy-MM-dd'T'HH:mm:ssXXX 'o''clock'");
  EXPECT_EQ(formatter.stringFromDate(kSample), "2020-03-08T03:30:15+09:00 o'clock");
  formatter.setTimeZone(TimeZone::utc());
  formatter.setDateFormat("yyyyMMddHHmmssZZZZZ");
  EXPECT_EQ(formatter.stringFromDate(kSample), "20200307183015Z");
}

TEST(DateFormatterTest, ParsesWhatItFormatsAndRefusesTheRest) {
  DateFormatter formatter("MMM d, yyyy");
  formatter.setTimeZone(*TimeZone::withAbbreviation("MDT"));
  auto parsed = formatter.dateFromString("Mar 7, 2020");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(formatter.stringFromDate(*parsed), "Mar 7, 2020");
  EXPECT_EQ(*parsed, 1583564400.0);  // local midnight, -07:00
  EXPECT_TRUE(formatter.dateFromString("december 25, 2021").has_value());
  EXPECT_FALSE(formatter.dateFromString("Feb 30, 2021").has_value());
  EXPECT_FALSE(formatter.dateFromString("$12.00").has_value());
  EXPECT_FALSE(formatter.dateFromString("Mar 7, 2020 extra").has_value());
  EXPECT_FALSE(formatter.dateFromString("").has_value());

  DateFormatter iso("yyyy-MM-dd'T'HH:mm:ss.SSSZ");
  EXPECT_EQ(iso.dateFromString("2020-03-07T11:30:15.250-0700"), kSample);
  DateFormatter compact("yyyyMMddHHmmss");
  compact.setTimeZone(TimeZone::utc());
  EXPECT_EQ(compact.dateFromString("20200307183015"), 1583605815.0);
  DateFormatter twelve("h:mm a");
  twelve.setTimeZone(TimeZone::utc());
  EXPECT_EQ(twelve.dateFromString("12:05 AM"), 300.0);
  EXPECT_EQ(twelve.dateFromString("5:30 PM"), 17.5 * 3600);
  EXPECT_FALSE(DateFormatter("yyyy-qq").dateFromString("2020-01").has_value());  // unknown letter
}

TEST(CalendarTest, ComponentsAndDayArithmeticFollowTheZone) {
  TimeZone denver = *TimeZone::named("America/Denver");
  DateComponents c = platform::componentsOfDate(kSample, denver);
  EXPECT_EQ(c.year, 2020);
  EXPECT_EQ(c.month, 3);
  EXPECT_EQ(c.day, 7);
  EXPECT_EQ(c.hour, 11);
  EXPECT_EQ(c.weekday, 7);
  EXPECT_DOUBLE_EQ(c.fraction, 0.25);
  EXPECT_EQ(platform::dateFromComponents(c, denver), kSample);

  // Across the switch to daylight time (2020-03-08) a day keeps the local time: 23 hours pass.
  double next = platform::dateByAddingDays(kSample, 1, denver);
  EXPECT_EQ(next - kSample, 23 * 3600.0);
  EXPECT_EQ(platform::componentsOfDate(next, denver).hour, 11);
  EXPECT_EQ(platform::dateByAddingDays(kSample, -7, TimeZone::utc()), kSample - 7 * 86400);
  EXPECT_EQ(platform::componentsOfDate(platform::dateByAddingDays(kSample, 25, denver), denver).month, 4);

  // 02:30 on 2020-03-08 does not exist in Denver: it moves forward to 03:30 daylight time.
  DateComponents gap{2020, 3, 8, 2, 30, 0, 0, 1};
  auto moved = platform::dateFromComponents(gap, denver);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(platform::componentsOfDate(*moved, denver).hour, 3);
  EXPECT_FALSE(platform::dateFromComponents(DateComponents{2021, 2, 29, 0, 0, 0, 0, 1}, denver).has_value());
  EXPECT_EQ(platform::componentsOfDate(platform::startOfDay(kSample, denver), denver).hour, 0);
}
