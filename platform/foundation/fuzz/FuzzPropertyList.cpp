// libFuzzer entry for the property-list reader.
#include <cstdlib>

#include "FuzzFoundationOne.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzPropertyListOne(data, size)) std::abort();
  return 0;
}
