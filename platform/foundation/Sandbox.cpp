#include "foundation/Sandbox.h"

#include <stdlib.h>

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

std::string fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value != nullptr && *value != '\0') return value;
  return files::join(files::join(tempBase(), "vesmora"), fallback);
}

void makeContainer(const std::string& path) {
  for (const char* sub : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
    files::createDirectories(files::join(path, sub));
  }
}

}  // namespace

void setRoot(const std::string& path) {
  makeContainer(path);
  std::lock_guard<std::mutex> lock(state().mutex);
  state().root = path;
  state().generation++;
}

std::string root() {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.root.empty()) {
    // The container is made outside the lock from a copy: a setRoot on another thread may
    // replace s.root meanwhile.
    const std::string path = fromEnvironment("VESMORA_SANDBOX_ROOT", "sandbox");
    s.root = path;
    lock.unlock();
    makeContainer(path);
    lock.lock();
  }
  return s.root;
}

void setDeviceRoot(const std::string& path) {
  files::createDirectories(path);
  std::lock_guard<std::mutex> lock(state().mutex);
  state().deviceRoot = path;
  state().generation++;
}

std::string deviceRoot() {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.deviceRoot.empty()) {
    const std::string path = fromEnvironment("VESMORA_DEVICE_ROOT", "device");
    s.deviceRoot = path;
    lock.unlock();
    files::createDirectories(path);
    lock.lock();
  }
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
