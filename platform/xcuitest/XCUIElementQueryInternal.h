// How elements and queries are described and resolved (framework-internal).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xctest/NSPredicate.h"
#include "xcuitest/SimulatedDevice.h"
#include "xcuitest/XCUIElementType.h"

namespace xcui::detail {

struct ElementSpec;

struct Step {
  enum class Kind { descendants, children, keyed, identifier, predicate, containingPredicate, containingType };
  Kind kind = Kind::descendants;
  XCUIElementType type = XCUIElementType::any;
  std::string text;
  std::shared_ptr<const NSPredicate> predicate;
};

struct QuerySpec {
  std::shared_ptr<const ElementSpec> origin;
  std::vector<Step> steps;
};

struct ElementSpec {
  std::string bundleIdentifier;
  std::shared_ptr<const QuerySpec> query;  // null: the application itself
  std::optional<std::size_t> index;        // none: the first match
  // A query's `element` or subscript: reads and actions need exactly one match. `firstMatch`
  // and `element(boundBy:)` take one of several.
  bool unique = false;
};

// One rendering of an app's tree, flattened in document order (depth first).
struct Snapshot {
  struct Entry {
    const sim::Node* node;
    int parent;  // -1 for the root
    int end;     // one past the last entry of this node's subtree
    CGRect frame;
  };

  explicit Snapshot(std::string bundleIdentifier);

  // Whether an alert, a modal view or system UI covers the entry.
  bool blocked(int index) const;
  bool hittable(int index) const;
  // Nodes from the root to the entry.
  std::vector<const sim::Node*> path(int index) const;

  std::string bundleIdentifier;
  std::shared_ptr<const sim::Node> root;  // null when the app is not running
  std::vector<Entry> entries;
  bool foreground = false;
  bool covered = false;
  int frontAlert = -1;  // the frontmost alert or modal view

 private:
  void add(const sim::Node* node, int parent, CGRect frame);
};

// `ambiguous` (when given) is set when an element of the chain that needs one match has several.
std::vector<int> resolveQuery(const QuerySpec& query, const Snapshot& snap, bool* ambiguous = nullptr);
std::optional<int> resolveElement(const ElementSpec& element, const Snapshot& snap, bool* ambiguous = nullptr);
NSPredicateValue snapshotValue(const Snapshot& snap, int index, const std::string& key);
std::string describeQuery(const QuerySpec& query);
std::string describeElement(const ElementSpec& element, bool withSelection);

}  // namespace xcui::detail
