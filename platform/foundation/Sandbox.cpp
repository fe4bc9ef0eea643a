#include "foundation/Sandbox.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "foundation/Bundle.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "UserListing.h"

namespace platform::sandbox {

namespace fs = std::filesystem;

namespace {

// One root: its folder and, for the per-app default, the bundle identifier it was made for
// (empty when the host, a test or the environment variable chose the folder), and the effective
// user it was checked (or made) for.
struct Slot {
  std::string path;
  std::string app;
  uid_t user = 0;
};

struct State {
  std::mutex mutex;
  Slot root;
  Slot deviceRoot;
  std::atomic<std::uint64_t> generation{0};
};

State& state() {
  static State* s = new State();  // never destroyed: threads may outlive main()
  return *s;
}
// Made as the program loads: a child forked while another thread made it would wait for ever on
// its guard.
[[maybe_unused]] const State& gStateMadeAtLoad = state();

struct Kind {
  const char* variable;  // the environment variable that chooses the folder
  const char* folder;    // its name in the per-app default
  bool container;        // holds the app's container folders
  Slot State::*slot;
  // The longest path kept under the root (from it, with its "/"), and the most bytes a path to
  // it may have to be opened, and by what.
  std::string_view longestInside;
  std::size_t longestOpened;
  const char* opener;
};

// Under the app root the measurement store's rollback journal decides: SQLite opens a database
// only when its full path (links followed, "." and ".." resolved) with the journal's suffix has
// at most 512 bytes, the limit of its unix file system layer, far below PATH_MAX, which is all
// every other file there needs (none lies more than 300 bytes under the root: the deepest are the
// app's settings, "Library/Preferences/" and a name of at most NAME_MAX). Under the device root,
// the keychain's file.
constexpr Kind kApp{"VESMORA_SANDBOX_ROOT", "sandbox", true, &State::root,
                    "/Library/Application Support/Ombrix/Measurement/ombrix-tally-mark.sql-journal", 512,
                    "SQLite opens for the app's measurement store"};
constexpr Kind kDevice{"VESMORA_DEVICE_ROOT", "device", false, &State::deviceRoot, "/Keychains/keychain.plist",
                       PATH_MAX - 1, "the system takes"};

std::string tempBase() {
  std::error_code ec;
  auto p = fs::temp_directory_path(ec);
  return ec ? std::string("/tmp") : p.string();
}

// Why a root named `path` is refused, from what `error` says caused it, and what to do: an
// unsafe place only where no system call failed (other users could change the way); else what
// happened (no permission, a read-only or full file system, a file in the way, a path too long).
std::string refusalOf(const std::string& path, const Error& error, const std::string& variable) {
  const std::shared_ptr<Error> cause = error.userInfo[files::kUnderlyingErrorKey].objectAs<Error>();
  const std::int64_t code = cause && cause->domain == files::kPOSIXErrorDomain ? cause->code : 0;
  const std::string& what = error.description;
  if (path.empty() || path.front() != '/') {
    return "The app's data folder must be named by an absolute path: " + what + ". Give one with " + variable + ".";
  }
  if (code == ENOTDIR && !error.userInfo[files::kFileOwnerAccountIDKey].isNull()) {
    return "A file of another user stands where the app's data needs a folder: " + what +
           ". Choose another folder with " + variable + ", or have that user move the file away.";
  }
  if (std::optional<std::string> shortage = files::outOfDescriptors(error, "to keep the app's data")) return *shortage;
  switch (code) {
    case 0:
      return "Refusing to keep the app's data in an unsafe place: " + what + ". Choose a private folder with " +
             variable + ".";
    case EACCES:
    case EPERM:
      return "No permission to keep the app's data there: " + what + ". Choose a folder this user may write to, with " +
             variable + ".";
    case EROFS:
      return "The app's data cannot be kept on a read-only file system: " + what +
             ". Choose a folder on a file system mounted for writing, with " + variable + ".";
    case ENOSPC:
    case EDQUOT:
      return "No space left to keep the app's data there: " + what +
             ". Free some space on that file system, or choose a folder on another with " + variable + ".";
    case ENOTDIR:
      return "A file stands where the app's data needs a folder: " + what +
             ". Move the file away, or choose another folder with " + variable + ".";
    case ENAMETOOLONG:
      return "The path of the app's data folder is too long: " + what +
             ". Choose a folder with a shorter path, with " + variable + ".";
    default:
      return "Could not keep the app's data there: " + what + ". Choose another folder with " + variable + ".";
  }
}

// Where the folder `path` (absolute) names would be once made, as the walk that makes it goes:
// every link on the way followed, one whose end does not exist yet too (a relative target taken
// from the link's folder), "." and ".." resolved, and the part still missing added as named. A
// component that cannot be looked at, or more links than the kernel follows, ends the following
// there: the rest is added as named.
std::string whereItLeads(const std::string& path) {
  constexpr int kLinksFollowed = 40;  // as many as the kernel follows in one path
  std::deque<std::string> pending;
  const auto queue = [&pending](const std::string& text) {
    const std::vector<std::string> names = files::components(text);
    pending.insert(pending.begin(), names.begin(), names.end());
  };
  queue(path);
  std::string folder = "/";
  bool following = true;
  int links = 0;
  std::vector<char> target(PATH_MAX + 1);
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      folder = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1));
      continue;
    }
    const std::string next = files::join(folder, name);
    struct stat info {};
    following = following && ::lstat(next.c_str(), &info) == 0;
    if (following && S_ISLNK(info.st_mode)) {
      const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
      following = ++links <= kLinksFollowed && length > 0 && static_cast<std::size_t>(length) < target.size();
      if (following) {
        const std::string to(target.data(), static_cast<std::size_t>(length));
        if (to.front() == '/') folder = "/";
        queue(to);
        continue;
      }
    }
    folder = next;
  }
  return folder;
}

// Refuses (as refusalOf words it, for want of room) a root of `kind` named `path` whose longest
// file would have a path too long to be opened, measured without "." and repeated or trailing "/",
// and, when it fits so, as the folder it would be once made (whereItLeads: what links or ".." on
// the way lead to is measured before anything is made). The real path of a folder a walk reached
// (`walked`) is where its links lead already, and is measured as it is. A relative path is left
// to createPrivateDirectory, which refuses it for that alone.
void measure(const std::string& path, const Kind& kind, bool walked = false) {
  if (path.empty() || path.front() != '/') return;
  std::string measured = fs::path(path).lexically_normal().string();
  while (measured.size() > 1 && measured.back() == '/') measured.pop_back();
  const auto fits = [&](const std::string& folder) {
    return folder.size() + kind.longestInside.size() <= kind.longestOpened;
  };
  if (fits(measured)) {
    if (walked) return;
    std::string real = whereItLeads(path);
    if (fits(real)) return;
    measured = std::move(real);
  }
  const std::size_t longest = measured.size() + kind.longestInside.size();
  const std::string reached = measured == path ? std::string() : " (which leads to \"" + measured + "\")";
  const Error tooLong(files::kCocoaErrorDomain, 513,
                      "The folder \"" + path + "\"" + reached + " leaves too little room for the files kept in it: its \"" +
                          std::string(kind.longestInside.substr(1)) + "\" would have a path of " +
                          std::to_string(longest) + " bytes, more than the " +
                          std::to_string(kind.longestOpened) + " " + kind.opener + " (" +
                          std::strerror(ENAMETOOLONG) + ")",
                      Value::dictionary({{"NSFilePath", path},
                                         {files::kUnderlyingErrorKey,
                                          Value::object(std::make_shared<Error>(files::kPOSIXErrorDomain, ENAMETOOLONG,
                                                                                std::strerror(ENAMETOOLONG)))}}));
  throw Exception(kInternalInconsistencyException, refusalOf(path, tooLong, kind.variable));
}

// A root ready for use: created for this user alone when missing, refused (saying why and what to
// do, refusalOf) when another user owns it or may write to it, when it is not an absolute path,
// when it cannot be made or opened, or when the files kept in it could not be opened (measure:
// before anything is made, and again as the folder checked, should a link have changed meanwhile).
// `root` then holds it. Answers the path to use from then on: as given, or, when ".." in it would
// have it depend on the folders it goes back out of, the folder that was checked.
std::string preparePrivateRoot(const std::string& path, const Kind& kind, files::PrivateFolder* root) {
  measure(path, kind);
  Error error;
  if (!root->make(path, &error)) throw Exception(kInternalInconsistencyException, refusalOf(path, error, kind.variable));
  measure(root->real(), kind, true);
  return (path + "/").find("/../") != std::string::npos ? root->real() : path;
}

// Sets `slot` (of `kind`) and keeps its folder checked whenever something is made in it.
void assign(const Kind& kind, Slot& slot, Slot value) {
  files::keepPrivateDirectory(kind.variable, value.path);
  slot = std::move(value);
}

// A bundle identifier names a folder as it is: the platform allows letters, digits, '-' and '.'
// in one, so anything else (a '/', "..", a hidden name) is refused, not rewritten.
bool isUsableFolderName(const std::string& identifier) {
  if (identifier.empty() || identifier.size() > 255 || identifier.front() == '.') return false;
  return std::all_of(identifier.begin(), identifier.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

// The main bundle's identifier, which keeps this app's default folders apart from other apps'.
std::string appIdentifier() {
  const auto bundle = Bundle::main();
  const std::optional<std::string> identifier = bundle->bundleIdentifier();
  const std::string remedy =
      " Give the app a main bundle whose Info.plist has a usable CFBundleIdentifier (VESMORA_MAIN_BUNDLE or "
      "Bundle::setMain), or choose the app's folders with VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT.";
  if (!identifier) {
    std::string why = "no main bundle is set";
    if (const Error* unread = bundle->infoError()) {
      if (std::optional<std::string> shortage = files::outOfDescriptors(*unread, "to read the main bundle")) {
        throw Exception(kInternalInconsistencyException, *shortage);
      }
      why = "the main bundle's Info.plist could not be read: " + unread->description;
    } else if (!bundle->bundlePath().empty() || !bundle->infoDictionary().isNull()) {
      why = "the main bundle " + (bundle->bundlePath().empty() ? std::string() : "\"" + bundle->bundlePath() + "\" ") +
            "has no CFBundleIdentifier";
    } else if (const std::optional<std::string> named = Bundle::mainPathFromEnvironment()) {
      why = "VESMORA_MAIN_BUNDLE (\"" + *named + "\") is not a folder";
    }
    throw Exception(kInternalInconsistencyException,
                    "No bundle identifier to keep the app's data apart from other apps' data: " + why + "." + remedy);
  }
  if (!isUsableFolderName(*identifier)) {
    throw Exception(kInternalInconsistencyException,
                    "The bundle identifier \"" + *identifier +
                        "\" cannot name the app's data folder (it may hold only letters, digits, '-' and '.', "
                        "not start with '.', and have at most 255 of them)." + remedy);
  }
  return *identifier;
}

void makeContainer(const files::PrivateFolder& root) {
  // The host may have made these folders itself, with modes other programs rely on: only
  // missing ones are made (0700). The preferences folder holds this app's own settings, so one
  // an earlier version left open to others is closed.
  for (const char* sub : {"Documents", "Library", "Library/Caches", "tmp"}) root.makeMissingInside(sub, false);
  root.makeMissingInside("Library/Preferences", true);
}

// The root of `kind` kept now.
Slot kept(const Kind& kind) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().*kind.slot;
}

// What resolve does for a root of `kind` when `known` is kept, asked by the effective user
// `user` (none: the one it was kept for): nothing (none), or make (and check) the folder of the
// slot answered: the folder set or named by the variable, else this app's default folder. A root
// is resolved when first asked for, when the main bundle names another app since, and when the
// process runs as another user than the one it was kept for: a root kept by its path is checked
// again, a default one resolved again, for that user.
std::optional<Slot> rootToMake(const Kind& kind, const Slot& known, std::optional<uid_t> user) {
  const bool anotherUser = user && !known.path.empty() && *user != known.user;
  if (!known.path.empty() && known.app.empty()) {
    if (!anotherUser) return std::nullopt;
    return Slot{known.path, {}, *user};
  }
  Slot made;
  if (known.path.empty() || anotherUser) {
    if (const char* value = std::getenv(kind.variable); value != nullptr && *value != '\0') {
      return Slot{value, {}, user ? *user : ::geteuid()};
    }
  }
  made.app = appIdentifier();
  if (made.app == known.app && !anotherUser) return std::nullopt;
  made.user = user ? *user : ::geteuid();
  made.path = files::join(files::join(files::join(defaultDataDirectory(), "apps"), made.app), kind.folder);
  return made;
}

// Refuses (throws) `refusal` of a root of `kind`; where the process now runs as another user than
// the one the root `known` was kept for, saying so.
[[noreturn]] void refuseRoot(const Kind& kind, const Slot& known, const Slot& made, std::string refusal) {
  if (!known.path.empty() && known.user != made.user) {
    refusal = "This process now runs as uid " + std::to_string(made.user) + ", not as uid " +
              std::to_string(known.user) + " for whom the app's data folder \"" + known.path +
              "\" was chosen (" + kind.variable + "), and the folder cannot be had for it: " + refusal;
  }
  throw Exception(kInternalInconsistencyException, refusal);
}

// Checks the root `made` of `kind` is to be as createPrivateDirectory checks it, without making
// anything: the way as far as it goes, and the folder where it is there (throws when refused).
void checkBeforeMaking(const Kind& kind, const Slot& known, const Slot& made) {
  try {
    measure(made.path, kind);
  } catch (const Exception& tooLong) {
    refuseRoot(kind, known, made, tooLong.reason());
  }
  Error error;
  if (!files::checkPrivateDirectory(made.path, &error)) {
    refuseRoot(kind, known, made, refusalOf(made.path, error, kind.variable));
  }
}

// The root of `kind` (rootToMake), made (and checked) where it is to be, once the other root,
// where it is to be made too and was given (not a default one that cannot be had, for want of a
// bundle identifier say, which is left to its own resolving), is checked: nothing is made before
// every root given is. Resolved outside the lock (a refused root throws and is tried again next
// time); a root set on another thread meanwhile wins, but for another user.
std::string resolve(const Kind& kind, std::optional<uid_t> user = std::nullopt) {
  State& s = state();
  const Slot known = kept(kind);
  if (!user && !known.path.empty() && known.app.empty()) return known.path;
  std::optional<Slot> made = rootToMake(kind, known, user);
  if (!made) return known.path;
  const Kind& otherKind = &kind == &kApp ? kDevice : kApp;
  const Slot other = kept(otherKind);
  std::optional<Slot> otherToMake;
  try {
    otherToMake = rootToMake(otherKind, other, user);
  } catch (const Exception&) {
  }
  // A default root lies beside this one, on a way this one's making checks: only a root named by
  // its path, or one kept for another user, is checked on its own.
  if (otherToMake && (otherToMake->app.empty() || (!other.path.empty() && other.user != otherToMake->user))) {
    checkBeforeMaking(otherKind, other, *otherToMake);
  }
  files::PrivateFolder root;
  try {
    if (made->app.empty()) {
      made->path = preparePrivateRoot(made->path, kind, &root);
    } else {
      // Measured as a whole before anything is made, then made level by level, each private,
      // each walked from the one before it.
      const std::string levels = "/apps/" + made->app + "/" + kind.folder;
      const std::string base = made->path.substr(0, made->path.size() - levels.size());
      measure(made->path, kind);
      Error error;
      bool ready = root.make(base, &error);
      for (const std::string& level : {std::string("apps"), made->app, std::string(kind.folder)}) {
        ready = ready && root.makeInside(level, &error);
      }
      if (!ready) throw Exception(kInternalInconsistencyException, refusalOf(base, error, kind.variable));
      measure(root.real(), kind, true);
    }
  } catch (const Exception& refused) {
    refuseRoot(kind, known, *made, refused.reason());
  }
  if (kind.container) makeContainer(root);
  std::lock_guard<std::mutex> lock(s.mutex);
  Slot& slot = s.*kind.slot;
  if (slot.path.empty() || (!slot.app.empty() && !made->app.empty()) || slot.user != made->user) {
    if (!slot.path.empty() && slot.path != made->path) s.generation++;
    assign(kind, slot, *made);
  }
  return slot.path;
}

}  // namespace

std::string defaultDataDirectory() {
  // The data folder of the XDG base directories: $XDG_DATA_HOME when it is an absolute path,
  // else ~/.local/share.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return files::join(xdg, "vesmora");
  if (const char* value = std::getenv("HOME"); value != nullptr && value[0] == '/') {
    return files::join(files::join(value, ".local/share"), "vesmora");
  }
  const uid_t uid = ::geteuid();
  const files::UserEntry user = files::lookUpUser(uid);
  if (user.home.starts_with('/')) return files::join(files::join(user.home, ".local/share"), "vesmora");
  const std::string entry = "this user's entry (uid " + std::to_string(uid) + ")";
  const std::string why = !user.failed.empty() ? entry + " could not be looked up: " + user.failed
                          : !user.found        ? "the user database has no entry for uid " + std::to_string(uid)
                                               : entry + " names no absolute home folder";
  throw Exception(kInternalInconsistencyException,
                  "No home folder to keep the app's data in (HOME is not set, and " + why +
                      "): set HOME, or VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT.");
}

void setRoot(const std::string& path) {
  files::PrivateFolder folder;
  const std::string root = preparePrivateRoot(path, kApp, &folder);
  makeContainer(folder);
  const uid_t user = ::geteuid();
  std::lock_guard<std::mutex> lock(state().mutex);
  assign(kApp, state().root, Slot{root, {}, user});
  state().generation++;
}

std::string root() { return resolve(kApp); }

void setDeviceRoot(const std::string& path) {
  files::PrivateFolder folder;
  const std::string root = preparePrivateRoot(path, kDevice, &folder);
  const uid_t user = ::geteuid();
  std::lock_guard<std::mutex> lock(state().mutex);
  assign(kDevice, state().deviceRoot, Slot{root, {}, user});
  state().generation++;
}

std::string deviceRoot() { return resolve(kDevice); }

std::uint64_t generation() { return state().generation.load(); }

std::string documentsDirectory() { return files::join(root(), "Documents"); }
std::string libraryDirectory() { return files::join(root(), "Library"); }
std::string applicationSupportDirectory() { return files::join(libraryDirectory(), "Application Support"); }
std::string cachesDirectory() { return files::join(libraryDirectory(), "Caches"); }
std::string preferencesDirectory() { return files::join(libraryDirectory(), "Preferences"); }
std::string temporaryDirectory() { return files::join(root(), "tmp"); }

std::string folder(std::string (*which)(), Error* error) {
  try {
    return which();
  } catch (const Exception& refusal) {
    setError(error, kSandboxErrorDomain, kSandboxNoFolderError, refusal.reason());
    return {};
  }
}

bool available(Error* error) {
  // Asked as the app configures: whether the process runs as the user the roots were kept for
  // is checked here, once, not on every use of a root.
  const uid_t user = ::geteuid();
  try {
    resolve(kApp, user);
    resolve(kDevice, user);
  } catch (const Exception& refusal) {
    setError(error, kSandboxErrorDomain, kSandboxNoFolderError, refusal.reason());
    return false;
  }
  return true;
}

namespace {

// Puts back the roots a temporary sandbox replaced and removes its folder.
void restoreRoots(const Slot& root, const Slot& deviceRoot, const std::string& base) {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    assign(kApp, state().root, root);
    assign(kDevice, state().deviceRoot, deviceRoot);
    state().generation++;
  }
  std::error_code ec;
  fs::remove_all(base, ec);
}

}  // namespace

ScopedTemporarySandbox::ScopedTemporarySandbox() {
  std::string pattern = files::join(tempBase(), "vesmora-sandbox-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw Exception(kInternalInconsistencyException,
                    "could not create a temporary sandbox in " + tempBase() + ": " + std::strerror(errno));
  }
  base_ = pattern;
  root_ = files::join(base_, "app");
  deviceRoot_ = files::join(base_, "device");
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    previousRoot_ = state().root.path;
    previousRootApp_ = state().root.app;
    previousRootUser_ = state().root.user;
    previousDeviceRootUser_ = state().deviceRoot.user;
    previousDeviceRoot_ = state().deviceRoot.path;
    previousDeviceRootApp_ = state().deviceRoot.app;
  }
  try {
    setRoot(root_);
    setDeviceRoot(deviceRoot_);
  } catch (...) {
    // Refused (a full disk, say): the previous roots come back and nothing of the sandbox stays.
    restoreRoots(Slot{previousRoot_, previousRootApp_, previousRootUser_},
                 Slot{previousDeviceRoot_, previousDeviceRootApp_, previousDeviceRootUser_}, base_);
    throw;
  }
}

ScopedTemporarySandbox::~ScopedTemporarySandbox() {
  restoreRoots(Slot{previousRoot_, previousRootApp_, previousRootUser_},
               Slot{previousDeviceRoot_, previousDeviceRootApp_, previousDeviceRootUser_}, base_);
}

void ScopedTemporarySandbox::wipeApp() {
  std::error_code ec;
  fs::remove_all(root_, ec);
  setRoot(root_);
}

}  // namespace platform::sandbox
