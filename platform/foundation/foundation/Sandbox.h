// The app's sandbox: every directory the app may write lives under one root, which the host
// or a test chooses. A second root holds what the device keeps for the app outside its
// container and beyond its removal (its keychain items), so a test can wipe the app while
// keeping the device.
//
//   <root>/Documents
//   <root>/Library
//   <root>/Library/Application Support   (not created until someone asks for it)
//   <root>/Library/Caches
//   <root>/Library/Preferences            (user defaults live here)
//   <root>/tmp
//
// Setting a root creates it with Documents, Library, Caches, Preferences and tmp. Until one is
// set, the root is $VESMORA_SANDBOX_ROOT, else "<data>/apps/<bundle id>/sandbox" (and the device
// root $VESMORA_DEVICE_ROOT, else "<data>/apps/<bundle id>/device"), where <data> is
// defaultDataDirectory() and <bundle id> the main bundle's CFBundleIdentifier: like a phone,
// which gives every app its own container and its own keychain items (an app reads only its
// own access group's), every app of a user keeps its data apart. Without a main bundle, without
// an identifier, or with one that cannot name a folder (letters, digits, '-' and '.' only, not
// starting with '.', at most 255), a default root is refused with an exception saying what to
// set; the default follows the main bundle when a later one names another app (generation()
// changes).
// All functions are thread-safe.
//
// The roots hold private keys, tokens and the app's databases, so they are this user's alone:
// a missing root (and the default folders above it) is created with mode 0700, and a root that
// is a relative path, that another user owns (or is a symbolic link another user than root
// owns), that others may write to, or that another user could replace (a symbolic link of theirs, a folder
// of theirs or one others may write to without the sticky bit, anywhere on its path), or whose
// files could not be opened (the app root's measurement store, whose database SQLite opens only by
// a full path of at most 512 bytes with its journal's suffix, the device root's keychain file), is
// refused with an exception that says why (the platform's exception,
// kInternalInconsistencyException).
// A root given by its path (a variable, setRoot), or kept for another user, is checked before the
// other root is made: one that would be refused leaves the other unmade too. A root is kept for the effective user it was checked for: as the app
// configures (available()) in a process that now runs as another user, a root chosen by its path
// is checked again, and a default one resolved again, for that user; one it cannot use is
// refused, the refusal naming the change of user.
// A root named with ".." is kept as the folder the path led to when checked. A root removed
// while the app runs is checked again before any folder is made in it (files::
// keepPrivateDirectory): made again when missing, refused when another user's folder (or one
// others may write to) took its place.
// Missing folders inside are made 0700 too; ones found there keep their modes (the host may
// share them), except the preferences folder, closed to group and others when found open.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Error.h"

namespace platform::sandbox {

// The error of a folder that cannot be had: its description is the reason the folder functions
// below throw (what is missing and what to set).
inline constexpr const char* kSandboxErrorDomain = "VesmoraSandboxErrorDomain";
inline constexpr std::int64_t kSandboxNoFolderError = 1;

// $XDG_DATA_HOME/vesmora, else ~/.local/share/vesmora (throws when there is no home folder).
std::string defaultDataDirectory();

void setRoot(const std::string& path);
std::string root();
void setDeviceRoot(const std::string& path);
std::string deviceRoot();
// Changes every time either root is set, so caches keyed by paths can notice a new sandbox.
std::uint64_t generation();

std::string documentsDirectory();
std::string libraryDirectory();
std::string applicationSupportDirectory();
std::string cachesDirectory();
std::string preferencesDirectory();
std::string temporaryDirectory();

// For callers that report failures their own way (a result, an error, a log line) rather than
// throw, above all from queued work: the folder one of the functions above answers, or, when it
// refuses, the empty string with `error` (kSandboxNoFolderError) carrying its reason.
std::string folder(std::string (*which)(), Error* error);
// Whether both roots can be had by the process's effective user (roots kept for another are
// checked again, above); false with `error` as folder() sets it.
bool available(Error* error);

// Test fixture: a fresh, empty temporary directory as the app root and another as the device
// root for the life of the object; restores the previous roots and deletes both on destruction.
class ScopedTemporarySandbox {
 public:
  ScopedTemporarySandbox();
  ~ScopedTemporarySandbox();
  ScopedTemporarySandbox(const ScopedTemporarySandbox&) = delete;
  ScopedTemporarySandbox& operator=(const ScopedTemporarySandbox&) = delete;

  const std::string& root() const { return root_; }
  const std::string& deviceRoot() const { return deviceRoot_; }
  // Simulates reinstalling the app: empties the app root (the device root is kept).
  void wipeApp();

 private:
  std::string base_;
  std::string root_;
  std::string deviceRoot_;
  std::string previousRoot_;
  std::string previousRootApp_;
  std::string previousDeviceRoot_;
  std::string previousDeviceRootApp_;
  unsigned previousRootUser_ = 0;
  unsigned previousDeviceRootUser_ = 0;
};

}  // namespace platform::sandbox
