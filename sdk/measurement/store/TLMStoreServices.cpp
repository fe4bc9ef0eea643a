#include "measurement/store/TLMStoreServices.h"

#include "dispatch/Clock.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"

bool TLMStoreSetError(platform::Error* error, int code, const std::string& description,
                      const std::string& monitorContext) {
  if (error == nullptr) return false;
  platform::Value userInfo;
  if (!monitorContext.empty()) userInfo.set(kTLMStoreMonitorContextKey, monitorContext);
  *error = platform::Error(kTLMStoreErrorDomain, code, description, std::move(userInfo));
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

double TLMStoreDefaultSettings::now() const {
  return platform::Clock::current()->now();
}

std::string TLMStoreDatabasePath(const std::string& name) {
  if (name.empty()) return std::string();
  return platform::files::join(
      platform::files::join(platform::sandbox::applicationSupportDirectory(), "Ombrix/Measurement"),
      name);
}
