#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "DemoApp.h"
#include "foundation/Date.h"
#include "xcuitest/XCUITest.h"

namespace {

class Actions : public testing::Test {
 protected:
  void SetUp() override {
    sim::Device::shared().reset();
    demo::installDemoApp();
    app.launch();
  }
  void TearDown() override { sim::Device::shared().reset(); }

  void type(const XCUIElement& field, const std::string& text) {
    field.tap();
    field.typeText(text);
  }

  template <class F>
  int failuresDuring(F&& body) {
    int before = xctest::unattributedFailureCount();
    testing::internal::CaptureStderr();
    body();
    testing::internal::GetCapturedStderr();
    return xctest::unattributedFailureCount() - before;
  }

  XCUIApplication app{demo::kBundle};
  const std::string L40 = "---------|---------|---------|---------|";
  const std::string L32 = "---------|---------|---------|--";
};

TEST_F(Actions, TypingWithDeleteAndLengthLimit) {
  auto user = app.textFields()["userNameTextField"];
  type(user, "abcd\b\bxy");
  EXPECT_EQ(user.value(), "abxy");
  user.typeText(std::string(10, '\b'));
  EXPECT_EQ(user.value(), "");
  user.typeText(L40);
  EXPECT_EQ(user.value(), L32);
  // Multi-byte characters count and delete as one character.
  user.typeText(std::string(32, '\b') + "h\u00e9\u2022\b");
  EXPECT_EQ(user.value(), "h\u00e9");
}

TEST_F(Actions, TypingNeedsKeyboardFocus) {
  auto user = app.textFields()["userNameTextField"];
  EXPECT_EQ(failuresDuring([&] { user.typeText("x"); }), 1);
  EXPECT_EQ(user.value(), "");
  user.tap();
  // Typing on an ancestor of the focused field reaches the field.
  app.windows().element().typeText("ok");
  EXPECT_EQ(user.value(), "ok");
}

TEST_F(Actions, SecureFieldMasksAndShowButtonSwapsFields) {
  type(app.secureTextFields()["passwordTextField"], "480917");
  EXPECT_EQ(app.secureTextFields()["passwordTextField"].value(), "\u2022\u2022\u2022\u2022\u2022\u2022");
  app.buttons()["showPasswordButton"].tap();
  EXPECT_FALSE(app.secureTextFields()["passwordTextField"].exists());
  EXPECT_EQ(app.textFields()["passwordTextField"].value(), "480917");
}

TEST_F(Actions, PasteFromTheEditMenuAfterADoubleTap) {
  auto user = app.textFields()["userNameTextField"];
  // No pasteboard text: no menu.
  user.doubleTap();
  EXPECT_FALSE(XCUIApplication().menuItems()["Paste"].exists());
  UIPasteboard::general().setString(L40);
  user.doubleTap();
  ASSERT_TRUE(XCUIApplication().menuItems()["Paste"].exists());
  XCUIApplication().menuItems()["Paste"].tap();
  EXPECT_FALSE(XCUIApplication().menuItems()["Paste"].exists());
  EXPECT_EQ(user.value(), L32);
  // Any other action hides the menu.
  user.doubleTap();
  app.buttons()["showPasswordButton"].tap();
  EXPECT_FALSE(app.menuItems()["Paste"].exists());
}

TEST_F(Actions, LoadingEndsInVirtualTimeAndWaitsSeeIt) {
  type(app.textFields()["userNameTextField"], "me");
  type(app.secureTextFields()["passwordTextField"], "pw");
  EXPECT_TRUE(app.buttons()["loginButton"].isEnabled());
  double t0 = XCTVirtualClock::now();
  app.buttons()["loginButton"].tap();
  auto indicator = app.activityIndicators()["loadingIndicator"];
  EXPECT_TRUE(indicator.exists());
  EXPECT_TRUE(XCTVirtualClock::waitUntil([&] { return !indicator.exists(); }, 45));
  EXPECT_DOUBLE_EQ(XCTVirtualClock::now() - t0, 2.0);  // woke at the app's own deadline
  EXPECT_TRUE(app.tables().cells()["acc1"].exists());
}

TEST_F(Actions, RememberedDataOutlivesRelaunch) {
  type(app.textFields()["userNameTextField"], "me");
  type(app.secureTextFields()["passwordTextField"], "pw");
  app.switches()["RememberMeSwitch"].tap();
  EXPECT_EQ(app.switches()["RememberMeSwitch"].value(), "1");
  app.buttons()["loginButton"].tap();
  app.terminate();
  app.launch();
  EXPECT_EQ(app.textFields()["userNameTextField"].value(), "me");
  EXPECT_EQ(app.switches()["RememberMeSwitch"].value(), "1");
}

TEST_F(Actions, AlertBlocksTapsBeneathIt) {
  type(app.textFields()["userNameTextField"], "locked");
  type(app.secureTextFields()["passwordTextField"], "pw");
  app.buttons()["loginButton"].tap();
  ASSERT_TRUE(app.alerts()["Error"].waitForExistence(10));
  auto toggle = app.switches()["RememberMeSwitch"];
  EXPECT_FALSE(toggle.isHittable());
  EXPECT_EQ(failuresDuring([&] { toggle.tap(); }), 1);  // not hittable
  EXPECT_EQ(toggle.value(), "0");
  EXPECT_TRUE(app.alerts()["Error"].buttons()["OK"].isHittable());
  app.alerts()["Error"].buttons()["OK"].tap();
  EXPECT_FALSE(app.alerts()["Error"].exists());
  toggle.tap();
  EXPECT_EQ(toggle.value(), "1");
}

TEST_F(Actions, OffScreenElementsAreScrolledIntoViewBeforeATap) {
  type(app.textFields()["userNameTextField"], "me");
  type(app.secureTextFields()["passwordTextField"], "pw");
  app.buttons()["loginButton"].tap();
  ASSERT_TRUE(app.tables().cells()["acc1"].waitForExistence(5));
  auto demoApp = static_cast<demo::DemoApp*>(sim::Device::shared().runningApp(demo::kBundle));
  auto far = app.otherElements()["far"];
  EXPECT_FALSE(far.isHittable());
  EXPECT_EQ(failuresDuring([&] { far.tap(); }), 0);
  EXPECT_TRUE(far.isHittable());
  EXPECT_EQ(demoApp->lastTappedCell, "far");
  // A container that cannot scroll it into view: the tap fails.
  EXPECT_EQ(failuresDuring([&] { app.otherElements()["stuck"].tap(); }), 1);
  EXPECT_EQ(demoApp->lastTappedCell, "far");
}

TEST_F(Actions, SpringboardAlertsCoverTheApp) {
  std::string answered;
  sim::Device::shared().presentSystemAlert({"Allow notifications?", "", {"Don't Allow", "OK"},
                                            [&](const std::string& b) { answered = b; }, {}});
  XCUIApplication springboard(sim::kSpringboardBundleIdentifier);
  EXPECT_TRUE(springboard.alerts().buttons()["OK"].exists());
  EXPECT_FALSE(app.buttons()["showPasswordButton"].isHittable());
  EXPECT_EQ(failuresDuring([&] { app.buttons()["showPasswordButton"].tap(); }), 1);
  springboard.alerts().buttons()["OK"].firstMatch().tap();
  EXPECT_EQ(answered, "OK");
  EXPECT_FALSE(springboard.alerts().element().exists());
  EXPECT_TRUE(app.buttons()["showPasswordButton"].isHittable());

  // A prompt an app asked for goes, unanswered, with the app; another app's prompt stays.
  bool called = false;
  sim::SystemAlert mine{"Use Face ID?", "", {"OK"}, [&](const std::string&) { called = true; }, demo::kBundle};
  sim::SystemAlert other{"Allow?", "", {"OK"}, nullptr, "com.example.other"};
  sim::Device::shared().presentSystemAlert(mine);
  sim::Device::shared().presentSystemAlert(other);
  app.terminate();
  EXPECT_FALSE(springboard.alerts()["Use Face ID?"].exists());
  EXPECT_TRUE(springboard.alerts()["Allow?"].exists());
  EXPECT_FALSE(called);
}

TEST_F(Actions, PickerWheelsTakeOnlyTheirValues) {
  type(app.textFields()["userNameTextField"], "me");
  type(app.secureTextFields()["passwordTextField"], "pw");
  app.buttons()["loginButton"].tap();
  ASSERT_TRUE(app.datePickers().element().waitForExistence(5));
  auto wheels = app.pickerWheels();
  wheels.element(0).adjust("March");
  wheels.element(1).adjust("3");
  wheels.element(2).adjust("2025");
  EXPECT_EQ(wheels.element(0).value(), "March");
  EXPECT_EQ(wheels.element(1).value(), "3");
  EXPECT_EQ(wheels.element(2).value(), "2025");
  EXPECT_EQ(failuresDuring([&] { wheels.element(2).adjust("1999"); }), 1);
  EXPECT_EQ(wheels.element(2).value(), "2025");
  EXPECT_EQ(failuresDuring([&] { app.tables().cells().element(0).adjust("x"); }), 1);
}

TEST_F(Actions, NotificationsAndBiometry) {
  auto& device = sim::Device::shared();
  int matches = 0;
  device.addNotificationObserver("com.apple.BiometricKit_Sim.pearl.match", [&](const std::string&) { ++matches; });
  EXPECT_EQ(notify_post("com.apple.BiometricKit_Sim.pearl.match"), NOTIFY_STATUS_OK);
  EXPECT_EQ(matches, 1);

  int token = 0;
  ASSERT_EQ(notify_register_check("com.apple.BiometricKit.enrollmentChanged", &token), NOTIFY_STATUS_OK);
  notify_set_state(token, 0);
  notify_post("com.apple.BiometricKit.enrollmentChanged");
  EXPECT_FALSE(device.isBiometricEnrolled());
  LAContext context;
  LAError error;
  EXPECT_FALSE(context.canEvaluatePolicy(LAPolicy::deviceOwnerAuthenticationWithBiometrics, &error));
  EXPECT_EQ(error.code, LAError::biometryNotEnrolled);
  EXPECT_EQ(context.biometryType(), LABiometryType::faceID);
  notify_set_state(token, 1);
  notify_post("com.apple.BiometricKit.enrollmentChanged");
  EXPECT_TRUE(context.canEvaluatePolicy(LAPolicy::deviceOwnerAuthenticationWithBiometrics));
  std::uint64_t state = 0;
  notify_get_state(token, &state);
  EXPECT_EQ(state, 1u);
  EXPECT_EQ(notify_cancel(token), NOTIFY_STATUS_OK);
  EXPECT_EQ(notify_set_state(token, 0), NOTIFY_STATUS_INVALID_TOKEN);

  device.setBiometryKind(sim::BiometryKind::none);
  EXPECT_FALSE(context.canEvaluatePolicy(LAPolicy::deviceOwnerAuthenticationWithBiometrics));
  EXPECT_EQ(context.biometryType(), LABiometryType::none);
}

// A UI test class run through the runner: waits on elements, failure semantics, device reset.
class DemoUITests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    app.launch();
  }
  void tearDown() override { app.terminate(); }

  void testWaitForLoadingThenList() {
    XCUIApplication().textFields()["userNameTextField"].tap();
    XCUIApplication().textFields()["userNameTextField"].typeText("me");
    app.secureTextFields()["passwordTextField"].tap();
    app.secureTextFields()["passwordTextField"].typeText("pw");
    app.buttons()["loginButton"].tap();
    expectation(NSPredicate("exists == FALSE"), app.activityIndicators()["loadingIndicator"]);
    waitForExpectations(120);
    XCTAssertTrue(app.tables().cells()["acc2"].exists());
  }
  void testUnmetWaitFailsQuickly() {
    expectation(NSPredicate("exists == TRUE"), app.buttons()["neverThere"]);
    waitForExpectations(120);
    XCTFail("not reached");
  }
  void testPasteboardIsFreshPerTest() { XCTAssertNil(UIPasteboard::general().string()); }
  void testReadingMissingElementEndsTheTest() {
    XCTAssertEqual(app.staticTexts()["missing"].label(), "");
    XCTFail("not reached");
  }

  XCUIApplication app;
};
XCTEST_METHOD(DemoUITests, testWaitForLoadingThenList)
XCTEST_METHOD(DemoUITests, testUnmetWaitFailsQuickly)
XCTEST_METHOD(DemoUITests, testPasteboardIsFreshPerTest)
XCTEST_METHOD(DemoUITests, testReadingMissingElementEndsTheTest)

TEST_F(Actions, UITestClassThroughTheRunner) {
  UIPasteboard::general().setString("left over");
  auto started = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  auto summary = xctest::runTests({"DemoUITests"});
  std::string out = testing::internal::GetCapturedStdout();
  // The unmet wait of 120 s passes in virtual time: waited for real, it alone would take that long.
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 60.0);
  EXPECT_EQ(summary.passed, 2) << out;
  EXPECT_EQ(summary.failed, 2) << out;
  EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to get matching snapshot: No matches found for Application 'com.example.demo' / "
                     "StaticText[\"missing\"]"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Exceeded timeout of 120 seconds, with unfulfilled expectations: \"Expect predicate `exists == "
                     "TRUE` for object Application 'com.example.demo' / Button[\"neverThere\"]\""),
            std::string::npos)
      << out;
  EXPECT_EQ(app.state(), XCUIApplication::State::notRunning);  // tearDown terminated it
}

}  // namespace

// An app that counts its renders; it shows the device's zone and clock and claims to change only
// when told to.
class CountingApp : public sim::App {
 public:
  sim::Node render() override {
    ++renders;
    sim::Node root(XCUIElementType::application);
    root.add(sim::Node(XCUIElementType::staticText, "zone", platform::TimeZone::current().identifier()));
    root.add(sim::Node(XCUIElementType::staticText, "clock", std::to_string(XCTVirtualClock::epochSeconds())));
    root.add(sim::Node(XCUIElementType::button, "tap", "Tap").onTap([this] { ++taps; }));
    return root;
  }
  std::optional<std::uint64_t> renderGeneration() const override {
    return countsChanges ? std::optional<std::uint64_t>(generation) : std::nullopt;
  }
  int renders = 0;
  int taps = 0;
  std::uint64_t generation = 0;
  bool countsChanges = true;
};

TEST(SnapshotReuse, RendersAgainOnlyAfterTheAppTheDeviceTheClockOrTheZoneChanged) {
  auto& device = sim::Device::shared();
  device.reset();
  CountingApp* counting = nullptr;
  device.install("com.example.counting", [&](sim::LaunchContext&) {
    auto app = std::make_unique<CountingApp>();
    counting = app.get();
    return app;
  });
  XCUIApplication app("com.example.counting");
  app.launch();
  auto zone = app.staticTexts()["zone"];
  const std::string systemZone = platform::TimeZone::current().identifier();
  EXPECT_EQ(zone.label(), systemZone);
  EXPECT_TRUE(app.buttons()["tap"].exists());
  EXPECT_EQ(counting->renders, 1);

  app.buttons()["tap"].tap();  // an action delivered: the device changed
  EXPECT_EQ(counting->taps, 1);
  int before = counting->renders;
  zone.label();
  zone.label();
  EXPECT_EQ(counting->renders, before + 1);

  std::string clock = app.staticTexts()["clock"].label();
  XCTVirtualClock::advance(1);
  EXPECT_NE(app.staticTexts()["clock"].label(), clock);

  const char* other = systemZone == "Asia/Kolkata" ? "America/Denver" : "Asia/Kolkata";
  platform::TimeZone::setCurrent(*platform::TimeZone::named(other));
  EXPECT_EQ(zone.label(), other);
  platform::TimeZone::setCurrent(std::nullopt);
  EXPECT_EQ(zone.label(), systemZone);

  before = counting->renders;
  device.setBiometricEnrolled(false);
  zone.label();
  ++counting->generation;
  zone.label();
  zone.label();
  EXPECT_EQ(counting->renders, before + 2);

  // An app that does not count its changes is drawn for every read.
  counting->countsChanges = false;
  before = counting->renders;
  zone.label();
  zone.label();
  EXPECT_EQ(counting->renders, before + 2);
  device.reset();
}
