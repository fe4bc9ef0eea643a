// What `run` writes to the standard error (descriptor 2), read back once it returns and written
// there too. Empty when the descriptor cannot be redirected.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace testsupport {

template <typename Run>
std::string standardErrorOf(Run&& run) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  std::FILE* written = std::tmpfile();
  if (saved < 0 || written == nullptr || ::dup2(::fileno(written), 2) != 2) {
    run();
    return {};
  }
  run();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string text;
  std::rewind(written);
  for (int c; (c = std::fgetc(written)) != EOF;) text += static_cast<char>(c);
  std::fclose(written);
  std::cerr << text;
  return text;
}

}  // namespace testsupport
