#include "foundation/Device.h"

#include <mutex>

namespace platform {
namespace {
std::mutex& factsMutex() {
  static std::mutex mutex;
  return mutex;
}
Device::Facts& currentFacts() {
  static Device::Facts facts;
  return facts;
}
}  // namespace

std::optional<std::string> Device::identifierForVendor() { return facts().identifierForVendor; }
std::vector<std::string> Device::preferredLanguages() { return facts().preferredLanguages; }

Device::Facts Device::facts() {
  std::lock_guard<std::mutex> lock(factsMutex());
  return currentFacts();
}

Device::Facts Device::setFacts(Facts facts) {
  std::lock_guard<std::mutex> lock(factsMutex());
  Facts previous = std::move(currentFacts());
  currentFacts() = std::move(facts);
  return previous;
}

}  // namespace platform
