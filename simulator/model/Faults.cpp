#include "model/Faults.h"

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

Faults Faults::parse(const std::string& list, std::vector<std::string>* unknown) {
  Faults faults;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string name(platform::text::trimASCII(std::string_view(list).substr(start, comma - start)));
    if (!name.empty()) {
      if (registry().count(name)) {
        faults.names_.insert(name);
      } else if (unknown) {
        unknown->push_back(name);
      }
    }
    start = comma + 1;
  }
  return faults;
}

Faults Faults::parseKnown(const std::string& list) {
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
