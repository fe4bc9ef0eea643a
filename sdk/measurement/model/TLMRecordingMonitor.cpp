#include "measurement/model/TLMRecordingMonitor.h"

void TLMRecordingMonitor::logWithContexts(int level, std::int64_t messageCode,
                                          const std::string& message,
                                          const std::vector<platform::Value>& contexts) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(TLMMonitorEntry{level, messageCode, message, contexts});
}

bool TLMRecordingMonitor::isDebugModeEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return debugMode_;
}

void TLMRecordingMonitor::setDebugModeEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  debugMode_ = enabled;
}

std::vector<TLMMonitorEntry> TLMRecordingMonitor::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::int64_t> TLMRecordingMonitor::codes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::int64_t> out;
  for (const auto& e : entries_) out.push_back(e.code);
  return out;
}

std::size_t TLMRecordingMonitor::count(std::int64_t code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& e : entries_)
    if (e.code == code) ++n;
  return n;
}

TLMMonitorEntry TLMRecordingMonitor::first(std::int64_t code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& e : entries_)
    if (e.code == code) return e;
  return TLMMonitorEntry{0, 0, {}, {}};
}

void TLMRecordingMonitor::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

TLMScopedRecordingMonitor::TLMScopedRecordingMonitor(bool debugMode, bool facadePresent)
    : monitor_(std::make_shared<TLMRecordingMonitor>()), events_(std::make_shared<Events>()) {
  monitor_->setDebugModeEnabled(debugMode);
  previous_ = TLMMeasurement::setMonitor(monitor_);
  std::weak_ptr<Events> weak = events_;
  previousLogger_ = TLMMeasurement::setInternalEventLogger(
      [weak](const std::string& origin, const std::string& name,
             const TLMObjectDictionary& parameters) {
        if (auto events = weak.lock()) {
          std::lock_guard<std::mutex> lock(events->mutex);
          events->events.push_back(TLMRecordedInternalEvent{origin, name, parameters});
        }
      });
  previousFacade_ = TLMMeasurement::isAnalyticsFacadePresent();
  TLMMeasurement::setAnalyticsFacadePresent(facadePresent);
}

TLMScopedRecordingMonitor::~TLMScopedRecordingMonitor() {
  TLMMeasurement::setAnalyticsFacadePresent(previousFacade_);
  TLMMeasurement::setInternalEventLogger(std::move(previousLogger_));
  TLMMeasurement::setMonitor(std::move(previous_));
}

std::vector<TLMRecordedInternalEvent> TLMScopedRecordingMonitor::internalEvents() const {
  std::lock_guard<std::mutex> lock(events_->mutex);
  return events_->events;
}
