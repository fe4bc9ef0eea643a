// What the e-Transfer preferences test classes share: their records of the data file
// "ETransferPreferencesTests", and signing in and opening the preferences screen from the More tab,
// with the waits of each class.
#pragma once

#include <optional>
#include <string>

#include "Screens/ETransferPreferencesScreen.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace etransfer {

// The test-mail domain of the test backend, for the addresses the tests register.
inline constexpr const char* kTestMailDomain = "corvane-test.com";

// The record named `record`; when the file lacks it or it is not an object, one failed assertion
// with an empty message is recorded and the result is empty (the test then returns before signing
// in). A missing or non-text key read from the record fails the test with a message naming it.
std::optional<TestDataRow> readRecord(const std::string& record);

// How a class reaches the preferences screen (the waits and checks differ).
enum class Route {
  noProfile,       // ETransferPreferencesTests.testNoProfile
  stateChecks,     // ETransferPreferencesTests.testNoRegistrations, testHasRegistrations
  profileEditor,   // ProfileCreateEditTests
  autodeposit,     // AutodepositCreateEditTests
};

// Signs the user in (enrolment alert answered OK), opens the More tab and the preferences row, and
// returns the preferences page object built on `app`.
ETransferPreferencesScreen signInAndOpenPreferences(XCTestCase& test, const XCUIApplication& app, Route route,
                                                    const std::string& username, const std::string& password);

}  // namespace etransfer

// The fixture of the three classes: a new app launched for each test method and terminated
// after it; unlike the other classes, every failure is recorded and the test goes on.
class ETransferPreferencesTestCase : public AppTestCase {
 public:
  void setUp() override {
    AppTestCase::setUp();
    continueAfterFailure = true;
  }
};
