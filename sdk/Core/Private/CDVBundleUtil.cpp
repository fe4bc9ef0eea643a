#include "Core/Private/CDVBundleUtil.h"

#include <algorithm>

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

std::optional<std::string> CDVBundleUtil::missingMainBundleReason() {
  const auto main = platform::Bundle::main();
  if (main && !main->bundlePath().empty()) return std::nullopt;
  const std::string howTo =
      "or install one with platform::Bundle::setMain before configure)";
  if (std::optional<std::string> named = platform::Bundle::mainPathFromEnvironment()) {
    return "VESMORA_MAIN_BUNDLE names '" + *named +
           "', which is not a folder, so no main bundle is installed (set it to the app bundle "
           "folder, " + howTo;
  }
  return "no main bundle is installed (set VESMORA_MAIN_BUNDLE to the app bundle folder, " + howTo;
}

std::string CDVBundleUtil::searchedFolders(const std::string& file, const Bundles& bundles) {
  std::vector<std::string> folders;
  for (const auto& bundle : bundles) {
    if (!bundle || bundle->bundlePath().empty()) continue;
    const std::string quoted = "'" + bundle->bundlePath() + "'";
    if (std::find(folders.begin(), folders.end(), quoted) == folders.end()) folders.push_back(quoted);
  }
  const std::optional<std::string> reason = missingMainBundleReason();
  if (folders.empty()) return "Nowhere to look for '" + file + "': " + reason.value_or("no bundle has a folder") + ".";
  std::string sentence = "Looked for '" + file + "' in " + folders[0];
  for (size_t i = 1; i < folders.size(); ++i) sentence += (i + 1 == folders.size() ? " and " : ", ") + folders[i];
  return sentence + (reason ? " only: " + *reason : std::string()) + ".";
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
