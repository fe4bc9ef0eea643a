// Bundles: a directory with an Info.plist dictionary and resource files.
//
// The main bundle is whatever the host or a test installs with setMain(); until then it is the
// bundle at $VESMORA_MAIN_BUNDLE when set, else an empty bundle (no path, no Info.plist). Code
// that looks up "the bundle of a class" uses forClass(), which answers the bundle registered for
// that class name, else the main bundle. Bundles are immutable: to change an Info.plist value, a
// test makes a new Bundle and installs it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform {

class Bundle {
 public:
  // `path` is the bundle directory (resources live directly in it); `infoDictionary` its
  // Info.plist contents (a dictionary, or null for none).
  Bundle(std::string path, Value infoDictionary);

  // Reads <path>/Info.plist when present. nullptr when `path` is not a directory.
  static std::shared_ptr<const Bundle> atPath(const std::string& path);

  // The installed main bundle, else the one VESMORA_MAIN_BUNDLE names, made on first use and
  // kept, unless its Info.plist could not be read for want of a file descriptor (read again
  // next time).
  static std::shared_ptr<const Bundle> main();
  // The folder $VESMORA_MAIN_BUNDLE names when it is set and not empty, whether or not there is
  // such a folder (when there is none, the default main bundle is the empty one).
  static std::optional<std::string> mainPathFromEnvironment();
  static void setMain(std::shared_ptr<const Bundle> bundle);
  static std::shared_ptr<const Bundle> forClass(std::string_view className);
  static void setBundleForClass(const std::string& className, std::shared_ptr<const Bundle> bundle);
  // Forgets the installed main bundle and the class registrations.
  static void resetForTesting();

  const std::string& bundlePath() const { return path_; }
  const std::string& resourcePath() const { return path_; }
  // "CFBundleIdentifier" of the Info.plist, when it is a string.
  std::optional<std::string> bundleIdentifier() const;
  const Value& infoDictionary() const { return info_; }
  // Why atPath could not read the Info.plist it found (a file it could not open or parse); null
  // when it read it, or there was none.
  const Error* infoError() const { return infoError_.get(); }
  // The Info.plist value for `key`, or a null Value.
  const Value& objectForInfoDictionaryKey(std::string_view key) const { return info_[key]; }

  // The path of the resource file "<name>.<type>" (just "<name>" when `type` is empty), in
  // `directory` below the resource path when given; empty when there is no such file.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                             std::string_view directory = {}) const;

 private:
  std::string path_;
  Value info_;
  std::shared_ptr<const Error> infoError_;
};

}  // namespace platform
