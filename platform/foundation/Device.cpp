#include "foundation/Device.h"

#include <mutex>

namespace platform {
namespace {
std::mutex& vendorMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<std::string>& vendorIdentifier() {
  static std::optional<std::string>& identifier = *new std::optional<std::string>();
  return identifier;
}
}  // namespace

std::optional<std::string> Device::identifierForVendor() {
  std::lock_guard<std::mutex> lock(vendorMutex());
  return vendorIdentifier();
}

std::optional<std::string> Device::setIdentifierForVendor(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(vendorMutex());
  std::optional<std::string> previous = std::move(vendorIdentifier());
  vendorIdentifier() = std::move(identifier);
  return previous;
}

}  // namespace platform
