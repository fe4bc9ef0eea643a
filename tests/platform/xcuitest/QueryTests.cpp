#include <gtest/gtest.h>

#include "DemoApp.h"
#include "foundation/Exception.h"
#include "xcuitest/XCUITest.h"

namespace {

class Queries : public testing::Test {
 protected:
  void SetUp() override {
    sim::Device::shared().reset();
    demo::installDemoApp();
    app.launch();
  }
  void TearDown() override { sim::Device::shared().reset(); }

  // Signs in and lets the two-second loading pass: the list screen is shown.
  void showList() {
    app.textFields()["userNameTextField"].tap();
    app.textFields()["userNameTextField"].typeText("me");
    app.secureTextFields()["passwordTextField"].tap();
    app.secureTextFields()["passwordTextField"].typeText("pw");
    app.buttons()["loginButton"].tap();
    ASSERT_TRUE(app.tables().cells()["acc1"].waitForExistence(5));
  }

  // Failures recorded outside a test case while `body` runs.
  template <class F>
  int failuresDuring(F&& body) {
    int before = xctest::unattributedFailureCount();
    testing::internal::CaptureStderr();
    body();
    testing::internal::GetCapturedStderr();
    return xctest::unattributedFailureCount() - before;
  }

  XCUIApplication app{demo::kBundle};
};

TEST_F(Queries, NoneOneAndManyMatches) {
  EXPECT_FALSE(app.buttons()["nothing"].exists());
  EXPECT_EQ(app.buttons()["nothing"].exists(), false);
  EXPECT_TRUE(app.buttons()["loginButton"].exists());
  EXPECT_EQ(app.buttons().count(), 2u);
  // Several matches: the element exists, but reading or tapping it fails as on a device, and so
  // does an element built on it; firstMatch and element(boundBy:) pick one.
  EXPECT_TRUE(app.buttons().element().exists());
  std::string read = "unchanged";
  EXPECT_EQ(failuresDuring([&] { read = app.buttons().element().identifier(); }), 1);
  EXPECT_EQ(read, "");
  EXPECT_EQ(failuresDuring([&] { app.buttons().element().tap(); }), 1);
  EXPECT_EQ(failuresDuring([&] { app.descendants(XCUIElementType::any)["passwordTextField"].tap(); }), 0);
  EXPECT_EQ(failuresDuring([&] { app.windows().element().buttons()["loginButton"].label(); }), 0);
  EXPECT_EQ(failuresDuring([&] { app.buttons().element().staticTexts().element().exists(); }), 0);
  EXPECT_EQ(app.buttons().firstMatch().label(), "Show");
  EXPECT_EQ(app.buttons().element().firstMatch().label(), "Show");
  EXPECT_EQ(app.buttons().element(1).label(), "Log in");
  app.buttons()["showPasswordButton"].tap();  // the secure field becomes a text field of the same id
  EXPECT_EQ(failuresDuring([&] { app.descendants(XCUIElementType::any)["passwordTextField"].label(); }), 0);
}

TEST_F(Queries, SubscriptMatchesIdentifierOrLabel) {
  EXPECT_TRUE(app.buttons()["loginButton"].exists());
  EXPECT_TRUE(app.buttons()["Log in"].exists());
  EXPECT_EQ(app.buttons()["Log in"].identifier(), "loginButton");
  EXPECT_TRUE(app.staticTexts()["Welcome"].exists());
  // matching(identifier:) looks at identifiers only.
  EXPECT_FALSE(app.buttons().matching("Log in").element().exists());
  EXPECT_TRUE(app.buttons().matching("loginButton").element().exists());
  EXPECT_EQ(app.descendants(XCUIElementType::any).matching(XCUIElementType::switch_, "RememberMeSwitch").count(), 1u);
}

TEST_F(Queries, ContainingCountsTheElementItselfAndItsSubtree) {
  showList();
  auto cells = app.tables().cells();
  EXPECT_EQ(cells.containing(NSPredicate("label CONTAINS %@", "Savings")).count(), 2u);
  EXPECT_EQ(cells.containing(NSPredicate("label CONTAINS 'Savings'"))
                .containing(NSPredicate("label CONTAINS '(789)'"))
                .element()
                .identifier(),
            "acc3");
  // The cell's own identifier counts: an element contains itself.
  EXPECT_EQ(cells.containing(NSPredicate("identifier == 'acc2'")).count(), 1u);
  EXPECT_EQ(cells.containing(XCUIElementType::staticText, "amountLabel").count(), 3u);
  EXPECT_EQ(cells.containing(XCUIElementType::cell, "").count(), 3u);
  EXPECT_EQ(cells.containing(XCUIElementType::button, "").count(), 0u);
}

TEST_F(Queries, BoundByIndexAndChainedQueries) {
  showList();
  auto cells = app.tables().cells();
  EXPECT_EQ(cells.count(), 3u);
  EXPECT_EQ(cells.element(1).identifier(), "acc2");
  EXPECT_EQ(cells.element(2).staticTexts()["amountLabel"].label(), "$0.00");
  EXPECT_FALSE(cells.element(3).exists());
  auto all = cells.allElementsBoundByIndex();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].identifier(), "acc1");
  // Narrowing by predicate, then bound by index.
  auto amounts = app.tables().staticTexts().matching(NSPredicate("label CONTAINS '$'"));
  EXPECT_EQ(amounts.count(), 3u);
  EXPECT_EQ(amounts.element(0).label(), "$1,234.56");
  EXPECT_TRUE(amounts.element(1).exists());
  // children() looks one level down only.
  EXPECT_EQ(app.tables().element().children(XCUIElementType::staticText).count(), 0u);
  EXPECT_EQ(app.tables().element().children(XCUIElementType::cell).count(), 3u);
}

TEST_F(Queries, QueriesResolveWhenUsed) {
  auto cell = app.tables().cells()["acc1"];  // built before the screen exists
  EXPECT_FALSE(cell.exists());
  showList();
  EXPECT_TRUE(cell.exists());
}

TEST_F(Queries, ReadingAnUnresolvedElementRecordsAFailure) {
  int failures = failuresDuring([&] {
    EXPECT_EQ(app.buttons()["missing"].label(), "");
    EXPECT_EQ(app.textFields()["missing"].value(), std::nullopt);
  });
  EXPECT_EQ(failures, 2);
  EXPECT_EQ(failuresDuring([&] { app.buttons()["missing"].tap(); }), 1);
  EXPECT_EQ(failuresDuring([&] { (void)app.buttons()["missing"].exists(); }), 0);
}

TEST_F(Queries, UnknownPredicateKeyIsAProgrammingError) {
  auto query = app.buttons().matching(NSPredicate("colour == 'red'"));
  try {
    (void)query.count();
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSUnknownKeyException");
  }
  EXPECT_THROW((void)NSPredicate("colour == 'red'").evaluate(app.buttons()["missing"]), platform::Exception);
  EXPECT_TRUE(NSPredicate("label == nil AND exists == FALSE").evaluate(app.buttons()["missing"]));
}

TEST_F(Queries, PropertiesOfElements) {
  auto user = app.textFields()["userNameTextField"];
  EXPECT_EQ(user.placeholderValue(), "Enter username");
  EXPECT_EQ(user.value(), "");
  EXPECT_FALSE(app.buttons()["loginButton"].isEnabled());
  EXPECT_EQ(app.switches()["RememberMeSwitch"].value(), "0");
  EXPECT_EQ(app.buttons()["loginButton"].elementType(), XCUIElementType::button);
  // Unset frames take the parent's, up to the screen.
  auto frame = user.frame();
  EXPECT_FALSE(frame.isEmpty());
  EXPECT_TRUE(app.windows().element(0).frame().contains(frame));
  EXPECT_TRUE(user.isHittable());
}

TEST_F(Queries, AppStatesAndHandles) {
  EXPECT_EQ(app.state(), XCUIApplication::State::runningForeground);
  XCUIApplication other;  // another handle addresses the same app
  EXPECT_TRUE(other.staticTexts()["Welcome"].exists());
  other.terminate();
  EXPECT_EQ(app.state(), XCUIApplication::State::notRunning);
  EXPECT_FALSE(app.staticTexts()["Welcome"].exists());
  EXPECT_FALSE(app.exists());
  app.launch();
  EXPECT_TRUE(app.exists());
  EXPECT_EQ(XCUIApplication("com.example.unknown").state(), XCUIApplication::State::unknown);
  EXPECT_EQ(failuresDuring([] { XCUIApplication("com.example.unknown").launch(); }), 1);
}

TEST_F(Queries, LaunchArgumentsAreSharedByCopiesOfAHandle) {
  XCUIApplication copy = app;
  copy.launchArguments().push_back("userChangeIgnored");
  EXPECT_EQ(app.launchArguments(), std::vector<std::string>{"userChangeIgnored"});
  EXPECT_TRUE(XCUIApplication().launchArguments().empty());
}

TEST_F(Queries, HomeButtonKeepsTheLastScreenReadable) {
  XCUIDevice::shared().press(XCUIDeviceButton::home);
  EXPECT_EQ(app.state(), XCUIApplication::State::runningBackground);
  EXPECT_TRUE(app.staticTexts()["Welcome"].exists());
  EXPECT_FALSE(app.buttons()["loginButton"].isHittable());
  EXPECT_EQ(failuresDuring([&] { app.buttons()["showPasswordButton"].tap(); }), 1);
  app.activate();
  EXPECT_EQ(app.state(), XCUIApplication::State::runningForeground);
}

}  // namespace
