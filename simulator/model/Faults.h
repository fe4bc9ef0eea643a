// Named faults of the simulated app.
//
// A fault is a small, realistic bug in one place of the app (a wrong rounding mode, a lock alert
// that still signs the user in, ...). It is off unless the app is launched with its name in the
// launch-environment entry VESMORA_FAULTS (a comma-separated list). The UI suite runs with one
// fault switched on to prove that the test meant to catch it fails (see simulator/README.md).
//
// A fault is declared where it takes effect, as a namespace-scope object of the file that holds
// the bug:
//   const Fault kRoundsHalfUp("roundsHalfUp", "card amounts are rounded half up instead of half even");
//   ... if (settings.faults.has(kRoundsHalfUp)) ...
// Declaring it registers the name, so the runner can reject names that no code knows.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vesmora {

class Fault {
 public:
  // Registers the fault. Names are unique; a second fault of the same name is a programming
  // error (std::logic_error at start-up).
  Fault(const char* name, const char* description);
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

struct FaultInfo {
  std::string name;
  std::string description;
};

class Faults {
 public:
  // The launch-environment key that carries the list.
  static constexpr const char* kEnvironmentKey = "VESMORA_FAULTS";

  Faults() = default;
  // Reads "a,b, c" (blanks around names ignored, empty items skipped). Names that no fault was
  // registered under go to `unknown` and are not switched on.
  static Faults parse(const std::string& list, std::vector<std::string>* unknown = nullptr);
  // The same, for a list that must name known faults only: the first unknown name, or an empty
  // item ("a,,b", ","), throws std::invalid_argument with a message naming it (the runner and the
  // app refuse such a list). A blank list names none.
  static Faults parseKnown(const std::string& list);

  bool has(const Fault& fault) const { return names_.count(fault.name()) > 0; }
  bool empty() const { return names_.empty(); }
  const std::set<std::string>& names() const { return names_; }

  // Every registered fault, by name.
  static std::vector<FaultInfo> registered();

 private:
  std::set<std::string> names_;
};

}  // namespace vesmora
