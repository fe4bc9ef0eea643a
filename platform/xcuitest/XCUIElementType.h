// Element types of the accessibility tree, and the frame geometry of elements.
#pragma once

#include <string>

enum class XCUIElementType {
  any,
  other,
  application,
  window,
  sheet,
  alert,
  button,
  staticText,
  textField,
  secureTextField,
  textView,
  searchField,
  switch_,  // `.switch` on the platform
  toggle,
  slider,
  table,
  collectionView,
  cell,
  tabBar,
  navigationBar,
  toolbar,
  picker,
  pickerWheel,
  datePicker,
  segmentedControl,
  menu,
  menuItem,
  activityIndicator,
  progressIndicator,
  image,
  icon,
  scrollView,
  webView,
  link,
  keyboard,
  key,
  pageIndicator,
  statusBar,
};

// "Button", "StaticText", ... (used in query descriptions and messages).
std::string XCUIElementTypeName(XCUIElementType type);

namespace xcui {

struct CGPoint {
  double x = 0;
  double y = 0;
};
struct CGSize {
  double width = 0;
  double height = 0;
};

// A rectangle in screen points, origin at the top left.
struct CGRect {
  CGPoint origin;
  CGSize size;

  CGRect() = default;
  CGRect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

  double minX() const { return origin.x; }
  double minY() const { return origin.y; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  // No area.
  bool isEmpty() const { return size.width <= 0 || size.height <= 0; }
  // Whether `other` lies entirely inside this rectangle (an empty one never does).
  bool contains(const CGRect& other) const {
    return !isEmpty() && !other.isEmpty() && other.minX() >= minX() && other.minY() >= minY() &&
           other.maxX() <= maxX() && other.maxY() <= maxY();
  }
  bool intersects(const CGRect& other) const {
    return !isEmpty() && !other.isEmpty() && other.minX() < maxX() && minX() < other.maxX() &&
           other.minY() < maxY() && minY() < other.maxY();
  }
  bool operator==(const CGRect& o) const {
    return origin.x == o.origin.x && origin.y == o.origin.y && size.width == o.size.width &&
           size.height == o.size.height;
  }
};

}  // namespace xcui
