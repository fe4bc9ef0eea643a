// Identifiers for other parts of the SDK: the app ids and app instance id of the engine's
// identity (the shared identity before the engine exists), the origin the library was started
// with, and ad event ids. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TLMIdentity;

class TLMIdentifiers {
 public:
  static std::shared_ptr<TLMIdentifiers> sharedInstance();
  TLMIdentifiers() = default;

  std::optional<std::string> ombrixAppID() const;
  // The platform app id when set, else the ad-network app id; none (monitor 37005) otherwise.
  std::optional<std::string> analyticsAppID() const;
  std::optional<std::string> appInstanceID() const;
  // A process-wide counter started at a random number; each call answers the next value.
  std::string adEventID();
  static std::string libraryVersion();

  // Empty is refused (monitor 37004).
  void setOrigin(const std::string& origin);
  std::string origin() const;

 private:
  // The engine's identity when there is one (true), else the shared identity (false).
  static std::pair<std::shared_ptr<TLMIdentity>, bool> identity();

  mutable std::mutex mutex_;
  std::string origin_;
  std::once_flag adEventIDOnce_;
  std::atomic<std::int64_t> adEventID_{0};
};
