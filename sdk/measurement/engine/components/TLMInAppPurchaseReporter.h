// Reporting the app's completed store purchases as the internal events "_iap" (a purchase) and
// "_iapx" (a recognised repurchase or restore).
#pragma once

#include <optional>
#include <string>

#include "measurement/engine/TLMEngineComponents.h"

class TLMInAppPurchaseTransactionReporter {
 public:
  // The MD5 of a purchased transaction's identifier as 32 lower-case hexadecimal digits; empty
  // for a null transaction (21014), one not purchased, and an identifier that is missing (21015,
  // 21016) or made only of "0" and "-" (21017).
  static std::optional<std::string> transactionFingerprint(const TLMPaymentTransaction* transaction);
};
