#include "Utility/TestSetting.h"

#include "xcuitest/XCUITest.h"

std::string toString(TestSettingEnum setting) {
  switch (setting) {
    case TestSettingEnum::userChangeIgnored:
      return "userChangeIgnored";
    case TestSettingEnum::firstBiometricsLoginOptinIgnored:
      return "firstBiometricsLoginOptinIgnored";
  }
  return "";
}

void TestSettingUtil::set(XCUIApplication& app, TestSettingEnum setting) {
  app.launchArguments().push_back(toString(setting));
}
