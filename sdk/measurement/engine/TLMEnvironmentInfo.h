// Device facts sent with every upload: model, system version, language and time-zone offset.
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TLMEnvironmentInfo {
 public:
  static std::shared_ptr<TLMEnvironmentInfo> sharedInstance();
  TLMEnvironmentInfo() = default;

  // Read once; none (monitor 14000) when the system gives none.
  std::optional<std::string> deviceModel();
  // Read on every call.
  std::string deviceOSVersion() const;
  // The first preferred language in lower case; none (monitor 14001) when there is none.
  std::optional<std::string> userDefaultLanguage() const;
  // The device time zone's offset from GMT now, in minutes, truncated toward zero.
  std::int32_t timeZoneOffsetMinutes() const;

 private:
  std::mutex mutex_;
  bool deviceModelRead_ = false;
  std::optional<std::string> deviceModel_;
};
