#include <gtest/gtest.h>

#include <optional>

#include "Extensions/Date.h"
#include "Utility/CommonFunctions.h"

namespace {

using platform::TimeZone;

Date utc(int y, int m, int d, int hour, int minute) {
  return Date::fromTimeIntervalSince1970(*platform::dateFromComponents({y, m, d, hour, minute, 0}, TimeZone::utc()));
}

// Installs `zone` as the device's time zone for the lifetime of the object.
class DeviceTimeZone {
 public:
  explicit DeviceTimeZone(std::optional<TimeZone> zone) { TimeZone::setCurrent(std::move(zone)); }
  ~DeviceTimeZone() { TimeZone::setCurrent(std::nullopt); }
};

}  // namespace

TEST(DateTexts, UseMountainTimeForTheAppsPatterns) {
  // Whatever the device's zone, the app's texts are Mountain Time.
  DeviceTimeZone tokyo(TimeZone::named("Asia/Tokyo"));
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

TEST(DateTexts, FormatterHandlesTheCommonPatternLettersInTheDevicesZone) {
  DeviceTimeZone zone(TimeZone::withAbbreviation("UTC"));
  EXPECT_EQ(CommonFunctions::getDateFormatter(utc(2023, 3, 9, 15, 4), "EEEE, MMMM dd yy 'at' h:mm a ''HH:ss''"),
            "Thursday, March 09 23 at 3:04 PM '15:00'");
  EXPECT_EQ(CommonFunctions::getDateFormatter(utc(2023, 12, 31, 0, 0), "EEE M/d/yyyy hh"), "Sun 12/31/2023 12");
  EXPECT_FALSE(TimeZone::withAbbreviation("XYZ").has_value());
}

TEST(DateTexts, AddDaysMovesWholeCalendarDays) {
  Date d = utc(2024, 2, 28, 12, 0);
  auto later = d.addDays(2);
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(CommonFunctions::getDateFormatter(*later, "yyyy-MM-dd"),
            CommonFunctions::getDateFormatter(*d.addDays(1)->addDays(1), "yyyy-MM-dd"));
  EXPECT_EQ(CommonFunctions::getDateFormatter(*d.addDays(-28), "yyyy-MM-dd"),
            CommonFunctions::getDateFormatter(utc(2024, 1, 31, 12, 0), "yyyy-MM-dd"));
  EXPECT_FALSE(d.addDays(4'000'000).has_value());
  EXPECT_FALSE(d.addDays(-4'000'000).has_value());
}

TEST(DateTexts, AddDaysKeepsTheWallClockTimeAcrossADaylightSavingChange) {
  DeviceTimeZone denver(TimeZone::named("America/Denver"));
  // Noon MST on 9 March 2024; Denver springs forward at 02:00 on 10 March.
  Date noon = utc(2024, 3, 9, 19, 0);
  EXPECT_EQ(noon.addDays(1), utc(2024, 3, 10, 18, 0)) << "noon MDT, 23 hours later";
  EXPECT_EQ(noon.addDays(1)->addDays(-1), noon);
  // 02:30 does not exist on 10 March: the time moves forward by the gap, to 03:30 MDT.
  EXPECT_EQ(utc(2024, 3, 9, 9, 30).addDays(1), utc(2024, 3, 10, 9, 30));
}

TEST(DateTexts, ClockSourceCanBeReplaced) {
  Date fixed = utc(2020, 5, 17, 12, 0);
  auto previous = Date::setClockSource([&] { return fixed.instant(); });
  EXPECT_EQ(Date::now(), fixed);
  Date::setClockSource(previous);
  EXPECT_FALSE(Date::now() == fixed);
}

TEST(DateTexts, AddDaysCrossesTheYearEndInTheDevicesZone) {
  // 23:30 on Dec 31 in Kolkata is 18:00 UTC and 11:00 in Denver, all still Dec 31.
  DeviceTimeZone kolkata(TimeZone::named("Asia/Kolkata"));
  Date lateEvening = utc(2026, 12, 31, 18, 0);
  Date nextDay = *lateEvening.addDays(1);
  EXPECT_EQ(CommonFunctions::getDateFormatter(nextDay, "yyyy-MM-dd HH:mm"), "2027-01-01 23:30");
  EXPECT_EQ(nextDay.monthDayYearString(), "Jan 1, 2027");
  EXPECT_EQ(nextDay.fullMonthString(), "January");
  EXPECT_EQ(nextDay.dayString(), "1");
  EXPECT_EQ(nextDay.fullYearString(), "2027");
  // Two and ten days on from Dec 30, 23:59 in Denver: the next year's days.
  DeviceTimeZone denver(TimeZone::named("America/Denver"));
  Date beforeMidnight = utc(2026, 12, 31, 6, 59);  // Dec 30, 23:59 MST
  EXPECT_EQ(beforeMidnight.addDays(2)->monthDayYearString(), "Jan 1, 2027");
  EXPECT_EQ(beforeMidnight.addDays(10)->monthDayYearString(), "Jan 9, 2027");
}

TEST(DateTexts, AddDaysKeepsTheWallClockTimeWhenDaylightSavingEnds) {
  DeviceTimeZone denver(TimeZone::named("America/Denver"));
  // Noon MDT on 6 November 2027; Denver falls back at 02:00 on 7 November.
  Date noon = utc(2027, 11, 6, 18, 0);
  EXPECT_EQ(noon.addDays(1), utc(2027, 11, 7, 19, 0)) << "noon MST, 25 hours later";
  EXPECT_EQ(noon.addDays(2)->monthDayYearString(), "Nov 8, 2027");
  // 23:30 MDT on 6 November plus one day is 23:30 MST on the 7th, not 22:30.
  EXPECT_EQ(utc(2027, 11, 7, 5, 30).addDays(1), utc(2027, 11, 8, 6, 30));
}

TEST(DateTexts, APaymentDatesExpectedTextNamesTheDayItsWheelsAreTurnedToAtEveryHour) {
  // The future-dated bill payment turns the picker to the "MDT" month, day and year and expects
  // the completion to show "MMM d, yyyy" of the same day; the device's zone must not matter, also
  // at the hours where the device's date and the Mountain date differ.
  for (const char* zoneName : {"UTC", "Asia/Kolkata", "Pacific/Honolulu"}) {
    DeviceTimeZone zone(TimeZone::named(zoneName));
    int hoursWhereDatesDiffer = 0;
    for (int hour = 0; hour < 24; ++hour) {
      for (int offset : {1, 364}) {
        Date payment = *utc(2026, 12, 7, hour, 30).addDays(offset);
        std::string wheels = payment.fullMonthString().substr(0, 3) + " " + payment.dayString() + ", " +
                             payment.fullYearString();
        EXPECT_EQ(payment.monthDayYearString(), wheels) << zoneName << " " << hour << ":30 +" << offset;
        if (CommonFunctions::getDateFormatter(payment, "MMM d, yyyy") != wheels) ++hoursWhereDatesDiffer;
      }
    }
    EXPECT_GT(hoursWhereDatesDiffer, 0) << zoneName << ": the device's date never differs from the Mountain date";
  }
}
