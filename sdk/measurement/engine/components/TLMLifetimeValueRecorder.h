// The running purchase total per currency, kept as the internal user property "_ltv_" followed
// by the upper-case currency code, in micros. Recorded inside the event pipeline's transaction,
// before a purchase event is stored; at most maxTrackedCurrencies currencies are kept, the one
// set least recently giving way to a new one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/model/TLMDataTypeValidator.h"

// A double truncated toward zero to int64; empty for NaN, infinities and values outside the
// 64-bit range (they never reach the conversion).
std::optional<std::int64_t> TLMInt64FromDouble(double value);
// A purchase value in currency units times one million, rounded half away from zero; empty when
// the result is not a number or lies outside the 64-bit signed range.
std::optional<std::int64_t> TLMMicrosFromCurrencyUnits(double value);

class TLMLifetimeValueRecorder : public TLMLifetimeValueRecording {
 public:
  // `maxTrackedCurrencies` and `now` are read at each record (the remote setting and the
  // engine's clock).
  TLMLifetimeValueRecorder(std::function<std::int64_t()> maxTrackedCurrencies, std::function<double()> now);

  static bool isPurchaseEventName(const std::string& name);
  bool isPurchaseEvent(const TLMEvent& event) const override;
  // Worker queue, inside a store transaction. False fails that transaction.
  bool recordLifetimeValueToDatabase(TLMDatabase& database, const TLMEvent& event) override;

 private:
  const std::function<std::int64_t()> maxTrackedCurrencies_;
  const std::function<double()> now_;
};
