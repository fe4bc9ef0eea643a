#include "xcuitest/XCUIElement.h"

#include <algorithm>

#include "xctest/XCTVirtualClock.h"
#include "xctest/XCTestCase.h"
#include "xctest/XCTestInternal.h"
#include "xcuitest/SimulatedDevice.h"
#include "xcuitest/XCUIElementQueryInternal.h"

namespace xcui::detail {

namespace {

bool typeMatches(XCUIElementType wanted, XCUIElementType actual) {
  return wanted == XCUIElementType::any || wanted == actual;
}

}  // namespace

// --- snapshot -------------------------------------------------------------------------------------

Snapshot::Snapshot(std::string bundle) : bundleIdentifier(std::move(bundle)) {
  auto& device = sim::Device::shared();
  root = device.snapshot(bundleIdentifier);
  if (!root) return;
  foreground = bundleIdentifier == sim::kSpringboardBundleIdentifier ||
               device.state(bundleIdentifier) == sim::AppState::runningForeground;
  covered = device.coveredBySystemUI(bundleIdentifier);
  add(root.get(), -1, root->frame.isEmpty() ? device.screenFrame() : root->frame);
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].node->type == XCUIElementType::alert || entries[i].node->modal) frontAlert = static_cast<int>(i);
}

void Snapshot::add(const sim::Node* node, int parent, CGRect frame) {
  int index = static_cast<int>(entries.size());
  entries.push_back({node, parent, 0, frame});
  for (const auto& child : node->children) add(&child, index, child.frame.isEmpty() ? frame : child.frame);
  entries[static_cast<std::size_t>(index)].end = static_cast<int>(entries.size());
}

bool Snapshot::blocked(int index) const {
  if (covered) return true;
  if (frontAlert < 0) return false;
  return index < frontAlert || index >= entries[static_cast<std::size_t>(frontAlert)].end;
}

bool Snapshot::hittable(int index) const {
  const Entry& e = entries[static_cast<std::size_t>(index)];
  if (!foreground || blocked(index) || !e.node->hittable) return false;
  return !e.frame.isEmpty() && e.frame.intersects(sim::Device::shared().screenFrame());
}

std::vector<const sim::Node*> Snapshot::path(int index) const {
  std::vector<const sim::Node*> out;
  for (int i = index; i >= 0; i = entries[static_cast<std::size_t>(i)].parent)
    out.push_back(entries[static_cast<std::size_t>(i)].node);
  std::reverse(out.begin(), out.end());
  return out;
}

// Predicate keys of one element of a snapshot.
NSPredicateValue snapshotValue(const Snapshot& snap, int index, const std::string& key) {
  const auto& e = snap.entries[static_cast<std::size_t>(index)];
  const sim::Node& n = *e.node;
  if (key == "identifier") return n.identifier;
  if (key == "label") return n.label;
  if (key == "value") return n.value ? NSPredicateValue(*n.value) : NSPredicateValue();
  if (key == "placeholderValue") return n.placeholderValue ? NSPredicateValue(*n.placeholderValue) : NSPredicateValue();
  if (key == "title") return std::string();
  if (key == "elementType") return static_cast<double>(static_cast<int>(n.type));
  if (key == "isEnabled" || key == "enabled") return n.enabled;
  if (key == "isSelected" || key == "selected") return n.selected;
  if (key == "hasFocus") return n.hasFocus;
  if (key == "exists") return true;
  if (key == "isHittable" || key == "hittable") return snap.hittable(index);
  xctest::detail::throwProgrammingError(
      "NSUnknownKeyException",
      "[<XCUIElementSnapshot> valueForUndefinedKey:]: this class is not key value coding-compliant for the key " +
          key + ".");
}

namespace {

class SnapshotSubject : public NSPredicateSubject {
 public:
  SnapshotSubject(const Snapshot& snap, int index) : snap_(snap), index_(index) {}
  NSPredicateValue valueForKey(const std::string& key) const override { return snapshotValue(snap_, index_, key); }
  std::string debugDescription() const override {
    const auto& n = *snap_.entries[static_cast<std::size_t>(index_)].node;
    return XCUIElementTypeName(n.type) + " '" + n.identifier + "' '" + n.label + "'";
  }

 private:
  const Snapshot& snap_;
  int index_;
};

bool subtreeHas(const Snapshot& snap, int index, const std::function<bool(int)>& test) {
  for (int j = index; j < snap.entries[static_cast<std::size_t>(index)].end; ++j)
    if (test(j)) return true;
  return false;
}

}  // namespace

std::vector<int> resolveQuery(const QuerySpec& query, const Snapshot& snap, bool* ambiguous) {
  auto origin = resolveElement(*query.origin, snap, ambiguous);
  if (!origin) return {};
  std::vector<int> current{*origin};
  for (const Step& step : query.steps) {
    std::vector<int> next;
    switch (step.kind) {
      case Step::Kind::descendants:
      case Step::Kind::children: {
        std::vector<char> seen(snap.entries.size(), 0);
        for (int i : current) {
          for (int j = i + 1; j < snap.entries[static_cast<std::size_t>(i)].end; ++j) {
            const auto& e = snap.entries[static_cast<std::size_t>(j)];
            if (step.kind == Step::Kind::children && e.parent != i) continue;
            if (typeMatches(step.type, e.node->type)) seen[static_cast<std::size_t>(j)] = 1;
          }
        }
        for (std::size_t j = 0; j < seen.size(); ++j)
          if (seen[j]) next.push_back(static_cast<int>(j));
        break;
      }
      case Step::Kind::keyed:
        for (int i : current) {
          const auto& n = *snap.entries[static_cast<std::size_t>(i)].node;
          if (n.identifier == step.text || n.label == step.text) next.push_back(i);
        }
        break;
      case Step::Kind::identifier:
        for (int i : current) {
          const auto& n = *snap.entries[static_cast<std::size_t>(i)].node;
          if (typeMatches(step.type, n.type) && n.identifier == step.text) next.push_back(i);
        }
        break;
      case Step::Kind::predicate:
        for (int i : current)
          if (step.predicate->evaluate(SnapshotSubject(snap, i))) next.push_back(i);
        break;
      case Step::Kind::containingPredicate:
        for (int i : current)
          if (subtreeHas(snap, i, [&](int j) { return step.predicate->evaluate(SnapshotSubject(snap, j)); }))
            next.push_back(i);
        break;
      case Step::Kind::containingType:
        for (int i : current)
          if (subtreeHas(snap, i, [&](int j) {
                const auto& n = *snap.entries[static_cast<std::size_t>(j)].node;
                return typeMatches(step.type, n.type) && (step.text.empty() || n.identifier == step.text);
              }))
            next.push_back(i);
        break;
    }
    current = std::move(next);
    if (current.empty()) break;
  }
  return current;
}

std::optional<int> resolveElement(const ElementSpec& element, const Snapshot& snap, bool* ambiguous) {
  if (!snap.root) return std::nullopt;
  if (!element.query) return 0;
  auto matches = resolveQuery(*element.query, snap, ambiguous);
  if (ambiguous && element.unique && matches.size() > 1) *ambiguous = true;
  std::size_t index = element.index.value_or(0);
  if (index >= matches.size()) return std::nullopt;
  return matches[index];
}

std::string describeStep(const Step& step) {
  switch (step.kind) {
    case Step::Kind::descendants:
      return step.type == XCUIElementType::any ? std::string("Descendants") : XCUIElementTypeName(step.type);
    case Step::Kind::children: return "Children(" + XCUIElementTypeName(step.type) + ")";
    case Step::Kind::keyed: return "[\"" + step.text + "\"]";
    case Step::Kind::identifier:
      return ".matching(" + (step.type == XCUIElementType::any ? std::string() : XCUIElementTypeName(step.type) + ", ") +
             "identifier: \"" + step.text + "\")";
    case Step::Kind::predicate: return ".matching(" + step.predicate->predicateFormat() + ")";
    case Step::Kind::containingPredicate: return ".containing(" + step.predicate->predicateFormat() + ")";
    case Step::Kind::containingType:
      return ".containing(" + XCUIElementTypeName(step.type) + (step.text.empty() ? "" : ", \"" + step.text + "\"") + ")";
  }
  return {};
}

std::string describeQuery(const QuerySpec& query) {
  std::string out = describeElement(*query.origin, false);
  for (const Step& step : query.steps) {
    if (step.kind == Step::Kind::descendants || step.kind == Step::Kind::children) out += " / ";
    out += describeStep(step);
  }
  return out;
}

std::string describeElement(const ElementSpec& element, bool withSelection) {
  if (!element.query) return "Application '" + element.bundleIdentifier + "'";
  std::string out = describeQuery(*element.query);
  if (element.index) return out + " / element bound by index " + std::to_string(*element.index);
  if (!withSelection || element.unique) return out;
  return out + " / first match";
}

}  // namespace xcui::detail

using xcui::detail::ElementSpec;
using xcui::detail::QuerySpec;
using xcui::detail::Snapshot;
using xcui::detail::Step;

namespace {

void fail(const std::string& text, const std::source_location& where) {
  xctest::recordFailure(text, where.file_name(), static_cast<int>(where.line()));
}

std::shared_ptr<const QuerySpec> extend(std::shared_ptr<const QuerySpec> base, Step step) {
  auto q = std::make_shared<QuerySpec>(*base);
  q->steps.push_back(std::move(step));
  return q;
}

std::shared_ptr<const QuerySpec> fromElement(const std::shared_ptr<const ElementSpec>& element, Step step) {
  auto q = std::make_shared<QuerySpec>();
  q->origin = element;
  q->steps.push_back(std::move(step));
  return q;
}

Step typeStep(Step::Kind kind, XCUIElementType type) {
  Step s;
  s.kind = kind;
  s.type = type;
  return s;
}

}  // namespace

// --- XCUIElement --------------------------------------------------------------------------------

namespace {

// Resolves an element for a property read; records the failure when it resolves to nothing.
struct Resolved {
  Snapshot snap;
  std::optional<int> index;
  const sim::Node* node() const { return snap.entries[static_cast<std::size_t>(*index)].node; }
};

Resolved resolveForRead(const ElementSpec& spec, const std::source_location& where) {
  Resolved r{Snapshot(spec.bundleIdentifier), std::nullopt};
  bool ambiguous = false;
  r.index = xcui::detail::resolveElement(spec, r.snap, &ambiguous);
  if (!r.index) {
    fail("Failed to get matching snapshot: No matches found for " + xcui::detail::describeElement(spec, true), where);
  } else if (ambiguous) {
    fail("Failed to get matching snapshot: Multiple matching elements found for " +
             xcui::detail::describeElement(spec, true),
         where);
    r.index.reset();
  }
  return r;
}

}  // namespace

bool XCUIElement::exists() const {
  Snapshot snap(spec_->bundleIdentifier);
  return xcui::detail::resolveElement(*spec_, snap).has_value();
}

bool XCUIElement::isHittable() const {
  Snapshot snap(spec_->bundleIdentifier);
  auto index = xcui::detail::resolveElement(*spec_, snap);
  return index && snap.hittable(*index);
}

bool XCUIElement::isEnabled(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index && r.node()->enabled;
}

bool XCUIElement::isSelected(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index && r.node()->selected;
}

bool XCUIElement::hasFocus(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index && r.node()->hasFocus;
}

std::string XCUIElement::label(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.node()->label : std::string();
}

std::string XCUIElement::identifier(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.node()->identifier : std::string();
}

std::optional<std::string> XCUIElement::value(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.node()->value : std::nullopt;
}

std::optional<std::string> XCUIElement::placeholderValue(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.node()->placeholderValue : std::nullopt;
}

xcui::CGRect XCUIElement::frame(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.snap.entries[static_cast<std::size_t>(*r.index)].frame : xcui::CGRect();
}

XCUIElementType XCUIElement::elementType(std::source_location where) const {
  auto r = resolveForRead(*spec_, where);
  return r.index ? r.node()->type : XCUIElementType::any;
}

namespace {

bool isTapLike(sim::Action::Kind kind) {
  return kind == sim::Action::Kind::tap || kind == sim::Action::Kind::doubleTap || kind == sim::Action::Kind::press;
}

void act(const ElementSpec& spec, sim::Action action, const std::source_location& where) {
  const std::string name = sim::actionName(action.kind);
  Snapshot snap(spec.bundleIdentifier);
  bool ambiguous = false;
  auto index = xcui::detail::resolveElement(spec, snap, &ambiguous);
  const std::string description = xcui::detail::describeElement(spec, true);
  if (!index) {
    fail("Failed to " + name + " " + description + ": No matches found", where);
    return;
  }
  if (ambiguous) {
    fail("Failed to " + name + " " + description + ": Multiple matching elements found", where);
    return;
  }
  if (!snap.foreground) {
    fail("Failed to " + name + " " + description + ": the app is not in the foreground", where);
    return;
  }
  int target = *index;
  const sim::Node* node = snap.entries[static_cast<std::size_t>(target)].node;
  if (action.kind == sim::Action::Kind::typeText) {
    std::optional<int> focused;
    for (int j = target; j < snap.entries[static_cast<std::size_t>(target)].end && !focused; ++j)
      if (snap.entries[static_cast<std::size_t>(j)].node->hasFocus) focused = j;
    if (!focused) {
      fail("Failed to " + name + " " + description + ": Neither element nor any descendant has keyboard focus", where);
      return;
    }
    target = *focused;
  } else if (action.kind == sim::Action::Kind::adjustPickerWheel) {
    if (node->type != XCUIElementType::pickerWheel) {
      fail("Failed to " + name + " " + description + ": the element is not a picker wheel", where);
      return;
    }
    if (!node->pickerValues.empty() &&
        std::find(node->pickerValues.begin(), node->pickerValues.end(), action.text) == node->pickerValues.end()) {
      fail("Failed to " + name + " " + description + ": '" + action.text + "' is not one of its values", where);
      return;
    }
  }
  if (isTapLike(action.kind)) {
    if (snap.blocked(target)) {
      fail("Failed to " + name + " " + description + ": the element is not hittable (an alert or another view covers it)",
           where);
      return;
    }
    if (!snap.hittable(target)) {
      // Off screen: the framework asks the scrolling container to bring it into view first.
      sim::Device::shared().deliver(spec.bundleIdentifier, snap.path(target), {sim::Action::Kind::scrollToVisible, {}, 0});
      Snapshot moved(spec.bundleIdentifier);
      auto again = xcui::detail::resolveElement(spec, moved);
      if (!again || !moved.hittable(*again)) {
        fail("Failed to " + name + " " + description + ": the element is not hittable and cannot be scrolled into view",
             where);
        return;
      }
      if (!moved.entries[static_cast<std::size_t>(*again)].node->enabled) return;
      sim::Device::shared().deliver(spec.bundleIdentifier, moved.path(*again), action);
      return;
    }
  }
  // Covered by an alert (typing, swipes), or disabled: the action lands nowhere.
  if (snap.blocked(target) || !snap.entries[static_cast<std::size_t>(target)].node->enabled) return;
  sim::Device::shared().deliver(spec.bundleIdentifier, snap.path(target), action);
}

}  // namespace

void XCUIElement::tap(std::source_location where) const { act(*spec_, {sim::Action::Kind::tap, {}, 0}, where); }
void XCUIElement::doubleTap(std::source_location where) const {
  act(*spec_, {sim::Action::Kind::doubleTap, {}, 0}, where);
}
void XCUIElement::press(double forDuration, std::source_location where) const {
  act(*spec_, {sim::Action::Kind::press, {}, forDuration}, where);
  XCTVirtualClock::advance(forDuration);
}
void XCUIElement::typeText(const std::string& text, std::source_location where) const {
  act(*spec_, {sim::Action::Kind::typeText, text, 0}, where);
}
void XCUIElement::swipeUp(std::source_location where) const { act(*spec_, {sim::Action::Kind::swipeUp, {}, 0}, where); }
void XCUIElement::swipeDown(std::source_location where) const {
  act(*spec_, {sim::Action::Kind::swipeDown, {}, 0}, where);
}
void XCUIElement::swipeLeft(std::source_location where) const {
  act(*spec_, {sim::Action::Kind::swipeLeft, {}, 0}, where);
}
void XCUIElement::swipeRight(std::source_location where) const {
  act(*spec_, {sim::Action::Kind::swipeRight, {}, 0}, where);
}
void XCUIElement::adjust(const std::string& toPickerWheelValue, std::source_location where) const {
  act(*spec_, {sim::Action::Kind::adjustPickerWheel, toPickerWheelValue, 0}, where);
}

bool XCUIElement::waitForExistence(double timeout) const {
  return XCTVirtualClock::waitUntil([this] { return exists(); }, timeout);
}

XCUIElement XCUIElement::firstMatch() const {
  if (!spec_->unique) return *this;
  auto e = std::make_shared<ElementSpec>(*spec_);
  e->unique = false;
  return XCUIElement(e);
}

std::string XCUIElement::debugDescription() const { return xcui::detail::describeElement(*spec_, true); }

NSPredicateValue XCUIElement::valueForKey(const std::string& key) const {
  Snapshot snap(spec_->bundleIdentifier);
  auto index = xcui::detail::resolveElement(*spec_, snap);
  if (key == "exists") return index.has_value();
  if (!index) {
    if (key == "isHittable" || key == "hittable" || key == "isEnabled" || key == "enabled" || key == "isSelected" ||
        key == "selected" || key == "hasFocus")
      return false;
    // Validate the key even when nothing matches.
    static const char* known[] = {"identifier", "label", "value", "placeholderValue", "title", "elementType"};
    for (const char* k : known)
      if (key == k) return std::monostate{};
    xctest::detail::throwProgrammingError(
        "NSUnknownKeyException",
        "[<XCUIElement> valueForUndefinedKey:]: this class is not key value coding-compliant for the key " + key + ".");
  }
  return xcui::detail::snapshotValue(snap, *index, key);
}

XCUIElementQuery XCUIElement::descendants(XCUIElementType type) const {
  return XCUIElementQuery(fromElement(spec_, typeStep(Step::Kind::descendants, type)));
}
XCUIElementQuery XCUIElement::children(XCUIElementType type) const {
  return XCUIElementQuery(fromElement(spec_, typeStep(Step::Kind::children, type)));
}

// --- XCUIElementQuery ---------------------------------------------------------------------------

XCUIElement XCUIElementQuery::element() const {
  auto e = std::make_shared<ElementSpec>();
  e->bundleIdentifier = spec_->origin->bundleIdentifier;
  e->query = spec_;
  e->unique = true;
  return XCUIElement(e);
}

XCUIElement XCUIElementQuery::firstMatch() const {
  auto e = std::make_shared<ElementSpec>();
  e->bundleIdentifier = spec_->origin->bundleIdentifier;
  e->query = spec_;
  return XCUIElement(e);
}

XCUIElement XCUIElementQuery::element(std::size_t boundBy) const {
  auto e = std::make_shared<ElementSpec>();
  e->bundleIdentifier = spec_->origin->bundleIdentifier;
  e->query = spec_;
  e->index = boundBy;
  return XCUIElement(e);
}

XCUIElement XCUIElementQuery::operator[](const std::string& key) const {
  Step s;
  s.kind = Step::Kind::keyed;
  s.text = key;
  return XCUIElementQuery(extend(spec_, std::move(s))).element();
}

std::vector<XCUIElement> XCUIElementQuery::allElementsBoundByIndex() const {
  std::vector<XCUIElement> out;
  for (std::size_t i = 0, n = count(); i < n; ++i) out.push_back(element(i));
  return out;
}

std::size_t XCUIElementQuery::count() const {
  Snapshot snap(spec_->origin->bundleIdentifier);
  return xcui::detail::resolveQuery(*spec_, snap).size();
}

XCUIElementQuery XCUIElementQuery::matching(const NSPredicate& predicate) const {
  Step s;
  s.kind = Step::Kind::predicate;
  s.predicate = std::make_shared<NSPredicate>(predicate);
  return XCUIElementQuery(extend(spec_, std::move(s)));
}

XCUIElementQuery XCUIElementQuery::matching(XCUIElementType type, const std::string& identifier) const {
  Step s;
  s.kind = Step::Kind::identifier;
  s.type = type;
  s.text = identifier;
  return XCUIElementQuery(extend(spec_, std::move(s)));
}

XCUIElementQuery XCUIElementQuery::matching(const std::string& identifier) const {
  return matching(XCUIElementType::any, identifier);
}

XCUIElementQuery XCUIElementQuery::containing(const NSPredicate& predicate) const {
  Step s;
  s.kind = Step::Kind::containingPredicate;
  s.predicate = std::make_shared<NSPredicate>(predicate);
  return XCUIElementQuery(extend(spec_, std::move(s)));
}

XCUIElementQuery XCUIElementQuery::containing(XCUIElementType type, const std::string& identifier) const {
  Step s;
  s.kind = Step::Kind::containingType;
  s.type = type;
  s.text = identifier;
  return XCUIElementQuery(extend(spec_, std::move(s)));
}

XCUIElementQuery XCUIElementQuery::descendants(XCUIElementType type) const {
  return XCUIElementQuery(extend(spec_, typeStep(Step::Kind::descendants, type)));
}
XCUIElementQuery XCUIElementQuery::children(XCUIElementType type) const {
  return XCUIElementQuery(extend(spec_, typeStep(Step::Kind::children, type)));
}

std::string XCUIElementQuery::debugDescription() const { return xcui::detail::describeQuery(*spec_); }

// Type accessors of both classes.
#define XCUI_DEFINE_ACCESSOR(name, type)                                                          \
  XCUIElementQuery XCUIElement::name() const { return descendants(XCUIElementType::type); }      \
  XCUIElementQuery XCUIElementQuery::name() const { return descendants(XCUIElementType::type); }

XCUI_DEFINE_ACCESSOR(alerts, alert)
XCUI_DEFINE_ACCESSOR(buttons, button)
XCUI_DEFINE_ACCESSOR(staticTexts, staticText)
XCUI_DEFINE_ACCESSOR(textFields, textField)
XCUI_DEFINE_ACCESSOR(secureTextFields, secureTextField)
XCUI_DEFINE_ACCESSOR(textViews, textView)
XCUI_DEFINE_ACCESSOR(searchFields, searchField)
XCUI_DEFINE_ACCESSOR(switches, switch_)
XCUI_DEFINE_ACCESSOR(toggles, toggle)
XCUI_DEFINE_ACCESSOR(sliders, slider)
XCUI_DEFINE_ACCESSOR(tables, table)
XCUI_DEFINE_ACCESSOR(collectionViews, collectionView)
XCUI_DEFINE_ACCESSOR(cells, cell)
XCUI_DEFINE_ACCESSOR(tabBars, tabBar)
XCUI_DEFINE_ACCESSOR(navigationBars, navigationBar)
XCUI_DEFINE_ACCESSOR(toolbars, toolbar)
XCUI_DEFINE_ACCESSOR(pickers, picker)
XCUI_DEFINE_ACCESSOR(pickerWheels, pickerWheel)
XCUI_DEFINE_ACCESSOR(datePickers, datePicker)
XCUI_DEFINE_ACCESSOR(segmentedControls, segmentedControl)
XCUI_DEFINE_ACCESSOR(menus, menu)
XCUI_DEFINE_ACCESSOR(menuItems, menuItem)
XCUI_DEFINE_ACCESSOR(activityIndicators, activityIndicator)
XCUI_DEFINE_ACCESSOR(progressIndicators, progressIndicator)
XCUI_DEFINE_ACCESSOR(images, image)
XCUI_DEFINE_ACCESSOR(icons, icon)
XCUI_DEFINE_ACCESSOR(scrollViews, scrollView)
XCUI_DEFINE_ACCESSOR(webViews, webView)
XCUI_DEFINE_ACCESSOR(links, link)
XCUI_DEFINE_ACCESSOR(keyboards, keyboard)
XCUI_DEFINE_ACCESSOR(keys, key)
XCUI_DEFINE_ACCESSOR(otherElements, other)
XCUI_DEFINE_ACCESSOR(windows, window)
XCUI_DEFINE_ACCESSOR(sheets, sheet)
