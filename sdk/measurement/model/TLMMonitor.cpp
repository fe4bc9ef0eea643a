#include "measurement/model/TLMMonitor.h"

#include <atomic>
#include <mutex>

#include "foundation/Format.h"
#include "obx/OBXLogger.h"
#include "measurement/model/TLMObject.h"
#include "obx/OBXLogger.h"

std::string TLMMessageCodeString(std::int64_t messageCode) {
  return platform::format("I-ACS%06lld", static_cast<long long>(messageCode));
}

void TLMConsoleMonitor::logWithContexts(int level, std::int64_t messageCode,
                                        const std::string& message,
                                        const std::vector<platform::Value>& contexts) {
  if (level > 2) return;
  std::string line = message;
  if (!contexts.empty()) {
    line += ":";
    for (const platform::Value& context : contexts) line += " " + context.description();
  }
  // Held back, as every line of the logger is, when the same one comes over and over.
  OBXLogBasic(OBXLoggerLevelError, kTLMMonitorDefaultLogTag, false, TLMMessageCodeString(messageCode), line);
}

namespace {

struct Services {
  std::mutex mutex;
  std::shared_ptr<TLMMonitor> monitor = std::make_shared<TLMConsoleMonitor>();
  TLMInternalEventLogger internalEventLogger;
  std::atomic<bool> facadePresent{false};
};

Services& services() {
  static Services* s = new Services();  // never destroyed: usable from static destructors too
  return *s;
}

}  // namespace

std::shared_ptr<TLMMonitor> TLMMeasurement::monitor() {
  Services& s = services();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.monitor;
}

std::shared_ptr<TLMMonitor> TLMMeasurement::setMonitor(std::shared_ptr<TLMMonitor> monitor) {
  Services& s = services();
  if (!monitor) monitor = std::make_shared<TLMConsoleMonitor>();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::swap(s.monitor, monitor);
  return monitor;
}

TLMInternalEventLogger TLMMeasurement::setInternalEventLogger(TLMInternalEventLogger logger) {
  Services& s = services();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::swap(s.internalEventLogger, logger);
  return logger;
}

void TLMMeasurement::logInternalEvent(const std::string& origin, const std::string& name,
                                      const TLMObjectDictionary& parameters) {
  TLMInternalEventLogger logger;
  {
    Services& s = services();
    std::lock_guard<std::mutex> lock(s.mutex);
    logger = s.internalEventLogger;
  }
  if (logger) logger(origin, name, parameters);
}

void TLMMeasurement::setAnalyticsFacadePresent(bool present) {
  services().facadePresent.store(present);
}

bool TLMMeasurement::isAnalyticsFacadePresent() { return services().facadePresent.load(); }
