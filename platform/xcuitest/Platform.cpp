// The device-level stand-ins: device buttons, pasteboard, notifications, biometric policy.
#include <map>
#include <mutex>
#include <string>

#include "xcuitest/LocalAuthentication.h"
#include "xcuitest/SimulatedDevice.h"
#include "xcuitest/UIPasteboard.h"
#include "xcuitest/XCUIDevice.h"
#include "xcuitest/XCUIElementType.h"
#include "xcuitest/notify.h"

XCUIDevice& XCUIDevice::shared() {
  static XCUIDevice device;
  return device;
}

void XCUIDevice::press(XCUIDeviceButton button) {
  if (button == XCUIDeviceButton::home) sim::Device::shared().pressHome();
}

UIPasteboard& UIPasteboard::general() {
  static UIPasteboard pasteboard;
  return pasteboard;
}

std::optional<std::string> UIPasteboard::string() const { return sim::Device::shared().pasteboardString(); }

void UIPasteboard::setString(std::optional<std::string> text) { sim::Device::shared().setPasteboardString(std::move(text)); }

// --- notify ----------------------------------------------------------------------------------------

namespace {

struct NotifyTokens {
  std::mutex mutex;
  std::map<int, std::string> names;
  int next = 1;
};

NotifyTokens& tokens() {
  static NotifyTokens t;
  return t;
}

bool tokenName(int token, std::string& name) {
  std::lock_guard lock(tokens().mutex);
  auto it = tokens().names.find(token);
  if (it == tokens().names.end()) return false;
  name = it->second;
  return true;
}

}  // namespace

std::uint32_t notify_post(const char* name) {
  if (!name) return NOTIFY_STATUS_INVALID_NAME;
  sim::Device::shared().postNotification(name);
  return NOTIFY_STATUS_OK;
}

std::uint32_t notify_register_check(const char* name, int* outToken) {
  if (!name) return NOTIFY_STATUS_INVALID_NAME;
  std::lock_guard lock(tokens().mutex);
  int token = tokens().next++;
  tokens().names[token] = name;
  if (outToken) *outToken = token;
  return NOTIFY_STATUS_OK;
}

std::uint32_t notify_set_state(int token, std::uint64_t state) {
  std::string name;
  if (!tokenName(token, name)) return NOTIFY_STATUS_INVALID_TOKEN;
  sim::Device::shared().setNotificationState(name, state);
  return NOTIFY_STATUS_OK;
}

std::uint32_t notify_get_state(int token, std::uint64_t* outState) {
  std::string name;
  if (!tokenName(token, name)) return NOTIFY_STATUS_INVALID_TOKEN;
  if (outState) *outState = sim::Device::shared().notificationState(name);
  return NOTIFY_STATUS_OK;
}

std::uint32_t notify_cancel(int token) {
  std::lock_guard lock(tokens().mutex);
  return tokens().names.erase(token) ? NOTIFY_STATUS_OK : NOTIFY_STATUS_INVALID_TOKEN;
}

// --- LocalAuthentication -----------------------------------------------------------------------------

bool LAContext::canEvaluatePolicy(LAPolicy, LAError* error) {
  auto& device = sim::Device::shared();
  switch (device.biometryKind()) {
    case sim::BiometryKind::none: biometryType_ = LABiometryType::none; break;
    case sim::BiometryKind::touchID: biometryType_ = LABiometryType::touchID; break;
    case sim::BiometryKind::faceID: biometryType_ = LABiometryType::faceID; break;
  }
  if (biometryType_ == LABiometryType::none) {
    if (error) *error = {"com.apple.LocalAuthentication", LAError::biometryNotAvailable, "Biometry is not available on this device."};
    return false;
  }
  if (!device.isBiometricEnrolled()) {
    if (error) *error = {"com.apple.LocalAuthentication", LAError::biometryNotEnrolled, "No identities are enrolled."};
    return false;
  }
  return true;
}

// --- element type names -------------------------------------------------------------------------------

std::string XCUIElementTypeName(XCUIElementType type) {
  switch (type) {
    case XCUIElementType::any: return "Any";
    case XCUIElementType::other: return "Other";
    case XCUIElementType::application: return "Application";
    case XCUIElementType::window: return "Window";
    case XCUIElementType::sheet: return "Sheet";
    case XCUIElementType::alert: return "Alert";
    case XCUIElementType::button: return "Button";
    case XCUIElementType::staticText: return "StaticText";
    case XCUIElementType::textField: return "TextField";
    case XCUIElementType::secureTextField: return "SecureTextField";
    case XCUIElementType::textView: return "TextView";
    case XCUIElementType::searchField: return "SearchField";
    case XCUIElementType::switch_: return "Switch";
    case XCUIElementType::toggle: return "Toggle";
    case XCUIElementType::slider: return "Slider";
    case XCUIElementType::table: return "Table";
    case XCUIElementType::collectionView: return "CollectionView";
    case XCUIElementType::cell: return "Cell";
    case XCUIElementType::tabBar: return "TabBar";
    case XCUIElementType::navigationBar: return "NavigationBar";
    case XCUIElementType::toolbar: return "Toolbar";
    case XCUIElementType::picker: return "Picker";
    case XCUIElementType::pickerWheel: return "PickerWheel";
    case XCUIElementType::datePicker: return "DatePicker";
    case XCUIElementType::segmentedControl: return "SegmentedControl";
    case XCUIElementType::menu: return "Menu";
    case XCUIElementType::menuItem: return "MenuItem";
    case XCUIElementType::activityIndicator: return "ActivityIndicator";
    case XCUIElementType::progressIndicator: return "ProgressIndicator";
    case XCUIElementType::image: return "Image";
    case XCUIElementType::icon: return "Icon";
    case XCUIElementType::scrollView: return "ScrollView";
    case XCUIElementType::webView: return "WebView";
    case XCUIElementType::link: return "Link";
    case XCUIElementType::keyboard: return "Keyboard";
    case XCUIElementType::key: return "Key";
    case XCUIElementType::pageIndicator: return "PageIndicator";
    case XCUIElementType::statusBar: return "StatusBar";
  }
  return "Element";
}
