// Where a test that runs part of its work as another user makes its scratch folder: a place that
// user can reach. A private temporary folder (0700, as a per-user runtime folder is) is not one.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace testsupport {

// Whether `user` (with the group of the same number) may search `folder`, and so every folder on
// the way to it: asked as that user, in a child process. Root only.
inline bool searchableBy(uid_t user, const std::string& folder) {
  const pid_t child = ::fork();
  if (child == 0) {
    const bool searchable = ::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0 &&
                            ::access(folder.c_str(), X_OK) == 0;
    ::_exit(searchable ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The temporary folder (TMPDIR, or /tmp when it is unset) when `user` can reach it, else /tmp
// when he can reach that; empty when neither, with the reason in `why`.
inline std::string temporaryFolderReachableBy(uid_t user, std::string* why) {
  std::error_code ec;
  const std::string temporary = std::filesystem::temp_directory_path(ec).string();
  if (!ec && searchableBy(user, temporary)) return temporary;
  if (searchableBy(user, "/tmp")) return "/tmp";
  *why = "user " + std::to_string(user) + " can reach neither the temporary folder (" +
         (ec ? ec.message() : temporary) + ") nor /tmp";
  return {};
}

}  // namespace testsupport
