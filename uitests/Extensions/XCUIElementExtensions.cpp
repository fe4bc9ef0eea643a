#include "Extensions/XCUIElementExtensions.h"

bool isVisible(const XCUIElement& element) {
  if (!element.exists()) return false;
  xcui::CGRect frame = element.frame();
  if (frame.isEmpty()) return false;
  XCUIElement window = XCUIApplication().windows().element(0);
  if (!window.exists()) return false;
  return window.frame().contains(frame);
}

void scrollToElement(const XCUIElement& element) {
  for (int i = 0; i < 7 && !element.isHittable(); ++i) XCUIApplication().swipeUp();
  for (int i = 0; i < 7 && !element.isHittable(); ++i) XCUIApplication().swipeDown();
}

void clearText(const XCUIElement& element) {
  element.tap();
  std::optional<std::string> value = element.value();
  if (!value) return;
  std::size_t characters = sim::characterCount(*value);
  if (characters > 0) element.typeText(std::string(characters, '\b'));
}
