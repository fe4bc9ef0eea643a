// The row loop of the data-driven tests: which rows relaunch the app, in what order rows are used.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SupportTestHelpers.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

namespace {

class CountingTest : public XCTestCase {
 public:
  void setUp() override { ++setUps; }
  int setUps = 0;
};

}  // namespace

TEST(DataRowLoop, RelaunchesBeforeEveryRowWhoseIdIsNotOne) {
  ScratchBundle bundle("sim");
  FailureRecorder failures;
  // The first row's id is not 1, a later row's is; 4294967297 would wrap to 1 as an int.
  bundle.write("Rows_sim.json", R"([{"id": 2, "u": "a"}, {"id": 1, "u": "b"}, {"id": 4294967297, "u": "c"},
                                    {"id": 1, "u": "d"}])");
  CountingTest test;
  std::vector<std::pair<std::string, int>> seen;
  CommonFunctions::forEachDataRow(test, "Rows", [&](const TestDataRow& row) {
    seen.emplace_back(row.string("u"), test.setUps);
  });
  std::vector<std::pair<std::string, int>> expected = {{"a", 1}, {"b", 1}, {"c", 2}, {"d", 2}};
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(failures.messages.empty());
}

TEST(DataRowLoop, AMalformedRowEndsTheLoopAfterTheRowsBeforeIt) {
  ScratchBundle bundle("sim");
  FailureRecorder failures;
  bundle.write("Rows_sim.json", R"([{"id": 1, "u": "a"}, 7, {"id": 1, "u": "c"}])");
  CountingTest test;
  std::vector<std::string> seen;
  EXPECT_THROW(CommonFunctions::forEachDataRow(test, "Rows",
                                               [&](const TestDataRow& row) { seen.push_back(row.string("u")); }),
               FailureRecorder::Stop);
  EXPECT_EQ(seen, std::vector<std::string>{"a"});
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_THAT(failures.messages[0], testing::HasSubstr("\"Rows_sim.json\", row 2: not a JSON object"));
}
