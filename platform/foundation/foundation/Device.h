// Facts about the device that the system would report and this platform cannot find out: the
// vendor identifier of the app and the user's preferred languages. Process-wide values that the
// host or a test sets; thread-safe. Defaults: no vendor identifier, languages ["en-US"].
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

class Device {
 public:
  struct Facts {
    // The vendor identifier in its UUID text form; none when the system has none to give.
    std::optional<std::string> identifierForVendor;
    std::vector<std::string> preferredLanguages{"en-US"};
  };

  static std::optional<std::string> identifierForVendor();
  static std::vector<std::string> preferredLanguages();

  static Facts facts();
  // Replaces the facts; returns the previous ones.
  static Facts setFacts(Facts facts);
};

// Sets the device facts for the lifetime of the object.
class ScopedDeviceFacts {
 public:
  explicit ScopedDeviceFacts(Device::Facts facts) : previous_(Device::setFacts(std::move(facts))) {}
  ~ScopedDeviceFacts() { Device::setFacts(std::move(previous_)); }
  ScopedDeviceFacts(const ScopedDeviceFacts&) = delete;
  ScopedDeviceFacts& operator=(const ScopedDeviceFacts&) = delete;

 private:
  Device::Facts previous_;
};

}  // namespace platform
