#include "measurement/engine/components/TLMLifetimeValueRecorder.h"

#include <cmath>
#include <limits>

#include "foundation/Text.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabase.h"

namespace {

platform::Value valueContext(const TLMValue* value) { return value ? value->value() : platform::Value(); }

}  // namespace

std::optional<std::int64_t> TLMInt64FromDouble(double value) {
  // Every double at or above 2^63 is out of range; -2^63 itself fits.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!std::isfinite(value) || value < -kTwo63 || value >= kTwo63) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> TLMMicrosFromCurrencyUnits(double value) {
  // round() is half away from zero.
  return TLMInt64FromDouble(std::round(value * static_cast<double>(kTLMDataTypeMicrosMultiplier)));
}

TLMLifetimeValueRecorder::TLMLifetimeValueRecorder(std::function<std::int64_t()> maxTrackedCurrencies,
                                                   std::function<double()> now)
    : maxTrackedCurrencies_(std::move(maxTrackedCurrencies)), now_(std::move(now)) {}

bool TLMLifetimeValueRecorder::isPurchaseEventName(const std::string& name) {
  return name == "_iap" || name == "ecommerce_purchase";
}

bool TLMLifetimeValueRecorder::isPurchaseEvent(const TLMEvent& event) const {
  return isPurchaseEventName(event.name());
}

bool TLMLifetimeValueRecorder::recordLifetimeValueToDatabase(TLMDatabase& database, const TLMEvent& event) {
  if (!isPurchaseEvent(event)) return true;
  const TLMValue* currency = event.parameters().find("currency");
  const std::string* code = currency ? currency->stringPtr() : nullptr;
  if (code == nullptr || platform::text::utf16Length(*code) != 3) {
    tlm_monitor()->logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                                valueContext(currency));
    return true;
  }
  const TLMValue* value = event.parameters().find("value");
  if (value == nullptr || !(value->isDouble() || value->isInt64())) {
    tlm_monitor()->logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value",
                                valueContext(value));
    return true;
  }
  std::int64_t amount = 0;
  if (event.name() == "ecommerce_purchase") {
    const double units = value->isDouble() ? value->doubleValue() : static_cast<double>(value->int64Value());
    auto micros = TLMMicrosFromCurrencyUnits(units);
    if (!micros) {
      tlm_monitor()->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds",
                                  valueContext(value));
      return false;
    }
    amount = *micros;
  } else if (value->isInt64()) {
    amount = value->int64Value();
  } else {
    // Already micros: truncated, when it is a number that fits.
    auto micros = TLMInt64FromDouble(value->doubleValue());
    if (!micros) {
      tlm_monitor()->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds",
                                  valueContext(value));
      return false;
    }
    amount = *micros;
  }

  const std::string name = std::string(kTLMMeasurementUserAttributeNamePrefixLifetimeValue) +
                           platform::text::uppercase(*code);
  platform::Error error;
  auto all = database.allLifetimeValueUserAttributes(&error);
  if (!all) {
    tlm_monitor()->logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error",
                                platform::Value(error.description));
    return false;
  }
  std::int64_t total = amount;
  bool existing = false;
  for (const auto& property : *all) {
    if (property.name() != name) continue;
    existing = true;
    if (__builtin_add_overflow(property.value().int64Value(), amount, &total)) {
      // The stored total stays; later purchases in this currency are still recorded.
      tlm_monitor()->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds",
                                  platform::Value(name), valueContext(value));
      return true;
    }
    break;
  }
  if (!existing && !all->empty() &&
      static_cast<std::int64_t>(all->size()) >= (maxTrackedCurrencies_ ? maxTrackedCurrencies_() : 4)) {
    const std::string oldest = all->back().name();
    platform::Error deleteError;
    if (!database.deleteUserAttributeWithName(oldest, &deleteError) && deleteError.code != 0) {
      tlm_monitor()->logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                                  platform::Value(oldest), platform::Value(deleteError.description));
      return false;
    }
  }
  auto property = TLMUserAttribute::initWithOrigin("auto", name, TLMValue(total), now_ ? now_() : 0);
  if (!property) return true;
  platform::Error updateError;
  if (!database.updateUserAttribute(*property, &updateError) && updateError.code != 0) {
    tlm_monitor()->logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                                platform::Value(name), platform::Value(updateError.description));
    return false;
  }
  tlm_monitor()->logWithLevel(7, 22006, "Lifetime value has been updated in database", platform::Value(name),
                              platform::Value(total));
  return true;
}
