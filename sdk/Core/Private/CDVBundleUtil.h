// Finding the options file among the relevant bundles, URL schemes and bundle identifiers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bundle.h"

class CDVBundleUtil {
 public:
  using Bundles = std::vector<std::shared_ptr<const platform::Bundle>>;

  // The main bundle, then the bundle of the core (the two may be the same bundle).
  static Bundles relevantBundles();
  // The resource's path in the first bundle that has it.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(const std::string& name,
                                                                          const std::string& type,
                                                                          const Bundles& bundles);
  // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" entry, bundle by bundle.
  static std::vector<std::string> relevantURLSchemes();
  // True when a bundle's identifier (less its last part inside an app extension) equals
  // `bundleIdentifier`.
  static bool hasBundleIdentifierPrefix(const std::string& bundleIdentifier, const Bundles& bundles);
  // "com.example.app.widget" gives "com.example.app"; no dot gives "".
  static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
};
