#include "Core/Private/CDVBundleUtil.h"

#include "Core/Private/CDVCorePlatform.h"

CDVBundleUtil::Bundles CDVBundleUtil::relevantBundles() {
  return {platform::Bundle::main(), platform::Bundle::forClass("CDVBundleUtil")};
}

std::optional<std::string> CDVBundleUtil::optionsDictionaryPathWithResourceName(
    const std::string& name, const std::string& type, const Bundles& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    if (std::optional<std::string> path = bundle->pathForResource(name, type)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> CDVBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const auto& bundle : relevantBundles()) {
    if (!bundle) continue;
    const platform::Array* types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes").arrayPtr();
    if (!types) continue;
    for (const auto& type : *types) {
      const platform::Array* list = type["CFBundleURLSchemes"].arrayPtr();
      if (!list) continue;
      for (const auto& scheme : *list) {
        if (const std::string* text = scheme.stringPtr()) schemes.push_back(*text);
      }
    }
  }
  return schemes;
}

bool CDVBundleUtil::hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                              const Bundles& bundles) {
  const bool inExtension = cdv_platform::isAppExtension();
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    std::optional<std::string> identifier = bundle->bundleIdentifier();
    if (!identifier) continue;
    const std::string candidate =
        inExtension ? bundleIdentifierByRemovingLastPartFrom(*identifier) : *identifier;
    if (candidate == bundleIdentifier) return true;
  }
  return false;
}

std::string CDVBundleUtil::bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier) {
  const std::size_t lastDot = bundleIdentifier.rfind('.');
  if (lastDot == std::string::npos) return "";
  return bundleIdentifier.substr(0, lastDot);
}
