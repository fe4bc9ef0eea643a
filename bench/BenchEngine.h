// A measurement engine for the benchmarks: manual worker queue and clock, the identity of a test
// app, real store in the sandbox in force; started (first open written) when constructed.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "foundation/AdSupport.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"

class BenchAdManager : public platform::ASIdentifierManager {
 public:
  bool isAdvertisingTrackingEnabled() const override { return true; }
  std::string advertisingIdentifier() const override { return "6D92078A-8246-4BA4-AE5B-76104861E7DC"; }
};

struct BenchEngine {
  std::shared_ptr<platform::ManualClock> clock;
  std::shared_ptr<platform::ManualQueue> worker = platform::ManualQueue::create(kTLMSchedulerWorkerQueueLabel);
  std::shared_ptr<platform::ManualQueue> syncQueue = platform::ManualQueue::create("sync");
  std::shared_ptr<TLMMeasurementEngine> engine;

  // `clock` should be the clock in force (the store reads that one). `makeAudience` null: no
  // audiences.
  explicit BenchEngine(std::shared_ptr<platform::ManualClock> engineClock,
                       std::string databaseName = kTLMDatabaseFileName,
                       decltype(TLMEngineComponents::makeAudience) makeAudience = nullptr)
      : clock(std::move(engineClock)) {
    auto persisted = TLMPersistedConfig::initWithUserDefaults(
        TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, syncQueue));
    auto identity = TLMIdentity::initWithPersistedConfig(
        persisted, std::make_shared<TLMASIdentifierManager>(std::make_shared<BenchAdManager>()),
        [] { return TLMRemoteConfig::defaultInstance(); });
    identity->setAppIDFromQPX("1:1234:ios:abcd");
    TLMEngineCollaborators collaborators;
    collaborators.databaseName = std::move(databaseName);
    collaborators.persistedConfig = persisted;
    collaborators.scheduler = std::make_shared<TLMScheduler>(worker);
    collaborators.alarm = std::make_shared<TLMAlarm>(collaborators.scheduler->workerQueue(), kTLMMeasurementTimerName);
    collaborators.clock = clock;
    collaborators.services.identity = [identity] { return identity; };
    collaborators.services.identifiers = std::make_shared<TLMIdentifiers>();
    collaborators.services.loadTimestamp = [this] { return clock->now(); };
    collaborators.services.keychainAppID = "com.example.bench";
    collaborators.components.makeAudience = std::move(makeAudience);
    engine = TLMMeasurementEngine::create(std::move(collaborators), "1:1234:ios:abcd", true, false, {});
    worker->drain();
    if (engine->database() == nullptr) {
      engine.reset();
      worker->drain();
      syncQueue->drain();
      throw std::runtime_error("the engine's store did not open (the lines above say why)");
    }
  }
  ~BenchEngine() {
    engine.reset();
    worker->drain();
    syncQueue->drain();
  }
  BenchEngine(const BenchEngine&) = delete;
  BenchEngine& operator=(const BenchEngine&) = delete;
};
