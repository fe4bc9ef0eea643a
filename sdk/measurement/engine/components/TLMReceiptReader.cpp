#include "measurement/engine/components/TLMReceiptReader.h"

#include "foundation/Bundle.h"
#include "foundation/Files.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/model/TLMMonitor.h"

namespace {

constexpr int kWildcard = 255;

platform::Value number(std::int64_t v) { return platform::Value(v); }
std::string asText(TLMBytesView bytes) { return std::string(bytes.begin(), bytes.end()); }

// Field of attribute type `type` whose inner value carries the tag `tag`.
std::vector<int> fieldPattern(int type, int tag) {
  return {0x02, 0x02, 0x06, type - 1536, 0x02, 0x01, kWildcard, 0x04, kWildcard, tag, kWildcard};
}

// A one-byte flag: false unless its byte is 1.
bool readFlag(const std::optional<TLMBytesView>& value, std::int64_t valueCode, const char* valueMessage,
              std::int64_t lengthCode, const char* lengthMessage) {
  if (!value || value->size() != 1) {
    tlm_monitor()->logWithLevel(5, lengthCode, lengthMessage, number(value ? std::int64_t(value->size()) : 0));
    return false;
  }
  const std::uint8_t byte = (*value)[0];
  if (byte != 0 && byte != 1) tlm_monitor()->logWithLevel(5, valueCode, valueMessage, number(byte));
  return byte == 1;
}

}  // namespace

std::optional<TLMBytesView> TLMMatchByteSequence(const std::vector<int>& pattern, TLMBytesView data,
                                                 std::int64_t offset) {
  if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
  const std::size_t start = static_cast<std::size_t>(offset);
  if (start >= data.size() || pattern.size() >= data.size() - start) return std::nullopt;
  std::optional<std::uint8_t> length;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::uint8_t byte = data[start + i];
    if (pattern[i] == kWildcard) {
      length = byte;
    } else if (pattern[i] != byte) {
      return std::nullopt;
    }
  }
  if (!length || *length == 0) return std::nullopt;
  if (*length >= 128) tlm_monitor()->logWithLevel(5, 39027, "Data is longer than 127", number(*length));
  const std::size_t valueStart = start + pattern.size();
  if (*length > data.size() - valueStart) return std::nullopt;
  return data.subspan(valueStart, *length);
}

std::optional<TLMBytesView> TLMMatchIWithData(TLMBytesView data, std::int64_t offset) {
  static const std::vector<int>& header = *new std::vector<int>{0x02, 0x01, 0x11, 0x02, 0x01, kWildcard, 0x04};
  return TLMMatchByteSequence(header, data, offset);
}

std::optional<TLMInAppPurchaseItem> TLMParsePurchaseData(TLMBytesView entry, const std::string& productID) {
  if (entry.empty()) {
    tlm_monitor()->logWithLevel(5, 39024, "Subdata does not contain PI");
    return std::nullopt;
  }
  static const std::vector<int>& productPattern = *new std::vector<int>(fieldPattern(1702, 0x0C));
  static const std::vector<int>& transactionPattern = *new std::vector<int>(fieldPattern(1703, 0x0C));
  static const std::vector<int>& originalPattern = *new std::vector<int>(fieldPattern(1705, 0x0C));
  static const std::vector<int>& typePattern = *new std::vector<int>(fieldPattern(1707, 0x02));
  static const std::vector<int>& expiryPattern = *new std::vector<int>(fieldPattern(1708, 0x16));
  static const std::vector<int>& trialPattern = *new std::vector<int>(fieldPattern(1713, 0x02));
  static const std::vector<int>& introPattern = *new std::vector<int>(fieldPattern(1719, 0x02));
  struct Field {
    const std::vector<int>* pattern;
    std::optional<TLMBytesView> value;
  };
  Field fields[] = {{&productPattern, {}}, {&transactionPattern, {}}, {&originalPattern, {}}, {&typePattern, {}},
                    {&expiryPattern, {}},  {&trialPattern, {}},       {&introPattern, {}}};
  for (std::size_t o = 0; o < entry.size(); ++o) {
    const bool header = TLMMatchIWithData(entry, static_cast<std::int64_t>(o)).has_value();
    if (o == 0 && !header) return std::nullopt;
    if (o > 0 && header) break;
    for (auto& field : fields) {
      if (field.value) continue;
      field.value = TLMMatchByteSequence(*field.pattern, entry, static_cast<std::int64_t>(o));
      if (field.value && field.pattern == &productPattern && asText(*field.value) != productID) return std::nullopt;
    }
  }
  if (!fields[0].value) {
    tlm_monitor()->logWithLevel(5, 39024, "Subdata does not contain PI");
    return std::nullopt;
  }
  TLMInAppPurchaseItem item;
  item.productID = productID;
  if (fields[4].value) item.subscriptionExpirationDateIA5String = asText(*fields[4].value);
  if (fields[1].value) item.transactionID = asText(*fields[1].value);
  if (fields[2].value) item.originalTransactionID = asText(*fields[2].value);
  if (fields[3].value && fields[3].value->size() == 1) {
    item.purchaseType = (*fields[3].value)[0];
  } else {
    tlm_monitor()->logWithLevel(5, 39030, "Subdata PT unexpected length",
                                number(fields[3].value ? std::int64_t(fields[3].value->size()) : 0));
  }
  item.freeTrial = readFlag(fields[5].value, 39025, "Subdata FT unexpected value", 39026, "Subdata FT unexpected length");
  item.introductoryOffer =
      readFlag(fields[6].value, 39028, "Subdata IO unexpected value", 39029, "Subdata IO unexpected length");
  return item;
}

std::optional<TLMInAppPurchaseItem> TLMParseInAppPurchaseItemFromData(TLMBytesView receipt, std::int64_t offset,
                                                                      const std::string& productID) {
  if (offset < 0 || static_cast<std::size_t>(offset) >= receipt.size()) return std::nullopt;
  auto item = TLMParsePurchaseData(receipt.subspan(static_cast<std::size_t>(offset)), productID);
  if (!item || item->productID.empty() || item->productID != productID) return std::nullopt;
  return item;
}

bool TLMParseVersionFromReceipt(TLMBytesView receipt, const std::string& bundleVersion) {
  static const std::vector<int>& pattern = *new std::vector<int>{0x30, kWildcard, 0x02, 0x01, 0x13, 0x02, 0x01, kWildcard, 0x04, kWildcard};
  std::optional<TLMBytesView> value;
  for (std::size_t o = 0; o < receipt.size() && !value; ++o) {
    value = TLMMatchByteSequence(pattern, receipt, static_cast<std::int64_t>(o));
  }
  if (!value || value->size() < 3) {
    tlm_monitor()->logWithLevel(5, 39006, "V data is too short. Length", number(value ? std::int64_t(value->size()) : 0));
    return false;
  }
  if ((*value)[0] != 0x0C) tlm_monitor()->logWithLevel(5, 39007, "V data byte 0 is wrong. Value", number((*value)[0]));
  if ((*value)[1] != value->size() - 2) {
    tlm_monitor()->logWithLevel(5, 39008, "V data byte 1 is wrong. Value, expected", number((*value)[1]),
                                number(std::int64_t(value->size()) - 2));
  }
  return asText(value->subspan(2)) == bundleVersion;
}

TLMReceiptSources TLMReceiptSources::defaults() {
  TLMReceiptSources sources;
  sources.isSimulator = [] { return TLMAEU::isNOD(); };
  sources.isSandboxReceipt = [] { return TLMAEU::isASRS(); };
  sources.receiptPath = [] { return TLMAEU::appStoreRURL(); };
  sources.bundleVersion = [] { return platform::Bundle::main()->objectForInfoDictionaryKey("CFBundleVersion").stringValue(); };
  return sources;
}

TLMStoreReceiptReader::TLMStoreReceiptReader(TLMReceiptSources sources) : sources_(std::move(sources)) {}

bool TLMStoreReceiptReader::isVersionSameAsOriginalVersion() {
  std::call_once(once_, [this] { answer_ = compute(); });
  return answer_;
}

bool TLMStoreReceiptReader::compute() {
  if (sources_.isSimulator() || sources_.isSandboxReceipt()) return true;
  const auto path = sources_.receiptPath();
  if (!path) {
    tlm_monitor()->logWithLevel(5, 39002, "Version data is nil");
    return false;
  }
  auto bytes = platform::files::readResource(*path);
  if (!bytes) {
    tlm_monitor()->logWithLevel(5, 39002, "Version data is nil");
    return false;
  }
  if (bytes->empty()) {
    tlm_monitor()->logWithLevel(5, 39004, "Version data is empty");
    return false;
  }
  return TLMParseVersionFromReceipt(*bytes, sources_.bundleVersion().value_or(""));
}

bool TLMParseVersion() {
  static TLMStoreReceiptReader& reader = *new TLMStoreReceiptReader();
  return reader.isVersionSameAsOriginalVersion();
}
