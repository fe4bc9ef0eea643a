#include "foundation/Files.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "UserListing.h"
#include "dispatch/ForkPreparation.h"
#include "foundation/Cancellation.h"

namespace platform::files {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBackupAttribute = "user.vesmora.excluded-from-backup";

// The details of an error about `path`: the path and, when a system call failed with `err`, that
// cause as an error of the POSIX domain.
Value detailsOf(const std::string& path, int err) {
  Dictionary details{{"NSFilePath", path}};
  if (err != 0) {
    details.set(kUnderlyingErrorKey, Value::object(std::make_shared<Error>(kPOSIXErrorDomain, err,
                                                                               std::strerror(err))));
  }
  return Value(std::move(details));
}

bool fail(Error* error, std::int64_t code, const std::string& what, const std::string& path,
          int err = 0) {
  std::string text = what + " \"" + path + "\"";
  if (err != 0) text += ": " + std::string(std::strerror(err));
  return setError(error, kCocoaErrorDomain, code, text, detailsOf(path, err));
}

std::mutex& excludedMutex() {
  static std::mutex m;
  return m;
}
std::set<std::string>& excludedPaths() {
  static std::set<std::string>& paths = *new std::set<std::string>();
  return paths;
}
// Made as the program loads: a child forked while another thread made it would wait for ever on
// its guard.
[[maybe_unused]] const std::set<std::string>& gExcludedPathsMadeAtLoad = excludedPaths();

std::string canonical(const std::string& path) {
  std::error_code ec;
  auto p = fs::weakly_canonical(fs::path(path), ec);
  return ec ? path : p.string();
}

bool refuse(Error* error, const std::string& path, const std::string& why) {
  return setError(error, kCocoaErrorDomain, 513, "The folder \"" + path + "\" " + why,
                  Value::dictionary({{"NSFilePath", path}}));
}

std::string parentOf(const std::string& folder) {
  const std::size_t slash = folder.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : folder.substr(0, slash);
}

// As many symbolic links as the kernel itself follows in one path.
constexpr int kMaxLinksOnTheWay = 40;

// The lock of the kept private folders, held briefly. A fork() waits for it, so that a child,
// which has none of the parent's other threads, never finds it taken.
std::mutex& keptLock() {
  static std::mutex* lock = [] {
    auto* made = new std::mutex();  // never destroyed: the fork handlers may run at any time
    pthread_atfork(
        [] {
          waitBeforeForkLocks();
          keptLock().lock();
        },
        [] { keptLock().unlock(); }, [] { keptLock().unlock(); });
    return made;
  }();
  return *lock;
}
// Made as the program loads, before any thread of the SDK's: a fork never finds it half made.
[[maybe_unused]] const std::mutex& gKeptLockMadeAtLoad = keptLock();

// What the access ACL of a folder lets others than its owner write, as the kernel stores it
// (little-endian: a version, then entries of tag, permissions and id).
struct AclWriters {
  bool present = false;     // an ACL beyond the mode bits
  bool others = false;      // a named user other than this one, or a named group, may write
  bool owningGroup = false;  // the folder's group may write
};

// The ACL of the folder open at `folder` (any descriptor, O_PATH ones included), read on a
// descriptor of the folder itself opened for reading (no path through /proc, which a chroot or a
// small sandbox may lack); nothing, with `why` saying why, when it cannot be read.
std::optional<AclWriters> aclWriters(int folder, std::string* why) {
  AclWriters writers;
  const int opened = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) {
    *why = "the folder could not be opened to read it: " + std::string(std::strerror(errno));
    return std::nullopt;
  }
  std::vector<unsigned char> acl(256);
  ssize_t size = 0;
  while ((size = ::fgetxattr(opened, "system.posix_acl_access", acl.data(), acl.size())) < 0 &&
         errno == ERANGE && acl.size() < (std::size_t{1} << 20)) {
    acl.resize(acl.size() * 4);
  }
  const int err = errno;
  ::close(opened);
  if (size < 0) {
    if (err == ENODATA || err == ENOTSUP) return writers;
    *why = std::strerror(err);
    return std::nullopt;
  }
  const auto number = [&acl](std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | acl[at + static_cast<std::size_t>(i)];
    return value;
  };
  constexpr std::size_t kHeader = 4;
  constexpr std::size_t kEntry = 8;
  const auto length = static_cast<std::size_t>(size);
  if (length < kHeader || (length - kHeader) % kEntry != 0 || number(0, 4) != 2) {
    *why = "it is not in the form this system's kernel stores";
    return std::nullopt;
  }
  constexpr std::uint32_t kNamedUser = 0x02, kOwningGroup = 0x04, kNamedGroup = 0x08, kMask = 0x10;
  constexpr std::uint32_t kWrite = 0x2;
  bool maskWrites = true;
  for (std::size_t at = kHeader; at < length; at += kEntry) {
    const std::uint32_t tag = number(at, 2);
    const bool writes = (number(at + 2, 2) & kWrite) != 0;
    const std::uint32_t id = number(at + 4, 4);
    if (tag == kNamedUser || tag == kNamedGroup) writers.present = true;
    if ((tag == kNamedUser && id != ::geteuid()) || tag == kNamedGroup) writers.others = writers.others || writes;
    if (tag == kOwningGroup) writers.owningGroup = writes;
    if (tag == kMask) maskWrites = writes;
  }
  writers.others = writers.others && maskWrites;
  writers.owningGroup = writers.owningGroup && maskWrites;
  return writers;
}

// Why othersMayWrite could not tell for sure, answering that others may write: the folder's ACL
// could not be read, or the users could not be listed.
struct WriteDoubt {
  std::string acl;
  std::string unlisted;
};

// Whether users other than this one may write into the folder open at `folder`, with `info`:
// others' write bit, the group's unless the group is the user's own, or an entry of the
// folder's access ACL (where one is set, the group bits show only what the ACL may grant). When
// that is only because the ACL could not be read or the users could not be listed, `doubt`
// says why.
bool othersMayWrite(int folder, const struct stat& info, WriteDoubt* doubt = nullptr) {
  if ((info.st_mode & S_IWOTH) != 0) return true;
  if ((info.st_mode & S_IWGRP) == 0) return false;
  std::string unread;
  const std::optional<AclWriters> acl = aclWriters(folder, &unread);
  if (!acl) {  // an ACL that cannot be read is taken as open
    if (doubt != nullptr) doubt->acl = unread;
    return true;
  }
  if (acl->others) return true;
  if (acl->present && !acl->owningGroup) return false;
  const GroupListing group = groupMayBeAnothers(info.st_gid);
  if (doubt != nullptr) doubt->unlisted = group.unlisted;
  return group.another;
}

// Why others may write into `folder`, for a refusal: `claim` with the plain `remedy`, or, when
// that is only because its ACL could not be read or the users could not be listed, why not and
// what to do.
std::string othersWrite(const std::string& folder, const std::string& claim, const std::string& remedy,
                        const WriteDoubt& doubt) {
  if (!doubt.acl.empty()) {
    return "has an access ACL that could not be read to tell whether other users may write to it (" + doubt.acl +
           "): chmod g-w \"" + folder + "\" makes it safe whatever the ACL";
  }
  if (doubt.unlisted.empty()) return claim + " (" + remedy + ")";
  return claim + " as far as can be told: its group may write to it, and the users could not be listed to tell "
         "whether that group is this user's alone: " + doubt.unlisted + " (else chmod g-w \"" + folder +
         "\" makes it safe whatever the user list)";
}

// A descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    const CancellationHeldOff heldOff;  // a close is a cancellation point; a destructor does not throw
    reset();
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Whether a call could use `path` by its name, as given: a relative one is taken by the kernel
// from the working folder, so its own text is what counts. One PATH_MAX long or longer (with its
// end), or with a name longer than NAME_MAX, is refused (`what`, error `code`) before anything is
// made on it.
bool usableByName(const std::string& path, std::int64_t code, const char* what, Error* error) {
  bool tooLong = path.size() >= PATH_MAX;
  for (std::size_t start = 0; !tooLong && start < path.size();) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    tooLong = slash - start > NAME_MAX;
    start = slash + 1;
  }
  return !tooLong || fail(error, code, what, path, ENAMETOOLONG);
}

// What a file that is not a regular one is, for the message that refuses it.
std::string kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

// What the walk to a folder does with the folders it finds missing.
enum class Missing { kEnd, kMake };

// The folders and links the walks of this process have opened, one a step (folderSteps()).
std::atomic<std::uint64_t> steps{0};

// Whether the text `to` of a link in the folder open at `folder` names, followed from there, the
// file the kernel's own following of the link opened (`followed`): the same file, reached
// through the same mount (a link of /proc's to a folder of another mount namespace may lead to
// the same file through another mount, whose folders below hold other files). Where statx()
// cannot be had (a filter refusing it), the same file is all that is told.
bool leadsWhereItsTextNames(int folder, const std::string& to, int followed) {
  constexpr unsigned kWanted = STATX_INO | STATX_MNT_ID;
  struct statx kernels {};
  struct statx texts {};
  if (::statx(followed, "", AT_EMPTY_PATH, kWanted, &kernels) != 0) {
    struct stat kernel {};
    struct stat text {};
    return ::fstat(followed, &kernel) == 0 && ::fstatat(folder, to.c_str(), &text, 0) == 0 &&
           kernel.st_dev == text.st_dev && kernel.st_ino == text.st_ino;
  }
  if (::statx(folder, to.c_str(), 0, kWanted, &texts) != 0) return false;
  const bool mounts = (kernels.stx_mask & texts.stx_mask & STATX_MNT_ID) != 0;
  return kernels.stx_dev_major == texts.stx_dev_major && kernels.stx_dev_minor == texts.stx_dev_minor &&
         kernels.stx_ino == texts.stx_ino && (!mounts || kernels.stx_mnt_id == texts.stx_mnt_id);
}

// Walks `path` (absolute) one component at a time as the kernel would, each component opened
// relative to the folder before it (O_NOFOLLOW: a symbolic link is read, never followed by
// name), and checks everything met on the way that another user could use to put another
// folder in its place before it goes on:
//  - a symbolic link, on the way or naming the folder itself, must be this user's or root's (a
//    link's owner may point it elsewhere at any time);
//  - a folder passed through, or left by "..", must be this user's or root's, and closed to
//    writes by other users (the group's write bit counts unless the group is the user's own
//    private group, and an ACL entry letting another user write counts too) unless its sticky
//    bit keeps them from renaming or removing what is not theirs (as on /tmp).
// A missing folder ends the walk (Missing::kEnd: `folder` is then empty) or is made with
// mkdirat in the folder just checked and closed to all but this user by fchmodat relative to
// that folder, before it is opened (Missing::kMake), whatever the umask. Its callers refuse first
// a path no call could use (usableByName, on the text they were given). So nothing is made or changed
// on a way that is refused, and every folder made is made where the check was done. On success
// `into` holds a descriptor of the folder reached, `folder` its real path ("." and ".." resolved,
// links followed) and `reached` its status, as looked at on the way.
//
// A walk begins at "/", or at `from`: a folder held open (its descriptor and real path) that a
// walk reached and checked just before, while one root's folders are made. `way` (relative) is
// then walked from there as a walk of the whole path would go on from it, without walking and
// checking the way to it again. `path` names the folder in refusals.
struct Start {
  int folder = -1;  // -1: "/"
  std::string real = "/";
};
bool walk(const std::string& path, const Start& from, const std::string& way, Missing missing, Descriptor* into,
          std::string* folder, struct stat* reached, Error* error) {
  folder->clear();
  std::deque<std::string> pending;
  const auto queue = [&pending](const std::string& text) {
    const std::vector<std::string> names = components(text);
    pending.insert(pending.begin(), names.begin(), names.end());
  };
  queue(way);
  const uid_t me = ::geteuid();
  std::string current;
  Descriptor at;
  // The status of the folder `at` holds, once looked at: an entry's, taken as it is opened, serves
  // its check as the folder the walk is in next.
  struct stat atInfo {};
  bool atKnown = false;
  const auto fromTheRoot = [&] {
    current = "/";
    atKnown = false;
    steps++;
    at.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return at.get() >= 0 || fail(error, 513, "Could not look into", current, errno);
  };
  if (from.folder < 0) {
    if (!fromTheRoot()) return false;
  } else {
    current = from.real;
    at.reset(::fcntl(from.folder, F_DUPFD_CLOEXEC, 0));
    if (at.get() < 0) return fail(error, 513, "Could not look into", current, errno);
  }
  int detours = 0;  // links followed, and folders found made by someone else meanwhile
  // The folder the walk is in, before it goes on from there: into an entry (`how` "lies inside")
  // or back up by ".." ("passes through"; whoever may replace the folder decides where ".."
  // leads).
  const auto checkCurrent = [&](const char* how) {
    if (!atKnown && ::fstat(at.get(), &atInfo) != 0) return fail(error, 513, "Could not look into", current, errno);
    atKnown = true;
    const struct stat& info = atInfo;
    if (!ownedByThisUser(info.st_uid, me) && info.st_uid != 0) {
      return refuse(error, path,
                    std::string(how) + " \"" + current + "\", which belongs to " + anotherOwner(info.st_uid));
    }
    WriteDoubt doubt;
    if ((info.st_mode & S_ISVTX) == 0 && othersMayWrite(at.get(), info, &doubt)) {
      return refuse(error, path,
                    std::string(how) + " \"" + current + "\", which " +
                        othersWrite(current, "other users may write to", "chmod go-w would make it safe", doubt));
    }
    return true;
  };
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      if (!checkCurrent("passes through")) return false;
      steps++;
      at.reset(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      atKnown = false;
      if (at.get() < 0) return fail(error, 513, "Could not look into", parentOf(current), errno);
      current = parentOf(current);
      continue;
    }
    if (!checkCurrent("lies inside")) return false;
    const std::string next = join(current, name);
    steps++;
    Descriptor entry(::openat(at.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (entry.get() < 0 && errno == ENOENT && missing == Missing::kMake) {
      if (::mkdirat(at.get(), name.c_str(), 0700) != 0) {
        if (errno != EEXIST) return fail(error, 513, "Could not create the directory", next, errno);
        if (++detours > kMaxLinksOnTheWay) return fail(error, 513, "Could not create the directory", next, EEXIST);
        pending.push_front(name);  // made meanwhile by someone else: looked at as found
        continue;
      }
      // Only this user can have put a folder there since: the folder it is in was checked. Its
      // mode is set before it is opened, so that a umask that masks the owner's bits does not
      // keep it from being opened.
      if (::fchmodat(at.get(), name.c_str(), 0700, 0) != 0) {
        return fail(error, 513, "Could not create the directory", next, errno);
      }
      entry.reset(::openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (entry.get() < 0 || ::fstat(entry.get(), &atInfo) != 0 || atInfo.st_uid != me) {
        return fail(error, 513, "Could not create the directory", next, entry.get() < 0 ? errno : EPERM);
      }
      at.reset(entry.release());
      atKnown = true;
      current = next;
      continue;
    }
    if (entry.get() < 0) {
      if (errno == ENOENT && missing == Missing::kEnd) return true;
      return fail(error, 513, "Could not look at", next, errno);
    }
    struct stat info {};
    if (::fstat(entry.get(), &info) != 0) return fail(error, 513, "Could not look at", next, errno);
    if (S_ISLNK(info.st_mode)) {
      if (!ownedByThisUser(info.st_uid, me) && info.st_uid != 0) {
        const std::string owner = "belongs to " + anotherOwner(info.st_uid);
        return refuse(error, path,
                      next == path ? "is a symbolic link that " + owner
                                   : "is reached through \"" + next + "\", a symbolic link that " + owner);
      }
      if (++detours > kMaxLinksOnTheWay) return fail(error, 513, "Too many symbolic links on the way to", path, ELOOP);
      std::vector<char> target(PATH_MAX + 1);
      const ssize_t length = ::readlinkat(entry.get(), "", target.data(), target.size());
      if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
        return fail(error, 513, "Could not read the symbolic link", next, length < 0 ? errno : ENAMETOOLONG);
      }
      const std::string to(target.data(), static_cast<std::size_t>(length));
      // A link the kernel follows by itself (the working folder's or an open folder's in /proc)
      // leads to the folder, not to its text: for a folder since removed, its old path with
      // " (deleted)", where nothing must be made. Followed so, a removed folder has no links left.
      struct stat leadsTo {};
      const Descriptor followed(::openat(at.get(), name.c_str(), O_PATH | O_CLOEXEC));
      const bool leads = followed.get() >= 0 && ::fstat(followed.get(), &leadsTo) == 0;
      const std::string how = next == path ? "is a symbolic link" : "is reached through \"" + next + "\", a link";
      if (leads && S_ISDIR(leadsTo.st_mode) && leadsTo.st_nlink == 0) {
        return setError(error, kCocoaErrorDomain, 513,
                        "The folder \"" + path + "\" " + how + " that leads to a removed folder (\"" + to + "\")",
                        detailsOf(path, ENOENT));
      }
      // Nor one that leads elsewhere than its text names here: a process's working or root folder
      // in another mount namespace, where this one has another file of that name, or none, or the
      // same file in another tree of mounts.
      if (leads && !leadsWhereItsTextNames(at.get(), to, followed.get())) {
        return setError(error, kCocoaErrorDomain, 513,
                        "The folder \"" + path + "\" " + how + " that leads elsewhere than its text names here (\"" +
                            to + "\"): a folder of another mount namespace, say; name the folder by its own path",
                        detailsOf(path, EXDEV));
      }
      if (!to.empty() && to.front() == '/' && !fromTheRoot()) return false;
      queue(to);
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      const std::string& named = pending.empty() ? path : next;
      Value details = detailsOf(named, ENOTDIR);
      std::string whose;
      if (info.st_uid != me) {
        whose = std::string(" (") + (S_ISREG(info.st_mode) ? "a file" : kindOf(info.st_mode)) +
                " of another user, uid " + std::to_string(info.st_uid) + ")";
        // Which this user may not be able to move away, unless it lies in a folder of his own.
        struct stat holder {};
        if (::fstat(at.get(), &holder) != 0 || holder.st_uid != me) {
          details.set(kFileOwnerAccountIDKey, Value(static_cast<std::uint64_t>(info.st_uid)));
        }
      }
      return setError(error, kCocoaErrorDomain, 513, "Not a directory \"" + named + "\"" + whose, std::move(details));
    }
    at.reset(entry.release());
    atInfo = info;
    atKnown = true;
    current = next;
  }
  if (!atKnown && ::fstat(at.get(), &atInfo) != 0) return fail(error, 513, "Could not look at", current, errno);
  *reached = atInfo;
  into->reset(at.release());
  *folder = current;
  return true;
}

// Private folders kept by name (keepPrivateDirectory), each with the file it was when kept and
// the time of its last change of status seen closed to others (a change of mode, owner or ACL
// moves it; so do entries made or removed in the folder).
struct KeptFolder {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec changed {};
};

std::map<std::string, KeptFolder>& keptFolders() {
  static std::map<std::string, KeptFolder>& folders = *new std::map<std::string, KeptFolder>();
  return folders;
}

// Whether the folder `kept` names is still the one it was, this user's and closed to others.
// The last check holds while the folder's status has not changed since; a later one is noted.
bool isStillKept(const std::string& name, const KeptFolder& kept) {
  struct stat info {};
  const Descriptor folder(::open(kept.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || ::fstat(folder.get(), &info) != 0 || info.st_dev != kept.device ||
      info.st_ino != kept.inode || !ownedByThisUser(info.st_uid)) {
    return false;
  }
  if (info.st_ctim.tv_sec == kept.changed.tv_sec && info.st_ctim.tv_nsec == kept.changed.tv_nsec) return true;
  if (othersMayWrite(folder.get(), info)) return false;
  std::lock_guard<std::mutex> lock(keptLock());
  const auto found = keptFolders().find(name);
  if (found != keptFolders().end() && found->second.path == kept.path && found->second.inode == kept.inode) {
    found->second.changed = info.st_ctim;
  }
  return true;
}

// Notes the file `path` names now as the one kept under `name`; a folder that cannot be looked
// at is noted as no file, so that the next look checks all of its path.
void noteKept(const std::string& name, std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  KeptFolder kept{path, 0, 0, {}};
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    kept.device = info.st_dev;
    kept.inode = info.st_ino;
  }
  std::lock_guard<std::mutex> lock(keptLock());
  keptFolders()[name] = kept;
}

// Checks again every kept folder that `path` is or lies inside before anything is made there:
// one that is no longer the file it was is checked as createPrivateDirectory checks (and made
// again, when missing, as it makes one).
bool recheckKeptFoldersFor(std::string path, Error* error) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<std::pair<std::string, KeptFolder>> due;
  {
    std::lock_guard<std::mutex> lock(keptLock());
    for (const auto& [name, kept] : keptFolders()) {
      if (path == kept.path || (path.compare(0, kept.path.size(), kept.path) == 0 &&
                                path.size() > kept.path.size() && path[kept.path.size()] == '/')) {
        due.emplace_back(name, kept);
      }
    }
  }
  for (const auto& [name, kept] : due) {
    if (isStillKept(name, kept)) continue;
    if (!createPrivateDirectory(kept.path, error)) return false;
    noteKept(name, kept.path);
  }
  return true;
}

// Opens `path` for reading when it is a regular file (and, with `ownOnly`, one of this user's),
// as checked on the opened descriptor: a FIFO is opened without waiting for a writer
// (O_NONBLOCK) and then refused, as are a folder, a device and a socket; with `ownOnly` a
// symbolic link at the name is not followed. -1 with `error` (257, saying why) when refused.
int openRegularFile(const std::string& path, bool ownOnly, Error* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (ownOnly ? O_NOFOLLOW : 0));
  if (fd < 0) {
    const int err = errno;
    if (err == ELOOP && ownOnly) {
      setError(error, kCocoaErrorDomain, 257, "The file \"" + path + "\" is a symbolic link: it is not read",
               Value::dictionary({{"NSFilePath", path}}));
    } else {
      fail(error, 260, "Could not open the file", path, err);
    }
    return -1;
  }
  struct stat info {};
  std::string refusal;
  if (::fstat(fd, &info) != 0) {
    const int err = errno;
    ::close(fd);
    fail(error, 256, "Could not read the file", path, err);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    refusal = "is " + kindOf(info.st_mode) + ", not a regular file";
  } else if (ownOnly && !ownedByThisUser(info.st_uid)) {
    refusal = "belongs to " + anotherOwner(info.st_uid);
  }
  if (!refusal.empty()) {
    ::close(fd);
    setError(error, kCocoaErrorDomain, 257, "The file \"" + path + "\" " + refusal + ": it is not read",
             Value::dictionary({{"NSFilePath", path}}));
    return -1;
  }
  return fd;
}

std::optional<Bytes> readAndClose(int fd, const std::string& path, Error* error) {
  Bytes data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      fail(error, 256, "Could not read the file", path, err);
      return std::nullopt;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  ::close(fd);
  return data;
}

// Checks the folder a walk to `path` reached, open at `folder` with status `info`, as one of the
// caller's own: one of another user is refused; one of this user's that an earlier version left
// open to group or others is closed again, on a descriptor of its own opened from the one checked.
bool closeOwnFolder(const std::string& path, int folder, const struct stat& info, Error* error) {
  if (!ownedByThisUser(info.st_uid)) {
    return refuse(error, path, "belongs to " + anotherOwner(info.st_uid) + ": it is not used");
  }
  if ((info.st_mode & 077) == 0) return true;
  const Descriptor opened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (opened.get() < 0 || ::fchmod(opened.get(), info.st_mode & 07700) != 0) {
    return fail(error, 513, "Could not close the directory to other users", path, errno);
  }
  return true;
}

// Whether the folder a walk to `path` reached, open at `folder` with status `info`, is this user's
// and closed to others.
bool isPrivateFolder(const std::string& path, int folder, const struct stat& info, Error* error) {
  std::string refusal;
  WriteDoubt doubt;
  if (!ownedByThisUser(info.st_uid)) {
    refusal = "belongs to " + anotherOwner(info.st_uid);
  } else if (othersMayWrite(folder, info, &doubt)) {
    refusal = othersWrite(path, "may be written by other users", "chmod go-w would make it private", doubt);
  }
  return refusal.empty() || refuse(error, path, refusal);
}

// `path` as an absolute path in `whole`: a relative one is taken from the working folder. False
// (with `error`) when the working folder cannot be found (removed, say).
bool absolute(const std::string& path, std::string* whole, Error* error) {
  if (!path.empty() && path.front() == '/') {
    *whole = path;
    return true;
  }
  std::error_code ec;
  const fs::path working = fs::current_path(ec);
  if (ec) {
    return setError(error, kCocoaErrorDomain, 513,
                    "Could not create the directory \"" + path + "\": the working folder it is relative to could "
                    "not be found (" + ec.message() + ")",
                    detailsOf(path, ec.value()));
  }
  *whole = join(working.string(), path);
  return true;
}

}  // namespace

std::uint64_t folderSteps() { return steps.load(); }

void keepPrivateDirectory(const std::string& name, const std::string& path) {
  if (!path.empty()) {
    noteKept(name, path);
    return;
  }
  std::lock_guard<std::mutex> lock(keptLock());
  keptFolders().erase(name);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::path(path), ec);
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(fs::path(path), ec);
}

namespace {

// The folders of `path` made where missing, once the kept private folders it lies in are checked
// again; `folder` the folder reached, with status `info`.
bool makeWay(const std::string& path, Descriptor* folder, struct stat* info, Error* error) {
  if (path.empty()) return fail(error, 513, "Could not create the directory", path, ENOENT);
  std::string whole;
  std::string reached;
  return usableByName(path, 513, "Could not use the directory", error) && absolute(path, &whole, error) &&
         recheckKeptFoldersFor(path, error) && walk(whole, Start{}, whole, Missing::kMake, folder, &reached, info, error);
}

}  // namespace

bool createMissingDirectories(const std::string& path, Error* error) {
  Descriptor folder;
  struct stat info {};
  return makeWay(path, &folder, &info, error);
}

bool createDirectories(const std::string& path, Error* error) {
  Descriptor folder;
  struct stat info {};
  return makeWay(path, &folder, &info, error) && closeOwnFolder(path, folder.get(), info, error);
}

bool createOwnDirectories(const std::string& base, const std::string& relative, Error* error) {
  // Level by level, each checked before anything is made inside it.
  if (!createMissingDirectories(base, error)) return false;
  for (std::size_t slash = relative.find('/');; slash = relative.find('/', slash + 1)) {
    const std::string level = relative.substr(0, slash);
    if (!level.empty() && level.back() != '/' && !createDirectories(join(base, level), error)) return false;
    if (slash == std::string::npos) return true;
  }
}

namespace {

// Reaches `path` (walked as `way` from `from`), making what is missing, and checks it as
// createPrivateDirectory does: `opened` then holds the folder accepted and `real` its real path.
bool reachPrivate(const std::string& path, const Start& from, const std::string& way, Descriptor* opened,
                  std::string* real, Error* error) {
  struct stat info {};
  return usableByName(path, 513, "Could not use the directory", error) &&
         walk(path, from, way, Missing::kMake, opened, real, &info, error) &&
         isPrivateFolder(path, opened->get(), info, error);
}

}  // namespace

bool createPrivateDirectory(const std::string& path, Error* error, std::string* checked) {
  PrivateFolder folder;
  if (!folder.make(path, error)) return false;
  if (checked != nullptr) *checked = folder.real();
  return true;
}

PrivateFolder::~PrivateFolder() {
  const CancellationHeldOff heldOff;
  if (folder_ >= 0) ::close(folder_);
}

bool PrivateFolder::make(const std::string& path, Error* error) {
  if (path.empty() || path.front() != '/') {
    // A relative path would name another folder whenever the working folder changes.
    return setError(error, kCocoaErrorDomain, 513,
                    "The folder \"" + path + "\" is not an absolute path (it would depend on the working folder)",
                    Value::dictionary({{"NSFilePath", path}}));
  }
  Descriptor opened;
  std::string real;
  if (!reachPrivate(path, Start{}, path, &opened, &real, error)) return false;
  hold(opened.release(), path, std::move(real));
  return true;
}

bool PrivateFolder::makeInside(const std::string& relative, Error* error) {
  const std::string path = join(path_, relative);
  if (folder_ < 0) return fail(error, 513, "Could not create the directory", path, EBADF);
  Descriptor opened;
  std::string real;
  if (!reachPrivate(path, Start{folder_, real_}, relative, &opened, &real, error)) return false;
  hold(opened.release(), path, std::move(real));
  return true;
}

void PrivateFolder::hold(int folder, std::string path, std::string real) {
  if (folder_ >= 0) ::close(folder_);
  folder_ = folder;
  path_ = std::move(path);
  real_ = std::move(real);
}

bool PrivateFolder::makeMissingInside(const std::string& relative, bool own, Error* error) const {
  const std::string path = join(path_, relative);
  if (folder_ < 0) return fail(error, 513, "Could not create the directory", path, EBADF);
  Descriptor opened;
  std::string folder;
  struct stat info {};
  return usableByName(path, 513, "Could not use the directory", error) &&
         walk(path, Start{folder_, real_}, relative, Missing::kMake, &opened, &folder, &info, error) &&
         (!own || closeOwnFolder(path, opened.get(), info, error));
}

bool checkPrivateDirectory(const std::string& path, Error* error) {
  if (path.empty() || path.front() != '/') return fail(error, 513, "Not an absolute path", path);
  Descriptor opened;
  std::string folder;
  struct stat info {};
  return usableByName(path, 513, "Could not use the directory", error) &&
         walk(path, Start{}, path, Missing::kEnd, &opened, &folder, &info, error) &&
         (folder.empty() || isPrivateFolder(path, opened.get(), info, error));
}

namespace {

// `path`'s own status (a link's, not what it names) before it is removed: "No such file" (4) only
// where nothing is there; any other failure (no permission to look, a path too long) says why.
bool lookBeforeRemoving(const std::string& path, struct stat* info, Error* error) {
  if (::lstat(path.c_str(), info) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return fail(error, 4, "No such file", path);
  return fail(error, 513, "Could not remove", path, errno);
}

}  // namespace

bool removeItem(const std::string& path, Error* error) {
  struct stat info {};
  if (!lookBeforeRemoving(path, &info, error)) return false;
  std::error_code ec;
  fs::remove_all(fs::path(path), ec);
  if (ec) return fail(error, 513, "Could not remove", path, ec.value());
  std::lock_guard<std::mutex> lock(excludedMutex());
  excludedPaths().erase(canonical(path));
  return true;
}

bool removeFile(const std::string& path, Error* error) {
  struct stat info {};
  if (!lookBeforeRemoving(path, &info, error)) return false;
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return fail(error, 513, "Not a regular file", path);
  if (::unlink(path.c_str()) != 0) return fail(error, 513, "Could not remove", path, errno);
  std::lock_guard<std::mutex> lock(excludedMutex());
  excludedPaths().erase(canonical(path));
  return true;
}

std::optional<Bytes> readFile(const std::string& path, Error* error) {
  const int fd = openRegularFile(path, true, error);
  return fd < 0 ? std::nullopt : readAndClose(fd, path, error);
}

std::optional<Bytes> readResource(const std::string& path, Error* error) {
  const int fd = openRegularFile(path, false, error);
  return fd < 0 ? std::nullopt : readAndClose(fd, path, error);
}

std::optional<std::string> outOfDescriptors(const Error& error, const std::string& doing) {
  const std::shared_ptr<Error> cause = error.userInfo[kUnderlyingErrorKey].objectAs<Error>();
  if (!cause || cause->domain != kPOSIXErrorDomain) return std::nullopt;
  if (cause->code == EMFILE) {
    return "This process has as many files open as it may " + doing + ": " + error.description +
           ". Close files the app no longer needs, or raise its limit of open files (ulimit -n), and try again.";
  }
  if (cause->code == ENFILE) {
    return "The system has as many files open as it may " + doing + ": " + error.description +
           ". Close files or programs that keep many open, or raise the system's limit (fs.file-max), and try again.";
  }
  return std::nullopt;
}

bool writeFileAtomically(const std::string& path, const std::string& text, Error* error) {
  return writeFileAtomically(path, Bytes(text.begin(), text.end()), error);
}

namespace {

// The names a write tries for its temporary file before it gives up.
constexpr int kTemporaryNamesTried = 64;

// Makes the temporary file of a write in the folder open as `dir`, named ".tmp-<process id>-<n>"
// with the next n of a counter of the process's (short whatever the final name's length, which
// may already take all of a name's 255 bytes), and sets `temp` to its name; -1 with errno when
// none could be made.
//
// A name in use is never a failure: the next is taken. As n never repeats in a process, a name in
// use with this process's identifier is not this process's: it was left by an earlier process
// with the same identifier, killed between making its file and renaming it (a container's
// program has the same identifier at every start; two live processes share one only in separate
// process-id namespaces, which do not share an app's private folder). Such a leftover, a regular
// file or a link of this user's, is removed (the link itself, never what it names), so leftovers
// do not pile up; anything else in the way (a folder, another user's file) is left and passed.
// The bound: a killed process leaves one leftover per write under way as it died, and each is
// removed the first time a later process meets it, so a run of names in use is short. A write
// gives up (EEXIST) only after kTemporaryNamesTried names in a row are in use.
int makeTemporaryFile(int dir, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  const std::string prefix = ".tmp-" + std::to_string(::getpid()) + "-";
  for (int tried = 0;; ++tried) {
    *temp = prefix + std::to_string(counter++);
    const int fd = ::openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST || tried + 1 == kTemporaryNamesTried) return fd;
    struct stat left {};
    if (::fstatat(dir, temp->c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISREG(left.st_mode) || S_ISLNK(left.st_mode)) && left.st_uid == ::geteuid()) {
      ::unlinkat(dir, temp->c_str(), 0);
    }
  }
}

}  // namespace

bool writeFileAtomically(const std::string& path, const Bytes& data, Error* error) {
  // The temporary file is made, and renamed, in the folder checked on its descriptor: another
  // user's folder, where he could read or swap what is written, is refused. A file no call could
  // then read or remove by its name is not written.
  if (!usableByName(path, 512, "Could not write the file", error)) return false;
  const std::size_t slash = path.rfind('/');
  std::string folder = ".";
  if (slash != std::string::npos) folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fail(error, 512, "Could not write the file", path, errno);
  struct stat info {};
  if (::fstat(dir.get(), &info) != 0) return fail(error, 512, "Could not write the file", path, errno);
  if (!ownedByThisUser(info.st_uid) && info.st_uid != 0) {
    return setError(error, kCocoaErrorDomain, 513,
                    "Could not write the file \"" + path + "\": its folder belongs to " + anotherOwner(info.st_uid),
                    Value::dictionary({{"NSFilePath", path}}));
  }
  std::string temp;
  Descriptor file(makeTemporaryFile(dir.get(), &temp));
  if (file.get() < 0) {
    const int err = errno;
    if (err == EEXIST) {
      return setError(error, kCocoaErrorDomain, 512,
                      "Could not write the file \"" + path + "\": the " + std::to_string(kTemporaryNamesTried) +
                          " temporary names tried in its folder (\".tmp-" + std::to_string(::getpid()) +
                          "-<n>\") were all in use",
                      Value::dictionary({{"NSFilePath", path}}));
    }
    return fail(error, 512, "Could not write the file", path, err);
  }
  // A write cut off (the thread cancelled in it) leaves neither its descriptors nor its file.
  UndoneOnUnwind leftNothing([&dir, &temp] { ::unlinkat(dir.get(), temp.c_str(), 0); });
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(file.get(), data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  int err = written < data.size() ? (errno != 0 ? errno : EIO) : 0;
  if (::close(file.release()) != 0 && err == 0) err = errno;
  if (err == 0 && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) err = errno;
  if (err != 0) ::unlinkat(dir.get(), temp.c_str(), 0);
  leftNothing.done();
  return err == 0 || fail(error, 512, "Could not write the file", path, err);
}

std::vector<std::string> directoryContents(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(path), ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) names.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return names;
}

std::string join(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (component.empty()) return base;
  bool slashEnd = base.back() == '/';
  bool slashStart = component.front() == '/';
  if (slashEnd && slashStart) return base + component.substr(1);
  if (slashEnd || slashStart) return base + component;
  return base + "/" + component;
}

bool setExcludedFromBackup(const std::string& path, bool excluded, Error* error) {
  if (!exists(path)) return fail(error, 4, "No such file", path);
  int rc = excluded ? ::setxattr(path.c_str(), kBackupAttribute, "1", 1, 0)
                    : ::removexattr(path.c_str(), kBackupAttribute);
  if (rc != 0 && !(excluded == false && errno == ENODATA)) {
    // No extended attributes here: remember the mark for this process.
    std::lock_guard<std::mutex> lock(excludedMutex());
    if (excluded) {
      excludedPaths().insert(canonical(path));
    } else {
      excludedPaths().erase(canonical(path));
    }
    return true;
  }
  if (!excluded) {
    std::lock_guard<std::mutex> lock(excludedMutex());
    excludedPaths().erase(canonical(path));
  }
  return true;
}

bool isExcludedFromBackup(const std::string& path) {
  char value[4];
  if (::getxattr(path.c_str(), kBackupAttribute, value, sizeof value) > 0) return true;
  std::lock_guard<std::mutex> lock(excludedMutex());
  return excludedPaths().count(canonical(path)) > 0;
}

}  // namespace platform::files

