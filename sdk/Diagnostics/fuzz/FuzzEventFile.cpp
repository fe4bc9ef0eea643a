// libFuzzer entry for the event-file reader.
#include <cstdlib>

#include "FuzzEventFileOne.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzEventFileOne(data, size)) std::abort();
  return 0;
}
