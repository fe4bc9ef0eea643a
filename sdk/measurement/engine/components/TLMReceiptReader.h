// Reading the app's store receipt without decoding it as a tree: the bytes are scanned for fixed
// patterns (255 matches any byte and captures it) and the value after a match is taken. Two
// readers use this: the purchase entry of one product (purchase classification) and whether the
// installed version is the one the receipt records as originally installed (first open).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/Value.h"
#include "measurement/engine/TLMEngineComponents.h"

using TLMBytesView = std::span<const std::uint8_t>;

// One purchase entry of the receipt.
struct TLMInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::string productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<std::int64_t> purchaseType;

  bool isFreeTrial() const { return freeTrial; }
  bool isIntroductoryOffer() const { return introductoryOffer; }
};

// The bytes that follow the pattern at `offset`, as many as its last captured byte says; empty
// when the pattern does not match, captures nothing, the length is 0 or the data is too short.
std::optional<TLMBytesView> TLMMatchByteSequence(const std::vector<int>& pattern, TLMBytesView data,
                                                 std::int64_t offset);
// Whether a purchase-entry header starts at `offset`.
std::optional<TLMBytesView> TLMMatchIWithData(TLMBytesView data, std::int64_t offset);
// The entry that starts `entry` when it is the product's.
std::optional<TLMInAppPurchaseItem> TLMParsePurchaseData(TLMBytesView entry, const std::string& productID);
// The same from `offset` to the end of the receipt; only an entry of that product with a
// non-empty identifier.
std::optional<TLMInAppPurchaseItem> TLMParseInAppPurchaseItemFromData(TLMBytesView receipt, std::int64_t offset,
                                                                      const std::string& productID);
// Whether the receipt's originally installed version equals `bundleVersion`.
bool TLMParseVersionFromReceipt(TLMBytesView receipt, const std::string& bundleVersion);

// Where the receipt and the app's facts come from (default: the app environment and the main
// bundle).
struct TLMReceiptSources {
  std::function<bool()> isSimulator;
  std::function<bool()> isSandboxReceipt;
  std::function<std::optional<std::string>()> receiptPath;
  std::function<std::optional<std::string>()> bundleVersion;
  static TLMReceiptSources defaults();
};

// The engine's receipt component; the answer is computed on the first call and kept.
class TLMStoreReceiptReader : public TLMReceiptReading {
 public:
  explicit TLMStoreReceiptReader(TLMReceiptSources sources = TLMReceiptSources::defaults());
  bool isVersionSameAsOriginalVersion() override;

 private:
  bool compute();
  const TLMReceiptSources sources_;
  std::once_flag once_;
  bool answer_ = false;
};

// The process-wide answer (made once).
bool TLMParseVersion();
