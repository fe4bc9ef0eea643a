// Finds and reads the SDK's service information file "OmbrixService-Info.plist": in the main
// bundle, else in the bundle registered for the class "TLMInfoPlistFileUtil" (the SDK's own).
#pragma once

#include <optional>
#include <string>

#include "foundation/Value.h"

class TLMInfoPlistFileUtil {
 public:
  // The file's path, or none when neither bundle has it.
  static std::optional<std::string> ombrixServiceInfoPlistPath();
  // The file's dictionary, or none without a file or when it holds no dictionary.
  static std::optional<platform::Dictionary> dictionaryFromOmbrixServiceInfoPlist();
};
