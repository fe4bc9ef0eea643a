// Test support: a monitor that records every message, so tests can assert message codes and
// levels instead of texts, and a scope that installs it (and records internal events too).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Value.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMObject.h"

struct TLMMonitorEntry {
  int level;
  std::int64_t code;
  std::string message;
  std::vector<platform::Value> contexts;
};

struct TLMRecordedInternalEvent {
  std::string origin;
  std::string name;
  TLMObjectDictionary parameters;
};

class TLMRecordingMonitor : public TLMMonitor {
 public:
  void logWithContexts(int level, std::int64_t messageCode, const std::string& message,
                       const std::vector<platform::Value>& contexts) override;
  bool isDebugModeEnabled() const override;
  void setDebugModeEnabled(bool enabled);

  std::vector<TLMMonitorEntry> entries() const;
  std::vector<std::int64_t> codes() const;
  // How often `code` was logged.
  std::size_t count(std::int64_t code) const;
  bool has(std::int64_t code) const { return count(code) > 0; }
  // The first entry with `code`; a default entry (code 0) when there is none.
  TLMMonitorEntry first(std::int64_t code) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<TLMMonitorEntry> entries_;
  bool debugMode_ = false;
};

// Installs a fresh recording monitor and an internal-event recorder for its lifetime, and marks
// the analytics facade present or absent as asked; restores the previous state afterwards.
class TLMScopedRecordingMonitor {
 public:
  explicit TLMScopedRecordingMonitor(bool debugMode = false, bool facadePresent = true);
  ~TLMScopedRecordingMonitor();
  TLMScopedRecordingMonitor(const TLMScopedRecordingMonitor&) = delete;
  TLMScopedRecordingMonitor& operator=(const TLMScopedRecordingMonitor&) = delete;

  TLMRecordingMonitor& monitor() { return *monitor_; }
  TLMRecordingMonitor* operator->() { return monitor_.get(); }
  std::vector<TLMRecordedInternalEvent> internalEvents() const;

 private:
  std::shared_ptr<TLMRecordingMonitor> monitor_;
  std::shared_ptr<TLMMonitor> previous_;
  TLMInternalEventLogger previousLogger_;
  bool previousFacade_;
  struct Events {
    std::mutex mutex;
    std::vector<TLMRecordedInternalEvent> events;
  };
  std::shared_ptr<Events> events_;
};
