// A shared object whose loading holds the thread that opens it, inside dlopen and so holding the
// dynamic loader's lock: its constructor writes a byte to the descriptor named first in
// VESMORA_HELD_LOAD ("<held>,<release>") and waits for one on the second (CopiesHost.cpp).
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

__attribute__((constructor)) void holdTheLoad() {
  const char* fds = std::getenv("VESMORA_HELD_LOAD");
  int held = -1;
  int release = -1;
  if (fds == nullptr || std::sscanf(fds, "%d,%d", &held, &release) != 2) return;
  char byte = 1;
  if (::write(held, &byte, 1) != 1) return;
  while (::read(release, &byte, 1) < 0) {
  }
}

}  // namespace
