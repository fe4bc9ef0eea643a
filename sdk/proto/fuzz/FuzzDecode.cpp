// libFuzzer entry for the message decoders.
#include <cstdlib>

#include "FuzzDecodeOne.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!nanoFuzzDecodeOne(data, size)) std::abort();
  return 0;
}
