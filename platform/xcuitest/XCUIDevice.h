// The simulated device's hardware, as tests reach it.
#pragma once

enum class XCUIDeviceButton { home, volumeUp, volumeDown };

class XCUIDevice {
 public:
  static XCUIDevice& shared();
  // `.home`: the foreground app goes to the background; its last screen stays readable.
  // The volume buttons do nothing.
  void press(XCUIDeviceButton button);
};
