// One fuzz input: the first byte picks a message, the rest is decoded as that message. Returns
// false when something decoded but did not re-encode to stable bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "proto/NANOMessages.h"

inline bool nanoFuzzDecodeOne(const uint8_t* data, size_t size) {
  if (size == 0) return true;
  const auto all = nanoAllMessageDescriptors();
  const NANOMessageDescriptor& descriptor = *all[data[0] % all.size()];
  NANOMessageInfo* record = nanoNewMessage(descriptor);
  if (record == nullptr) return true;
  bool ok = true;
  if (nanoDecode(descriptor, data + 1, size - 1, record)) {
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    ok = nanoEncodeToBytes(descriptor, record, first);
    NANOMessageInfo* again = nanoNewMessage(descriptor);
    ok = ok && nanoDecode(descriptor, first.data(), first.size(), again) &&
         nanoEncodeToBytes(descriptor, again, second) && first == second;
    nanoFreeMessage(descriptor, again);
  }
  nanoFreeMessage(descriptor, record);
  return ok;
}
