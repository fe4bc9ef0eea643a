// The overview page object against the simulated app: the mock backend really goes over HTTP to
// the stub server, cards scroll into reach, totals add up, and a card without an amount fails.
#include <gtest/gtest.h>

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/OverviewScreen.h"
#include "SupportTestHelpers.h"
#include "Utility/HTTPStubs.h"
#include "app/VesmoraApp.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace {

class OverviewScreenTest : public ::testing::Test {
 protected:
  OverviewScreenTest() {
    sim::Device::shared().reset();
    vesmora::installVesmora(sim::Device::shared());
    sim::Device::shared().setDefaultLaunchEnvironment({{vesmora::VesmoraApp::kLoadingSecondsKey, "0"}});
  }
  ~OverviewScreenTest() override { sim::Device::shared().reset(); }

  vesmora::VesmoraModel& model() {
    auto* app = dynamic_cast<vesmora::VesmoraApp*>(sim::Device::shared().runningApp(vesmora::VesmoraApp::kBundleIdentifier));
    return app->model();
  }

  // Launches the app (with the mock tests' settings when `mock`) and signs in through the model.
  void launchAndSignIn(const std::string& user, const std::string& password, bool mock) {
    XCUIApplication app;
    if (mock) app.launchArguments() = {"firstBiometricsLoginOptinIgnored", "userChangeIgnored"};
    app.launch();
    model().typeText(vesmora::Field::userName, user);
    model().typeText(vesmora::Field::password, password);
    model().tapLogin();
    if (model().alert()) model().tapAlertButton("OK");  // the biometric enrolment offer
    ASSERT_EQ(model().screen(), vesmora::Screen::landing);
  }

  static std::string amountOf(const std::string& accountId) {
    XCUIElement card = OverviewScreen::accountCellElement(accountId);
    return card.staticTexts()["dollarSignLabel"].label() + card.staticTexts()["wholeDollarsLabel"].label() +
           card.staticTexts()["centsLabel"].label();
  }
};

const char* const kDeposits = R"([{"id": "acc-1", "name": "Chequing", "number": "001-1",
  "balance": {"currency": "CAD", "value": 10}, "availableBalance": {"currency": "CAD", "value": %s}}])";

std::string deposits(const std::string& available) {
  std::string doc = kDeposits;
  return doc.replace(doc.find("%s"), 2, available);
}

}  // namespace

TEST_F(OverviewScreenTest, MockCardsShowWhatTheStubServerServes) {
  ScratchBundle bundle("sim");
  FailureRecorder failures;
  bundle.write("depositSummary_sim.json", deposits("1234.5"));

  {
    HTTPStubs stubs;
    stubs.setUp();
    stubs.setupStub("/deposits", "depositSummary");
    launchAndSignIn("2038556", "480917", true);
    EXPECT_EQ(amountOf("acc-1"), "$1,234.50");
    EXPECT_TRUE(OverviewScreen::accountCellElement("acc-1").staticTexts()["Chequing (001-1)"].exists());
    // Nothing answers "/loans" (404): no loan cards, no loan totals.
    EXPECT_FALSE(OverviewScreen::accountCellElement("Loans & mortgagesTotals").exists());
    stubs.tearDown();
  }

  // The document changed on disk: the next server reads it anew and the card follows.
  bundle.write("depositSummary_sim.json", deposits("98765.432"));
  {
    HTTPStubs stubs;
    stubs.setUp();
    stubs.setupStub("/deposits", "depositSummary");
    launchAndSignIn("2038556", "480917", true);
    EXPECT_EQ(amountOf("acc-1"), "$98,765.43");
    stubs.tearDown();
  }

  // Without a server the mock backend has no accounts to show.
  launchAndSignIn("2038556", "480917", true);
  EXPECT_FALSE(OverviewScreen::accountCellElement("acc-1").exists());
  EXPECT_TRUE(failures.messages.empty());
}

TEST_F(OverviewScreenTest, CardsBelowTheFoldScrollIntoReachAndTotalsAddUp) {
  launchAndSignIn("2038556", "480917", false);
  XCUIElement lastCard = OverviewScreen::accountCellElement("inv-usd-2038556");
  XCUIElement firstCard = OverviewScreen::accountCellElement("dep-chq-2038556");
  EXPECT_TRUE(lastCard.exists());
  EXPECT_FALSE(lastCard.isHittable()) << "below the fold";
  EXPECT_TRUE(firstCard.isHittable());
  scrollToElement(lastCard);
  EXPECT_TRUE(lastCard.isHittable());
  EXPECT_TRUE(isVisible(lastCard));
  EXPECT_FALSE(firstCard.isHittable()) << "scrolled away";

  OverviewScreen overview;
  auto banking = overview.calculateTotals("Banking");
  EXPECT_DOUBLE_EQ(banking.first, 5240.75 + 12500.00);
  EXPECT_DOUBLE_EQ(banking.second, 2150.40);
  auto loans = overview.calculateTotals("Loans & mortgages");
  EXPECT_DOUBLE_EQ(loans.second, 0);

  int before = xctest::unattributedFailureCount();
  overview.verifyTotals("Banking", banking.first, banking.second);
  overview.verifyTotals("Loans & mortgages", loans.first, loans.second);
  overview.verifyAmountLabelNotNull("cc-usd-2038556");
  overview.verifyAmountLabel("cc-usd-2038556", -45.18, "USD");
  EXPECT_EQ(xctest::unattributedFailureCount(), before);

  overview.verifyTotals("Banking", banking.first + 1, banking.second);
  EXPECT_EQ(xctest::unattributedFailureCount(), before + 1) << "a wrong CAD total is noticed";
  overview.verifyAmountLabel("cc-usd-2038556", -45.18, "CAD");
  EXPECT_EQ(xctest::unattributedFailureCount(), before + 2) << "a USD card is not a CAD card";
}

TEST_F(OverviewScreenTest, ACardWithoutAnAmountFails) {
  // A stand-in app whose only card has no amount labels.
  sim::Device& device = sim::Device::shared();
  device.install("com.example.cards", [](sim::LaunchContext&) {
    struct Cards : sim::App {
      sim::Node render() override {
        sim::Node table(XCUIElementType::table);
        table.add(sim::Node(XCUIElementType::cell, "acc-1").add(sim::Node(XCUIElementType::staticText, "", "Chequing (1)")));
        return sim::Node(XCUIElementType::application).add(sim::Node(XCUIElementType::window).add(table));
      }
    };
    return std::make_unique<Cards>();
  });
  device.setTargetBundleIdentifier("com.example.cards");
  XCUIApplication().launch();

  OverviewScreen overview;
  int before = xctest::unattributedFailureCount();
  overview.verifyAmountLabel("acc-1", 10, "CAD");
  EXPECT_EQ(xctest::unattributedFailureCount(), before + 1);
  overview.verifyAmountLabelNotNull("acc-1");
  EXPECT_EQ(xctest::unattributedFailureCount(), before + 2);
}

TEST(OverviewScreenGreeting, BandsStartAtTheirLowerLimit) {
  platform::TimeZone zone = platform::TimeZone::current();
  auto at = [&](int hour, int minute) {
    double seconds = *platform::dateFromComponents({2026, 12, 7, hour, minute, 0}, zone);
    return Date::fromTimeIntervalSince1970(seconds);
  };
  Date today = at(9, 0);
  EXPECT_EQ(OverviewScreen::expectedGreeting(at(4, 29), today), "Hello,");
  EXPECT_EQ(OverviewScreen::expectedGreeting(at(4, 30), today), "Good morning,");
  EXPECT_EQ(OverviewScreen::expectedGreeting(at(12, 0), today), "Good afternoon,");
  EXPECT_EQ(OverviewScreen::expectedGreeting(at(17, 30), today), "Good evening,");
  EXPECT_EQ(OverviewScreen::expectedGreeting(at(23, 59), today), "Good evening,");
}
