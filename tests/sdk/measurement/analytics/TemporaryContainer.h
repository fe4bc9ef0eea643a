// The app's container for a test that configures the real app: a folder of its own under the
// temporary folder (TMPDIR, or /tmp when it is unset), removed with everything in it when the test
// ends, also early, once the app has ended (what was logged is stored, nothing writes there).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "uikit/UIKit.h"

class TemporaryContainer {
 public:
  // Makes the folder and has the app's roots and bundle there; path() is empty when it could not.
  explicit TemporaryContainer(const std::string& name) {
    std::error_code ec;
    std::string pattern = std::filesystem::temp_directory_path(ec).string() + "/" + name + "-XXXXXX";
    if (ec || ::mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    ::setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 1);
    ::setenv("VESMORA_SANDBOX_ROOT", (path_ + "/app").c_str(), 1);
    ::setenv("VESMORA_DEVICE_ROOT", (path_ + "/device").c_str(), 1);
  }
  ~TemporaryContainer() {
    if (path_.empty()) return;
    // An end that ran out of time on a busy machine leaves work that would write here after the
    // folder went: the end is asked again, 6 times at most.
    for (int ends = 0; ends < 6 && !UIApplication().terminate(); ++ends) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryContainer(const TemporaryContainer&) = delete;
  TemporaryContainer& operator=(const TemporaryContainer&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
