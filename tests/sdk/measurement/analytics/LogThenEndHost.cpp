// A host app that logs events and returns from main at once, after telling the platform that
// the app is ending (UIApplication::terminate), as the README's embedding section shows. Every
// event logged before that call must be in the app's store once the process has ended.
//
//   log_then_end_host log <count> [collector base URL]   logs <count> events "before_end", ends;
//                                                        exit status 3 when not all was stored
//   log_then_end_host count                              prints how many the store holds
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

namespace {

constexpr const char* kEventName = "before_end";

int logThenEnd(int count, const std::string& collector) {
  TLMMeasurementEngine::setCollectionServerURL(collector);
  CDVApp::configure();
  for (int i = 0; i < count; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName(kEventName, parameters);
  }
  // False when the app's end ran out of time before everything was stored.
  return UIApplication().terminate() ? 0 : 3;
}

int countStored() {
  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) return 1;
  platform::Array arguments;
  arguments.push_back(platform::Value(kEventName));
  auto stored = database->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = ?",
                                                        arguments, nullptr);
  if (!stored) return 1;
  std::cout << stored->int64Value().value_or(-1) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "log" && argc > 2) {
    // Nothing listens at the default address: an upload that starts anyway fails at once.
    return logThenEnd(std::atoi(argv[2]), argc > 3 ? argv[3] : "http://127.0.0.1:9");
  }
  if (mode == "count") return countStored();
  std::cerr << "usage: log_then_end_host log <count> [collector] | count\n";
  return 2;
}
