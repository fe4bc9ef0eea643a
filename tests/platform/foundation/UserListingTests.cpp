// Whether the user's own group may write to the app's folders: the user list, as the name services
// give it, tells whether the group is the user's private group.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "ForkedChild.h"
#include "Texts.h"
#include "UserDatabase.h"
#include "UserListing.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"

namespace files = platform::files;
using testsupport::userLine;
using testsupport::mentions;
using testsupport::withUserDatabase;

namespace {

// Has clone() with CLONE_PIDFD fail with EINVAL in this process from now on, as on a kernel older
// than 5.2 (or in a container whose filter blocks it); fork() and new threads go on.
bool refuseCloneWithPidfd() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_PIDFD, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

namespace {

// The cases of the test below, in the child it runs in; its exit code.
int userListingCases() {
  const unsigned me = ::geteuid();
  const unsigned group = ::getegid();
  const std::string users = userLine("root", me, group) + userLine("daemon", 1, 1) + userLine("bin", 2, 2);
  const auto accepted = [](const std::string& folder) {
    platform::Error error;
    const bool made = files::createPrivateDirectory(folder + "/app", &error);
    if (!made) std::fprintf(stderr, "not accepted: %s\n", error.description.c_str());
    return made;
  };
  // Refused as a folder other users may write to; when the users could not be listed, saying
  // why (`why`) and what to do instead of only closing the folder to all.
  const auto refusedAsShared = [](const std::string& folder, const std::vector<std::string>& why = {}) {
    platform::Error error;
    std::vector<std::string> words = {"\"" + folder + "\"", "other users may write"};
    words.insert(words.end(), why.begin(), why.end());
    if (!why.empty()) words.push_back("chmod g-w \"" + folder + "\"");
    const bool refused = !files::createPrivateDirectory(folder + "/app", &error) && mentions(error.description, words);
    if (!refused) std::fprintf(stderr, "not refused as expected: %s\n", error.description.c_str());
    return refused && (why.empty() || error.description.find("chmod go-w") == std::string::npos);
  };
  const std::vector<std::string> unreadable = {"/etc/passwd holds an entry that cannot be read plainly"};
  // Each listing meant to end is given as long as a busy machine may need to start a getent and
  // read it: with the listing's own limit of seconds a passing case would hang on the machine's
  // speed. Only the case of the limit itself sets a short one.
  files::setUserListingLimitsForTesting(testsupport::kEventWait, 0);
  int code = 0;
  // The private group, listed once however often it is asked about, the user's own entry with it:
  // the user database is opened once for the listing and once for the entry.
  code = code != 0 ? code : withUserDatabase(users, "files", [&](const std::string& folder) {
    // Each open and close noted (an event like the one before it, unread, would be merged into it).
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, "/etc/passwd", IN_OPEN | IN_CLOSE) < 0) return 19;
    for (int check = 0; check < 16; ++check) {
      if (!accepted(folder) || !files::checkPrivateDirectory(folder + "/app")) return 20;
    }
    int opens = 0;
    alignas(struct inotify_event) char events[4096];
    for (ssize_t got = 0; (got = ::read(watch, events, sizeof events)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
        opens += (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    ::close(watch);
    if (opens != 2) std::fprintf(stderr, "the user database was opened %d times\n", opens);
    return files::userListings() == 1 && opens == 2 ? 0 : 21;
  });
  // The answer is kept for the user and the group: the same group asked about by another user
  // (here daemon, as the process's effective user, the group kept) is that user's question, and
  // the group is not his own.
  code = code != 0 ? code : withUserDatabase(users, "files", [&](const std::string& folder) {
    if (!accepted(folder)) return 80;
    // Root's capabilities kept as the effective user changes: the folders on the way (TMPDIR's
    // too) need not be open to daemon.
    if (::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || ::seteuid(1) != 0) return 81;
    const bool refused = refusedAsShared(folder);
    return ::seteuid(0) == 0 && refused ? 0 : 82;
  });
  // Another user's primary group.
  code = code != 0 ? code : withUserDatabase(users + userLine("intruder", 54321, group), "files",
                                             [&](const std::string& folder) {
                                               return refusedAsShared(folder) ? 0 : 22;
                                             });
  // An entry too long to be read (over 1 MiB) before the end of the list (after the user's own,
  // which its look-up finds first).
  code = code != 0 ? code
                   : withUserDatabase(users + userLine("huge", 54322, 54322, std::string(1100000, 'h')) +
                                          userLine("games", 5, 60),
                                      "files", [&](const std::string& folder) {
                                        return refusedAsShared(folder, unreadable) ? 0 : 23;
                                      });
  // A line the C library might read as a user in its own way.
  code = code != 0 ? code : withUserDatabase(users + "+::::::\n", "files", [&](const std::string& folder) {
    return refusedAsShared(folder, unreadable) ? 0 : 29;
  });
  // The user's own entry longer than the first buffer given for it.
  code = code != 0 ? code
                   : withUserDatabase(userLine("root", me, group, std::string(2048, 'r')) + userLine("bin", 2, 2),
                                      "files", [&](const std::string& folder) {
                                        return accepted(folder) ? 0 : 24;
                                      });
  // With no /proc (a chroot, a small sandbox), the folder's ACL is still read: the private
  // group's folder passes.
  code = code != 0 ? code : withUserDatabase(users, "files", [&](const std::string& folder) {
    if (::mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return 38;
    const bool passed = accepted(folder);
    ::umount("/proc");
    return passed ? 0 : 39;
  });
  // The host's own listing goes on where it was.
  code = code != 0 ? code : withUserDatabase(users, "files", [&](const std::string& folder) {
    ::setpwent();
    const struct passwd* first = ::getpwent();
    const struct passwd* second = first != nullptr ? ::getpwent() : nullptr;
    if (second == nullptr || std::string(second->pw_name) != "daemon") return 25;
    if (!accepted(folder)) return 26;
    const struct passwd* third = ::getpwent();
    ::endpwent();
    return third != nullptr && std::string(third->pw_name) == "bin" ? 0 : 27;
  });
  // Users from other name services too: listed by getent in a process of its own, once, and
  // always waited for; the host's own listing goes on where it was.
  const auto noChildLeft = [] { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; };
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    ::setpwent();
    const struct passwd* first = ::getpwent();
    const struct passwd* second = first != nullptr ? ::getpwent() : nullptr;
    if (second == nullptr || std::string(second->pw_name) != "daemon") return 28;
    for (int check = 0; check < 16; ++check) {
      if (!accepted(folder) || !files::checkPrivateDirectory(folder + "/app")) return 30;
    }
    const struct passwd* third = ::getpwent();
    ::endpwent();
    if (third == nullptr || std::string(third->pw_name) != "bin") return 31;
    return files::userListings() == 1 && noChildLeft() ? 0 : 32;
  });
  code = code != 0 ? code : withUserDatabase(users + userLine("intruder", 54321, group), "files systemd",
                                             [&](const std::string& folder) {
                                               return refusedAsShared(folder) && noChildLeft() ? 0 : 33;
                                             });
  // A getent that lists the users as given, then ends as `end` says.
  const auto getent = [&users](const std::string& more, const std::string& end) {
    return "#!/bin/sh\ncat <<'END'\n" + users + more + "END\n" + end + "\n";
  };
  // Anything but a getent that lists to the end and then ends with status 0 counts the group
  // as shared; the getent is always waited for, however it ended.
  struct Case {
    std::string getent;
    std::vector<std::string> why;  // what the refusal says (none: accepted)
    mode_t mode = 0755;
    std::chrono::milliseconds timeLimit{0};
    std::size_t longestOutput = 0;
  };
  const std::vector<Case> cases = {
      {getent("", "exit 0"), {}},
      {getent("", "exit 0"), {"/usr/bin/getent could not be started: Permission denied", "install it"}, 0644},
      {getent("", "exit 3"), {"getent passwd ended with status 3 (a name service cannot list its users)"}},
      {getent("", "exit 2"), {"getent passwd ended with status 2", "make \"getent passwd\" list every user"}},
      {getent("", "kill -9 $$"), {"getent passwd was ended by signal 9"}},
      {getent("not a user\n", "exit 0"), {"the output of /usr/bin/getent passwd holds an entry that cannot be read"}},
      {getent("", "exec sleep 60"), {"getent passwd did not list the users within 50 ms"}, 0755,
       std::chrono::milliseconds(50)},
      {getent(std::string(3000, '#') + "\n", "exit 0"), {}, 0755, std::chrono::milliseconds(0), 4096},
      {getent(std::string(5000, '#') + "\n", "exit 0"), {"getent passwd listed more than 4096 bytes"}, 0755,
       std::chrono::milliseconds(0), 4096},
  };
  for (std::size_t at = 0; at < cases.size() && code == 0; ++at) {
    const Case& one = cases[at];
    code = withUserDatabase(
        users, "files systemd",
        [&](const std::string& folder) {
          files::setUserListingLimitsForTesting(
              one.timeLimit.count() > 0 ? one.timeLimit : std::chrono::milliseconds(testsupport::kEventWait),
              one.longestOutput);
          const bool held = one.why.empty() ? accepted(folder) : refusedAsShared(folder, one.why);
          return held && noChildLeft() && files::userListings() == (one.mode == 0755 ? 1u : 0u)
                     ? 0
                     : 40 + static_cast<int>(at);
        },
        one.getent, one.mode);
  }
  // A host that has the end of its children ignored, or whose thread waits for any child: the
  // process that runs getent is one neither takes, and is waited for all the same.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    return ::signal(SIGCHLD, SIG_IGN) != SIG_ERR && accepted(folder) && noChildLeft() ? 0 : 34;
  });
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    // A child of the host's own, which the reaper waits for, then ends once the folder is checked.
    int gate[2];
    if (::pipe(gate) != 0) return 48;
    const pid_t own = ::fork();
    if (own == 0) {
      char byte = 0;
      ::_exit(::read(gate[0], &byte, 1) == 1 ? 0 : 1);
    }
    ::close(gate[0]);
    pid_t reaped = 0;
    std::thread reaper([&] {
      while ((reaped = ::waitpid(-1, nullptr, 0)) < 0 && errno == EINTR) {
      }
    });
    const bool passed = accepted(folder);
    const bool told = ::write(gate[1], "x", 1) == 1;
    ::close(gate[1]);
    reaper.join();
    return passed && told && reaped == own ? 0 : 49;
  });
  // A kernel without clone()'s pidfds: no process is started for getent, and the refusal says why.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    return refuseCloneWithPidfd() &&
                   refusedAsShared(folder, {"no process could be started for /usr/bin/getent", "Linux 5.4 or later"}) &&
                   noChildLeft()
               ? 0
               : 37;
  });
  // The name services take users from another source too wherever a word of the passwd line is
  // not "files", right after an action item or not; such items themselves name no source. A
  // getent that fails tells which way the users were listed.
  const std::vector<std::string> listedByGetent = {"getent passwd ended with status 2"};
  const std::vector<std::pair<std::string, std::optional<std::vector<std::string>>>> sources = {
      {"files", std::nullopt},
      {"files [NOTFOUND=return]", std::nullopt},
      {"files [ NOTFOUND=return ]", std::nullopt},
      {"files [NOTFOUND=return]ldap", listedByGetent},
      {"files [NOTFOUND=return] ldap", listedByGetent},
      {"files[NOTFOUND=return]ldap", listedByGetent},
      {"files ldap", listedByGetent},
      {"compat", listedByGetent},
      {"files [NOTFOUND=return ldap", std::vector<std::string>{}},  // never closed: refused, however read
  };
  for (std::size_t at = 0; at < sources.size() && code == 0; ++at) {
    const auto& [line, refusal] = sources[at];
    code = withUserDatabase(
        users, line,
        [&, refusal = refusal](const std::string& folder) {
          return (refusal ? refusedAsShared(folder, *refusal) : accepted(folder)) ? 0 : 60 + static_cast<int>(at);
        },
        getent("", "exit 2"));
  }
  // nsswitch.conf as the C library reads it: a "#" after a line's first word starts no comment,
  // the ":" may be left out, and a line starting with white space is a line of its own. Where the
  // C library (getent with LD_DEBUG, which names each module it looks for: the files are built
  // in) looks for a module, the reader counts another source; where the reader takes the files
  // alone, the C library looks for none.
  const auto loadsAModule = [] {
    std::FILE* debug = ::popen("LD_DEBUG=libs /usr/bin/getent passwd 2>&1 >/dev/null", "r");
    std::string said;
    char block[4096];
    for (std::size_t got = 0; debug != nullptr && (got = std::fread(block, 1, sizeof block, debug)) > 0;) {
      said.append(block, got);
    }
    return debug != nullptr && ::pclose(debug) != -1 && said.find("find library=libnss_") != std::string::npos;
  };
  const std::vector<std::pair<std::string, bool>> texts = {  // and whether the C library looks for a module
      {"passwd: files # systemd\n", true},
      {"passwd: files [NOTFOUND=return] # systemd\n", true},
      {"passwd files systemd\n", true},
      {"passwd\tsystemd\n", true},
      {"  passwd: systemd\n", true},
      {"passwd:files\vsystemd\n", true},
      {"passwd: files\n  systemd\n", false},
      {"#passwd: systemd\npasswd: files\n", false},
      {"passwd: files [NOTFOUND=return] [SUCCESS=return] systemd\n", false},
  };
  for (std::size_t at = 0; at < texts.size() && code == 0; ++at) {
    const auto& [text, looks] = texts[at];
    const int cLibrary = withUserDatabase(users, text, [&](const std::string&) { return loadsAModule() ? 1 : 0; });
    const int reader = withUserDatabase(
        users, text,
        [&](const std::string& folder) { return accepted(folder) ? 0 : refusedAsShared(folder, listedByGetent) ? 1 : 2; },
        getent("", "exit 2"));
    if (cLibrary != (looks ? 1 : 0) || reader > 1 || (cLibrary == 1 && reader != 1)) {
      std::fprintf(stderr, "%s: the C library %s a module, the reader %s\n", text.c_str(),
                   cLibrary == 1 ? "looks for" : "does not look for", reader == 1 ? "lists by getent" : "reads files");
      code = 70 + static_cast<int>(at);
    }
  }
  // A fork while the users are listed neither waits for the listing nor leaves the child a lock
  // it would wait for: the first getent lists only once the test lets it, after the fork.
  std::string gate = std::filesystem::temp_directory_path().string() + "/vesmora-gate-XXXXXX";
  if (code == 0 && (::mkdtemp(gate.data()) == nullptr || ::mkfifo((gate + "/go").c_str(), 0600) != 0)) code = 35;
  // The child, made by fork, looks its user and group up by getent too: one entry, by its id.
  const std::string waiting = "#!/bin/sh\n"
                              "if [ $# -gt 1 ]; then\n  grep -m 1 \"^[^:]*:[^:]*:$2:\" /etc/$1 || exit 2\n  exit 0\nfi\n"
                              "if [ ! -e " + gate + "/started ]; then : > " + gate + "/started; read go < " +
                              gate + "/go; fi\ncat <<'END'\n" + users + "END\n";
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    bool listed = false;
    std::thread lister([&] { listed = accepted(folder); });
    // Steps of 10 ms, at least kEventWait in all.
    const long steps = 100 * static_cast<long>(testsupport::kEventWait.count());
    for (long wait = 0; wait < steps && !files::exists(gate + "/started"); ++wait) ::usleep(10000);
    const pid_t child = ::fork();
    if (child == 0) {
      // A lock the child waits for ends it here, after its own listing's limit.
      ::alarm(static_cast<unsigned>(testsupport::kChildLife.count()));
      ::_exit(accepted(folder) ? 0 : 1);
    }
    int status = 0;
    const bool forked = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    int go = -1;
    for (long wait = 0; wait < steps && (go = ::open((gate + "/go").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0; ++wait) {
      ::usleep(10000);  // until the getent reads
    }
    const bool let = go >= 0 && ::write(go, "go\n", 3) == 3;
    if (go >= 0) ::close(go);
    lister.join();
    if (forked && let && listed) return 0;
    std::fprintf(stderr, "fork during a listing: the child %s, the listing %s let go, %s\n",
                 forked ? "listed" : "did not list (waited for a lock?)", let ? "was" : "was not",
                 listed ? "and it listed" : "and it did not list");
    return 36;
  }, waiting);
  std::filesystem::remove_all(gate);
  // Children forked by another thread while the getent is being started, which live on without
  // exec, hold copies of the write end of its pipe: the listing ends with the getent all the same.
  // The getent's start is held until they are forked: where it opens its error output, /dev/null,
  // here a file under a read lease, which that open breaks.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    const std::string null = folder + "/null";
    if (!files::writeFileAtomically(null, std::string()) ||
        ::mount(null.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0) {
      return 50;
    }
    ::signal(SIGIO, SIG_IGN);  // the news of the lease's break: asked for below instead
    const int held = ::open(null.c_str(), O_RDONLY | O_CLOEXEC);
    int failed = held >= 0 && ::fcntl(held, F_SETLEASE, F_RDLCK) == 0 ? 0 : 51;
    bool listed = false;
    std::thread lister([&] { listed = accepted(folder); });
    const long steps = 100 * static_cast<long>(testsupport::kEventWait.count());  // of 10 ms
    for (long wait = 0; failed == 0 && wait < steps && ::fcntl(held, F_GETLEASE) != F_UNLCK; ++wait) ::usleep(10000);
    failed = failed != 0 ? failed : ::fcntl(held, F_GETLEASE) == F_UNLCK ? 0 : 52;
    std::vector<pid_t> lingering;
    std::thread forker([&] {
      for (int fork = 0; fork < 3 && failed == 0; ++fork) {
        const pid_t child = ::fork();
        if (child == 0) {
          ::alarm(static_cast<unsigned>(testsupport::kChildLife.count()));
          for (;;) ::pause();
        }
        if (child > 0) lingering.push_back(child);
      }
    });
    forker.join();
    if (held >= 0) {
      ::fcntl(held, F_SETLEASE, F_UNLCK);
      ::close(held);
    }
    lister.join();
    for (const pid_t child : lingering) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    ::umount("/dev/null");
    if (failed == 0 && lingering.size() == 3 && listed && noChildLeft()) return 0;
    std::fprintf(stderr, "children forked while getent started: step %d, %zu forked, %s\n", failed,
                 lingering.size(), listed ? "listed" : "not listed");
    return failed != 0 ? failed : 53;
  });
  return code;
}

// Runs `body` in a child forked while this process has a thread besides the forking one, one that
// might have held a lock of the C library's name services at the fork: the child may not ask them
// in its own process. The child's exit code (0: all held); 95 when it outlived its bound.
// A second thread of this process that does nothing until it goes, started before the
// constructor returns: its start's allocations are done, as a fork while a thread allocates
// leaves AddressSanitizer's allocator locked for ever in the child.
class IdleThread {
 public:
  IdleThread() : thread_([this] {
    started_.set_value();
    leave_.get_future().wait();
  }) {
    started_.get_future().wait();
  }
  ~IdleThread() {
    leave_.set_value();
    thread_.join();
  }
  IdleThread(const IdleThread&) = delete;
  IdleThread& operator=(const IdleThread&) = delete;

 private:
  std::promise<void> started_;
  std::promise<void> leave_;
  std::thread thread_;
};

template <typename Body>
int inAChildOfAThreadedProcess(Body body) {
  const IdleThread other;
  const testsupport::ChildEnd end = testsupport::runInChild([&] { ::_exit(body()); }, testsupport::kChildLife);
  return !end.inTime ? 95 : WIFEXITED(end.status) ? WEXITSTATUS(end.status) : 96;
}

// The lines of `path` that start with `start`.
int linesStartingWith(const std::string& path, const std::string& start) {
  std::ifstream file(path);
  int count = 0;
  for (std::string line; std::getline(file, line);) count += line.rfind(start, 0) == 0 ? 1 : 0;
  return count;
}

// The cases of the test below, in the child it runs in; its exit code.
int forkedChildCases() {
  const unsigned me = ::geteuid();
  const unsigned group = ::getegid();
  const std::string users = userLine("root", me, group) + userLine("daemon", 1, 1) + userLine("bin", 2, 2);
  files::setUserListingLimitsForTesting(testsupport::kEventWait, 0);
  // The stand-in getent notes each question ("passwd 0", "passwd" for the listing) in `asked`.
  std::string asked = VESMORA_TEST_BUILD_DIR "/vesmora-getent-asked-XXXXXX";
  const int made = ::mkstemp(asked.data());
  if (made < 0) return 10;
  ::close(made);
  // It answers an entry as `answers` says (a shell `case` on "$1 $2"), else from the files.
  const auto getent = [&asked](const std::string& answers) {
    return "#!/bin/sh\necho \"$*\" >> " + asked + "\ncase \"$1 $2\" in\n" + answers +
           "\nesac\nif [ $# -gt 1 ]; then\n  grep -m 1 \"^[^:]*:[^:]*:$2:\" /etc/$1 || exit 2\n  exit 0\nfi\n"
           "cat /etc/$1\n";
  };
  const auto accepted = [](const std::string& folder) {
    platform::Error error;
    const bool made = files::createPrivateDirectory(folder, &error);
    if (!made) std::fprintf(stderr, "not accepted: %s\n", error.description.c_str());
    return made;
  };
  const std::string root = "passwd " + std::to_string(me);
  int code = 0;
  // What the parent looked up (its user's entry, the group's, the listing) serves its children
  // of the same user and group: they start no process.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string& folder) {
    if (!accepted(folder + "/parent") || !files::lookUpUser(me).found) return 11;
    const int before = linesStartingWith(asked, "");
    const int child = inAChildOfAThreadedProcess([&] {
      return accepted(folder + "/child") && files::lookUpUser(me).home == "/nonexistent" ? 0 : 12;
    });
    if (linesStartingWith(asked, "") != before) std::fprintf(stderr, "the child asked getent\n");
    return child != 0 ? child : linesStartingWith(asked, "") == before ? 0 : 13;
  }, getent(""));
  // A child whose parent knew nothing asks once for each user and group, and keeps a failure too.
  code = code != 0 ? code : withUserDatabase(users, "passwd: files systemd\ngroup: files systemd\n",
                                             [&](const std::string& folder) {
    ::truncate(asked.c_str(), 0);
    return inAChildOfAThreadedProcess([&] {
      for (int call = 0; call < 3; ++call) {
        if (!accepted(folder + "/child" + std::to_string(call)) || files::lookUpUser(me).name != "root") return 14;
        if (files::lookUpUser(4242).failed.find("passwd 4242 ended with status 1") == std::string::npos) return 15;
      }
      const bool once = linesStartingWith(asked, root) == 1 && linesStartingWith(asked, "group ") == 1 &&
                        linesStartingWith(asked, "passwd 4242") == 1;
      if (!once) {
        std::ifstream said(asked);
        std::fprintf(stderr, "getent asked a question more than once:\n%s\n",
                     std::string(std::istreambuf_iterator<char>(said), {}).c_str());
      }
      return once && files::userListings() == 1 ? 0 : 16;
    });
  }, getent("'passwd 4242') exit 1 ;;"));
  // The answer counts only as the entry asked for, never with a home that a ":" in its comment
  // may have moved, read to its line's end and no further: 1 MiB at most.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string&) {
    files::setUserListingLimitsForTesting(testsupport::kEventWait, std::size_t{4} << 20);
    return inAChildOfAThreadedProcess([&] {
      const files::UserEntry other = files::lookUpUser(4243);
      if (other.found || other.failed.find("answered the entry of id 2002, not 4243") == std::string::npos) {
        std::fprintf(stderr, "another user's entry: found %d, %s\n", other.found, other.failed.c_str());
        return 17;
      }
      // Whether the ":" is in the comment or in the shell cannot be told: neither field is its home.
      const files::UserEntry colon = files::lookUpUser(4244);
      if (colon.found || colon.failed.find("more than seven fields") == std::string::npos) {
        std::fprintf(stderr, "a colon in the comment: home \"%s\", %s\n", colon.home.c_str(), colon.failed.c_str());
        return 18;
      }
      const files::UserEntry endless = files::lookUpUser(4245);
      if (endless.home != "/home/endless") {
        std::fprintf(stderr, "an entry followed by more: %s\n", endless.failed.c_str());
        return 19;
      }
      const files::UserEntry huge = files::lookUpUser(4246);
      if (huge.found || huge.failed.find("passwd 4246 answered an entry over 1 MiB") == std::string::npos) {
        std::fprintf(stderr, "an entry over 1 MiB: %s\n", huge.failed.c_str());
        return 20;
      }
      return 0;
    });
  }, getent("'passwd 4243') echo 'intruder:x:2002:2002::/home/intruder:/bin/sh'; exit 0 ;;\n"
            "'passwd 4244') echo 'colon:x:4244:4244:A: colon:/home/colon:/bin/sh'; exit 0 ;;\n"
            "'passwd 4245') echo 'endless:x:4245:4245::/home/endless:/bin/sh'; exec yes ;;\n"
            "'passwd 4246') head -c 2000000 /dev/zero | tr '\\0' x; exit 0 ;;"));
  // A child with no HOME that cannot look its user up is refused with the lookup's own reason.
  struct Failing {
    std::string answer;
    std::string why;
    std::chrono::milliseconds timeLimit;
  };
  const std::vector<Failing> failing = {
      {"exit 1", root + " ended with status 1", testsupport::kEventWait},
      {"kill -9 $$", root + " was ended by signal 9", testsupport::kEventWait},
      {"exec sleep 60", root + " did not answer within 50 ms", std::chrono::milliseconds(50)},
  };
  for (std::size_t at = 0; at < failing.size() && code == 0; ++at) {
    code = withUserDatabase(users, "files systemd", [&](const std::string&) {
      files::setUserListingLimitsForTesting(failing[at].timeLimit, 0);
      return inAChildOfAThreadedProcess([&] {
        ::unsetenv("HOME");
        ::unsetenv("XDG_DATA_HOME");
        try {
          platform::sandbox::defaultDataDirectory();
        } catch (const platform::Exception& refused) {
          if (refused.reason().find(failing[at].why) != std::string::npos) return 0;
          std::fprintf(stderr, "refused: %s\n", refused.reason().c_str());
        }
        return 21;
      }) == 0 ? 0 : 21 + static_cast<int>(at);
    }, getent("'" + root + "') " + failing[at].answer + " ;;"));
  }
  // A child whose host ignores SIGCHLD looks its user up all the same; one at its process limit
  // is told so where a process is needed, and needs none where the users come from the files.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string&) {
    return inAChildOfAThreadedProcess([&] {
      return ::signal(SIGCHLD, SIG_IGN) != SIG_ERR && files::lookUpUser(me).name == "root" ? 0 : 25;
    });
  }, getent(""));
  for (const std::string sources : {"files systemd", "files"}) {
    code = code != 0 ? code : withUserDatabase(users + userLine("limited", 54321, 54321), sources,
                                               [&](const std::string&) {
      if (::chmod("/etc/passwd", 0644) != 0 || ::chmod("/etc/nsswitch.conf", 0644) != 0) return 26;
      return inAChildOfAThreadedProcess([&] {
        const struct rlimit none {0, 0};
        if (::setresgid(54321, 54321, 54321) != 0 || ::setresuid(54321, 54321, 54321) != 0 ||
            ::setrlimit(RLIMIT_NPROC, &none) != 0) {
          return 27;
        }
        const files::UserEntry user = files::lookUpUser(54321);
        if (sources == "files" && user.home == "/nonexistent") return 0;
        if (sources != "files" && user.failed.find("the process limit RLIMIT_NPROC, 0") != std::string::npos) return 0;
        std::fprintf(stderr, "at the process limit, users from %s: %s\n", sources.c_str(), user.failed.c_str());
        return sources == "files" ? 28 : 29;
      });
    }, getent(""));
  }
  std::filesystem::remove(asked);
  return code;
}

// Whether the process `pid` still runs (neither gone nor a zombie).
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z' && line[end + 2] != 'X';
}

// The numbers a file holds, once it holds `count` of them (within kEventWait), else none.
std::vector<long> numbersOnceWritten(const std::string& path, std::size_t count) {
  std::vector<long> numbers;
  testsupport::eventually([&] {
    std::ifstream file(path);
    numbers.clear();
    for (long number = 0; file >> number;) numbers.push_back(number);
    return numbers.size() >= count;
  });
  return numbers.size() >= count ? numbers : std::vector<long>();
}

// Waits (within kEventWait) until none of `pids` runs, reaping those that end as this process's
// children (a subreaper's orphans too); kills and reaps whatever still runs then. Whether none
// outlived the wait.
bool noneRunsSoon(const std::vector<long>& pids) {
  const auto anyRuns = [&pids] {
    while (::waitpid(-1, nullptr, WNOHANG | __WALL) > 0) {
    }
    for (const long pid : pids) {
      if (running(static_cast<pid_t>(pid))) return true;
    }
    return false;
  };
  const bool ended = testsupport::eventually([&] { return !anyRuns(); });
  for (const long pid : pids) {
    if (running(static_cast<pid_t>(pid))) ::kill(static_cast<pid_t>(pid), SIGKILL);
  }
  testsupport::eventually([&] { return !anyRuns(); });
  return ended;
}

// The cases of the test below, in the child it runs in; its exit code.
int hostAndHelperCases() {
  const unsigned me = ::geteuid();
  const unsigned group = ::getegid();
  const std::string users = userLine("root", me, group) + userLine("daemon", 1, 1);
  // The stand-in getent notes its own id and its parent's (the process the lookup started) in
  // `ids`, then answers as `answer` says (a shell command).
  std::string ids = VESMORA_TEST_BUILD_DIR "/vesmora-getent-ids-XXXXXX";
  const int made = ::mkstemp(ids.data());
  if (made < 0) return 10;
  ::close(made);
  const auto getent = [&ids](const std::string& answer) {
    return "#!/bin/sh\necho $$ $PPID >> " + ids + "\n" + answer + "\n";
  };
  const std::string fromTheFiles = "grep -m 1 \"^[^:]*:[^:]*:$2:\" /etc/$1 || exit 2";
  int code = 0;
  // A host ended however it may be while its lookup waits for a getent that never answers: the
  // process the lookup started and the getent end with it, long before the listing's limit.
  enum class End { kKilled, kExit, kAbort };
  for (const End how : {End::kKilled, End::kExit, End::kAbort}) {
    code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string&) {
      if (::truncate(ids.c_str(), 0) != 0 || ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 11;
      files::setUserListingLimitsForTesting(std::chrono::hours(1), 0);
      std::optional<IdleThread> other(std::in_place);
      std::fflush(nullptr);  // nothing buffered is written by both processes
      const pid_t host = ::fork();
      if (host == 0) {
        std::thread ending([&] {
          if (numbersOnceWritten(ids, 2).empty()) return;
          if (how == End::kExit) std::exit(0);
          if (how == End::kAbort) std::abort();
        });
        files::lookUpUser(me);
        ::_exit(3);  // it answered: the getent ended after all
      }
      other.reset();
      const std::vector<long> started = numbersOnceWritten(ids, 2);
      if (how == End::kKilled && host > 0) ::kill(host, SIGKILL);
      int status = 0;
      const bool ended = host > 0 && ::waitpid(host, &status, 0) == host;
      const bool gone = !started.empty() && noneRunsSoon(started);
      if (ended && gone && (WIFSIGNALED(status) || WEXITSTATUS(status) == 0)) return 0;
      std::fprintf(stderr, "a host ended (%d) while it looked its user up: %s, status %d, what it started %s\n",
                   static_cast<int>(how), started.empty() ? "no getent" : "getent started", status,
                   gone ? "ended" : "outlived it");
      return 12 + static_cast<int>(how);
    }, getent("exec sleep 3600"));
  }
  // A lookup's time-out ends getent and whatever it started in its process group. The limit is
  // doubled until getent had started its own child before it.
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string&) {
    return inAChildOfAThreadedProcess([&] {
      for (auto limit = std::chrono::milliseconds(50); limit <= testsupport::kEventWait; limit *= 2) {
        files::forgetUserAnswersForTesting();
        files::setUserListingLimitsForTesting(limit, 0);
        if (::truncate(ids.c_str(), 0) != 0) return 20;
        const files::UserEntry user = files::lookUpUser(me);
        if (user.failed.find("did not answer within") == std::string::npos) {
          std::fprintf(stderr, "a getent that never answers: %s\n", user.failed.c_str());
          return 21;
        }
        std::ifstream file(ids);
        std::vector<long> started;  // getent, its parent, its child
        for (long number = 0; file >> number;) started.push_back(number);
        if (started.size() == 3) return noneRunsSoon({started[0], started[2]}) ? 0 : 22;
      }
      return 23;
    });
  }, getent("sleep 3600 &\necho $! >> " + ids + "\nwait"));
  // A failure that may pass (here getent killed by a signal, once) is kept a short time only: a
  // lookup made once that time has passed asks again; one made within it has the failure kept.
  const std::string once = ids + ".once";
  const std::string failsOnce = "if [ ! -e " + once + " ]; then\n  : > " + once + "\n  kill -9 $$\nfi\n" + fromTheFiles;
  code = code != 0 ? code : withUserDatabase(users, "files systemd", [&](const std::string&) {
    return inAChildOfAThreadedProcess([&] {
      files::setFailureKeptForTesting(std::chrono::milliseconds(1));
      const files::UserEntry failed = files::lookUpUser(me);
      ::usleep(20000);  // past the failure's time
      const files::UserEntry passed = files::lookUpUser(me);
      std::filesystem::remove(once);
      files::forgetUserAnswersForTesting();
      files::setFailureKeptForTesting(testsupport::kEventWait);
      if (::truncate(ids.c_str(), 0) != 0) return 30;
      const bool kept = !files::lookUpUser(me).failed.empty() && !files::lookUpUser(me).failed.empty() &&
                        linesStartingWith(ids, "") == 1;
      if (failed.failed.find("was ended by signal 9") != std::string::npos && passed.name == "root" && kept) return 0;
      std::fprintf(stderr, "a failure once: \"%s\", then \"%s\" (%s), kept %s\n", failed.failed.c_str(),
                   passed.failed.c_str(), passed.name.c_str(), kept ? "within its time" : "not as it should be");
      return 31;
    });
  }, getent(failsOnce));
  std::filesystem::remove(once);
  std::filesystem::remove(ids);
  return code;
}

// The cases of the test below, in the child it runs in (a process of its own, which has not read
// the overflow uid yet); its exit code. The first read of the overflow uid
// (/proc/sys/kernel/overflowuid, here a FIFO that holds the reader in its open until the test
// writes) is under way in a thread when another forks: the parent's reader and the child's each
// answer.
int forkAmidTheFirstReadCases() {
  std::string folder = std::filesystem::temp_directory_path().string() + "/vesmora-overflow-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    std::fprintf(stderr, "no folder could be made in %s: %s\n", folder.c_str(), std::strerror(errno));
    return 39;
  }
  const std::string fifo = folder + "/overflowuid";
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mkfifo(fifo.c_str(), 0600) != 0 ||
      ::mount(fifo.c_str(), "/proc/sys/kernel/overflowuid", nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr, "no FIFO in the overflow uid's place: %s\n", std::strerror(errno));
    std::filesystem::remove_all(folder);
    return 40;
  }
  const std::string answer = "another user (uid 54321)";
  std::atomic<pid_t> reader{0};
  std::string parents;
  std::thread reading([&] {
    reader = ::gettid();
    parents = files::anotherOwner(54321);
  });
  const bool parked = testsupport::eventually([&] { return testsupport::inSystemCall(reader, SYS_openat); });
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = parked ? ::fork() : -1;
  if (child == 0) ::_exit(files::anotherOwner(54321) == answer ? 0 : 1);
  // Enough for both readers (the C library reads a block at a time); open until the child ends.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  std::string ids;
  for (int line = 0; line < 5000; ++line) ids += "65534\n";
  const bool written = writer >= 0 && ::write(writer, ids.data(), ids.size()) == static_cast<ssize_t>(ids.size());
  const testsupport::ChildEnd end = testsupport::awaitChild(child, start, testsupport::kEventWait);
  reading.join();
  if (writer >= 0) ::close(writer);
  ::umount("/proc/sys/kernel/overflowuid");
  std::filesystem::remove_all(folder);
  if (parked && written && end.exitedWith(0) && parents == answer) return 0;
  std::fprintf(stderr, "a fork amid the first read: reader %s, child %s (status %d), parent's answer \"%s\"\n",
               parked ? "parked" : "not parked", end.inTime ? "ended" : "waited for ever", end.status,
               parents.c_str());
  return 41;
}

// Where valgrind is on the path, else empty.
std::string valgrindProgram() {
  const char* path = std::getenv("PATH");
  for (std::string rest = path != nullptr ? path : "/usr/bin:/bin"; !rest.empty();) {
    const std::size_t colon = std::min(rest.find(':'), rest.size());
    const std::string candidate = rest.substr(0, colon) + "/valgrind";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    rest.erase(0, colon + 1);
  }
  return {};
}

}  // namespace

// A child made by fork(), in a process that may hold another thread's lock of the C library's
// name services, looks its user and group up without them: through the files where the name
// services read those alone, else by getent in a process that no handling of SIGCHLD of the
// host's can take; once per user and group, what its parent knew included; trusting the answer
// only as the entry asked for; and the refusal it meets carries the lookup's own reason.
TEST(UserListingDeathTest, AForkedChildLooksUpEachEntryOnceWithoutTheCLibrary) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database another user";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(forkedChildCases()), ::testing::ExitedWithCode(0), "");
}

// What a lookup starts (a process of its own, getent) ends with the process that started it,
// however that one ends, and on a time-out with whatever getent started; a failure that may pass
// (here getent killed by a signal) is kept a short time only.
TEST(UserListingDeathTest, WhatALookupStartsEndsWithItsHostAndAStallPasses) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database another user";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(hostAndHelperCases()), ::testing::ExitedWithCode(0), "");
}

// A child forked while another thread of its parent makes an answer kept for the process (here
// the overflow uid, read once) makes it itself rather than wait for that thread, which it has not.
TEST(UserListingDeathTest, AChildForkedAmidAFirstReadMakesTheAnswerItself) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can mount a FIFO in the overflow uid's place";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(forkAmidTheFirstReadCases()), ::testing::ExitedWithCode(0), "");
}

// Under valgrind (memcheck), which ends a process at a clone() it does not run, a child forked
// from a threaded parent looks its user up by getent ("files systemd") and goes on. The program
// run is built plain, as valgrind cannot run one built with AddressSanitizer.
TEST(UserListingValgrind, AForkedChildLooksItsUserUpUnderValgrind) {
  const std::string valgrind = valgrindProgram();
  if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed (Debian's valgrind package)";
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database another user";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  const std::string users = userLine("root", ::geteuid(), ::getegid());
  std::string said;
  const int code = withUserDatabase(users, "files systemd", [&](const std::string&) {
    const std::string command = valgrind + " -q --error-exitcode=99 " VESMORA_FORKED_LOOKUP " 2>&1";
    std::FILE* run = ::popen(command.c_str(), "r");
    std::string out;
    char block[4096];
    for (std::size_t got = 0; run != nullptr && (got = std::fread(block, 1, sizeof block, run)) > 0;) out.append(block, got);
    const int status = run != nullptr ? ::pclose(run) : -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.find("found root /nonexistent") != std::string::npos) return 0;
    std::fprintf(stderr, "under valgrind (status %d): %s\n", status, out.c_str());
    return 1;
  }, "#!/bin/sh\ngrep -m 1 \"^[^:]*:[^:]*:$2:\" /etc/$1 || exit 2\n");
  EXPECT_EQ(code, 0);
}

// Whether the user's own group may write on the way: it may when it is the user's private group,
// as the user list tells (/etc/passwd, or getent where other name services give users too),
// listed once per process without moving the host's own listing; anything that keeps the list
// from being read to its end counts the group as shared.
TEST(UserListingDeathTest, FindsTheUsersPrivateGroupOnceAndFailsClosed) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database another user";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(userListingCases()), ::testing::ExitedWithCode(0), "");
}

namespace {

// Lines of /etc/passwd the C library reads in ways of its own, each the first of uid 2002 in its
// file, between an entry of another user before it and one of the same uid after it.
const std::vector<std::string>& oddUserLines() {
  static const std::vector<std::string> lines = {
      "bob:x:2002:2002:Bob:/home/alice:/home/bob:/bin/sh",  // a ":" in the comment
      "bob:x:2002:2002:Bob:/home/bob:/bin/sh:",             // a ":" after the shell
      "bob:x:02002:2002::/home/bob:/bin/sh",
      "bob:x:00000000000000002002:2002::/home/bob:/bin/sh",
      "bob:x:+2002:2002::/home/bob:/bin/sh",
      "bob:x: 2002:2002::/home/bob:/bin/sh",
      "bob:x:-18446744073709549614:2002::/home/bob:/bin/sh",  // 2002, as strtoul negates it
      "bob:x:2002 :2002::/home/bob:/bin/sh",
      "bob:x:0x7d2:2002::/home/bob:/bin/sh",
      "bob:x:4294969298:2002::/home/bob:/bin/sh",  // 2002 past 32 bits
      "bob:x:-1:2002::/home/bob:/bin/sh",
      "bob:x:2002:abc::/home/bob:/bin/sh",
      "bob:x:2002:-1::/home/bob:/bin/sh",
      "bob:x:2002:2002",
      "bob:x:2002:2002:Bob",
      "bob:x:2002",
      std::string("bob:x:2002:2002:B\0ob:/home/bob:/bin/sh", 38),  // a NUL in the comment
      std::string("bob:x:2002:2002::/home/bob:/bin/\0sh", 35),     // a NUL in the shell
      std::string("bob:x:2002\0:2002::/home/bob:/bin/sh", 35),
      "  bob:x:2002:2002::/home/bob:/bin/sh",
      "\vbob:x:2002:2002::/home/bob:/bin/sh",
      "\f#bob:x:2002:2002::/home/bob:/bin/sh",
      "#bob:x:2002:2002::/home/bob:/bin/sh",
      "+bob:x:2002:2002::/home/plus:/bin/sh",
      "-bob:x:2002:2002::/home/minus:/bin/sh",
      ":x:2002:2002::/home/nameless:/bin/sh",
      "bob:x:2002:2002::/home/bob:/bin/sh\r",
  };
  return lines;
}

std::string oddUserFile(const std::string& line) {
  return "alice:x:2001:2001::/home/alice:/bin/sh\n" + line + "\ncarol:x:2002:2002::/home/carol:/bin/sh\n";
}

// What the C library answers for uid 2002 from the passwd file at `path`, as its "files" source
// looks a uid up: the first entry of that uid whose name does not start with "+" or "-". Its
// name, home and shell; none when there is no such entry.
std::optional<std::vector<std::string>> cLibraryUser(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return std::nullopt;
  std::optional<std::vector<std::string>> found;
  while (const struct passwd* entry = ::fgetpwent(file)) {
    if (entry->pw_uid != 2002 || entry->pw_name[0] == '+' || entry->pw_name[0] == '-') continue;
    const auto text = [](const char* field) { return std::string(field != nullptr ? field : ""); };
    found = std::vector<std::string>{text(entry->pw_name), text(entry->pw_dir), text(entry->pw_shell)};
    break;
  }
  std::fclose(file);
  return found;
}

// Whether `user` is the answer the C library's entry `expected` gives: the same name and home,
// or, where the entry came from a line of more than seven fields (its shell holds a ":"),
// refused, saying so.
bool sameAnswer(const files::UserEntry& user, const std::optional<std::vector<std::string>>& expected) {
  if (!expected) return !user.found && user.failed.empty();
  if ((*expected)[2].find(':') != std::string::npos) {
    return !user.found && user.failed.find("more than seven fields") != std::string::npos;
  }
  return user.found && user.name == (*expected)[0] && user.home == (*expected)[1];
}

std::string printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    shown += c >= 0x20 && c < 0x7f ? std::string(1, c) : "\\x" + std::to_string(static_cast<unsigned char>(c));
  }
  return shown;
}

}  // namespace

// The SDK's own reader of /etc/passwd (a forked child's, where the files alone give users) answers
// what the C library answers for each line it reads in a way of its own: the same entry, with
// the same home, or none; a line of more than seven fields is refused, never read as another
// user's home.
TEST(UserListing, ThePasswdReaderAnswersWhatTheCLibraryAnswers) {
  const std::string path = VESMORA_TEST_BUILD_DIR "/vesmora-passwd-" + std::to_string(::getpid());
  for (const std::string& line : oddUserLines()) {
    {
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      file << oddUserFile(line);
      ASSERT_TRUE(file.good()) << "could not write " << path;
    }
    const std::optional<std::vector<std::string>> expected = cLibraryUser(path);
    const files::UserEntry user = files::userFromPasswdFileForTesting(path, 2002);
    EXPECT_TRUE(sameAnswer(user, expected))
        << "line \"" << printable(line) << "\": the C library " << (expected ? "answers " + (*expected)[0] + " at \"" +
                                                                                   (*expected)[1] + "\""
                                                                             : std::string("has no entry"))
        << "; the reader " << (user.found ? "answers " + user.name + " at \"" + user.home + "\"" : "refuses: " + user.failed);
  }
  std::filesystem::remove(path);
}

namespace {

// The cases of the test below, in the child it runs in; its exit code.
int oneAnswerCases() {
  files::setUserListingLimitsForTesting(testsupport::kEventWait, 0);
  int code = 0;
  for (std::size_t at = 0; at < oddUserLines().size() && code == 0; ++at) {
    const std::string& line = oddUserLines()[at];
    for (const char* sources : {"files", "files systemd"}) {
      code = withUserDatabase(userLine("root", 0, 0) + oddUserFile(line), sources, [&](const std::string&) {
        const std::optional<std::vector<std::string>> expected = cLibraryUser("/etc/passwd");
        // This process was alone with its thread at the fork: it asks the C library.
        const files::UserEntry asked = files::lookUpUser(2002);
        files::forgetUserAnswersForTesting();
        const int child = inAChildOfAThreadedProcess([&] {
          const files::UserEntry read = files::lookUpUser(2002);
          if (sameAnswer(read, expected)) return 0;
          std::fprintf(stderr, "the child of a threaded process %s\n",
                       read.found ? ("answers " + read.name + " at \"" + read.home + "\"").c_str()
                                  : ("refuses: " + read.failed).c_str());
          return 1;
        });
        if (sameAnswer(asked, expected) && child == 0) return 0;
        std::fprintf(stderr, "line \"%s\", users from %s: the C library %s; %s\n", printable(line).c_str(), sources,
                     asked.found ? ("answers " + asked.name + " at \"" + asked.home + "\"").c_str()
                                 : ("refuses: " + asked.failed).c_str(),
                     child == 1 ? "a child of a threaded process answers otherwise" : "the child failed");
        return 60;
      });
    }
  }
  return code;
}

}  // namespace

// One line of /etc/passwd gives one answer in a child of a process alone with its thread (the C
// library's) and in one of a threaded process (the SDK's own reader where the files alone give
// users, getent where others may too).
TEST(UserListingDeathTest, OneLineGivesOneAnswerWhoeverReadsIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database lines of its own";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(oneAnswerCases()), ::testing::ExitedWithCode(0), "");
}
