// Texts the tests build and look into.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// `unit` written `n` times over.
inline std::string repeat(const std::string& unit, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

// Whether `text` holds every one of `words`.
inline bool mentions(const std::string& text, const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (text.find(word) == std::string::npos) return false;
  }
  return true;
}

}  // namespace testsupport
