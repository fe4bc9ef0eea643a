// The general pasteboard of the simulated device (shared by the tests and the apps). It is
// emptied before every test method.
#pragma once

#include <optional>
#include <string>

class UIPasteboard {
 public:
  static UIPasteboard& general();
  std::optional<std::string> string() const;
  void setString(std::optional<std::string> text);
};
