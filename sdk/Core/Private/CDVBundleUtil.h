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
  // Why the main bundle has no folder, with how to give it one ("no main bundle is installed
  // (set VESMORA_MAIN_BUNDLE ...)"); nullopt when it has one. Messages about a file missing from
  // the bundle use it, so that the user learns what to do rather than only what is missing.
  static std::optional<std::string> missingMainBundleReason();
  // One sentence naming the folders of `bundles` that were searched for `file`, and why the main
  // bundle was not among them when it was not.
  static std::string searchedFolders(const std::string& file, const Bundles& bundles);
  // "com.example.app.widget" gives "com.example.app"; no dot gives "".
  static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
};
