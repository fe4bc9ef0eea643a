#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "SupportTestHelpers.h"
#include "Extensions/TestEnvironment.h"
#include "Utility/CommonFunctions.h"

using ::testing::HasSubstr;

TEST(DataLoaders, ReadTheFileOfTheTestEnvironment) {
  ScratchBundle bundle("qa");
  bundle.write("Rows_qa.json", R"([{"id": 1, "username": "a"}, 7, {"id": 2}])");
  bundle.write("Rows_sim.json", R"([])");
  bundle.write("Holder_qa.json", R"({"CHALLENGE": {"username": "c", "password": "p"}})");
  FailureRecorder failures;
  EXPECT_EQ(testEnvironment(), "qa");
  auto rows = CommonFunctions::loadDataSourceArray("Rows");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["username"], "a");
  EXPECT_EQ(rows[1], 7);
  auto object = CommonFunctions::loadDataSourceObject("Holder");
  EXPECT_EQ(object.at("CHALLENGE")["password"], "p");
  EXPECT_TRUE(failures.messages.empty());
}

TEST(DataLoaders, UnsetEnvironmentMeansTheEmptyName) {
  ScratchBundle bundle("");
  ::unsetenv("test_env");
  bundle.write("Rows_.json", R"([])");
  FailureRecorder failures;
  EXPECT_EQ(testEnvironment(), "");
  EXPECT_TRUE(CommonFunctions::loadDataSourceArray("Rows").empty());
  EXPECT_TRUE(failures.messages.empty()) << "an existing empty array is no failure";
}

TEST(DataLoaders, MissingOrBrokenFilesRecordAFailureNamingTheFile) {
  ScratchBundle bundle("sim");
  bundle.write("Broken_sim.json", R"([{"id": 1,)");
  bundle.write("Object_sim.json", R"({"a": 1})");
  bundle.write("Array_sim.json", R"([1])");
  FailureRecorder failures;
  EXPECT_TRUE(CommonFunctions::loadDataSourceArray("Missing").empty());
  EXPECT_TRUE(CommonFunctions::loadDataSourceArray("Broken").empty());
  EXPECT_TRUE(CommonFunctions::loadDataSourceArray("Object").empty());
  EXPECT_TRUE(CommonFunctions::loadDataSourceObject("Array").empty());
  EXPECT_TRUE(CommonFunctions::loadDataSourceObject("Missing").empty());
  ASSERT_EQ(failures.messages.size(), 5u);
  EXPECT_THAT(failures.messages[0], HasSubstr("\"Missing_sim.json\" was not found"));
  EXPECT_THAT(failures.messages[1], HasSubstr("\"Broken_sim.json\" is not valid JSON"));
  EXPECT_THAT(failures.messages[2], HasSubstr("\"Object_sim.json\" does not hold an array"));
  EXPECT_THAT(failures.messages[3], HasSubstr("\"Array_sim.json\" does not hold an object"));
}

TEST(DataRows, BadRowsStopTheTestNamingFileRowAndKey) {
  ScratchBundle bundle("sim");
  FailureRecorder failures;
  nlohmann::json row = {{"id", 3}, {"username", "u"}, {"password", 480917}};
  TestDataRow good(row, "LoginTestData", 2);
  EXPECT_EQ(good.string("username"), "u");
  EXPECT_EQ(good.integer("id"), 3);
  EXPECT_TRUE(failures.messages.empty());

  EXPECT_THROW(good.string("password"), FailureRecorder::Stop);
  EXPECT_THROW(good.string("nickname"), FailureRecorder::Stop);
  EXPECT_THROW(good.integer("username"), FailureRecorder::Stop);
  EXPECT_THROW(TestDataRow(nlohmann::json("text"), "LoginTestData", 0), FailureRecorder::Stop);
  ASSERT_EQ(failures.messages.size(), 4u);
  EXPECT_EQ(failures.messages[0],
            "Test data file \"LoginTestData_sim.json\", row 3, key \"password\": expected text, found number");
  EXPECT_THAT(failures.messages[1], HasSubstr("row 3, key \"nickname\": missing"));
  EXPECT_THAT(failures.messages[2], HasSubstr("key \"username\": expected an integer, found string"));
  EXPECT_THAT(failures.messages[3], HasSubstr("row 1: not a JSON object"));

  CommonFunctions::JSONObject holder = {{"CHALLENGE", nlohmann::json::array()}};
  EXPECT_THROW(TestDataRow::member(holder, "CHALLENGE", "RSATestData"), FailureRecorder::Stop);
  EXPECT_THROW(TestDataRow::member({}, "CHALLENGE", "RSATestData"), FailureRecorder::Stop);
  EXPECT_THAT(failures.messages[4], HasSubstr("RSATestData_sim.json\", key \"CHALLENGE\": not a JSON object"));
  EXPECT_THAT(failures.messages[5], HasSubstr("missing key \"CHALLENGE\""));
}

TEST(DataRows, ListEntriesBeforeAMalformedOneAreUsedFirst) {
  ScratchBundle bundle("sim");
  FailureRecorder failures;
  nlohmann::json row = {{"id", 1},
                        {"deposits", nlohmann::json::array({{{"id", "a"}}, {{"id", "b"}}, "broken", {{"id", "c"}}})}};
  TestDataRow data(row, "RealJointAccountsSummary", 0);
  // Reading the list checks nothing yet: the walk reaches the malformed entry third.
  std::vector<std::string> seen;
  EXPECT_THROW(
      {
        for (const TestDataRow& entry : data.list("deposits")) seen.push_back(entry.string("id"));
      },
      FailureRecorder::Stop);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_EQ(failures.messages[0],
            "Test data file \"RealJointAccountsSummary_sim.json\", row 1, key \"deposits\" entry 3: not a JSON object");

  EXPECT_EQ(data.list("deposits").size(), 4u);
  EXPECT_THROW(data.list("id"), FailureRecorder::Stop);
  EXPECT_THAT(failures.messages[1], HasSubstr("row 1, key \"id\": expected an array, found number"));
}

TEST(DataRows, WithoutAHandlerAStopStillEndsTheTest) {
  auto previous = TestFailure::setHandler(nullptr);
  EXPECT_THROW(TestDataRow(nlohmann::json(1), "X", 0), TestFailure::Stopped);
  // A handler that returns does not let the test go on either.
  TestFailure::setHandler([](const std::string&, bool) {});
  EXPECT_THROW(TestFailure::recordAndStop("m"), TestFailure::Stopped);
  TestFailure::setHandler(previous);
}

TEST(Money, RoundUpFloatKeepsAtMostTwoDigitsTiesToEven) {
  EXPECT_EQ(CommonFunctions::roundUpFloat(1.5f).toString(), "1.5");
  EXPECT_EQ(CommonFunctions::roundUpFloat(12.0f).toString(), "12");
  EXPECT_EQ(CommonFunctions::roundUpFloat(0.125f).toString(), "0.12");   // exact tie, even
  EXPECT_EQ(CommonFunctions::roundUpFloat(0.375f).toString(), "0.38");   // exact tie, even
  EXPECT_EQ(CommonFunctions::roundUpFloat(1.005f).toString(), "1");      // 1.00499999...
  EXPECT_EQ(CommonFunctions::roundUpFloat(2.675f).toString(), "2.67");   // 2.67499995...
  EXPECT_EQ(CommonFunctions::roundUpFloat(99.99f).toString(), "99.99");
  EXPECT_EQ(CommonFunctions::roundUpFloat(-3.14159f).toString(), "-3.14");
  EXPECT_EQ(CommonFunctions::roundUpFloat(1e-30f).toString(), "0");
  EXPECT_EQ(CommonFunctions::roundUpFloat(-0.001f).toString(), "0");
  EXPECT_EQ(CommonFunctions::roundUpFloat(3.0e38f).toString(), "300000000549775580000000000000000000000")
      << "3.0e38f widens to 3.0000000054977558e38";
}

TEST(Money, RoundUpFloatOfNaNOrInfinityRecordsAFailure) {
  FailureRecorder failures;
  EXPECT_TRUE(CommonFunctions::roundUpFloat(std::numeric_limits<float>::quiet_NaN()).isZero());
  EXPECT_TRUE(CommonFunctions::roundUpFloat(-std::numeric_limits<float>::infinity()).isZero());
  ASSERT_EQ(failures.messages.size(), 2u);
  EXPECT_THAT(failures.messages[1], HasSubstr("cannot be rounded"));
}

TEST(Money, CurrencyTextInEnUS) {
  auto d = [](const char* s) { return *platform::Decimal::parse(s); };
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("1.5")), "$1.50");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("0")), "$0.00");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("1234567.891")), "$1,234,567.89");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("999.995")), "$1,000.00");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("100.125")), "$100.12");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("-1234.5")), "-$1,234.50");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("-0.001")), "$0.00");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("-0.005")), "$0.00");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("-0.015")), "-$0.02");
  EXPECT_EQ(CommonFunctions::currencyFormatFromDecimal(d("12345678901234567890.125")), "$12,345,678,901,234,567,890.12");
}

TEST(Money, RoundUpParsesPlainTextKeepingEveryDigitOrRecordsAFailure) {
  FailureRecorder failures;
  EXPECT_EQ(CommonFunctions::roundUp("1234.567").toString(), "1234.567");
  EXPECT_EQ(CommonFunctions::roundUp("1234.50"), *platform::Decimal::parse("1234.5"));
  EXPECT_EQ(CommonFunctions::roundUp("-0.05").toString(), "-0.05");
  EXPECT_EQ(CommonFunctions::roundUp(".5").toString(), "0.5");
  EXPECT_EQ(CommonFunctions::roundUp("+7").toString(), "7");
  EXPECT_EQ(CommonFunctions::roundUp("99999999999999999999").toString(), "99999999999999999999");
  EXPECT_EQ(CommonFunctions::roundUp("12345678901234567890123456789012345678").toString(),
            "12345678901234567890123456789012345678");
  EXPECT_TRUE(failures.messages.empty());

  EXPECT_TRUE(CommonFunctions::roundUp("$12").isZero());
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_THAT(failures.messages[0], HasSubstr("\"$12\" is not a decimal number"));
  for (const char* bad : {"", "-", ".", "1,234.56", "1.2.3", " 1", "1 ", "1e3", "0x10", "--1"}) {
    EXPECT_TRUE(CommonFunctions::roundUp(bad).isZero()) << bad;
  }
  EXPECT_EQ(failures.messages.size(), 11u);
  // 39 significant digits would lose the last one.
  EXPECT_TRUE(CommonFunctions::roundUp("123456789012345678901234567890123456789").isZero());
  ASSERT_EQ(failures.messages.size(), 12u);
  EXPECT_THAT(failures.messages[11], HasSubstr("has more digits than a Decimal keeps"));
}

TEST(SetUpRule, OnlyTheFirstIterationRunsWithoutRelaunch) {
  EXPECT_FALSE(CommonFunctions::determineSetUp(1));
  EXPECT_TRUE(CommonFunctions::determineSetUp(0));
  EXPECT_TRUE(CommonFunctions::determineSetUp(2));
}
