#include "Utility/TestBundle.h"

#include <filesystem>
#include <mutex>

#ifndef VESMORA_UITEST_RESOURCES_DIR
#define VESMORA_UITEST_RESOURCES_DIR "Resources"
#endif

namespace TestBundle {
namespace {

std::mutex& dirMutex() {
  static std::mutex m;
  return m;
}

std::string& dir() {
  static std::string d = VESMORA_UITEST_RESOURCES_DIR;
  return d;
}

}  // namespace

std::string resourceDirectory() {
  std::lock_guard<std::mutex> lock(dirMutex());
  return dir();
}

std::string setResourceDirectory(std::string directory) {
  std::lock_guard<std::mutex> lock(dirMutex());
  std::string old = std::move(dir());
  dir() = std::move(directory);
  return old;
}

std::optional<std::string> path(const std::string& name, const std::string& type) {
  std::filesystem::path p = std::filesystem::path(resourceDirectory()) / (name + "." + type);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
  return p.string();
}

}  // namespace TestBundle
