// Small file-system helpers over paths (UTF-8 std::string). Failures come back as an Error in the
// platform's Cocoa domain: 4 no such file, 256 read failed, 257 not read (not a regular file of
// the right owner), 260 no such file for reading, 512 write failed, 513 no permission to write,
// 516 file exists. One a system call's failure caused carries that cause in its user info, under
// kUnderlyingErrorKey: an Error of kPOSIXErrorDomain whose code is the errno (ENAMETOOLONG for a
// path no call could use, ENOTDIR for a file where a folder was to be, that file's owner under
// kFileOwnerAccountIDKey when it is another user's in a folder that is not this user's, so that
// this user may not be able to move it away); a refusal because other users could change the way
// has none.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform::files {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kFileOwnerAccountIDKey = "NSFileOwnerAccountID";

bool exists(const std::string& path);
bool isDirectory(const std::string& path);
// Creates the directory and any missing parents, each with mode 0700 whatever the umask.
// Folders already there keep their modes (they may be shared with other programs). True when
// the directory exists afterwards. The whole way is checked first, one folder at a time, as
// createPrivateDirectory checks it: a folder is made (mkdirat) only inside one just checked, on
// its descriptor, and closed (fchmodat) relative to that descriptor before it is opened; a way
// another user could change is refused (error 513, naming what) with nothing made or changed on
// it. So is a path no call could use (PATH_MAX long or longer, or a name longer than NAME_MAX;
// a relative path is measured as given, since calls take it from the working folder), and a
// relative path whose working folder cannot be found. A kept private folder the path is or
// lies in is checked again first (keepPrivateDirectory).
bool createMissingDirectories(const std::string& path, Error* error = nullptr);
// As createMissingDirectories, for a folder that holds the caller's own data, checked on its
// descriptor: one that belongs to another user is refused (error 513); one of this user's found
// open to group or others is closed (the folders above it are left as they are).
bool createDirectories(const std::string& path, Error* error = nullptr);
// As createDirectories for each folder of `relative` inside `base`, e.g. "Vendor/Store" closes
// both "Vendor" and "Vendor/Store": the folders a caller names itself. `base` keeps its mode.
bool createOwnDirectories(const std::string& base, const std::string& relative, Error* error = nullptr);
// Makes a folder for this user's eyes only: missing folders on the way are created with mode
// 0700. False (error 513, saying why) when the path is not absolute, is a symbolic link another
// user than root owns, is not a directory, belongs to another user, or its group or other users may
// write to it; an existing folder's mode is not changed. Everything on the way is checked too,
// before anything is made, naming what is refused: a symbolic link there must be this user's or
// root's, and lead where its text names (one of /proc's to a removed folder, or to a folder of
// another mount namespace, does not), and a folder passed through (or left by "..") this user's or root's and closed to
// writes by other users unless it has the sticky bit (as /tmp has), since otherwise another user
// could put another folder in its place. A group's write bit counts unless the group is the
// user's own private group (named after the user, no other member, no other user's primary
// group); a write the folder's ACL grants another user or a named group counts too (the ACL is
// read on a descriptor of the folder; one that cannot be read is refused, saying so and why).
// Whose primary group it is comes from the user's own entry and the user list, both looked up
// once per process and group (userListings()) without moving the process's setpwent/getpwent
// position: /etc/passwd through a descriptor of its own where the name services take users from
// it alone (nsswitch.conf read as the C library reads it, "#" a comment only at a line's start,
// the ":" optional; any source but "files", and any line the reader is not sure of, counts as
// another), else the name services' listing from `/usr/bin/getent passwd` in a process of its
// own (10 s and 256 MiB at most). A list that cannot be read to its end, or a getent that
// cannot start, cannot be waited for (SIGCHLD ignored or reaped by the host, no pidfd_open) or
// fails, counts the group as shared, and the refusal says which and what to do. `checked`, when
// given, receives the real path of the folder accepted (links followed, "." and ".." resolved).
bool createPrivateDirectory(const std::string& path, Error* error = nullptr, std::string* checked = nullptr);
// A private folder held open while the folders of one root are made in it, one after another:
// each is walked from the folder held, the way to which was checked as it was made, not walked and
// checked again from "/". Held for one making only, never from one call of the host's to the next.
class PrivateFolder {
 public:
  PrivateFolder() = default;
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  ~PrivateFolder();
  // As createPrivateDirectory(path, error); the folder accepted is then the one held.
  bool make(const std::string& path, Error* error = nullptr);
  // As createPrivateDirectory for `relative` inside the folder held (named in refusals as joined
  // to the path the folder held was made by); the folder accepted is then the one held.
  bool makeInside(const std::string& relative, Error* error = nullptr);
  // As createMissingDirectories (with `own`, createDirectories) for `relative` inside the folder
  // held, which was checked as it was made: kept private folders are not checked again.
  bool makeMissingInside(const std::string& relative, bool own, Error* error = nullptr) const;
  // The real path of the folder held (links followed, "." and ".." resolved).
  const std::string& real() const { return real_; }

 private:
  void hold(int folder, std::string path, std::string real);
  int folder_ = -1;
  std::string path_;
  std::string real_;
};
// Checks `path` as createPrivateDirectory does without making anything: the way there as far as
// it exists and, when it exists, the folder itself. Once it passes, no other user can change
// what the path names, so a file opened by its name there is the one meant.
bool checkPrivateDirectory(const std::string& path, Error* error = nullptr);
// How many times this process has read the list of users (for tests and benchmarks).
std::uint64_t userListings();
// How many folders and links (one a step) the walks of the calls above have opened in this
// process (for tests).
std::uint64_t folderSteps();
// The time limit and the output limit of the name services' listing (for tests); zero: the
// defaults.
void setUserListingLimitsForTesting(std::chrono::milliseconds timeLimit, std::size_t longestOutput);
// Forgets every user, group and private group answer this process keeps (for tests whose process
// stands in for one of its own, with a user database of its own).
void forgetUserAnswersForTesting();
// Keeps `path`, a folder createPrivateDirectory accepted, under `name` (one folder a name; an
// empty path forgets the name): before createMissingDirectories or createDirectories makes
// anything at or inside it, the folder is checked again. While it is still the folder it was
// when kept, this user's and closed to others, nothing more is done; otherwise (removed, put
// back by someone, opened to others) it is checked as createPrivateDirectory checks, and made
// again as it makes one when missing, so that a folder another user put in its place is refused
// (error 513, naming it) rather than filled.
void keepPrivateDirectory(const std::string& name, const std::string& path);
// Removes a file or a whole directory tree. Error 4 only when nothing is there; a path that cannot
// be looked at, or a tree that cannot be removed, says why (error 513).
bool removeItem(const std::string& path, Error* error = nullptr);
// Removes one regular file (a symbolic link counts as one: the link goes, not its target);
// anything else at the path, a directory above all, is left alone (error 513). Error 4 only when
// nothing is there; a path that cannot be looked at says why (error 513).
bool removeFile(const std::string& path, Error* error = nullptr);
// The content of a file of the app's own data: only a regular file of this user's is read (a
// FIFO is never waited on, a symbolic link at the name is not followed, a file of another user
// is refused with error 257), all checked on the opened descriptor.
std::optional<Bytes> readFile(const std::string& path, Error* error = nullptr);
// As readFile for a file the app ships or the system keeps (a bundle's resources), whoever owns
// it: still only a regular file, and links are followed.
std::optional<Bytes> readResource(const std::string& path, Error* error = nullptr);
// When `error` was caused by the want of a file descriptor (EMFILE: this process has as many
// files open as it may; ENFILE: the system has), the text that says so: that it had too many
// `doing` (e.g. "to read the app's configuration"), `error`'s own text, and what helps. None
// for any other cause.
std::optional<std::string> outOfDescriptors(const Error& error, const std::string& doing);
// Writes through a temporary file in the same directory and renames it over `path`, so readers
// see the old or the new content, never a mix. The directory must exist and be this user's (or
// root's, as /tmp), checked on its descriptor. The file is readable and writable by its owner
// only (mode 0600): the app's files are private to it. When 64 temporary names in a row are in
// use, the write fails (error 512), saying so. A path no call could then use to read or remove
// the file (as createMissingDirectories measures it) is refused before anything is made.
bool writeFileAtomically(const std::string& path, const Bytes& data, Error* error = nullptr);
bool writeFileAtomically(const std::string& path, const std::string& text, Error* error = nullptr);
// Names of the entries of a directory (no "." or ".."), sorted; empty when unreadable.
std::vector<std::string> directoryContents(const std::string& path);
// `base` joined with `component` by one "/".
std::string join(const std::string& base, const std::string& component);
// The names of `path`'s components, in order, without the empty ones ("a//b/" gives a, b).
std::vector<std::string> components(const std::string& path);

// The "excluded from backup" mark of a file (the device's backup leaves such files out). Kept as
// an extended attribute where the file system has them, else for the life of the process.
bool setExcludedFromBackup(const std::string& path, bool excluded, Error* error = nullptr);
bool isExcludedFromBackup(const std::string& path);

}  // namespace platform::files
