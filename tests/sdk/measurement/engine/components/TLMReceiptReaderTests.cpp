// Store receipts built byte by byte: pattern matching at the data's edges, purchase entries with
// and without their optional fields, the originally installed version, and purchase
// fingerprints.
#include <gtest/gtest.h>

#include "../EngineTestSupport.h"
#include "foundation/Files.h"
#include "measurement/engine/components/TLMInAppPurchaseReporter.h"
#include "measurement/engine/components/TLMReceiptReader.h"
#include "measurement/model/TLMUtil.h"
#include "receipt/ReceiptBytes.h"

using platform::Bytes;
using namespace receipt_bytes;

TEST(TLMReceiptReaderTests, PatternNeedsAByteAfterItAndAFittingCapturedLength) {
  TLMScopedRecordingMonitor monitor;
  const std::vector<int> pattern = {0x04, 255};
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x04, 0x01}, 0));  // ends at the last byte
  const Bytes data = {0x04, 0x01, 0x7A};
  auto match = TLMMatchByteSequence(pattern, data, 0);
  ASSERT_TRUE(match);
  EXPECT_EQ(Bytes(match->begin(), match->end()), Bytes{0x7A});
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x04, 0x02, 0x7A}, 0));  // length past the end
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x04, 0x00, 0x7A}, 0));  // zero length
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x05, 0x01, 0x7A}, 0));
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x04, 0x01, 0x7A}, -1));
  EXPECT_FALSE(TLMMatchByteSequence(pattern, Bytes{0x04, 0x01, 0x7A}, 3));
  EXPECT_FALSE(TLMMatchByteSequence({0x04}, Bytes{0x04, 0x01}, 0));  // nothing captured
  Bytes longValue = {0x04, 0x80};
  longValue.resize(2 + 0x80, 0x41);
  EXPECT_TRUE(TLMMatchByteSequence(pattern, longValue, 0));
  EXPECT_TRUE(monitor->has(39027));
}

TEST(TLMReceiptReaderTests, PurchaseEntriesOfTheRequestedProductWithTheirFlags) {
  TLMScopedRecordingMonitor monitor;
  Bytes receipt = {0x31, 0x00};
  append(receipt, entry({utf8(1702, "other"), utf8(1703, "t0")}));
  const std::size_t full = receipt.size();
  append(receipt, entry({utf8(1702, "pro"), utf8(1703, "t1"), utf8(1705, "t0"), integer(1707, 2),
                         ia5(1708, "2026-01-01T00:00:00Z"), integer(1713, 1), integer(1719, 0)}));
  const std::size_t bare = receipt.size();
  append(receipt, entry({utf8(1702, "plain")}));
  receipt.push_back(0x00);

  EXPECT_FALSE(TLMParseInAppPurchaseItemFromData(receipt, 2, "pro"));  // another product's entry
  EXPECT_FALSE(monitor->has(39024));
  EXPECT_FALSE(TLMParseInAppPurchaseItemFromData(receipt, 3, "pro"));  // no entry header there

  auto item = TLMParseInAppPurchaseItemFromData(receipt, static_cast<std::int64_t>(full), "pro");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->transactionID, "t1");
  EXPECT_EQ(item->originalTransactionID, "t0");
  EXPECT_EQ(item->purchaseType, 2);
  EXPECT_EQ(item->subscriptionExpirationDateIA5String, "2026-01-01T00:00:00Z");
  EXPECT_TRUE(item->isFreeTrial());
  EXPECT_FALSE(item->isIntroductoryOffer());

  // The scan stops at the next entry: "plain" does not lend its fields to "pro" or back.
  auto plain = TLMParseInAppPurchaseItemFromData(receipt, static_cast<std::int64_t>(bare), "plain");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->purchaseType);
  EXPECT_FALSE(plain->isFreeTrial());
  EXPECT_FALSE(plain->isIntroductoryOffer());
  EXPECT_FALSE(plain->transactionID);
  EXPECT_TRUE(monitor->has(39026));
  EXPECT_TRUE(monitor->has(39029));
  EXPECT_TRUE(monitor->has(39030));

  Bytes odd = entry({utf8(1702, "pro"), integer(1713, 7)});
  odd.push_back(0);
  auto oddItem = TLMParsePurchaseData(odd, "pro");
  ASSERT_TRUE(oddItem);
  EXPECT_FALSE(oddItem->isFreeTrial());
  EXPECT_TRUE(monitor->has(39025));
}

TEST(TLMReceiptReaderTests, OriginallyInstalledVersionComparedWithTheBundleVersion) {
  TLMScopedRecordingMonitor monitor;
  Bytes receipt = {0x30, 0x40};
  append(receipt, versionAttribute("1.0"));
  receipt.push_back(0x00);
  EXPECT_TRUE(TLMParseVersionFromReceipt(receipt, "1.0"));
  EXPECT_FALSE(TLMParseVersionFromReceipt(receipt, "1.0.1"));
  EXPECT_FALSE(monitor->has(39007));

  Bytes wrongTag = versionAttribute("2.5");
  wrongTag[10] = 0x13;
  wrongTag[11] = 9;
  wrongTag.push_back(0);
  EXPECT_TRUE(TLMParseVersionFromReceipt(wrongTag, "2.5"));  // logged, still compared
  EXPECT_TRUE(monitor->has(39007));
  EXPECT_TRUE(monitor->has(39008));
  EXPECT_FALSE(TLMParseVersionFromReceipt(Bytes{0x30, 0x01, 0x02}, "1.0"));
  EXPECT_TRUE(monitor->has(39006));

  // The reader: simulator and sandbox answer yes, a missing or empty file no, once per reader.
  platform::sandbox::ScopedTemporarySandbox sandbox;
  const std::string path = platform::files::join(platform::sandbox::documentsDirectory(), "receipt");
  bool simulator = false;
  std::string bundleVersion = "1.0";
  TLMReceiptSources sources;
  sources.isSimulator = [&] { return simulator; };
  sources.isSandboxReceipt = [] { return false; };
  sources.receiptPath = [&] { return std::optional<std::string>(path); };
  sources.bundleVersion = [&] { return std::optional<std::string>(bundleVersion); };
  EXPECT_FALSE(TLMStoreReceiptReader(sources).isVersionSameAsOriginalVersion());
  EXPECT_TRUE(monitor->has(39002));
  ASSERT_TRUE(platform::files::writeFileAtomically(path, Bytes{}));
  EXPECT_FALSE(TLMStoreReceiptReader(sources).isVersionSameAsOriginalVersion());
  EXPECT_TRUE(monitor->has(39004));
  ASSERT_TRUE(platform::files::writeFileAtomically(path, receipt));
  TLMStoreReceiptReader reader(sources);
  EXPECT_TRUE(reader.isVersionSameAsOriginalVersion());
  bundleVersion = "9";
  EXPECT_TRUE(reader.isVersionSameAsOriginalVersion());  // kept
  simulator = true;
  EXPECT_TRUE(TLMStoreReceiptReader(sources).isVersionSameAsOriginalVersion());
}

TEST(TLMReceiptReaderTests, FingerprintOnlyForPurchasedTransactionsWithARealIdentifier) {
  TLMScopedRecordingMonitor monitor;
  TLMPaymentTransaction t;
  t.transactionState = 1;
  t.transactionIdentifier = "0A";
  EXPECT_EQ(TLMInAppPurchaseTransactionReporter::transactionFingerprint(&t), tlm_MD5String("0A"));
  t.transactionIdentifier = "000-000";
  EXPECT_FALSE(TLMInAppPurchaseTransactionReporter::transactionFingerprint(&t));
  EXPECT_TRUE(monitor->has(21017));
  t.transactionIdentifier = "";
  EXPECT_FALSE(TLMInAppPurchaseTransactionReporter::transactionFingerprint(&t));
  EXPECT_TRUE(monitor->has(21016));
  t.transactionIdentifier = "abc";
  t.transactionState = 2;
  EXPECT_FALSE(TLMInAppPurchaseTransactionReporter::transactionFingerprint(&t));
  EXPECT_FALSE(TLMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
  EXPECT_TRUE(monitor->has(21014));
}
