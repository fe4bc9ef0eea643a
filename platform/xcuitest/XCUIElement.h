// Elements and element queries.
//
// Both are cheap values holding a description of how to find something; nothing is looked up
// until it is used. Every property read or action resolves the description afresh against the
// app's current screen, so an element built in a page object's constructor always addresses what
// is shown when it is used.
//
// Resolution rules:
// - A type query (`app.buttons()`, `descendants(matching:)`) finds, in document order (depth
//   first), every descendant of each current match with that type (`XCUIElementType::any`: all).
//   `children(matching:)` only looks one level down.
// - `query["key"]` keeps the elements whose identifier or label equals the key.
// - `matching(identifier:)` keeps those whose identifier equals it; `matching(predicate)` those the
//   predicate holds for (keys: identifier, label, value, placeholderValue, title, elementType,
//   isEnabled / enabled, isSelected / selected, hasFocus).
// - `containing(predicate)` and `containing(type, identifier)` keep those that have, in their
//   subtree, an element matching; an element counts as containing itself.
// - An element from a query is the query's one match (`element`, a subscript), its first match
//   (`firstMatch`) or the match at an index (`element(boundBy:)`). As on a device, an element that
//   needs one match and finds several records a failure when it is read or acted on ("Multiple
//   matching elements found"); so does an element built on such an element. `exists` is true with
//   one or more matches; `isHittable` looks at the first.
//
// Failures: reading a property or acting on an element that resolves to nothing (or to several,
// above) records a test failure at the caller's line (not an exception), then returns an empty
// value:
//   Failed to get matching snapshot: No matches found for <description>      (property reads)
//   Failed to get matching snapshot: Multiple matching elements found for <description>
//   Failed to tap <description>: No matches found                             (actions; tap,
//                                            doubleTap, press, typeText, swipeUp, ..., adjust)
// where <description> reads like: Application 'com.example.app' / Table / Cell["acc1"] (with
// " / first match" or " / element bound by index N" for elements that pick one of several). With `continueAfterFailure` false the failure ends the test (xctest/XCTestCase.h).
// `exists`, `isHittable` and `waitForExistence` never fail.
//
// Actions:
// - Taps (tap, doubleTap, press) need a hittable element. One that a system alert, an alert of
//   the app or a modal view (`sim::Node::modal`) covers records "Failed to tap <description>: the
//   element is not hittable (an alert or another view covers it)". One that is off screen is
//   first scrolled into view (the app receives Action::Kind::scrollToVisible on it); when it is
//   still not hittable the tap fails as not hittable. Disabled elements ignore taps (no
//   failure). The tap reaches the nearest handler. Typing and swipes on covered elements land
//   nowhere, without a failure.
// - `typeText` sends keystrokes ("\b" is the delete key) to the focused field of the app; it
//   fails with "Failed to type text into <description>: Neither element nor any descendant has
//   keyboard focus" unless the element or one of its descendants has focus. Tap a field first.
// - `doubleTap` on a text field (or secure field, text view) whose app has the pasteboard filled
//   shows the edit menu: a menu item "Paste" at the app's top level; tapping it pastes into that
//   field (Action::Kind::paste). Any other action hides the menu.
// - `press(forDuration:)` lets that much virtual time pass after the press.
// - `adjust(toPickerWheelValue:)` fails with "Failed to adjust picker wheel <description>:
//   '<value>' is not one of its values" when the wheel lists its values and the value is not
//   among them.
#pragma once

#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "xctest/NSPredicate.h"
#include "xcuitest/XCUIElementType.h"

class XCUIElement;
class XCUIElementQuery;

namespace xcui::detail {
struct ElementSpec;
struct QuerySpec;
}  // namespace xcui::detail

// Query accessors shared by elements and queries: `buttons()` == descendants(matching: .button).
#define XCUI_TYPE_QUERY_ACCESSORS                                                                \
  XCUIElementQuery alerts() const;                                                               \
  XCUIElementQuery buttons() const;                                                              \
  XCUIElementQuery staticTexts() const;                                                          \
  XCUIElementQuery textFields() const;                                                           \
  XCUIElementQuery secureTextFields() const;                                                     \
  XCUIElementQuery textViews() const;                                                            \
  XCUIElementQuery searchFields() const;                                                         \
  XCUIElementQuery switches() const;                                                             \
  XCUIElementQuery toggles() const;                                                              \
  XCUIElementQuery sliders() const;                                                              \
  XCUIElementQuery tables() const;                                                               \
  XCUIElementQuery collectionViews() const;                                                      \
  XCUIElementQuery cells() const;                                                                \
  XCUIElementQuery tabBars() const;                                                              \
  XCUIElementQuery navigationBars() const;                                                       \
  XCUIElementQuery toolbars() const;                                                             \
  XCUIElementQuery pickers() const;                                                              \
  XCUIElementQuery pickerWheels() const;                                                         \
  XCUIElementQuery datePickers() const;                                                          \
  XCUIElementQuery segmentedControls() const;                                                    \
  XCUIElementQuery menus() const;                                                                \
  XCUIElementQuery menuItems() const;                                                            \
  XCUIElementQuery activityIndicators() const;                                                   \
  XCUIElementQuery progressIndicators() const;                                                   \
  XCUIElementQuery images() const;                                                               \
  XCUIElementQuery icons() const;                                                                \
  XCUIElementQuery scrollViews() const;                                                          \
  XCUIElementQuery webViews() const;                                                             \
  XCUIElementQuery links() const;                                                                \
  XCUIElementQuery keyboards() const;                                                            \
  XCUIElementQuery keys() const;                                                                 \
  XCUIElementQuery otherElements() const;                                                        \
  XCUIElementQuery windows() const;                                                              \
  XCUIElementQuery sheets() const;                                                               \
  XCUIElementQuery descendants(XCUIElementType type) const;                                      \
  XCUIElementQuery children(XCUIElementType type) const;

class XCUIElement : public NSPredicateSubject {
 public:
  using ElementType = XCUIElementType;

  // Properties. `exists`, `isHittable` never record failures; the others do when the element
  // resolves to nothing (see above) and then return false / "" / nullopt / an empty frame.
  bool exists() const;
  bool isHittable() const;
  bool isEnabled(std::source_location where = std::source_location::current()) const;
  bool isSelected(std::source_location where = std::source_location::current()) const;
  bool hasFocus(std::source_location where = std::source_location::current()) const;
  std::string label(std::source_location where = std::source_location::current()) const;
  std::string identifier(std::source_location where = std::source_location::current()) const;
  // The value; absent for elements without one (a button, a label).
  std::optional<std::string> value(std::source_location where = std::source_location::current()) const;
  std::optional<std::string> placeholderValue(std::source_location where = std::source_location::current()) const;
  xcui::CGRect frame(std::source_location where = std::source_location::current()) const;
  XCUIElementType elementType(std::source_location where = std::source_location::current()) const;

  // Actions.
  void tap(std::source_location where = std::source_location::current()) const;
  void doubleTap(std::source_location where = std::source_location::current()) const;
  void press(double forDuration, std::source_location where = std::source_location::current()) const;
  void typeText(const std::string& text, std::source_location where = std::source_location::current()) const;
  void swipeUp(std::source_location where = std::source_location::current()) const;
  void swipeDown(std::source_location where = std::source_location::current()) const;
  void swipeLeft(std::source_location where = std::source_location::current()) const;
  void swipeRight(std::source_location where = std::source_location::current()) const;
  void adjust(const std::string& toPickerWheelValue,
              std::source_location where = std::source_location::current()) const;

  // Waits (virtual time) until the element exists; true when it does within the timeout. Records
  // no failure.
  bool waitForExistence(double timeout) const;

  // This element, taking the first of several matches instead of failing.
  XCUIElement firstMatch() const;

  XCUI_TYPE_QUERY_ACCESSORS

  // How the element is found, for messages: "Application 'x' / Button[\"OK\"] / first match".
  std::string debugDescription() const override;
  // Predicate keys: exists, isHittable / hittable, and the snapshot keys listed at the top.
  NSPredicateValue valueForKey(const std::string& key) const override;

 protected:
  friend class XCUIElementQuery;
  explicit XCUIElement(std::shared_ptr<const xcui::detail::ElementSpec> spec) : spec_(std::move(spec)) {}
  std::shared_ptr<const xcui::detail::ElementSpec> spec_;
};

class XCUIElementQuery {
 public:
  // Elements.
  XCUIElement element() const;  // the first match
  XCUIElement firstMatch() const;
  XCUIElement element(std::size_t boundBy) const;
  XCUIElement operator[](const std::string& key) const;  // identifier or label equals key
  std::vector<XCUIElement> allElementsBoundByIndex() const;
  std::size_t count() const;

  // Narrowing.
  XCUIElementQuery matching(const NSPredicate& predicate) const;
  XCUIElementQuery matching(XCUIElementType type, const std::string& identifier) const;
  XCUIElementQuery matching(const std::string& identifier) const;  // matching(identifier:)
  XCUIElementQuery matchingIdentifier(const std::string& identifier) const { return matching(identifier); }
  XCUIElementQuery containing(const NSPredicate& predicate) const;
  XCUIElementQuery containing(XCUIElementType type, const std::string& identifier) const;

  XCUI_TYPE_QUERY_ACCESSORS

  std::string debugDescription() const;

 private:
  friend class XCUIElement;
  explicit XCUIElementQuery(std::shared_ptr<const xcui::detail::QuerySpec> spec) : spec_(std::move(spec)) {}
  std::shared_ptr<const xcui::detail::QuerySpec> spec_;
};
