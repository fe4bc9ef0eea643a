// A bench case in a process of its own (a process can configure the SDK once), with a fresh
// temporary folder that goes with it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

// Runs `work(folder, out)` in a forked process, in a new folder of the temporary one named after
// `name`; the process writes its figures to the descriptor `out` and ends with work's status. The
// text written, or nothing (said on standard error) when the process did not end with status 0.
template <typename Work>
std::optional<std::string> runInFreshProcess(const char* name, Work&& work) {
  std::string folder = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
  int out[2];
  if (::mkdtemp(folder.data()) == nullptr || ::pipe(out) != 0) return std::nullopt;
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    ::_exit(work(folder, out[1]));
  }
  ::close(out[1]);
  std::string text;
  char block[4096];
  for (ssize_t got; (got = ::read(out[0], block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(got));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::filesystem::remove_all(folder);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: the case failed: status %d\n", name,
                 WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
    return std::nullopt;
  }
  return text;
}
