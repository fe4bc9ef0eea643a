#include "model/Faults.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string_view>

#include "foundation/Text.h"

namespace vesmora {
namespace {

// Filled during static initialisation of the files that declare faults; read afterwards.
std::map<std::string, std::string>& registry() {
  static std::map<std::string, std::string> faults;
  return faults;
}

}  // namespace

Fault::Fault(const char* name, const char* description) : name_(name) {
  if (!registry().emplace(name_, description).second) throw std::logic_error("fault declared twice: " + name_);
}

namespace {

// The items of "a, b,,c", blanks around each removed: {"a", "b", "", "c"}.
std::vector<std::string> itemsOf(const std::string& list) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    items.emplace_back(platform::text::trimASCII(std::string_view(list).substr(start, comma - start)));
    start = comma + 1;
  }
  return items;
}

}  // namespace

Faults Faults::parse(const std::string& list, std::vector<std::string>* unknown) {
  Faults faults;
  for (std::string& name : itemsOf(list)) {
    if (name.empty()) continue;
    if (registry().count(name)) {
      faults.names_.insert(std::move(name));
    } else if (unknown) {
      unknown->push_back(std::move(name));
    }
  }
  return faults;
}

Faults Faults::parseKnown(const std::string& list) {
  // An empty item ("," or "a,,b") is a slip, not a list of none: only a wholly blank list names
  // no fault.
  const std::vector<std::string> items = itemsOf(list);
  if (items.size() > 1 && std::find(items.begin(), items.end(), "") != items.end()) {
    throw std::invalid_argument(std::string(kEnvironmentKey) + " has an empty fault name: \"" + list +
                                "\" (comma-separated names, like payABillMissing,dateInUTC; --list-faults lists "
                                "the known ones)");
  }
  std::vector<std::string> unknown;
  Faults faults = parse(list, &unknown);
  if (!unknown.empty()) {
    throw std::invalid_argument(std::string(kEnvironmentKey) + " names an unknown fault: \"" + unknown.front() +
                                "\" (--list-faults lists the known ones)");
  }
  return faults;
}

std::vector<FaultInfo> Faults::registered() {
  std::vector<FaultInfo> out;
  for (const auto& [name, description] : registry()) out.push_back({name, description});
  return out;
}

}  // namespace vesmora
