// A user database of a test's own: a child process whose /etc/passwd, nsswitch.conf and, where
// given, /usr/bin/getent are its own, seen through a mount namespace of the child's alone (root
// only).
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "FreeSpace.h"
#include "foundation/Files.h"
#include "foundation/ProcessInfo.h"

namespace testsupport {

// Runs `body` in a child process of its own whose user database is `users` (the lines of
// /etc/passwd) and whose name services take users from `sources` (the sources of the passwd
// line of nsswitch.conf or, holding a line's end, all of the file), both seen through a mount
// namespace of the child's alone, with a folder of the user's only its private group may write
// to (as a umask of 002 leaves it), given to `body`. A `getent` given (a file of mode
// `getentMode`) stands in the namespace at /usr/bin/getent; it is written in the build folder,
// since the temporary folder may be mounted noexec. The child's exit code: 0 when all held.
template <typename Body>
int withUserDatabase(const std::string& users, const std::string& sources, Body body, const std::string& getent = {},
                     mode_t getentMode = 0755) {
  const pid_t child = ::fork();
  if (child == 0) {
    // A process of its own for the user database, whose entries it looks up itself.
    platform::ProcessInfo::countAsFirstProcessForTesting();
    platform::files::forgetUserAnswersForTesting();
    std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-users-XXXXXX";
    if (::mkdtemp(base.data()) == nullptr || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      std::fprintf(stderr, "could not make %s in a mount namespace of its own: %s\n", base.c_str(), std::strerror(errno));
      ::_exit(90);
    }
    std::string program = getent.empty() ? std::string() : VESMORA_TEST_BUILD_DIR "/vesmora-getent-XXXXXX";
    if (!program.empty() && ::mkdtemp(program.data()) == nullptr) {
      std::fprintf(stderr, "could not make a folder for the stand-in getent in %s: %s\n", VESMORA_TEST_BUILD_DIR,
                   std::strerror(errno));
      std::filesystem::remove_all(base);
      ::_exit(94);
    }
    const std::string group = base + "/group";
    namespace files = platform::files;
    platform::Error error;
    int code = ::mkdir(group.c_str(), 0700) == 0 && ::chmod(group.c_str(), 0775) == 0 &&
                       files::writeFileAtomically(base + "/passwd", users, &error) &&
                       files::writeFileAtomically(base + "/nsswitch",
                                                  sources.find('\n') == std::string::npos ? "passwd: " + sources + "\n"
                                                                                          : sources,
                                                  &error) &&
                       ::mount((base + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0 &&
                       ::mount((base + "/nsswitch").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0 &&
                       (getent.empty() ||
                        (files::writeFileAtomically(program + "/getent", getent, &error) &&
                         ::chmod((program + "/getent").c_str(), getentMode) == 0 &&
                         ::mount((program + "/getent").c_str(), "/usr/bin/getent", nullptr, MS_BIND, nullptr) == 0))
                   ? body(group)
                   : 91;
    if (code == 91) {  // the step that failed, on a full disk say, set errno or `error`
      std::fprintf(stderr, "could not set up the user database: %s%s\n",
                   error.domain.empty() ? std::strerror(errno) : error.description.c_str(), freeSpace(base).c_str());
    }
    if (!getent.empty()) ::umount("/usr/bin/getent");
    ::umount("/etc/nsswitch.conf");
    ::umount("/etc/passwd");
    std::filesystem::remove_all(base);
    if (!program.empty()) std::filesystem::remove_all(program);
    ::_exit(code);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return 92;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 93;
}

// A line of /etc/passwd.
inline std::string userLine(const std::string& name, unsigned uid, unsigned gid, const std::string& about = {}) {
  return name + ":x:" + std::to_string(uid) + ":" + std::to_string(gid) + ":" + about + ":/nonexistent:/bin/sh\n";
}

}  // namespace testsupport
