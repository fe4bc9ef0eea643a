// Facts about the device that the system would report and this platform cannot find out: the
// app's vendor identifier. A process-wide value that the host or a test sets; thread-safe.
// Default: none. (The user's languages live in foundation/Locale.h.)
#pragma once

#include <optional>
#include <string>

namespace platform {

class Device {
 public:
  // The vendor identifier in its UUID text form; none when the system has none to give.
  static std::optional<std::string> identifierForVendor();
  // Replaces the vendor identifier; returns the previous one.
  static std::optional<std::string> setIdentifierForVendor(std::optional<std::string> identifier);
};

// Sets the vendor identifier for the lifetime of the object.
class ScopedIdentifierForVendor {
 public:
  explicit ScopedIdentifierForVendor(std::optional<std::string> identifier)
      : previous_(Device::setIdentifierForVendor(std::move(identifier))) {}
  ~ScopedIdentifierForVendor() { Device::setIdentifierForVendor(std::move(previous_)); }
  ScopedIdentifierForVendor(const ScopedIdentifierForVendor&) = delete;
  ScopedIdentifierForVendor& operator=(const ScopedIdentifierForVendor&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace platform
