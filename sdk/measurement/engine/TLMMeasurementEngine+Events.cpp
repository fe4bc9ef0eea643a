// The event pipeline (handling, daily limits, aggregates, metadata and the raw-event write) and
// the user-property operations of the measurement engine.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/engine/TLMEnvironmentInfo.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMKeychainWrapper.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMStoreServices.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

platform::Value parameterContext(const TLMEvent& event, const char* name) {
  const TLMValue* value = event.parameters().find(name);
  return value != nullptr ? value->value() : platform::Value();
}

bool isConversionEventName(const std::string& name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap";
}

// Runs `block` on the global background queue.
void deliverInBackground(platform::Block block) {
  platform::Queue::global(platform::QueuePriority::Background)->async(std::move(block));
}

}  // namespace

bool TLMIsSubjectToMaxRealtimeCountPerDay(const TLMEvent& event) {
  if (TLMMeasurement::monitor()->isDebugModeEnabled()) return false;
  return event.name() != "_iap" && event.name() != "_f";
}

// MARK: - Handling

void TLMMeasurementEngine::logEvent(const TLMEventPtr& event) { queueEvent(event, {}); }

void TLMMeasurementEngine::logEvent(const TLMEventPtr& event, TLMWaitingEventBytes admitted) {
  queueEvent(event, {}, std::move(admitted));
}

void TLMMeasurementEngine::queueEvent(const TLMEventPtr& event, TLMReportMark onceMark, TLMWaitingEventBytes admitted) {
  if (!event) {
    tlm_monitor()->logWithLevel(4, 23048, "Attempted to log nil event");
    return;
  }
  if (!admitted) {
    const std::int64_t bytes = queuedEventBytes(*event);
    // A report made once per app's data or per update (the install's campaign, an update) is
    // not made again: never dropped.
    if (!onceMark.column.empty()) {
      admitted = countWaitingEvent(bytes);
    } else if (auto waiting = admitWaitingEvent(event->name(), bytes)) {
      admitted = std::move(*waiting);
    } else {
      return;
    }
  }
  unfinishedEvents_.fetch_add(1);
  try {
    queueStoreWrite("TLMMeasurement:2130", {event, nullptr, std::move(onceMark), 0, std::move(admitted)});
  } catch (...) {
    unfinishedEvents_.fetch_sub(1);
    throw;
  }
}

// MARK: - The bound of the events waiting in memory

namespace {

std::atomic<std::int64_t>& maxQueuedEventBytesSetting() {
  // Constant-initialised: set and read before and after the host's static objects alike.
  static constinit std::atomic<std::int64_t> setting{kTLMDefaultMaxQueuedEventBytes};
  return setting;
}

// The bytes of the events waiting in memory, process-wide; constant-initialised too.
std::atomic<std::int64_t>& waitingEventBytesInProcess() {
  static constinit std::atomic<std::int64_t> bytes{0};
  return bytes;
}

// Measured with events waiting, at the bound, while a host logs flat out (the allocator's memory
// in use, less the process's own, against what was counted): the event with its shared block,
// its entry in the queue, the worker's block that takes it, and each parameter's entry in the
// call's copy and in the event made of it; the texts on top. So counted, events of two small
// parameters and events of 26 texts of 100 characters each hold about what they count.
constexpr std::int64_t kEventBytes = 576;
constexpr std::int64_t kParameterBytes = 160;

std::int64_t textBytes(const std::string* text) { return text != nullptr ? static_cast<std::int64_t>(text->size()) : 0; }

// The items of an array parameter, each a parameter of the events made of it.
std::int64_t arrayItemBytes(const platform::Array& items) {
  std::int64_t bytes = 0;
  for (const platform::Value& item : items) {
    const platform::Dictionary* entries = item.dictionaryPtr();
    if (entries == nullptr) continue;
    for (const auto& [key, value] : *entries) {
      bytes += kParameterBytes + static_cast<std::int64_t>(key.size()) + textBytes(value.stringPtr());
    }
  }
  return bytes;
}

}  // namespace

void TLMWaitingEventBytes::letGo() noexcept {
  waitingEventBytesInProcess().fetch_sub(bytes_);
  bytes_ = 0;
}

void TLMMeasurementEngine::setMaxQueuedEventBytes(std::int64_t bytes) {
  maxQueuedEventBytesSetting().store(bytes > 0 ? bytes : kTLMDefaultMaxQueuedEventBytes);
}

std::int64_t TLMMeasurementEngine::maxQueuedEventBytes() { return maxQueuedEventBytesSetting().load(); }

std::int64_t TLMMeasurementEngine::queuedEventBytes(const TLMEvent& event) {
  std::int64_t bytes = kEventBytes + static_cast<std::int64_t>(event.name().size() + event.origin().size());
  for (const auto& [key, value] : event.parameters()) {
    bytes += kParameterBytes + static_cast<std::int64_t>(key.size()) + textBytes(value.stringPtr());
  }
  return bytes;
}

std::int64_t TLMMeasurementEngine::queuedEventBytes(const std::string& origin, const std::string& name,
                                                    const TLMObjectDictionary& parameters) {
  // On the log call's thread: one look at each parameter's value.
  std::int64_t bytes = kEventBytes + static_cast<std::int64_t>(name.size() + origin.size()) +
                       kParameterBytes * static_cast<std::int64_t>(parameters.size());
  for (const auto& [key, value] : parameters) {
    bytes += static_cast<std::int64_t>(key.size());
    const platform::Value* object = value.object();
    if (object == nullptr) continue;
    if (const std::string* text = object->stringPtr()) {
      bytes += static_cast<std::int64_t>(text->size());
    } else if (const platform::Array* items = object->arrayPtr()) {
      bytes += arrayItemBytes(*items);
    }
  }
  return bytes;
}

std::int64_t TLMMeasurementEngine::waitingEventBytes() { return waitingEventBytesInProcess().load(); }

TLMWaitingEventBytes TLMMeasurementEngine::countWaitingEvent(std::int64_t bytes) {
  waitingEventBytesInProcess().fetch_add(bytes);
  return TLMWaitingEventBytes(bytes);
}

std::optional<TLMWaitingEventBytes> TLMMeasurementEngine::admitWaitingEvent(const std::string& name, std::int64_t bytes) {
  const std::int64_t bound = maxQueuedEventBytes();
  std::atomic<std::int64_t>& waiting = waitingEventBytesInProcess();
  // The newest is dropped: the events already waiting keep their places among the writes and
  // the work queued with them, and a dropped event costs nothing to keep. One is let in when
  // none waits, whatever the bound.
  std::int64_t before = waiting.load(std::memory_order_relaxed);
  while (before == 0 || before <= bound - bytes) {
    if (waiting.compare_exchange_weak(before, before + bytes)) {
      if (droppedWaitingEventsInRun_.load(std::memory_order_relaxed) != 0) droppedWaitingEventsInRun_.store(0);
      return TLMWaitingEventBytes(bytes);
    }
  }
  // Of the work that logged it: the app's end counts it only when that work came before it.
  const std::uint64_t generation = TLMScheduler::currentWorkGeneration();
  std::int64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(queuedWritesMutex_);
    ++droppedByGeneration_[generation];
    dropped = droppedWaitingEvents_.fetch_add(1) + 1;
    failedEvents_.fetch_add(1);
  }
  const std::int64_t inRun = droppedWaitingEventsInRun_.fetch_add(1) + 1;
  if (inRun == 1 || inRun % 1000 == 0) {
    tlm_monitor()->logWithLevel(1, 23200,
                                "Data loss. Too many events wait in memory to be stored. Event dropped. "
                                "Name, events dropped, bound in bytes",
                                tlm_text(name), platform::Value(dropped), platform::Value(bound));
  }
  return std::nullopt;
}

std::optional<TLMWaitingEventBytes> TLMMeasurementEngine::admitWaitingCall(std::int64_t bytes, bool kept) {
  const std::int64_t set = maxQueuedEventBytes();
  const std::int64_t bound = !kept ? set : set > std::numeric_limits<std::int64_t>::max() / 2
                                               ? std::numeric_limits<std::int64_t>::max()
                                               : 2 * set;
  std::atomic<std::int64_t>& waiting = waitingEventBytesInProcess();
  std::int64_t before = waiting.load(std::memory_order_relaxed);
  while (before == 0 || before <= bound - bytes) {
    if (waiting.compare_exchange_weak(before, before + bytes)) return TLMWaitingEventBytes(bytes);
  }
  return std::nullopt;
}

void TLMMeasurementEngine::queueStoreWriteBlock(const std::string& blockID, platform::Block write) {
  if (write) queueStoreWrite(blockID, {nullptr, std::move(write), {}, 0, countWaitingEvent(kTLMQueuedCallBytes)});
}

void TLMMeasurementEngine::queuePropertyWrite(const std::string& blockID, const std::string& property,
                                              QueuedWrite write) {
  bool replaced = false;
  scheduler_->atLastPost([&](std::uint64_t last) {
    std::lock_guard<std::mutex> lock(queuedWritesMutex_);
    if (queuedOtherWrites_.empty() || lastPropertyWrite_.first != last || lastPropertyWrite_.second != property) return;
    auto& [number, queued] = queuedOtherWrites_.back();
    if (number != last) return;  // taken
    queued.write = std::move(write.write);
    queued.waiting = std::move(write.waiting);
    replaced = true;
  });
  if (replaced) return;
  const std::uint64_t number = queueStoreWrite(blockID, std::move(write));
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  lastPropertyWrite_ = {number, property};
}

std::uint64_t TLMMeasurementEngine::queueStoreWrite(const std::string& blockID, QueuedWrite write) {
  std::optional<std::uint64_t> queued;
  write.generation = TLMScheduler::currentWorkGeneration();
  try {
    scheduler_->scheduleNumberedOnWorkerQueueBlockID(blockID, [&](std::uint64_t number) {
      {
        std::lock_guard<std::mutex> lock(queuedWritesMutex_);
        countQueuedWrite(write, 1);
        (write.event ? queuedEvents_ : queuedOtherWrites_).emplace_back(number, std::move(write));
      }
      queued = number;
      return [self = shared_from_this(), number] { self->runQueuedWritesOnWorkerQueue(number); };
    });
  } catch (...) {
    // Not posted: no group may run it either.
    if (queued) dropQueuedWrite(*queued);
    throw;
  }
  return queued.value_or(0);
}

void TLMMeasurementEngine::dropQueuedWrite(std::uint64_t number) {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  auto drop = [this, number](auto& writes) {
    auto it = std::find_if(writes.rbegin(), writes.rend(), [number](const auto& w) { return w.first == number; });
    if (it == writes.rend()) return;
    countQueuedWrite(it->second, -1);
    writes.erase(std::next(it).base());
  };
  drop(queuedEvents_);
  drop(queuedOtherWrites_);
}

void TLMMeasurementEngine::countQueuedWrite(const QueuedWrite& write, std::int64_t change) {
  auto it = queuedByGeneration_.try_emplace(write.generation).first;
  (write.event ? it->second.events : it->second.others) += change;
  if (it->second.events == 0 && it->second.others == 0) queuedByGeneration_.erase(it);
}

bool TLMMeasurementEngine::hasQueuedEventsUpToGeneration(std::uint64_t generation) const {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  for (auto it = queuedByGeneration_.begin(); it != queuedByGeneration_.end() && it->first <= generation; ++it) {
    if (it->second.events > 0) return true;
  }
  return false;
}

bool TLMMeasurementEngine::hasUnfinishedWritesUpToGeneration(std::uint64_t generation) const {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  if (blockOldestGeneration_ != 0 && blockOldestGeneration_ <= generation) return true;
  return !queuedByGeneration_.empty() && queuedByGeneration_.begin()->first <= generation;
}

void TLMMeasurementEngine::countFailedEvents(std::int64_t count) {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  failedEvents_.fetch_add(count);
  // Those of the running block's events stay unfinished until the block ends, but count as
  // failed at once: the last taken first (the running one, or all those of a group that did not
  // commit).
  for (auto it = blockEventsByGeneration_.rbegin(); it != blockEventsByGeneration_.rend() && count > 0; ++it) {
    const std::int64_t failed = std::min(count, it->second);
    it->second -= failed;
    count -= failed;
  }
}

void TLMMeasurementEngine::finishBlockEvents() {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  unfinishedEvents_.fetch_sub(blockEvents_);
  blockEvents_ = 0;
  blockEventsByGeneration_.clear();
  blockOldestGeneration_ = 0;
}

std::pair<std::int64_t, std::int64_t> TLMMeasurementEngine::failedAndUnfinishedEventCounts(
    std::uint64_t generation) const {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  std::int64_t unfinished = 0;
  for (auto it = queuedByGeneration_.begin(); it != queuedByGeneration_.end() && it->first <= generation; ++it) {
    unfinished += it->second.events;
  }
  for (const auto& [taken, events] : blockEventsByGeneration_) {
    if (taken <= generation) unfinished += events;
  }
  std::int64_t droppedLater = 0;
  for (auto it = droppedByGeneration_.upper_bound(generation); it != droppedByGeneration_.end(); ++it) {
    droppedLater += it->second;
  }
  return {failedEvents_.load() - droppedLater, unfinished};
}

void TLMMeasurementEngine::markFailedEventsReported(std::int64_t failedEventCount) {
  std::int64_t reported = reportedFailedEvents_.load();
  while (reported < failedEventCount &&
         !reportedFailedEvents_.compare_exchange_weak(reported, failedEventCount)) {
  }
}

TLMMeasurementEngine::QueuedWrite TLMMeasurementEngine::takeQueuedWrite(std::uint64_t number) {
  std::lock_guard<std::mutex> lock(queuedWritesMutex_);
  QueuedWrite taken;
  // The worker runs the posts in their order, so what lies before `number` was taken by now;
  // anything still there belongs to a post whose block never runs.
  auto dropBefore = [this, number](auto& writes) {
    while (!writes.empty() && writes.front().first < number) {
      countQueuedWrite(writes.front().second, -1);
      writes.pop_front();
    }
  };
  dropBefore(queuedEvents_);
  dropBefore(queuedOtherWrites_);
  auto takeFront = [this, &taken](auto& writes) {
    countQueuedWrite(writes.front().second, -1);
    const std::uint64_t generation = writes.front().second.generation;
    if (blockOldestGeneration_ == 0 || generation < blockOldestGeneration_) blockOldestGeneration_ = generation;
    taken = std::move(writes.front().second);
    taken.waiting.release();  // no longer waiting
    writes.pop_front();
  };
  if (!queuedEvents_.empty() && queuedEvents_.front().first == number) {
    // Of the running block from now on.
    const std::uint64_t generation = queuedEvents_.front().second.generation;
    if (blockEventsByGeneration_.empty() || blockEventsByGeneration_.back().first != generation) {
      blockEventsByGeneration_.emplace_back(generation, 0);
    }
    ++blockEventsByGeneration_.back().second;
    takeFront(queuedEvents_);
  } else if (!queuedOtherWrites_.empty() && queuedOtherWrites_.front().first == number) {
    takeFront(queuedOtherWrites_);
  }
  return taken;
}

void TLMMeasurementEngine::runQueuedWritesOnWorkerQueue(std::uint64_t number) {
  QueuedWrite queued = takeQueuedWrite(number);
  if (!queued) return;  // written in the group of an earlier post
  // Ends this block's share of the unfinished events, also when a step throws.
  struct Finished {
    TLMMeasurementEngine& engine;
    ~Finished() { engine.finishBlockEvents(); }
  } finished{*this};
  // One write as alone; true when an event reached the pipeline (the schedule is to update).
  auto run = [&](QueuedWrite& write) {
    // What the write queues in turn is of the work that queued it.
    TLMScheduler::WorkGeneration running(write.generation);
    if (!write.event) {
      write.write();
      return false;
    }
    ++blockEvents_;
    if (!write.onceMark.column.empty()) return handleOncePerAppEventOnWorkerQueue(std::move(write.event), write.onceMark);
    return handleEventWithoutSchedulingOnWorkerQueue(std::move(write.event));
  };
  // Switched off or without a store nothing is written: no transaction to pay for.
  if (!enabled_.load() || !database_ || !database_->beginTransactionGroup()) {
    if (run(queued)) updateSchedule();
    return;
  }
  const double started = uptime();
  const std::int64_t writtenBefore = writtenEvents_;
  std::int64_t taken = 1;
  bool scheduled = false;
  auto commit = [&] {
    if (database_ && database_->endTransactionGroup()) return;
    countFailedEvents(writtenEvents_ - writtenBefore);
    tlm_monitor()->logWithLevel(1, 23191, "Data loss. Unable to store a group of events. Events",
                                platform::Value(blockEvents_));
  };
  try {
    for (;;) {
      scheduled = run(queued) || scheduled;
      if (taken >= kTLMEventGroupMaxEvents || uptime() - started >= kTLMEventGroupMaxSeconds ||
          !database_ || !database_->isTransactionGroupIntact()) {
        break;
      }
      queued = takeQueuedWrite(++number);
      if (!queued) break;
      ++taken;
    }
  } catch (...) {
    // What the writes before it wrote stays, as their own commits would have kept it.
    commit();
    throw;
  }
  commit();
  if (scheduled) updateSchedule();
}

void TLMMeasurementEngine::logInternalEvent(const std::string& origin, const std::string& name,
                                            const TLMObjectDictionary& parameters) {
  logEvent(TLMEvent::initWithOrigin(origin, false, name, now(), 0, parameters));
}

void TLMMeasurementEngine::logInternalEventOncePerApp(const std::string& origin, const std::string& name,
                                                      const TLMObjectDictionary& parameters,
                                                      const TLMReportMark& mark) {
  queueEvent(TLMEvent::initWithOrigin(origin, false, name, now(), 0, parameters), mark);
}

bool TLMMeasurementEngine::handleOncePerAppEventOnWorkerQueue(TLMEventPtr event, const TLMReportMark& mark) {
  // Switched off or without a store the event goes where any other goes (dropped, or counted).
  if (!enabled_.load() || !database_) return handleEventWithoutSchedulingOnWorkerQueue(std::move(event));
  const std::string name = event ? event->name() : std::string();
  const std::int64_t writtenBefore = writtenEvents_;
  bool handled = false;
  bool ran = false;
  const OnceWrite outcome = writeOnceOnWorkerQueue(
      [&]() -> std::optional<bool> {
        platform::Error error;
        auto stored = database_->containsReportMark(mark, &error);
        if (!stored) {
          tlm_monitor()->logWithLevel(1, 23192, "Failed to query whether a report was stored. Report, error",
                                      tlm_text(mark.column), tlm_errorText(error));
        }
        return stored;
      },
      [&] {
        // The mark first: when it cannot be set the event is stored all the same (nothing is
        // lost; a process of the app started at the same time may store it too).
        ran = true;
        platform::Error error;
        if (!database_->setReportMark(mark, &error)) {
          tlm_monitor()->logWithLevel(1, 23193, "Failed to mark a report as stored. Report, error",
                                      tlm_text(mark.column), tlm_errorText(error));
        }
        handled = handleEventWithoutSchedulingOnWorkerQueue(std::move(event));
      });
  switch (outcome) {
    case OnceWrite::Written:
      return handled;
    case OnceWrite::AlreadyStored:
      tlm_monitor()->logWithLevel(5, 23194, "Report already stored by another process of the app. Event name",
                                  tlm_text(name));
      return false;
    case OnceWrite::Unreadable:
      countFailedEvents(1);
      return false;
    case OnceWrite::Failed:
    {
      // Not begun, or its own group did not commit: what it wrote is gone.
      const std::int64_t lost = ran ? writtenEvents_ - writtenBefore : 1;
      countFailedEvents(lost);
      tlm_monitor()->logWithLevel(1, 23191, "Data loss. Unable to store a group of events. Events",
                                  platform::Value(lost));
      return false;
    }
  }
  return false;
}

void TLMMeasurementEngine::handleEventOnWorkerQueue(TLMEventPtr event) {
  if (handleEventWithoutSchedulingOnWorkerQueue(std::move(event))) updateSchedule();
}

bool TLMMeasurementEngine::handleEventWithoutSchedulingOnWorkerQueue(TLMEventPtr event) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue");
  if (!event) return false;
  if (!enabled_.load() || !database_) {
    // Switched off, the event is dropped as asked; after a start that failed (no store), lost.
    if (startFailed_.load()) countFailedEvents(1);
    tlm_monitor()->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return false;
  }
  if (!safelistedEvents_.empty()) {
    if (std::find(safelistedEvents_.begin(), safelistedEvents_.end(), event->name()) ==
        safelistedEvents_.end()) {
      tlm_monitor()->logWithLevel(3, 23174, "Event dropped. Reason: not whitelisted. Event name, origin",
                                  tlm_text(event->name()), tlm_text(event->origin()));
      return false;
    }
    TLMObjectDictionary parameters(event->parameters());
    parameters.set("jq_safelisted", TLMValue(std::int64_t{1}));
    auto safelisted = event->copyWithParameters(parameters);
    if (!safelisted) return false;
    event = safelisted;
  }

  TLMRemoteConfig& config = this->config();
  auto reporter = sessionReporter();
  const bool appActive = components_.screenReporter->isAppActive();
  if (config.sessionBackgroundEnabled() && !appActive && reporter) {
    if (const TLMValue* extend = event->parameters().find("extend_session")) {
      if (extend->isInt64() && extend->int64Value() == 1) {
        if (reporter->isSessionExpired()) {
          reportSessionStartOnWorkerQueueWithTimestamp(now(), true);
        } else {
          reporter->extendSession();
        }
      } else {
        tlm_monitor()->logWithLevel(3, 23179,
                                    "extend_session is a reserved parameter. To extend or start a "
                                    "session in the background, set an event parameter "
                                    "{@'extend_session': @1}");
      }
    }
  }
  if (reporter && !appActive && reporter->isSessionExpired()) {
    database_->performTransaction([&] {
      platform::Error error;
      if (!database_->deleteUserAttributeWithName("_sid", &error)) {
        tlm_monitor()->logWithLevel(1, 23177,
                                    "Failed to remove session ID user property on session expiration. Error",
                                    tlm_errorText(error));
        return false;
      }
      if (!database_->deleteUserAttributeWithName("_sno", &error)) {
        tlm_monitor()->logWithLevel(
            1, 23178, "Failed to remove session number user property on session expiration. Error",
            tlm_errorText(error));
      }
      return true;
    });
  }

  auto extraEvents = components_.conditionalProperties->processEventOnWorkerQueue(*this, event);
  if (!extraEvents) {
    tlm_monitor()->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                                tlm_text(event->name()), tlm_text(event->origin()));
  }
  writeEventOnWorkerQueue(event);
  if (extraEvents) {
    for (const auto& extra : *extraEvents) {
      if (extra) writeEventOnWorkerQueue(extra);
    }
  }
  return true;
}

// MARK: - Writing

void TLMMeasurementEngine::maybeAddDebugAndRealtimeParameters(TLMEvent& event) const {
  if (!TLMMeasurement::monitor()->isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  tlm_monitor()->logWithLevel(7, 23073,
                              "Debug mode is enabled. Marking event as debug and real-time. Event name, "
                              "parameters",
                              tlm_nameContext(event), tlm_parametersContext(event));
}

void TLMMeasurementEngine::writeEventOnWorkerQueue(const TLMEventPtr& event) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue");
  if (!event || !database_) return;
  tlm_monitor()->logWithLevel(7, 23051, "Logging event: origin, name, params", tlm_text(event->origin()),
                              tlm_nameContext(*event), tlm_parametersContext(*event));
  TLMRemoteConfig& config = this->config();
  const std::string& name = event->name();
  if (config.isEventBlacklisted(name)) {
    tlm_monitor()->logWithLevel(4, 23052, "Rejected event. Event name", tlm_text(name));
    if (!config.blacklistInternal() && !config.blacklistPublic() && !TLMEventUtilIsErrorEvent(*event)) {
      TLMLogErrorEventWithParameters(11, TLMObject(name), 40, TLMObject(name));
    }
    return;
  }
  if (isConversionEventName(name)) event->setConversion(true);

  if (components_.lifetimeValue->isPurchaseEvent(*event)) {
    const bool recorded = database_->performTransaction([&] {
      if (components_.lifetimeValue->recordLifetimeValueToDatabase(*database_, *event)) return true;
      tlm_monitor()->logWithLevel(1, 23053,
                                  "Cannot record lifetime value of event. Name, currency code, "
                                  "transaction value",
                                  tlm_text(name), parameterContext(*event, "currency"),
                                  parameterContext(*event, "value"));
      return false;
    });
    if (!recorded) return;
  }

  const bool isPublic = TLMEventUtilIsPublicName(TLMObject(name));
  bool dropped = false;
  bool realtime = false;
  if (!database_->performTransaction(
          [&] { return countEventOnWorkerQueue(*event, isPublic, dropped, realtime); })) {
    countFailedEvents(1);
    return;
  }
  if (dropped) {
    tlm_monitor()->logWithLevel(7, 23062, "Event dropped. Event name, event params", tlm_nameContext(*event),
                                tlm_parametersContext(*event));
    return;
  }
  bool refused = false;
  if (!database_->performTransaction(
          [&] { return storeEventOnWorkerQueue(event, isPublic, realtime, refused); })) {
    if (!refused) countFailedEvents(1);
    return;
  }
  ++writtenEvents_;
  // What follows the commit waits for the group's, when the event is written in one.
  database_->afterCommit([this, event] {
    if (event->name() == "_f") raiseFirstOpenCounter();
    tlm_monitor()->logWithLevel(7, 23072, "Event logged. Event name, event params", tlm_nameContext(*event),
                                tlm_parametersContext(*event));
  });
}

bool TLMMeasurementEngine::countEventOnWorkerQueue(TLMEvent& event, bool isPublic, bool& dropped,
                                                   bool& realtime) {
  TLMRemoteConfig& config = this->config();
  platform::Error error;
  auto counts = database_->dailyCounts(&error);
  if (!counts) {
    tlm_monitor()->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                                tlm_errorText(error));
    return false;
  }
  const double dayNumber = std::floor((now() - storeSettings_->midnightOffset()) / 86400.0);
  const auto day = static_cast<std::int32_t>(
      std::clamp(dayNumber, double(std::numeric_limits<std::int32_t>::min()),
                 double(std::numeric_limits<std::int32_t>::max())));
  if (day != counts->day()) counts->resetWithNewDay(day);

  const std::string& name = event.name();
  const bool isError = TLMEventUtilIsErrorEvent(event);
  // d = count - limit in 64 bits: the stored counts may have grown past any limit.
  std::int64_t d = std::int64_t{counts->allEventsCount()} - config.maxEventsPerDay();
  if (d >= 0) {
    dropped = true;
    if (d % 1000 == 0) {
      tlm_monitor()->logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit", tlm_text(name),
                                  platform::Value(std::int64_t{config.maxEventsPerDay()}));
    }
  }
  bool droppedByTypeLimit = false;
  if (!dropped && isError) {
    d = std::int64_t{counts->errorEventsCount()} - config.maxErrorEventsPerDay();
    if (d >= 0) {
      dropped = droppedByTypeLimit = true;
      if (d % 1000 == 0) {
        tlm_monitor()->logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                                    parameterContext(event, "_err"),
                                    platform::Value(std::int64_t{config.maxErrorEventsPerDay()}));
      }
    }
  }
  if (!dropped && isPublic) {
    d = std::int64_t{counts->publicEventsCount()} - config.maxPublicEventsPerDay();
    if (d >= 0) {
      dropped = droppedByTypeLimit = true;
      TLMLogErrorEventWithCode(16);
      if (d % 1000 == 0) {
        tlm_monitor()->logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit",
                                    tlm_text(name),
                                    platform::Value(std::int64_t{config.maxPublicEventsPerDay()}));
      }
    }
  }
  if (isError) {
    counts->incrementErrorEventsCountForCurrentDay(day);
  } else {
    counts->incrementCountsForCurrentDay(day, isPublic, false);
  }
  // A drop by the error or public limit gives back its share of the all-events count; a drop by
  // the all-events limit keeps counting.
  if (droppedByTypeLimit) counts->decrementAllEventsCount();

  const std::int32_t realtimeLimit = config.maxRealtimeEventCountPerDay();
  const bool subject = TLMIsSubjectToMaxRealtimeCountPerDay(event);
  if (event.isConversion() || config.isEventCustomConversion(name)) {
    if (counts->realtimeCount() < realtimeLimit) {
      tlm_monitor()->logWithLevel(7, 23058,
                                  "Conversion event is under real-time daily limit. Marking the event "
                                  "as real-time. Event name, parameters",
                                  tlm_nameContext(event), tlm_parametersContext(event));
      realtime = true;
    } else if (!subject) {
      tlm_monitor()->logWithLevel(7, 23059,
                                  "Conversion event is not subject to real-time daily limit. Marking the "
                                  "event as real-time. Event name, parameters",
                                  tlm_nameContext(event), tlm_parametersContext(event));
      realtime = true;
    }
  }
  if (event.isRealtime() && subject && counts->realtimeCount() >= realtimeLimit) {
    event.setRealtime(false);
    tlm_monitor()->logWithLevel(4, 23060,
                                "Too many real-time events. Event is no longer real-time. Event name, "
                                "parameters",
                                tlm_nameContext(event), tlm_parametersContext(event));
  }
  maybeAddDebugAndRealtimeParameters(event);
  realtime = realtime || event.isRealtime();
  if (!database_->updateDailyCounts(*counts, &error)) {
    tlm_monitor()->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                                tlm_text(name), tlm_errorText(error));
    return false;
  }
  return true;
}

bool TLMMeasurementEngine::storeEventOnWorkerQueue(const TLMEventPtr& event, bool isPublic,
                                                   bool realtime, bool& refused) {
  const std::string& name = event->name();
  platform::Error error;
  auto aggregates = database_->eventAggregatesWithName(name, &error);
  if (!aggregates) {
    if (!error.domain.empty()) {
      tlm_monitor()->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", tlm_text(name),
                                  tlm_errorText(error));
      return false;
    }
    if (isPublic) {
      auto count = database_->publicEventCount(&error);
      if (!count) {
        tlm_monitor()->logWithLevel(1, 23064, "Unable to query event count. Error", tlm_errorText(error));
        return false;
      }
      if (*count >= kTLMDatabasePublicEventMaxCount) {
        tlm_monitor()->logWithLevel(1, 23065, "Unable to set event. Reached limit on set events. Name",
                                    tlm_text(name));
        TLMLogErrorEventWithCode(8);
        refused = true;
        return false;
      }
    }
    auto fresh = TLMEventAggregates::initWithName(name, 0, 0, 0, 0);
    if (!fresh || !database_->updateEventAggregates(*fresh, &error)) {
      tlm_monitor()->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                                  tlm_errorText(error));
      return false;
    }
  }

  auto attributes = database_->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    tlm_monitor()->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", tlm_errorText(error));
    return false;
  }
  auto metadata = createRawEventMetadataWithUserAttributes(*attributes);
  std::int64_t fingerprint = 0;
  // A full metadata table makes room by deleting the oldest events, as the event cap does.
  std::int64_t deletedForMetadata = 0;
  if (!metadata || !database_->insertIfNotExistsRawEventMetadata(*metadata, &error, &fingerprint,
                                                                 &deletedForMetadata)) {
    tlm_monitor()->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", tlm_errorText(error));
    return false;
  }
  auto deleted = database_->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    tlm_monitor()->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                                tlm_errorText(error));
    return false;
  }
  if (*deleted + deletedForMetadata != 0) {
    tlm_monitor()->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                                platform::Value(*deleted + deletedForMetadata));
  }
  if (!database_->insertRawEvent(event, fingerprint, realtime, &error)) {
    tlm_monitor()->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", tlm_errorText(error));
    return false;
  }
  // This process's events of one name are stored in the order they were stamped: one stamped
  // before the last of its name stored here means the clock was set back. (Other processes' are
  // not compared: theirs reach the store in the order of their commits.) One entry a name the
  // store took, which bounds the names.
  auto [last, first] = storedEventTimestamps_.try_emplace(name, event->timestamp());
  if (!first) {
    if (last->second > event->timestamp()) {
      tlm_monitor()->logWithLevel(4, 16002, "Event created with previous timestamp after current timestamp");
    }
    last->second = event->timestamp();
  }
  return true;
}

void TLMMeasurementEngine::raiseFirstOpenCounter() {
  // Raised once the "_f" row is committed, so a rolled-back write never counts.
  const std::string app = keychainAppID();
  std::int64_t count = 0;
  if (auto stored = TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", app)) {
    count = std::max<std::int64_t>(0, std::strtoll(stored->c_str(), nullptr, 10));
  }
  if (count < std::numeric_limits<std::int64_t>::max()) ++count;
  TLMKeychainWrapper::upsertKeychainValue(std::to_string(count), "_pfo", app);
}

std::shared_ptr<TLMPBMeasurementBundle> TLMMeasurementEngine::createRawEventMetadataWithUserAttributes(
    const std::vector<TLMUserAttribute>& userAttributes) {
  using Slot = TLMPBMeasurementBundleSlot;
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  if (!bundle) return nullptr;
  NANOSetInt32(*bundle, Slot::protocol_version, 1);
  if (!userAttributes.empty()) {
    std::vector<std::shared_ptr<TLMPBUserAttribute>> protos;
    protos.reserve(userAttributes.size());
    for (const auto& attribute : userAttributes) {
      if (auto proto = attribute.protoUserAttribute()) protos.push_back(std::move(proto));
    }
    NANOSetArray(*bundle, Slot::user_attributes, protos);
  }
  NANOSetString(*bundle, Slot::platform, "ios");
  auto& environment = *services_.environmentInfo;
  NANOSetString(*bundle, Slot::os_version, environment.deviceOSVersion());
  if (auto model = environment.deviceModel()) NANOSetString(*bundle, Slot::device_model, *model);
  if (auto language = environment.userDefaultLanguage()) {
    NANOSetString(*bundle, Slot::user_default_language, *language);
  }
  NANOSetInt32(*bundle, Slot::time_zone_offset_minutes, environment.timeZoneOffsetMinutes());
  NANOSetInt64(*bundle, Slot::library_version, TLMIdentity::tallymarkLibraryVersion());
  auto identity = this->identity();
  if (!identity) return bundle;
  if (const auto& app = identity->appID()) NANOSetString(*bundle, Slot::app_id, *app);
  if (const auto& version = identity->appVersion()) NANOSetString(*bundle, Slot::app_version, *version);
  const auto identifiers = identity->identifiers();
  const auto& deviceID = identifiers.resettableDeviceID;
  const bool hasDeviceID = identifiers.hasLimitedAdTracking && deviceID && !deviceID->empty();
  if (hasDeviceID) {
    NANOSetString(*bundle, Slot::resettable_device_id, *deviceID);
    NANOSetBool(*bundle, Slot::limited_ad_tracking, identifiers.limitedAdTracking);
  }
  NANOSetString(*bundle, Slot::app_instance_id, identifiers.appInstanceID);
  const auto qpx = identity->appIDFromQPX();
  const bool hasQPX = qpx && !qpx->empty();
  if (hasQPX) NANOSetString(*bundle, Slot::measurement_app_id, *qpx);
  if (!hasDeviceID) {
    if (auto vendor = identity->identifierForVendor()) NANOSetString(*bundle, Slot::vendor_device_id, *vendor);
  }
  if (auto instance = identity->cindervaleInstanceID()) NANOSetString(*bundle, Slot::instance_id, *instance);
  if (const auto& v = identity->appVersionMajor()) NANOSetInt32(*bundle, Slot::app_version_major, *v);
  if (const auto& v = identity->appVersionMinor()) NANOSetInt32(*bundle, Slot::app_version_minor, *v);
  if (const auto& v = identity->appVersionRelease()) NANOSetInt32(*bundle, Slot::app_version_release, *v);
  if (!hasQPX) {
    const auto veltrix = identity->appIDFromVeltrix();
    if (veltrix && !veltrix->empty()) NANOSetString(*bundle, Slot::ads_app_id, *veltrix);
  }
  return bundle;
}

// MARK: - User properties

namespace {

// What a property's queued write holds in memory, about.
std::int64_t propertyWriteBytes(const TLMUserAttribute& attribute) {
  return kTLMQueuedCallBytes + static_cast<std::int64_t>(attribute.origin().size() + attribute.name().size()) +
         textBytes(attribute.value().stringPtr());
}

}  // namespace

void TLMMeasurementEngine::setUserAttribute(const std::optional<TLMUserAttribute>& attribute) {
  if (!attribute) {
    tlm_monitor()->logWithLevel(4, 23079, "Attempted to set nil user property");
    return;
  }
  queuePropertyWrite("TLMMeasurement:2770", attribute->name(),
                     {nullptr,
                      [self = shared_from_this(), attribute = *attribute] { self->setUserAttributeOnWorkerQueue(attribute); },
                      {}, 0, countWaitingEvent(propertyWriteBytes(*attribute))});
}

void TLMMeasurementEngine::removeUserAttribute(const std::optional<TLMUserAttribute>& attribute) {
  if (!attribute) {
    tlm_monitor()->logWithLevel(4, 23074, "Attempted to remove nil user property");
    return;
  }
  queuePropertyWrite("TLMMeasurement:2726", attribute->name(),
                     {nullptr,
                      [self = shared_from_this(), attribute = *attribute] { self->removeUserAttributeOnWorkerQueue(attribute); },
                      {}, 0, countWaitingEvent(propertyWriteBytes(*attribute))});
}

void TLMMeasurementEngine::setUserAttributeOnWorkerQueue(const TLMUserAttribute& attribute) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue");
  if (!enabled_.load() || !database_) {
    tlm_monitor()->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  database_->performTransaction([&] { return setUserPropertyInDatabaseOnWorkerQueue(attribute); });
}

bool TLMMeasurementEngine::setUserPropertyInDatabaseOnWorkerQueue(const TLMUserAttribute& attribute) {
  if (!database_) return false;
  const platform::Value name = tlm_text(TLMFormattedUserPropertyName(attribute.name()));
  const platform::Value value = attribute.value().value();
  tlm_monitor()->logWithLevel(7, 23080, "Setting user property. Name, value", name, value);
  platform::Error error;
  auto exists = database_->containsUserAttributeWithName(attribute.name(), &error);
  if (!exists) {
    tlm_monitor()->logWithLevel(1, 23082, "Unable to query existence of user property. Name, error", name,
                                tlm_errorText(error));
    return false;
  }
  if (!*exists) {
    auto count = attribute.isPublic() ? database_->publicUserAttributeCount(&error)
                                      : database_->userAttributeCountForOrigin(attribute.origin(), &error);
    const std::int64_t limit = attribute.isPublic() ? kTLMDatabasePublicUserAttributeMaxCount
                                                    : kTLMDatabaseUserAttributePerOriginMaxCount;
    if (!count) {
      tlm_monitor()->logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                                  tlm_text(attribute.origin()), tlm_errorText(error));
      return false;
    }
    if (*count >= limit) {
      tlm_monitor()->logWithLevel(4, 23084,
                                  "Unable to set user property. Reached limit on set user properties for "
                                  "origin. Origin, name, value",
                                  tlm_text(attribute.origin()), name, value);
      TLMLogErrorEventWithCode(9);
      return false;
    }
  }
  if (!database_->updateUserAttribute(attribute, &error)) {
    tlm_monitor()->logWithLevel(1, 23085, "Unable to set user property. Name, value, error", name, value,
                                tlm_errorText(error));
    return false;
  }
  tlm_monitor()->logWithLevel(7, 23087, "User property set. Name, value", name, value);
  return true;
}

void TLMMeasurementEngine::removeUserAttributeOnWorkerQueue(const TLMUserAttribute& attribute) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue");
  const platform::Value name = tlm_text(TLMFormattedUserPropertyName(attribute.name()));
  tlm_monitor()->logWithLevel(7, 23075, "Removing user property. Name", name);
  if (!enabled_.load() || !database_) {
    tlm_monitor()->logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  platform::Error error;
  if (!database_->deleteUserAttributeWithName(attribute.name(), &error)) {
    tlm_monitor()->logWithLevel(1, 23077, "Unable to remove user property. Name, error", name, tlm_errorText(error));
    return;
  }
  tlm_monitor()->logWithLevel(7, 23078, "User property removed. Name", name);
}

void TLMMeasurementEngine::userAttributeWithName(
    const std::string& name, std::function<void(std::optional<TLMUserAttribute>)> callback) {
  if (!callback) {
    tlm_monitor()->logWithLevel(1, 23088, "userAttributeWithName callback is nil");
    return;
  }
  scheduler_->scheduleOnWorkerQueueBlockID(
      "TLMMeasurement:2888", [self = shared_from_this(), name, callback = std::move(callback)] {
        std::optional<TLMUserAttribute> attribute;
        if (self->database_) {
          platform::Error error;
          attribute = self->database_->userAttributeWithName(name, &error);
          if (!attribute && !error.domain.empty()) {
            tlm_monitor()->logWithLevel(1, 23089, "Unable to get user attribute by name. Name", tlm_text(name));
          }
        }
        deliverInBackground([callback, attribute] { callback(attribute); });
      });
}

void TLMMeasurementEngine::userPropertiesIncludingInternal(
    bool includeInternal, std::function<void(platform::Dictionary)> callback) {
  if (!callback) {
    tlm_monitor()->logWithLevel(1, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  // Counted among what waits in memory until it has run.
  scheduler_->scheduleOnWorkerQueueBlockID(
      "TLMMeasurement:2938", [self = shared_from_this(), includeInternal, callback = std::move(callback),
                              waiting = countWaitingEvent(kTLMQueuedCallBytes)] {
        platform::Dictionary properties;
        std::optional<std::vector<TLMUserAttribute>> attributes;
        platform::Error error;
        if (self->database_) attributes = self->database_->userAttributesIncludingInternal(includeInternal, &error);
        if (!attributes) {
          tlm_monitor()->logWithLevel(1, 23091, "Unable to retrieve user properties. Error", tlm_errorText(error));
        } else {
          for (const auto& attribute : *attributes) {
            const platform::Value& value = attribute.value().value();
            if (attribute.name().empty() || value.isNull()) {
              tlm_monitor()->logWithLevel(1, 23092, "Cannot add invalid public user property name or value.");
              continue;
            }
            properties.set(attribute.name(), value);
          }
        }
        deliverInBackground([callback, properties] { callback(properties); });
      });
}

void TLMMeasurementEngine::maxUserPropertiesForOrigin(const std::string& origin,
                                                      std::function<void(int)> callback) {
  if (origin.empty()) {
    tlm_monitor()->logWithLevel(1, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    tlm_monitor()->logWithLevel(1, 23094, "MaxUserProperties callback cannot be nil. Origin", tlm_text(origin));
    return;
  }
  deliverInBackground([callback] { callback(static_cast<int>(kTLMDatabaseUserAttributePerOriginMaxCount)); });
}
