#include "foundation/Sandbox.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "foundation/Exception.h"
#include "foundation/Files.h"

namespace platform::sandbox {

namespace fs = std::filesystem;

namespace {

struct State {
  std::mutex mutex;
  std::string root;
  std::string deviceRoot;
  std::atomic<std::uint64_t> generation{0};
};

State& state() {
  static State* s = new State();  // never destroyed: threads may outlive main()
  return *s;
}

std::string tempBase() {
  std::error_code ec;
  auto p = fs::temp_directory_path(ec);
  return ec ? std::string("/tmp") : p.string();
}

// A root ready for use: created for this user alone when missing, refused (with the reason)
// when another user owns it or may write to it.
void preparePrivateRoot(const std::string& path, const char* variable) {
  Error error;
  if (!files::createPrivateDirectory(path, &error)) {
    throw Exception(kInternalInconsistencyException,
                    "Refusing to keep the app's data in an unsafe place: " + error.description +
                        ". Choose a private folder with " + variable + ".");
  }
}

std::string rootFromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value != '\0') {
    preparePrivateRoot(value, variable);
    return value;
  }
  const std::string base = defaultDataDirectory();
  preparePrivateRoot(base, variable);
  const std::string path = files::join(base, fallback);
  preparePrivateRoot(path, variable);
  return path;
}

void makeContainer(const std::string& path) {
  for (const char* sub : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
    files::createDirectories(files::join(path, sub));
  }
}

}  // namespace

std::string defaultDataDirectory() {
  // The data folder of the XDG base directories: $XDG_DATA_HOME when it is an absolute path,
  // else ~/.local/share.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return files::join(xdg, "vesmora");
  std::string home;
  if (const char* value = std::getenv("HOME"); value != nullptr && value[0] == '/') {
    home = value;
  } else {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) {
    throw Exception(kInternalInconsistencyException,
                    "No home folder to keep the app's data in: set VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT.");
  }
  return files::join(files::join(home, ".local/share"), "vesmora");
}

void setRoot(const std::string& path) {
  preparePrivateRoot(path, "VESMORA_SANDBOX_ROOT");
  makeContainer(path);
  std::lock_guard<std::mutex> lock(state().mutex);
  state().root = path;
  state().generation++;
}

std::string root() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.root.empty()) return s.root;
  }
  // Resolved and made outside the lock (a refused root throws and is tried again next time);
  // a setRoot on another thread meanwhile wins.
  const std::string path = rootFromEnvironment("VESMORA_SANDBOX_ROOT", "sandbox");
  makeContainer(path);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.root.empty()) s.root = path;
  return s.root;
}

void setDeviceRoot(const std::string& path) {
  preparePrivateRoot(path, "VESMORA_DEVICE_ROOT");
  std::lock_guard<std::mutex> lock(state().mutex);
  state().deviceRoot = path;
  state().generation++;
}

std::string deviceRoot() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.deviceRoot.empty()) return s.deviceRoot;
  }
  const std::string path = rootFromEnvironment("VESMORA_DEVICE_ROOT", "device");
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.deviceRoot.empty()) s.deviceRoot = path;
  return s.deviceRoot;
}

std::uint64_t generation() { return state().generation.load(); }

std::string documentsDirectory() { return files::join(root(), "Documents"); }
std::string libraryDirectory() { return files::join(root(), "Library"); }
std::string applicationSupportDirectory() { return files::join(libraryDirectory(), "Application Support"); }
std::string cachesDirectory() { return files::join(libraryDirectory(), "Caches"); }
std::string preferencesDirectory() { return files::join(libraryDirectory(), "Preferences"); }
std::string temporaryDirectory() { return files::join(root(), "tmp"); }

ScopedTemporarySandbox::ScopedTemporarySandbox() {
  std::string pattern = files::join(tempBase(), "vesmora-sandbox-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw Exception(kInternalInconsistencyException, "could not create a temporary sandbox in " + tempBase());
  }
  base_ = pattern;
  root_ = files::join(base_, "app");
  deviceRoot_ = files::join(base_, "device");
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    previousRoot_ = state().root;
    previousDeviceRoot_ = state().deviceRoot;
  }
  setRoot(root_);
  setDeviceRoot(deviceRoot_);
}

ScopedTemporarySandbox::~ScopedTemporarySandbox() {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().root = previousRoot_;
    state().deviceRoot = previousDeviceRoot_;
    state().generation++;
  }
  std::error_code ec;
  fs::remove_all(base_, ec);
}

void ScopedTemporarySandbox::wipeApp() {
  std::error_code ec;
  fs::remove_all(root_, ec);
  setRoot(root_);
}

}  // namespace platform::sandbox
