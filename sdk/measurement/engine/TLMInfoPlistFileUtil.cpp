#include "measurement/engine/TLMInfoPlistFileUtil.h"

#include "foundation/Bundle.h"
#include "foundation/PropertyList.h"

std::optional<std::string> TLMInfoPlistFileUtil::ombrixServiceInfoPlistPath() {
  if (auto path = platform::Bundle::main()->pathForResource("OmbrixService-Info", "plist")) return path;
  return platform::Bundle::forClass("TLMInfoPlistFileUtil")->pathForResource("OmbrixService-Info", "plist");
}

std::optional<platform::Dictionary> TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist() {
  const std::optional<std::string> path = ombrixServiceInfoPlistPath();
  if (!path) return std::nullopt;
  std::optional<platform::Value> contents = platform::plist::readResource(*path);
  if (!contents || !contents->isDictionary()) return std::nullopt;
  return *contents->dictionaryPtr();
}
