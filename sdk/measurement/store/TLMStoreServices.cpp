#include "measurement/store/TLMStoreServices.h"

#include "dispatch/Clock.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabaseSchema.h"

bool TLMStoreSetError(platform::Error* error, int code, const std::string& description,
                      const std::string& monitorContext) {
  TLMSetErrorWithMonitorContext(error, code, description, monitorContext);
  return false;
}

void TLMStoreRecordingMonitor::log(int level, int code, const std::string& message,
                                   const std::vector<platform::Value>& context) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(Line{level, code, message, context});
}

std::vector<TLMStoreRecordingMonitor::Line> TLMStoreRecordingMonitor::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool TLMStoreRecordingMonitor::contains(int code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& line : lines_) {
    if (line.code == code) return true;
  }
  return false;
}

void TLMStoreRecordingMonitor::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::int64_t TLMStoreSettings::maxRawEventsMetadataStored() const {
  return kTLMDatabaseRawEventsMetadataMaxCount;
}

double TLMStoreDefaultSettings::now() const {
  return platform::Clock::current()->now();
}

namespace {

class TLMForwardingStoreMonitor : public TLMStoreMonitor {
 public:
  void log(int level, int code, const std::string& message,
           const std::vector<platform::Value>& context) override {
    TLMMeasurement::monitor()->logWithContexts(level, code, message, context);
  }
};

}  // namespace

TLMStoreMonitor* TLMStoreDefaultMonitor() {
  static auto* monitor = new TLMForwardingStoreMonitor();  // never destroyed: queued work may outlive main()
  return monitor;
}
