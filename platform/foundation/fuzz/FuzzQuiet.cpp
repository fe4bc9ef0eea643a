// Linked into every fuzz target: the readers print a line for each input they refuse, which
// would bury libFuzzer's own report (on standard error) under millions of lines. Standard output
// goes to /dev/null unless VESMORA_FUZZ_VERBOSE is set.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("VESMORA_FUZZ_VERBOSE") == nullptr) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
  return 0;
}
