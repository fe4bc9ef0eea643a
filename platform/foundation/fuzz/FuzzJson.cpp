// libFuzzer entry for the JSON reader.
#include <cstdlib>

#include "FuzzFoundationOne.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzJsonOne(data, size)) std::abort();
  return 0;
}
