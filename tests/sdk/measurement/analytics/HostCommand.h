// Runs a host program through the shell for the tests that watch one from outside.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace hosttest {

// `command`'s exit status (-1 when it did not exit by itself) and all it printed to the pipe.
inline int runCommand(const std::string& command, std::string* output) {
  int exitStatus = -1;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, read);
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) exitStatus = WEXITSTATUS(status);
  }
  return exitStatus;
}

}  // namespace hosttest
