#include "measurement/engine/components/TLMInAppPurchaseReporter.h"

#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {
std::shared_ptr<TLMMonitor> monitor() { return TLMMeasurement::monitor(); }
}  // namespace

std::optional<std::string> TLMInAppPurchaseTransactionReporter::transactionFingerprint(
    const TLMPaymentTransaction* transaction) {
  if (transaction == nullptr) {
    monitor()->logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != 1) return std::nullopt;
  const std::string& identifier = transaction->transactionIdentifier;
  const platform::Value code(transaction->errorCode);
  if (identifier.empty()) {
    monitor()->logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    monitor()->logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return tlm_MD5String(identifier);
}
