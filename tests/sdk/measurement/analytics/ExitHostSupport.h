// What the exit hosts do just before they return from main: several threads log events and set
// user properties at once, so the SDK's queues still hold that work when the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "measurement/analytics/CDVAnalytics.h"

namespace exithost {

inline void logFromSeveralThreads() {
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 15; ++i) {
        TLMObjectDictionary parameters;
        parameters.set("item", TLMObject("card_" + std::to_string(i)));
        parameters.set("count", TLMObject(std::int64_t{i}));
        CDVAnalytics::logEventWithName("offer_viewed_" + std::to_string(t), parameters);
        CDVAnalytics::setUserPropertyString(TLMObject("tier_" + std::to_string(i)), "tier" + std::to_string(t));
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace exithost
