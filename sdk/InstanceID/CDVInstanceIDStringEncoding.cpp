#include "InstanceID/CDVInstanceIDStringEncoding.h"

#include <numeric>

#include "InstanceID/CDVInstanceIDLogger.h"
#include "foundation/Format.h"

namespace {
constexpr std::int32_t kUnknownChar = -1;
constexpr std::int32_t kPaddingChar = -2;
}  // namespace

std::shared_ptr<CDVInstanceIDStringEncoding> CDVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding() {
  auto encoding =
      stringEncodingWithString("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
  encoding->setPaddingChar('=');
  encoding->setDoPad(true);
  return encoding;
}

std::shared_ptr<CDVInstanceIDStringEncoding> CDVInstanceIDStringEncoding::stringEncodingWithString(const std::string& alphabet) {
  const std::size_t length = alphabet.size();
  if (length < 2 || length > 128 || (length & (length - 1)) != 0) return nullptr;
  std::shared_ptr<CDVInstanceIDStringEncoding> encoding(new CDVInstanceIDStringEncoding());
  encoding->reverseCharMap_.fill(kUnknownChar);
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(alphabet[i]);
    if (c >= 128) return nullptr;
    if (encoding->reverseCharMap_[c] != kUnknownChar) return nullptr;
    encoding->reverseCharMap_[c] = static_cast<std::int32_t>(i);
  }
  encoding->charMap_ = alphabet;
  int shift = 0;
  for (std::size_t size = 1; size < length; size <<= 1) ++shift;
  encoding->shift_ = shift;
  encoding->mask_ = (1 << shift) - 1;
  encoding->padLen_ = std::lcm(8, shift) / shift;
  return encoding;
}

void CDVInstanceIDStringEncoding::setPaddingChar(char c) {
  paddingChar_ = c;
  unsigned char index = static_cast<unsigned char>(c);
  if (index < 128) reverseCharMap_[index] = kPaddingChar;
}

std::optional<std::string> CDVInstanceIDStringEncoding::encode(const platform::Bytes& data) const {
  if (data.empty()) return std::string();
  std::size_t outLength = (data.size() * 8 + shift_ - 1) / shift_;
  if (doPad_) outLength = (outLength + padLen_ - 1) / padLen_ * padLen_;

  std::string out;
  out.reserve(outLength);
  std::size_t inPos = 0;
  std::uint32_t buffer = data[inPos++];
  int bitsLeft = 8;
  while (bitsLeft > 0 || inPos < data.size()) {
    if (bitsLeft < shift_) {
      if (inPos < data.size()) {
        buffer = (buffer << 8) | data[inPos++];
        bitsLeft += 8;
      } else {
        int pad = shift_ - bitsLeft;
        buffer <<= pad;
        bitsLeft += pad;
      }
    }
    bitsLeft -= shift_;
    out.push_back(charMap_[(buffer >> bitsLeft) & static_cast<std::uint32_t>(mask_)]);
    buffer &= (1u << bitsLeft) - 1;  // keep only the bits not yet emitted
  }
  if (doPad_) {
    while (out.size() < outLength) out.push_back(paddingChar_);
  } else if (out.size() != outLength) {
    CDVInstanceIDLoggerError(24000, "Underflowed output buffer");
    return std::nullopt;
  }
  return out;
}

std::optional<platform::Bytes> CDVInstanceIDStringEncoding::decode(const std::string& text) const {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 128) return std::nullopt;
  }
  const std::size_t capacity = static_cast<std::size_t>(shift_) * text.size() / 8;
  platform::Bytes out;
  out.reserve(capacity);
  std::uint32_t buffer = 0;
  int bitsLeft = 0;
  bool expectPad = false;
  for (char c : text) {
    std::int32_t value = reverseCharMap_[static_cast<unsigned char>(c)];
    if (value == kPaddingChar) {
      expectPad = true;
      continue;
    }
    if (value == kUnknownChar || expectPad) return std::nullopt;
    buffer = (buffer << shift_) | static_cast<std::uint32_t>(value);
    bitsLeft += shift_;
    if (bitsLeft >= 8) {
      bitsLeft -= 8;
      out.push_back(static_cast<std::uint8_t>(buffer >> bitsLeft));
      buffer &= (1u << bitsLeft) - 1;
    }
  }
  if (bitsLeft > 0 && buffer != 0) return std::nullopt;
  if (out.size() > capacity) {
    CDVInstanceIDLoggerError(24001, "Overflowed buffer");
  }
  return out;
}

std::string CDVInstanceIDStringEncoding::description() const {
  return platform::format("<Base%d StringEncoder: %@>", 1 << shift_, charMap_);
}
