// Test settings handed to the app under test as launch arguments: the argument is the case name.
#pragma once

#include <string>

class XCUIApplication;

enum class TestSettingEnum { userChangeIgnored, firstBiometricsLoginOptinIgnored };

// "userChangeIgnored" or "firstBiometricsLoginOptinIgnored".
std::string toString(TestSettingEnum setting);

class TestSettingUtil {
 public:
  // Appends the setting's text to the end of the handle's launch arguments, keeping those already
  // there; it takes effect at the handle's next launch().
  static void set(XCUIApplication& app, TestSettingEnum setting);
};
