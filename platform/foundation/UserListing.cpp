#include "UserListing.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sched.h>
#include <stdio.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "dispatch/ForkPreparation.h"
#include "foundation/Cancellation.h"
#include "foundation/Files.h"
#include "foundation/ProcessInfo.h"

namespace platform::files {

namespace {

GroupListing unlisted(std::string why) { return GroupListing{true, std::move(why)}; }

// The group `gid`'s name and members, as the name services give them (none found: `found`
// false), or why it could not be looked up.
struct GroupEntry {
  bool found = false;
  std::string name;
  std::vector<std::string> members;
  std::string failed;
};

// An answer kept, until `until`: for ever, or, for a failure that may pass (a time-out, a process
// limit, a name service down), a few seconds.
template <typename Answer>
struct Kept {
  Answer answer;
  std::chrono::steady_clock::time_point until;
};
bool mayPass(const UserEntry& user) { return !user.failed.empty(); }
bool mayPass(const GroupEntry& group) { return !group.failed.empty(); }
bool mayPass(const GroupListing& listing) { return !listing.unlisted.empty(); }
constexpr std::chrono::milliseconds kFailureKept{3000};
std::atomic<std::int64_t> failureKeptMs{kFailureKept.count()};

// The user listing's locks and the answers it keeps. Every answer is kept for the process's life
// and for the children it forks, which share its user database, a failure only for a few seconds:
// the user's own entry by uid, a group's by gid, and whether a group is the user's own private
// group by user and group (a process may change its user).
struct ListingLocks {
  // Held briefly, over the kept answers. A fork() waits for it, so that a child, which has none
  // of the parent's other threads, never finds it taken.
  std::mutex userListing;
  std::map<uid_t, Kept<UserEntry>> users;
  std::map<gid_t, Kept<GroupEntry>> groups;
  std::map<std::pair<uid_t, gid_t>, Kept<GroupListing>> groupAnswers;
  // One lookup at a time, held while the name services are asked (up to the listing's time
  // limit), so that each question is asked once. A fork() does not wait for it: the child, where
  // the asking thread is not, gets a new one. A wait for it is a slow stretch (takeListing).
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

// Takes the lock of the lookups. Another thread's lookup may hold it for as long as a name service
// takes: a wait for it is a slow stretch, which lets a fork held back by the caller through.
std::unique_lock<std::mutex> takeListing() {
  std::unique_lock<std::mutex> lock(listingLocks().listing, std::try_to_lock);
  if (!lock.owns_lock()) {
    const SlowStretch slow;
    lock.lock();
  }
  return lock;
}

// The answer kept in `answers` under `key`, if any (a failure kept for its time only).
template <typename Answers, typename Key>
std::optional<decltype(Answers::mapped_type::answer)> kept(Answers ListingLocks::*answers, const Key& key) {
  ListingLocks& locks = listingLocks();
  std::lock_guard<std::mutex> lock(locks.userListing);
  const auto found = (locks.*answers).find(key);
  if (found == (locks.*answers).end()) return std::nullopt;
  if (mayPass(found->second.answer) && std::chrono::steady_clock::now() >= found->second.until) {
    (locks.*answers).erase(found);
    return std::nullopt;
  }
  return found->second.answer;
}

template <typename Answers, typename Key>
void keep(Answers ListingLocks::*answers, const Key& key, const decltype(Answers::mapped_type::answer)& answer) {
  const auto until = mayPass(answer) ? std::chrono::steady_clock::now() + std::chrono::milliseconds(failureKeptMs.load())
                                     : std::chrono::steady_clock::time_point::max();
  ListingLocks& locks = listingLocks();
  std::lock_guard<std::mutex> lock(locks.userListing);
  (locks.*answers)[key] = {answer, until};
}

// Whether `c` is white space as the C library's "C" locale has it.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether the sources of a database's line (what follows "passwd" and its ":") name "files" alone, as
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

// Whether the name services take the entries of `database` ("passwd", "group") from its file
// in /etc alone, as the C library reads nsswitch.conf: a line is its first word (ending at white
// space or ":"), then, past any white space and ":", its sources; "#" starts a comment only as
// the first word's first character, a line starting with white space is a line like any other,
// and the database's last line counts. Every such line must name "files" alone here, and a line
// with a byte outside ASCII that some locale may read as white space counts as another source
// too. With no such line, or no file, the C library reads the files; a file that cannot be read
// counts as another source.
bool comesFromTheFilesAlone(std::string_view database) {
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
    if (end == text.size() || text.substr(start, end - start) != database) continue;
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

// A system call made without the C library, so that no errno is written (a process sharing this
// one's memory and thread-local storage makes it) and no sanitizer's interceptor runs: the result,
// or minus the error number.
__attribute__((always_inline)) inline long rawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                                                      long e = 0) {
#if defined(__x86_64__)
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  long result;
  asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8) : "rcx", "r11", "memory");
  return result;
#elif defined(__aarch64__)
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  register long x4 asm("x4") = e;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4) : "memory");
  return x0;
#else
#error "a raw system call is written for x86_64 and aarch64 only"
#endif
}

// The process the SDK starts to run getent in, and getent's own. The first is started by clone()
// sharing this process's memory, as a thread would (under valgrind, which runs no such process,
// with a copy of it, as fork() makes), but as a process of its own that sends no signal as it
// ends: no disposition of SIGCHLD, and no waitpid(-1, ...) of the host's without __WALL, can take
// it, and it is waited for through its pidfd. It never execs (exec would have it send SIGCHLD
// after all): by system calls alone (no errno: it may share the calling thread's thread-local
// storage), it has itself killed should the thread that started it end (however the host ends:
// the thread waits for it else) and leads a process group of its own (getent's too, killed whole
// on a time-out), sets the standard descriptors (no input, `out` as output, no error output,
// nothing else open but the report) and every signal as by default, starts getent on a stack of
// its own (sharing the memory until the exec, as posix_spawn does; killed should the first end
// before it), waits for it and reports how it ended. The report goes through a pipe, as memory
// may not be shared: getent's process writes why its exec failed there (the pipe's end closes
// at a good exec), the first process how getent ended. This struct and both stacks outlive it:
// the caller always waits for its end (GetentProcess).
struct GetentStart {
  char* const* arguments = nullptr;
  char* const* environment = nullptr;
  int out = -1;
  int report = -1;   // the report's write end, close-on-exec
  long host = 0;     // the host process's id, the first process's parent
  long helper = 0;   // the first process's id, getent's parent
  char stacks[2][16384] __attribute__((aligned(16)));
};

// One record of the report: what it tells, and its number (an error number, getent's status).
struct GetentReport {
  enum Kind : long { kNone, kDescriptors, kNotStarted, kExec, kEnded };
  long kind = kNone;
  long value = 0;
};

__attribute__((no_sanitize("address", "undefined"))) void writeReport(long fd, long kind, long value) {
  const GetentReport record{kind, value};  // at most PIPE_BUF bytes: written whole
  while (rawSyscall(SYS_write, fd, reinterpret_cast<long>(&record), sizeof record) == -EINTR) {
  }
}

__attribute__((no_sanitize("address", "undefined"))) int execGetent(void* start) {
  auto* what = static_cast<GetentStart*>(start);
  rawSyscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (rawSyscall(SYS_getppid) == what->helper) {
    const long failed = -rawSyscall(SYS_execve, reinterpret_cast<long>(kGetent),
                                    reinterpret_cast<long>(what->arguments), reinterpret_cast<long>(what->environment));
    writeReport(what->report, GetentReport::kExec, failed);
  }
  rawSyscall(SYS_exit_group, 127);
  return 127;
}

__attribute__((no_sanitize("address", "undefined"))) int runGetentProcess(void* start) {
  auto* what = static_cast<GetentStart*>(start);
  // Killed as the thread that started it ends; a host already gone is not waited for.
  rawSyscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (rawSyscall(SYS_getppid) != what->host) rawSyscall(SYS_exit_group, 1);
  rawSyscall(SYS_setpgid, 0, 0);
  struct {
    unsigned long handler, flags, restorer, mask;
  } byDefault{};  // SIG_DFL, as the kernel's rt_sigaction takes it
  for (long signal = 1; signal < 65; ++signal) {
    rawSyscall(SYS_rt_sigaction, signal, reinterpret_cast<long>(&byDefault), 0, 8);
  }
  const unsigned long none = 0;
  rawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, 8);
  what->helper = rawSyscall(SYS_getpid);
  // The report's end above the standard descriptors, whatever the host left open.
  const long report = rawSyscall(SYS_fcntl, what->report, F_DUPFD_CLOEXEC, 3);
  if (report < 0) rawSyscall(SYS_exit_group, 1);  // no report: the caller tells so
  what->report = static_cast<int>(report);
  const long in = rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDONLY);
  const long err = rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_WRONLY);
  long failed = in < 0 ? in : err < 0 ? err : rawSyscall(SYS_dup3, what->out, 1, 0);
  if (failed >= 0 && in != 0) failed = rawSyscall(SYS_dup3, in, 0, 0);
  if (failed >= 0 && err != 2) failed = rawSyscall(SYS_dup3, err, 2, 0);
  if (failed < 0) {
    writeReport(report, GetentReport::kDescriptors, -failed);
    rawSyscall(SYS_exit_group, 1);
  }
  // Where the kernel has it (5.9); the SDK's own are close-on-exec.
  if (report > 3) rawSyscall(SYS_close_range, 3, report - 1, 0);
  rawSyscall(SYS_close_range, report + 1, ~0U, 0);
  // The C library's clone() runs execGetent on its own stack (writing errno only should it fail).
  const pid_t getent = ::clone(&execGetent, what->stacks[1] + sizeof what->stacks[1],
                               CLONE_VM | CLONE_VFORK | SIGCHLD, start);
  if (getent < 0) {
    writeReport(report, GetentReport::kNotStarted, EAGAIN);  // by far the likeliest: errno is the caller's
    rawSyscall(SYS_exit_group, 1);
  }
  int status = 0;
  while (rawSyscall(SYS_wait4, getent, reinterpret_cast<long>(&status), 0, 0) == -EINTR) {
  }
  writeReport(report, GetentReport::kEnded, status);
  rawSyscall(SYS_exit_group, 0);
  return 0;
}

// Whether this process runs under valgrind, whose tools run no process that shares the memory
// of the one that started it but a thread (they end the whole process at such a clone()): its
// client request where its header was at hand when this was built (nothing asked of the system),
// else its preloaded objects in /proc/self/maps, read once per process (a child made by fork()
// runs under it too).
#if __has_include(<valgrind/valgrind.h>)
bool underValgrind() { return RUNNING_ON_VALGRIND != 0; }
#else
std::atomic<int> gUnderValgrind{0};  // 1: no, 2: yes
bool underValgrind() {
  if (const int answer = gUnderValgrind.load(std::memory_order_relaxed); answer != 0) return answer == 2;
  bool found = false;
  if (FILE* maps = std::fopen("/proc/self/maps", "re")) {
    char line[4096];
    while (!found && std::fgets(line, sizeof line, maps) != nullptr) found = std::strstr(line, "/vgpreload_") != nullptr;
    std::fclose(maps);
  }
  gUnderValgrind.store(found ? 2 : 1, std::memory_order_relaxed);
  return found;
}
#endif

// What keeps getent from starting, and what to do about it, for `failed` (an errno).
std::string whyNoProcess(int failed) {
  std::string why = "no process could be started for /usr/bin/getent: " + std::string(std::strerror(failed));
  if (failed == EAGAIN) {
    struct rlimit limit {};
    const bool known = ::getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
    return why + "; this user may have no more processes (the process limit RLIMIT_NPROC" +
           (known ? ", " + std::to_string(limit.rlim_cur) : std::string()) +
           ", or the system's own, kernel.threads-max and kernel.pid_max): raise the limit (ulimit -u) or end some "
           "of the user's processes";
  }
  if (failed == EINVAL || failed == ENOSYS || failed == EPERM) {
    return why + "; starting it safely needs clone() with CLONE_PIDFD: run on Linux 5.4 or later, and let it through "
                 "where a seccomp filter or container blocks it";
  }
  return why;
}

// The helper process of one getent run, started with getent's `arguments` (its own name first),
// nothing of the host's but its mount namespace and user, a fixed environment and its standard
// output `out`; ended (killed first, unless it has ended) and waited for when it goes.
class GetentProcess {
 public:
  GetentProcess(char* const arguments[], int out) : start_(new GetentStart()) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
      failed_ = "no pipe could be made for the report of /usr/bin/getent: " + std::string(std::strerror(errno));
      return;
    }
    report_ = report[0];
    start_->arguments = arguments;
    start_->environment = environment_;
    start_->out = out;
    start_->report = report[1];
    start_->host = ::getpid();
    // Every signal blocked until it has set them all as by default: no handler of the host's runs
    // there.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::clone(&runGetentProcess, start_->stacks[0] + sizeof start_->stacks[0],
                                (underValgrind() ? 0 : CLONE_VM) | CLONE_PIDFD, start_.get(), &pidfd_);
    const int failure = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (child < 0) {
      pidfd_ = -1;
      failed_ = whyNoProcess(failure);
    }
    helper_ = child;
  }
  ~GetentProcess() {
    const CancellationHeldOff heldOff;  // its wait and closes are cancellation points
    end(true);
    if (report_ >= 0) ::close(report_);
  }
  GetentProcess(const GetentProcess&) = delete;
  GetentProcess& operator=(const GetentProcess&) = delete;

  // Why it could not start; empty when it did.
  const std::string& failed() const { return failed_; }
  int pidfd() const { return pidfd_; }

  // Kills it (`kill`: its process group, getent's and whatever getent started in it) and waits
  // for its end: why getent did not end well by itself (empty when it did, its status then in
  // `*status`), `command` naming it.
  std::string end(bool kill, const std::string& command = {}, const char* database = "", int* status = nullptr) {
    if (pidfd_ < 0) return failed_;
    // Through its pidfd (a host's thread may have waited for it, and its id be another's now),
    // then its group, whose id is not reused while the first process is not waited for. Valgrind
    // has no pidfd_send_signal: there by its id.
    if (kill && (underValgrind() ? ::kill(helper_, SIGKILL) : ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0)) == 0) {
      ::kill(-helper_, SIGKILL);
    }
    siginfo_t ended{};
    int waited = 0;
    while ((waited = ::waitid(P_PIDFD, static_cast<id_t>(pidfd_), &ended, WEXITED | __WALL)) < 0 && errno == EINTR) {
    }
    const int notWaited = errno;
    ::close(pidfd_);
    pidfd_ = -1;
    GetentReport said;
    for (GetentReport record; ::read(report_, &record, sizeof record) == static_cast<ssize_t>(sizeof record);) {
      if (said.kind != GetentReport::kExec) said = record;  // an exec's failure, then getent's end
    }
    ran_ = said.kind == GetentReport::kNone || said.kind == GetentReport::kEnded;  // killed, or ended
    if (waited != 0) {
      return "this process could not wait for /usr/bin/getent (" + std::string(std::strerror(notWaited)) +
             "): a thread of the host's waited for it, with waitpid(-1, ..., __WALL); wait only for the host's own "
             "children";
    }
    if (ended.si_code != CLD_EXITED) return command + " was ended by signal " + std::to_string(ended.si_status);
    const auto why = [&said] { return std::string(std::strerror(static_cast<int>(said.value))); };
    switch (said.kind) {
      case GetentReport::kDescriptors: return "the standard descriptors of /usr/bin/getent could not be set: " + why();
      case GetentReport::kNotStarted: return whyNoProcess(static_cast<int>(said.value));
      case GetentReport::kExec:
        return "/usr/bin/getent could not be started: " + why() + "; install it (Debian's libc-bin) or let "
               "nsswitch.conf take " + database + " from \"files\" alone";
      case GetentReport::kEnded: break;
      default: return "the process that starts /usr/bin/getent ended before it could tell how getent ended";
    }
    if (WIFSIGNALED(said.value)) return command + " was ended by signal " + std::to_string(WTERMSIG(said.value));
    if (status != nullptr) *status = WEXITSTATUS(said.value);
    return {};
  }

  // Whether getent itself ran (its process was started and exec'd it), once ended.
  bool ran() const { return ran_; }

 private:
  char* environment_[3] = {const_cast<char*>("PATH=/usr/bin:/bin"), const_cast<char*>("LC_ALL=C"), nullptr};
  std::unique_ptr<GetentStart> start_;
  int pidfd_ = -1;
  int report_ = -1;
  pid_t helper_ = -1;
  std::string failed_;
  bool ran_ = false;
};

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
// says more or takes longer is a `cut`, saying which, and `doing` what it did not do in time. The
// `getent` is always waited for, and killed first unless it ended by itself within the time limit.
// The output ends when the pipe does or, once `getent` has ended, where the pipe runs empty: a
// child that a host thread forked before the write end was closed here holds a copy of it for as
// long as it lives, so the pipe's own end may never come. A slow stretch for a fork under way.
template <typename Take>
GetentEnd runGetent(const char* database, const std::string& key, const char* doing, Take take) {
  const SlowStretch slow;
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
  std::string keyArgument = key;
  char* const arguments[] = {const_cast<char*>("getent"), const_cast<char*>(database),
                             key.empty() ? nullptr : keyArgument.data(), nullptr};
  GetentProcess getent(arguments, out[1]);
  ::close(out[1]);
  if (!getent.failed().empty()) {
    ::close(out[0]);
    end.cut = getent.failed();
    return end;
  }
  const int process = getent.pidfd();
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
  const std::string why = getent.end(early || late, command, database, &end.status);
  if (key.empty() && getent.ran()) userListingCount++;  // a listing (not one entry) that getent made
  if (early) return end;
  end.cut = late ? command + " did not end within " + std::to_string(listingTimeLimitMs.load()) +
                       " ms; mend the name service it waits for"
                 : why;
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

// The fields of `line` split at ":" as the C library splits an entry of `database` ("passwd":
// name:password:uid:gid:comment:home:shell, "group": name:password:gid:member,member,...): the
// last field is all that follows the ":" before it, the shell of a passwd line with more than
// seven fields holding a ":" (userOf), the members all that follows the third ":".
std::vector<std::string> splitEntry(std::string_view database, std::string_view line) {
  std::vector<std::string> fields;
  const std::size_t last = database == "passwd" ? 6 : 3;
  for (std::size_t at = 0;;) {
    const std::size_t colon = line.find(':', at);
    if (fields.size() == last) {
      fields.emplace_back(line.substr(at));
      break;
    }
    fields.emplace_back(line.substr(at, colon == std::string_view::npos ? std::string_view::npos : colon - at));
    if (colon == std::string_view::npos) break;
    at = colon + 1;
  }
  return fields;
}

// An entry of `database` for the id `id` as one line gives it (splitEntry); none (with `failed`
// saying why) when the line is not such an entry of that id.
std::vector<std::string> entryFields(std::string_view database, std::string_view line, std::uint64_t id,
                                     const std::string& from, std::string* failed) {
  std::vector<std::string> fields = splitEntry(database, line);
  const std::size_t least = database == "passwd" ? 7 : 4;
  std::uint64_t given = 0;
  bool decimal = fields.size() >= least && !fields[2].empty() && fields[2].size() <= 10;
  for (std::size_t at = 0; decimal && at < fields[2].size(); ++at) {
    decimal = fields[2][at] >= '0' && fields[2][at] <= '9';
    given = given * 10 + static_cast<std::uint64_t>(fields[2][at] - '0');
  }
  if (!decimal) {
    *failed = from + " answered a line that is not an entry of " + std::string(database) + " (\"" +
              std::string(line.substr(0, 80)) + (line.size() > 80 ? "...\")" : "\")");
    fields.clear();
  } else if (given != id) {
    *failed = from + " answered the entry of id " + std::to_string(given) + ", not " + std::to_string(id);
    fields.clear();
  }
  return fields;
}

// A user or group id as the C library reads one in a line of /etc/passwd (strtoul, base 10):
// white space and one sign may lead, then digits to the field's end; "-N" counts as strtoul
// negates it. None for what it skips the line for: no digits, anything after them, a value
// past 32 bits ("-1" among them).
std::optional<std::uint32_t> idAsTheCLibraryReads(std::string_view field) {
  std::size_t at = 0;
  while (at < field.size() && isSpace(field[at])) ++at;
  const bool negative = at < field.size() && field[at] == '-';
  if (at < field.size() && (field[at] == '-' || field[at] == '+')) ++at;
  if (at == field.size()) return std::nullopt;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; at < field.size(); ++at) {
    if (field[at] < '0' || field[at] > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(field[at] - '0');
    overflow = overflow || value > (UINT64_MAX - digit) / 10;
    value = value * 10 + digit;
  }
  if (overflow) return std::nullopt;  // strtoul's ULONG_MAX, past 32 bits
  if (negative) value = 0 - value;
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// The fields of a line of /etc/passwd (its leading white space and any comment already left
// out) when the C library's "files" source answers it to a lookup of the user id `id`: its ids
// read as idAsTheCLibraryReads reads them, both of them, and a name that does not start with "+"
// or "-" (entries of NIS's, which a lookup by id passes over). None otherwise.
std::vector<std::string> userLineOf(std::string_view line, std::uint64_t id) {
  std::string_view ids[2];  // looked at before anything is copied: most lines are another user's
  std::size_t at = line.find(':');
  at = at == std::string_view::npos ? at : line.find(':', at + 1);
  for (std::string_view& field : ids) {
    const std::size_t start = at == std::string_view::npos ? line.size() : at + 1;
    at = line.find(':', start);
    field = line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
  }
  const std::optional<std::uint32_t> uid = idAsTheCLibraryReads(ids[0]);
  if (!uid || *uid != id || !idAsTheCLibraryReads(ids[1]) || line.starts_with('+') || line.starts_with('-')) {
    return {};
  }
  std::vector<std::string> fields = splitEntry("passwd", line);
  fields.resize(7);
  return fields;
}

// The first entry of `path` (/etc/<database>) whose id (its third field) is `id`, as the C
// library's "files" source gives it (blank and comment lines skipped, a line read up to a NUL in
// it, a passwd line as userLineOf reads it), read through a descriptor of this call's own: its
// fields, none when there is no such entry, `failed` saying why it could not be read.
std::vector<std::string> entryFromFile(std::string_view database, std::uint64_t id, std::string* failed,
                                       const std::string& path) {
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    if (errno != ENOENT) *failed = path + " could not be opened: " + std::strerror(errno);
    return {};
  }
  std::string pending;
  std::vector<char> block(65536);
  std::vector<std::string> fields;
  for (bool end = false; !end && fields.empty() && failed->empty();) {
    const ssize_t got = ::read(file, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *failed = path + " could not be read: " + std::strerror(errno);
      break;
    }
    end = got == 0;
    pending.append(block.data(), static_cast<std::size_t>(got));
    if (end && !pending.empty()) pending.push_back('\n');  // a last line without its newline
    std::size_t begin = 0;
    for (std::size_t stop = 0; fields.empty() && (stop = pending.find('\n', begin)) != std::string::npos;
         begin = stop + 1) {
      std::string_view line = std::string_view(pending).substr(begin, stop - begin);
      line = line.substr(0, line.find('\0'));
      line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t\r\f\v")));
      if (line.empty() || line.front() == '#') continue;
      if (database == "passwd") {
        fields = userLineOf(line, id);
        continue;
      }
      const std::size_t second = line.find(':', line.find(':') + 1);
      const std::string_view rest = second == std::string_view::npos ? std::string_view() : line.substr(second + 1);
      if (rest.substr(0, rest.find(':')) != std::to_string(id)) continue;
      std::string ignored;
      fields = entryFields(database, line, id, path, &ignored);
    }
    pending.erase(0, begin);
    if (pending.size() > kLongestUserEntry) *failed = path + " holds a line over 1 MiB";
  }
  ::close(file);
  return fields;
}

// The entry of `database` for `id` from `getent <database> <id>`, in a process of its own: read
// to its line's end and no further (1 MiB at most), its fields; none when there is no such entry
// (status 2); `failed` says why it could not be looked up (an entry found but not written
// too).
std::vector<std::string> entryFromGetent(const char* database, std::uint64_t id, std::string* failed) {
  const std::string key = std::to_string(id);
  const std::string command = std::string(kGetent) + " " + database + " " + key;
  std::string line;
  const GetentEnd end =
      runGetent(database, key, "answer", [&line](const char* data, std::size_t size) {
        const void* newline = std::memchr(data, '\n', size);
        line.append(data, newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) : size);
        return newline != nullptr || line.size() > kLongestUserEntry;
      });
  if (!end.cut.empty()) {
    *failed = end.cut;
    return {};
  }
  if (line.size() > kLongestUserEntry) {
    *failed = command + " answered an entry over 1 MiB";
    return {};
  }
  if (!end.stopped && end.status != 0) {
    if (end.status != 2) *failed = command + " ended with status " + std::to_string(end.status);
    return {};
  }
  if (line.empty()) {
    // Found, yet not written: getent writes no entry with a ":" inside a field (it says so on its
    // error output alone, and ends with status 0).
    *failed = command + " found an entry it could not write: one with more than " +
              (std::string_view(database) == "passwd" ? "seven" : "four") +
              " fields (a \":\" inside one); mend it in the user database";
    return {};
  }
  return entryFields(database, line, id, command, failed);
}

// The fields of the entry of `database` for `id` where the C library's name services may not be
// asked in this process (a thread of a parent's may have held their locks at the fork): from the
// file in /etc where nsswitch.conf takes them from there alone, else from getent.
std::vector<std::string> entryWithoutTheCLibrary(const char* database, std::uint64_t id, std::string* failed) {
  return comesFromTheFilesAlone(database) ? entryFromFile(database, id, failed, "/etc/" + std::string(database))
                                          : entryFromGetent(database, id, failed);
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

// The user `uid`'s entry from its fields (none: not found) as the C library gives them: its
// name and home (the sixth field). An entry whose shell holds a ":" came from a line of more than
// seven fields, where the home may be another user's (read from the end) or a piece of the
// comment (read from the start): refused, whoever read it.
UserEntry userOf(uid_t uid, const std::vector<std::string>& fields, std::string failed) {
  UserEntry user;
  user.failed = std::move(failed);
  if (fields.size() < 7) return user;
  if (fields[6].find(':') != std::string::npos) {
    user.failed = "the entry of uid " + std::to_string(uid) +
                  " has more than seven fields (a \":\" in its comment or its shell), so which is its home folder "
                  "cannot be told; mend it in the user database";
    return user;
  }
  user.found = true;
  user.name = fields[0];
  user.home = fields[5];
  return user;
}

// The user `uid`'s entry, asked of the name services: through the C library where its locks are
// this process's own, else without it; read as userOf reads it either way.
UserEntry askForUser(uid_t uid) {
  if (ProcessInfo::mayHoldOtherThreadsLocks()) {
    std::string failed;
    const std::vector<std::string> fields = entryWithoutTheCLibrary("passwd", uid, &failed);
    return userOf(uid, fields, std::move(failed));
  }
  UserEntry user;
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  struct passwd entry {};
  struct passwd* found = nullptr;
  const SlowStretch slow;
  const int result = lookUpWithRoom(buffer, [&](std::vector<char>& room) {
    return ::getpwuid_r(uid, &entry, room.data(), room.size(), &found);
  });
  if (result != 0) {
    user.failed = std::strerror(result);
  } else if (found != nullptr) {
    const auto text = [](const char* field) { return std::string(field != nullptr ? field : ""); };
    return userOf(uid, {text(entry.pw_name), {}, {}, {}, {}, text(entry.pw_dir), text(entry.pw_shell)}, {});
  }
  return user;
}

// The group `gid`'s entry, as askForUser asks.
GroupEntry askForGroup(gid_t gid) {
  GroupEntry group;
  if (ProcessInfo::mayHoldOtherThreadsLocks()) {
    const std::vector<std::string> fields = entryWithoutTheCLibrary("group", gid, &group.failed);
    group.found = !fields.empty();
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
  const SlowStretch slow;
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

// The kept answer for `key`, else `ask(key)`, kept: with the listing lock held.
template <typename Answers, typename Key, typename Ask>
decltype(Answers::mapped_type::answer) answerOnce(Answers ListingLocks::*answers, const Key& key, Ask ask) {
  if (auto answer = kept(answers, key)) return *answer;
  decltype(Answers::mapped_type::answer) answer = ask(key);
  keep(answers, key, answer);
  return answer;
}

// Whether `gid` is the user `me`'s own private group: the user's primary group, named after the
// user, listing no other member and no other user's primary group (a user private group, as
// systems whose default umask is 002 give every user). Its write bit lets in nobody else. When
// not (`another`), `unlisted` says why that could not be told. With the listing lock held.
GroupListing lookUpOwnPrivateGroup(gid_t gid, uid_t me) {
  const UserEntry user = answerOnce(&ListingLocks::users, me, &askForUser);
  if (!user.found) {
    return unlisted("this user's own entry (uid " + std::to_string(me) + ") could not be looked up" +
                    (!user.failed.empty() ? ": " + user.failed : std::string()));
  }
  const GroupEntry group = answerOnce(&ListingLocks::groups, gid, &askForGroup);
  if (!group.failed.empty()) {
    return unlisted("the group " + std::to_string(gid) + " could not be looked up: " + group.failed);
  }
  if (!group.found || user.name != group.name) return GroupListing{true, {}};
  for (const std::string& member : group.members) {
    if (member != user.name) return GroupListing{true, {}};
  }
  return comesFromTheFilesAlone("passwd") ? passwdFileNamesAnotherUsersPrimaryGroup(gid, me)
                                          : nameServicesListAnotherUsersPrimaryGroup(gid, me);
}

}  // namespace

// lookUpOwnPrivateGroup, answered once per process for each user and group (the user's entry,
// the group's and the listing alike).
GroupListing groupMayBeAnothers(gid_t gid) {
  if (gid != ::getegid()) return GroupListing{true, {}};
  const std::pair<uid_t, gid_t> key{::geteuid(), gid};
  if (auto answer = kept(&ListingLocks::groupAnswers, key)) return *answer;
  const std::unique_lock<std::mutex> listing = takeListing();
  return answerOnce(&ListingLocks::groupAnswers, key,
                    [](const std::pair<uid_t, gid_t>& asked) { return lookUpOwnPrivateGroup(asked.second, asked.first); });
}

UserEntry lookUpUser(uid_t uid) {
  if (auto answer = kept(&ListingLocks::users, uid)) return *answer;
  const std::unique_lock<std::mutex> listing = takeListing();
  return answerOnce(&ListingLocks::users, uid, &askForUser);
}

namespace {

// The id the kernel shows for a user with no id in the user namespace, read once per process.
// Kept in an atomic, not a function-local static: a child forked while another thread read it
// would wait for ever on the static's guard. Threads that ask at once each read it.
std::atomic<std::uint64_t> gOverflowUid{0};  // the id plus one; 0: not read yet
uid_t overflowUid() {
  if (const std::uint64_t kept = gOverflowUid.load(std::memory_order_relaxed); kept != 0) return static_cast<uid_t>(kept - 1);
  unsigned long read = 65534;
  if (FILE* file = std::fopen("/proc/sys/kernel/overflowuid", "re")) {
    if (std::fscanf(file, "%lu", &read) != 1) read = 65534;
    std::fclose(file);
  }
  gOverflowUid.store(static_cast<std::uint64_t>(static_cast<uid_t>(read)) + 1, std::memory_order_relaxed);
  return static_cast<uid_t>(read);
}

// Whether this process's user namespace maps every user id to itself, as the first one does (then
// the overflow uid is a user like any other). Read each time it is asked (a process may enter
// another namespace), which is only for a file of the overflow uid's.
bool everyUserIdMapped() {
  FILE* map = std::fopen("/proc/self/uid_map", "re");
  if (map == nullptr) return false;
  unsigned long inside = 1, outside = 1, count = 0;
  const bool identity = std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0 &&
                        outside == 0 && count == 4294967295UL;
  unsigned long more = 0;
  const bool alone = std::fscanf(map, "%lu", &more) != 1;
  std::fclose(map);
  return identity && alone;
}

bool mayBeUnmapped(uid_t uid) { return uid == overflowUid() && !everyUserIdMapped(); }

}  // namespace

bool ownedByThisUser(uid_t owner, uid_t me) { return owner == me && !mayBeUnmapped(owner); }

std::string anotherOwner(uid_t owner) {
  if (!mayBeUnmapped(owner)) return "another user (uid " + std::to_string(owner) + ")";
  return "a user this process's user namespace has no id for (shown as the overflow uid " + std::to_string(owner) +
         "), so whose it is cannot be told" +
         (owner == ::geteuid() ? std::string("; nor has it one for this process's own user, which shows as that uid "
                                             "too: map the user into the namespace, or run outside it")
                               : std::string());
}

std::uint64_t userListings() { return userListingCount.load(); }

void setUserListingLimitsForTesting(std::chrono::milliseconds timeLimit, std::size_t longestOutput) {
  listingTimeLimitMs = timeLimit.count() > 0 ? timeLimit.count() : kListingTimeLimit.count();
  longestListing = longestOutput > 0 ? longestOutput : kLongestListing;
}

UserEntry userFromPasswdFileForTesting(const std::string& path, uid_t uid) {
  std::string failed;
  const std::vector<std::string> fields = entryFromFile("passwd", uid, &failed, path);
  return userOf(uid, fields, std::move(failed));
}

void setFailureKeptForTesting(std::chrono::milliseconds kept) {
  failureKeptMs = kept.count() >= 0 ? kept.count() : kFailureKept.count();
}

void forgetUserAnswersForTesting() {
  ListingLocks& locks = listingLocks();
  std::lock_guard<std::mutex> lock(locks.userListing);
  locks.users.clear();
  locks.groups.clear();
  locks.groupAnswers.clear();
}

}  // namespace platform::files
