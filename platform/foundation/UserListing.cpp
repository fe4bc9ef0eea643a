#include "UserListing.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <strings.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "dispatch/ForkPreparation.h"
#include "foundation/Files.h"
#include "foundation/ProcessInfo.h"

namespace platform::files {

namespace {

GroupListing unlisted(std::string why) { return GroupListing{true, std::move(why)}; }

// The locks of the user listing, each held briefly. A fork() waits for them, so that a child,
// which has none of the parent's other threads, never finds one taken.
struct ListingLocks {
  std::mutex userListing;  // the answers kept from the user listing
  // Whether users other than the first may have the group, as the user list told, under
  // userListing.
  std::map<std::pair<uid_t, gid_t>, GroupListing> groupAnswers;
  // One user listing at a time, held while the users are listed (up to the listing's time
  // limit). A fork() does not wait for it: the child, where the listing thread is not, gets a
  // new one.
  std::mutex listing;
};

ListingLocks& listingLocks() {
  static ListingLocks* locks = [] {
    auto* made = new ListingLocks();  // never destroyed: the fork handlers may run at any time
    pthread_atfork(
        [] {
          waitBeforeForkLocks();
          listingLocks().userListing.lock();
        },
        [] { listingLocks().userListing.unlock(); },
        [] {
          new (&listingLocks().listing) std::mutex();  // the parent's may be held by another thread
          listingLocks().userListing.unlock();
        });
    return made;
  }();
  return *locks;
}
// Made as the program loads, before any thread of the SDK's: a fork never finds them half made.
[[maybe_unused]] const ListingLocks& gListingLocksMadeAtLoad = listingLocks();

// Whether `c` is white space as the C library's "C" locale has it.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether the sources of a passwd line (what follows "passwd" and its ":") name "files" alone, as
// the C library (glibc 2.33 and later) reads them: words, each source's name ending at white
// space or "[", each optionally followed by one "[STATUS=action ...]" item. A line the C library
// refuses (an unknown status or action, an item never closed), one it ends early (an item where
// a source belongs) with more after it, and one naming no source at all, count as another
// source: whatever the C library then does, it is not /etc/passwd alone.
bool sourcesAreTheFilesAlone(std::string_view line) {
  const auto word = [](std::string_view text, std::size_t at, const char* ends) {
    std::size_t end = at;
    while (end < text.size() && !isSpace(text[end]) && std::strchr(ends, text[end]) == nullptr) ++end;
    return end;
  };
  const auto skipSpace = [&line](std::size_t at) {
    while (at < line.size() && isSpace(line[at])) ++at;
    return at;
  };
  const auto oneOf = [](std::string_view name, std::initializer_list<const char*> known) {
    for (const char* one : known) {
      if (name.size() == std::strlen(one) && ::strncasecmp(name.data(), one, name.size()) == 0) return true;
    }
    return false;
  };
  bool any = false;
  for (std::size_t at = skipSpace(0); at < line.size(); at = skipSpace(at)) {
    const std::size_t end = word(line, at, "[");
    if (end == at) return false;  // an item where a source belongs: the C library stops here
    if (line.substr(at, end - at) != "files") return false;
    any = true;
    at = skipSpace(end);
    if (at == line.size() || line[at] != '[') continue;
    at = skipSpace(at + 1);
    do {
      if (at < line.size() && line[at] == '!') ++at;
      std::size_t stop = word(line, at, "=]");
      if (!oneOf(line.substr(at, stop - at), {"SUCCESS", "NOTFOUND", "UNAVAIL", "TRYAGAIN"})) return false;
      at = skipSpace(stop);
      if (at == line.size() || line[at] != '=') return false;
      at = skipSpace(at + 1);
      stop = word(line, at, "=]");
      if (!oneOf(line.substr(at, stop - at), {"RETURN", "CONTINUE", "MERGE"})) return false;
      at = skipSpace(stop);
    } while (at < line.size() && line[at] != ']');
    if (at == line.size()) return false;  // never closed
    ++at;
  }
  return any;
}

// Whether the name services take users from /etc/passwd alone, as the C library reads
// nsswitch.conf: a line is its first word (ending at white space or ":"), then, past any white
// space and ":", its sources; "#" starts a comment only as the first word's first character, a
// line starting with white space is a line like any other, and the last "passwd" line counts.
// Every "passwd" line must name "files" alone here, and a line with a byte outside ASCII that
// some locale may read as white space counts as another source too. With no such line, or no
// file, the C library reads the files; a file that cannot be read counts as another source.
bool usersComeFromTheFilesAlone() {
  FILE* config = std::fopen("/etc/nsswitch.conf", "re");
  if (config == nullptr) return errno == ENOENT;
  bool filesAlone = true;
  char* line = nullptr;
  std::size_t capacity = 0;
  while (filesAlone && ::getline(&line, &capacity, config) >= 0) {
    const std::string_view text(line);  // up to a NUL, as the C library reads it
    std::size_t start = 0;
    while (start < text.size() && isSpace(text[start])) ++start;
    if (start == text.size() || text[start] == '#') continue;
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      filesAlone = false;
      break;
    }
    std::size_t end = start;
    while (end < text.size() && !isSpace(text[end]) && text[end] != ':') ++end;
    if (end == text.size() || text.substr(start, end - start) != "passwd") continue;
    while (end < text.size() && (isSpace(text[end]) || text[end] == ':')) ++end;
    filesAlone = sourcesAreTheFilesAlone(text.substr(end));
  }
  filesAlone = filesAlone && std::ferror(config) == 0;
  std::free(line);
  std::fclose(config);
  return filesAlone;
}

std::atomic<std::uint64_t> userListingCount{0};

constexpr std::size_t kLongestUserEntry = std::size_t{1} << 20;

// One line of /etc/passwd ("name:password:uid:gid:gecos:home:shell"): nothing for a blank or
// comment line; else the user's id and primary group when both are plain decimal numbers of 32
// bits, as the C library reads them. Any other line (or one over 1 MiB) may be a user the C
// library reads in some other way (or one it skips): `unreadable`.
struct UserLine {
  bool user = false;
  bool unreadable = false;
  std::uint64_t uid = 0;
  std::uint64_t gid = 0;
};

UserLine readUserLine(std::string_view line) {
  UserLine read;
  if (line.size() > kLongestUserEntry) {
    read.unreadable = true;
    return read;
  }
  const std::size_t start = line.find_first_not_of(" \t\r\f\v");
  if (start == std::string_view::npos || line[start] == '#') return read;
  std::string_view fields[4];  // name, password, uid, gid
  std::size_t at = start;
  for (std::string_view& field : fields) {
    const std::size_t colon = line.find(':', at);
    if (colon == std::string_view::npos) {
      read.unreadable = true;
      return read;
    }
    field = line.substr(at, colon - at);
    at = colon + 1;
  }
  const auto number = [&read](std::string_view digits, std::uint64_t& value) {
    if (digits.empty() || digits.size() > 10) read.unreadable = true;
    for (const char digit : digits) {
      if (digit < '0' || digit > '9') read.unreadable = true;
      value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    if (value > 0xFFFFFFFFu) read.unreadable = true;
  };
  number(fields[2], read.uid);
  number(fields[3], read.gid);
  read.user = !read.unreadable;
  return read;
}

// Reads user lines ("name:password:uid:gid:...") as they come, block by block: whether a user
// other than `me` has `gid` as primary group. Only the end of the lines clears the group: a line
// over 1 MiB or one not read plainly counts it as another's.
class PrimaryGroupSearch {
 public:
  PrimaryGroupSearch(gid_t gid, uid_t me) : gid_(gid), me_(me) {}

  // Takes the next `size` bytes (none: the end); true once the group counts as another's.
  bool take(const char* data, std::size_t size) {
    pending_.append(data, size);
    if (size == 0 && !pending_.empty()) pending_.push_back('\n');  // a last line without its newline
    std::size_t begin = 0;
    for (std::size_t stop = 0; !done() && (stop = pending_.find('\n', begin)) != std::string::npos; begin = stop + 1) {
      const UserLine line = readUserLine(std::string_view(pending_).substr(begin, stop - begin));
      unreadable_ = line.unreadable;
      another_ = line.user && line.gid == gid_ && line.uid != me_;
    }
    pending_.erase(0, begin);
    unreadable_ = unreadable_ || pending_.size() > kLongestUserEntry;
    return done();
  }

  // The answer once the search is done, `from` naming the list.
  GroupListing answer(const std::string& from) const {
    if (unreadable_) {
      return unlisted(from + " holds an entry that cannot be read plainly (not \"name:password:uid:gid:...\" with "
                             "decimal ids, or over 1 MiB); mend or remove it");
    }
    return GroupListing{another_, {}};
  }

 private:
  bool done() const { return another_ || unreadable_; }

  gid_t gid_;
  uid_t me_;
  std::string pending_;
  bool another_ = false;
  bool unreadable_ = false;
};

// Whether a user other than `me` may have `gid` as primary group, as /etc/passwd tells: read
// from a descriptor of this call's own, so that the process's shared listing position
// (setpwent/getpwent), which the host may be using, is never moved.
GroupListing passwdFileNamesAnotherUsersPrimaryGroup(gid_t gid, uid_t me) {
  const int users = ::open("/etc/passwd", O_RDONLY | O_CLOEXEC);
  if (users < 0) return unlisted("/etc/passwd could not be opened: " + std::string(std::strerror(errno)));
  userListingCount++;
  PrimaryGroupSearch search(gid, me);
  std::vector<char> block(65536);
  int failed = 0;
  for (bool end = false; !end && failed == 0;) {
    const ssize_t got = ::read(users, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = errno;
    end = search.take(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0))) || got <= 0;
  }
  ::close(users);
  if (failed != 0) return unlisted("/etc/passwd could not be read: " + std::string(std::strerror(failed)));
  return search.answer("/etc/passwd");
}

constexpr const char* kGetent = "/usr/bin/getent";
constexpr std::chrono::milliseconds kListingTimeLimit{10000};
constexpr std::size_t kLongestListing = std::size_t{256} << 20;
std::atomic<std::int64_t> listingTimeLimitMs{kListingTimeLimit.count()};
std::atomic<std::size_t> longestListing{kLongestListing};

// `getent` with `arguments` (its own name first) started with nothing of the host's but its mount
// namespace and user: no standard input, no error output, no other descriptor, every signal as by
// default, a fixed environment, its standard output `out`. Its process id; 0 when it could not
// start, with the reason in `failed`.
pid_t startGetent(char* const arguments[], int out, int* failed) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if ((*failed = ::posix_spawn_file_actions_init(&actions)) != 0) return 0;
  if ((*failed = ::posix_spawnattr_init(&attributes)) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return 0;
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  char* const environment[] = {const_cast<char*>("PATH=/usr/bin:/bin"), const_cast<char*>("LC_ALL=C"), nullptr};
  pid_t child = 0;
  const bool ready =
      (*failed = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0)) == 0 &&
      (*failed = ::posix_spawn_file_actions_adddup2(&actions, out, 1)) == 0 &&
      (*failed = ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0)) == 0 &&
      (*failed = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3)) == 0 &&
      (*failed = ::posix_spawnattr_setsigmask(&attributes, &none)) == 0 &&
      (*failed = ::posix_spawnattr_setsigdefault(&attributes, &all)) == 0 &&
      (*failed = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)) == 0;
  if (ready && (*failed = ::posix_spawn(&child, kGetent, &actions, &attributes, arguments, environment)) != 0) {
    child = 0;
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return ready ? child : 0;
}

// What keeps the end of the getent from this process: the host ignores SIGCHLD or waits for
// every child itself.
const char* const kChildTaken =
    "this process could not wait for /usr/bin/getent: the host ignores SIGCHLD or waits for every child itself "
    "(a SIGCHLD handler calling wait or waitpid(-1)); leave SIGCHLD to its default action and wait only for the "
    "host's own children, at least until the SDK has started";

// How a `getent` run ended: `cut` says why its output was not read to its end or why it did not
// end well by itself (empty when it did, `status` then its exit status); `stopped` that the reader
// had its answer before the end, and the getent was killed.
struct GetentEnd {
  std::string cut;
  bool stopped = false;
  int status = 0;
};

// Runs `getent <database> [key]` in a process of its own, so that this process's shared listing
// position is never moved and no lock of the C library's name services is taken here. Its output
// goes to `take` block by block (an empty block: the end) until `take` answers true, within a time
// limit (10 s) and a size limit (256 MiB). A `getent` that cannot start, is killed by a signal,
// says more, takes longer, or is taken from this process (a SIGCHLD handler of the host's that
// waits for any child, or SIGCHLD ignored) is a `cut`, saying which, and `doing` what it did not
// do in time. The `getent` is always waited for, and killed first unless it ended by itself within
// the time limit.
// The output ends when the pipe does or, once `getent` has ended, where the pipe runs empty: a
// child that a host thread forked before the write end was closed here holds a copy of it for as
// long as it lives, so the pipe's own end may never come.
template <typename Take>
GetentEnd runGetent(const char* database, const std::string& key, const char* doing, Take take) {
  const std::string command = std::string(kGetent) + " " + database + (key.empty() ? "" : " " + key);
  GetentEnd end;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    end.cut = "no pipe could be made to read /usr/bin/getent: " + std::string(std::strerror(errno));
    return end;
  }
  if (::fcntl(out[0], F_SETFL, O_NONBLOCK) != 0) {  // a read finds the pipe empty rather than waits
    const int why = errno;
    ::close(out[0]);
    ::close(out[1]);
    end.cut = "no pipe could be made to read /usr/bin/getent: " + std::string(std::strerror(why));
    return end;
  }
  int failed = 0;
  std::string keyArgument = key;
  char* const arguments[] = {const_cast<char*>("getent"), const_cast<char*>(database),
                             key.empty() ? nullptr : keyArgument.data(), nullptr};
  const pid_t child = startGetent(arguments, out[1], &failed);
  ::close(out[1]);
  if (child <= 0) {
    ::close(out[0]);
    end.cut = "/usr/bin/getent could not be started: " + std::string(std::strerror(failed)) +
              "; install it (Debian's libc-bin) or let nsswitch.conf take users from \"files\" alone";
    return end;
  }
  if (key.empty()) userListingCount++;  // a listing, not one entry
  // The getent from its own descriptor, which names it alone even once its id is used again.
  const int process = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (process < 0) {
    const int why = errno;
    ::close(out[0]);
    if (why == ESRCH) {  // ended, and already waited for by the host
      end.cut = kChildTaken;
      return end;
    }
    ::kill(child, SIGKILL);  // still this process's child: a kernel with no such descriptors
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    end.cut = "pidfd_open failed (" + std::string(std::strerror(why)) +
              "), which waiting for /usr/bin/getent safely needs; run on Linux 5.3 or later, and let "
              "pidfd_open through where a seccomp filter or container blocks it";
    return end;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(listingTimeLimitMs.load());
  // Waits for one of `fds` to be readable until the deadline: which ones are (bit i for the i-th),
  // none on time-out or failure.
  const auto ready = [&deadline](std::initializer_list<int> fds) {
    struct pollfd wanted[2];
    nfds_t count = 0;
    for (const int fd : fds) wanted[count++] = {fd, POLLIN, 0};
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0u;
      const int got = ::poll(wanted, count, static_cast<int>(std::min<std::int64_t>(left, 60000)));
      if (got > 0) {
        unsigned readable = 0;
        for (nfds_t at = 0; at < count; ++at) readable |= wanted[at].revents != 0 ? 1u << at : 0u;
        return readable;
      }
      if (got < 0 && errno != EINTR) return 0u;
    }
  };
  std::vector<char> block(65536);
  std::size_t total = 0;
  bool done = false;
  while (!done && end.cut.empty()) {
    const unsigned readable = ready({out[0], process});
    if (readable == 0) {
      end.cut = command + " did not " + doing + " within " + std::to_string(listingTimeLimitMs.load()) +
                " ms; mend the name service it waits for";
      break;
    }
    const bool gone = (readable & 2u) != 0;  // getent had ended: all it wrote is in the pipe
    ssize_t got = ::read(out[0], block.data(), block.size());
    if (got < 0 && errno == EAGAIN && gone) got = 0;  // and it has all been read
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) end.cut = "the output of /usr/bin/getent could not be read: " + std::string(std::strerror(errno));
    total += static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    if (total > longestListing.load()) {
      end.cut = command + " listed more than " + std::to_string(longestListing.load()) + " bytes";
    }
    end.stopped = take(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    done = end.stopped || got <= 0;
  }
  ::close(out[0]);
  const bool early = !end.cut.empty() || end.stopped;
  const bool late = !early && ready({process}) == 0;
  if (early || late) ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
  siginfo_t ended{};
  int waited = 0;
  while ((waited = ::waitid(P_PIDFD, static_cast<id_t>(process), &ended, WEXITED)) < 0 && errno == EINTR) {
  }
  ::close(process);
  if (early) return end;
  if (waited != 0) {
    end.cut = kChildTaken;
  } else if (late) {
    end.cut = command + " did not end within " + std::to_string(listingTimeLimitMs.load()) +
              " ms; mend the name service it waits for";
  } else if (ended.si_code != CLD_EXITED) {
    end.cut = command + " was ended by signal " + std::to_string(ended.si_status);
  } else {
    end.status = ended.si_status;
  }
  return end;
}

// Whether a user other than `me` may have `gid` as primary group, as the name services list
// the users: through `getent passwd`, its output read as /etc/passwd is. Only a listing read to
// its end, from a `getent` that then ended with status 0, clears the group: one cut short, or
// that ends with another status (3: the listing is not supported), counts it as another's, saying
// why.
GroupListing nameServicesListAnotherUsersPrimaryGroup(gid_t gid, uid_t me) {
  PrimaryGroupSearch search(gid, me);
  const GetentEnd end = runGetent("passwd", {}, "list the users",
                                  [&search](const char* data, std::size_t size) { return search.take(data, size); });
  if (!end.cut.empty()) return unlisted(end.cut);
  if (!end.stopped && end.status != 0) {
    return unlisted("/usr/bin/getent passwd ended with status " + std::to_string(end.status) +
                    (end.status == 3 ? " (a name service cannot list its users)" : "") +
                    "; make \"getent passwd\" list every user");
  }
  return search.answer("the output of /usr/bin/getent passwd");
}

// The fields of the entry `getent <database> <key>` gives (split at ":"), in a process of its own:
// none when there is no such entry (status 2); `failed` says why it could not be looked up.
std::vector<std::string> entryFromGetent(const char* database, const std::string& key, std::string* failed) {
  std::string output;
  const GetentEnd end = runGetent(database, key, "answer", [&output](const char* data, std::size_t size) {
    output.append(data, size);
    return false;
  });
  std::vector<std::string> fields;
  if (!end.cut.empty() || (end.status != 0 && end.status != 2)) {
    *failed = !end.cut.empty() ? end.cut
                               : "/usr/bin/getent " + std::string(database) + " " + key + " ended with status " +
                                     std::to_string(end.status);
    return fields;
  }
  if (end.status == 2) return fields;
  const std::string line = output.substr(0, output.find('\n'));
  for (std::size_t at = 0;;) {
    const std::size_t colon = line.find(':', at);
    fields.push_back(line.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  return fields;
}

// Grows `buffer` (up to 1 MiB) while `lookUp(buffer)` answers ERANGE; its last answer.
template <typename LookUp>
int lookUpWithRoom(std::vector<char>& buffer, LookUp lookUp) {
  int result = 0;
  while ((result = lookUp(buffer)) == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  return result;
}

// The group `gid`'s name and members, as the name services give them (none found: empty), or why
// it could not be looked up; in a process made by fork(), by getent, as lookUpUser does.
struct GroupEntry {
  bool found = false;
  std::string name;
  std::vector<std::string> members;
  std::string failed;
};

GroupEntry lookUpGroup(gid_t gid) {
  GroupEntry group;
  if (ProcessInfo::madeByFork()) {
    const std::vector<std::string> fields = entryFromGetent("group", std::to_string(gid), &group.failed);
    group.found = fields.size() >= 4;  // name:password:gid:member,member,...
    if (group.found) {
      group.name = fields[0];
      for (std::size_t at = 0; at < fields[3].size();) {
        const std::size_t comma = std::min(fields[3].find(',', at), fields[3].size());
        group.members.push_back(fields[3].substr(at, comma - at));
        at = comma + 1;
      }
    }
    return group;
  }
  const long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  struct group entry {};
  struct group* found = nullptr;
  const int result = lookUpWithRoom(buffer, [&](std::vector<char>& room) {
    return ::getgrgid_r(gid, &entry, room.data(), room.size(), &found);
  });
  if (result != 0) {
    group.failed = std::strerror(result);
  } else if (found != nullptr) {
    group.found = true;
    group.name = entry.gr_name;
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
      group.members.emplace_back(*member);
    }
  }
  return group;
}

// Whether `gid` is the user `me`'s own private group: the user's primary group, named after the
// user, listing no other member and no other user's primary group (a user private group, as
// systems whose default umask is 002 give every user). Its write bit lets in nobody else. When
// not (`another`), `unlisted` says why that could not be told.
GroupListing lookUpOwnPrivateGroup(gid_t gid, uid_t me) {
  const UserEntry user = lookUpUser(me);
  if (!user.found) {
    return unlisted("this user's own entry (uid " + std::to_string(me) + ") could not be looked up" +
                    (!user.failed.empty() ? ": " + user.failed : std::string()));
  }
  const GroupEntry group = lookUpGroup(gid);
  if (!group.failed.empty()) {
    return unlisted("the group " + std::to_string(gid) + " could not be looked up: " + group.failed);
  }
  if (!group.found || user.name != group.name) return GroupListing{true, {}};
  for (const std::string& member : group.members) {
    if (member != user.name) return GroupListing{true, {}};
  }
  return usersComeFromTheFilesAlone() ? passwdFileNamesAnotherUsersPrimaryGroup(gid, me)
                                      : nameServicesListAnotherUsersPrimaryGroup(gid, me);
}

}  // namespace

// lookUpOwnPrivateGroup, answered once per process for each user and group (the user's entry,
// the group's and the listing alike).
GroupListing groupMayBeAnothers(gid_t gid) {
  if (gid != ::getegid()) return GroupListing{true, {}};
  const std::pair<uid_t, gid_t> key{::geteuid(), gid};
  const auto known = [&key]() -> std::optional<GroupListing> {
    std::lock_guard<std::mutex> lock(listingLocks().userListing);
    const auto answer = listingLocks().groupAnswers.find(key);
    return answer == listingLocks().groupAnswers.end() ? std::nullopt : std::optional<GroupListing>(answer->second);
  };
  if (std::optional<GroupListing> answer = known()) return *answer;
  std::lock_guard<std::mutex> listing(listingLocks().listing);
  if (std::optional<GroupListing> answer = known()) return *answer;  // listed meanwhile
  GroupListing answer = lookUpOwnPrivateGroup(gid, key.first);
  std::lock_guard<std::mutex> lock(listingLocks().userListing);
  listingLocks().groupAnswers[key] = answer;
  return answer;
}

UserEntry lookUpUser(uid_t uid) {
  UserEntry user;
  if (ProcessInfo::madeByFork()) {
    const std::vector<std::string> fields = entryFromGetent("passwd", std::to_string(uid), &user.failed);
    user.found = fields.size() >= 6;  // name:password:uid:gid:gecos:home:shell
    if (user.found) {
      user.name = fields[0];
      user.home = fields[5];
    }
    return user;
  }
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  struct passwd entry {};
  struct passwd* found = nullptr;
  const int result = lookUpWithRoom(buffer, [&](std::vector<char>& room) {
    return ::getpwuid_r(uid, &entry, room.data(), room.size(), &found);
  });
  if (result != 0) {
    user.failed = std::strerror(result);
  } else if (found != nullptr) {
    user.found = true;
    user.name = entry.pw_name;
    user.home = entry.pw_dir != nullptr ? entry.pw_dir : "";
  }
  return user;
}

std::uint64_t userListings() { return userListingCount.load(); }

void setUserListingLimitsForTesting(std::chrono::milliseconds timeLimit, std::size_t longestOutput) {
  listingTimeLimitMs = timeLimit.count() > 0 ? timeLimit.count() : kListingTimeLimit.count();
  longestListing = longestOutput > 0 ? longestOutput : kLongestListing;
}

}  // namespace platform::files
