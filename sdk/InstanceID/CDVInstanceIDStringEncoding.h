// Bytes to text over an alphabet of 2^n characters (n from 1 to 7) and back, with optional
// padding. The instance identity uses base64url (RFC 4648) and encodes its identifier unpadded.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Value.h"

class CDVInstanceIDStringEncoding {
 public:
  // Upper-case letters, lower-case letters, digits, "-", "_"; pad "=", padding on.
  static std::shared_ptr<CDVInstanceIDStringEncoding> rfc4648Base64WebsafeStringEncoding();
  // Null unless the alphabet is ASCII, 2 to 128 characters long, a power of two, each
  // character once.
  static std::shared_ptr<CDVInstanceIDStringEncoding> stringEncodingWithString(const std::string& alphabet);

  void setDoPad(bool doPad) { doPad_ = doPad; }
  bool doPad() const { return doPad_; }
  // Also marks the character as the pad character when decoding.
  void setPaddingChar(char c);

  // Nothing when the output would not fill the computed length (unpadded, cannot happen for a
  // valid encoder).
  std::optional<std::string> encode(const platform::Bytes& data) const;
  // Nothing for characters outside the alphabet, alphabet characters after padding began, or
  // non-zero leftover bits.
  std::optional<platform::Bytes> decode(const std::string& text) const;

  // "<Base%d StringEncoder: %@>".
  std::string description() const;

 private:
  CDVInstanceIDStringEncoding() = default;

  std::string charMap_;
  std::array<std::int32_t, 128> reverseCharMap_{};
  int shift_ = 0;
  int mask_ = 0;
  int padLen_ = 0;
  bool doPad_ = false;
  char paddingChar_ = '=';
};
