// libFuzzer entry for the configuration reply: settings, per-event configuration and audience
// filters of one decoded body, over a store in a temporary sandbox made once.
#include <cstdlib>

#include "FuzzMeasurementConfigOne.h"
#include "foundation/Sandbox.h"
#include "measurement/model/TLMMonitor.h"

namespace {

// The console monitor would write a line per refused value; nothing reads it here.
class QuietMonitor : public TLMMonitor {
 public:
  void logWithContexts(int, std::int64_t, const std::string&, const std::vector<platform::Value>&) override {}
  bool isDebugModeEnabled() const override { return false; }
};

TLMDatabase& database() {
  static platform::sandbox::ScopedTemporarySandbox sandbox;
  static std::unique_ptr<TLMDatabase> store = [] {
    TLMMeasurement::setMonitor(std::make_shared<QuietMonitor>());
    return TLMDatabase::initWithDatabaseName("ombrix-tally-mark.sql", nullptr, nullptr);
  }();
  if (!store) std::abort();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzMeasurementConfigOne(database(), data, size)) std::abort();
  return 0;
}
