// A shared object that carries a copy's note and block as another build of the SDK lays them out,
// set by the host (CopiesHost.cpp): a block of any size, in any phase, so that a copy of this build
// is seen to read an older build's block and a later one's. Built with FAKE_COPY_FAR, its note
// points 16 TiB past the object: no copy's block.
#include <cstdint>
#include <cstring>

#include "Core/Private/CDVCopies.h"

extern "C" {

struct alignas(8) FakeCopyBlock {
  unsigned char bytes[64];
};
__attribute__((visibility("hidden"), used)) FakeCopyBlock fake_copy_block{};

// Lays the block out as a build whose block is `size` bytes would: the first layout's fields
// (magic, size, phase, claiming process, file name, end of the app: none), the rest zero up to
// `size`; past it, bytes a later field would read as an address no process maps.
__attribute__((visibility("default"))) void fake_copy_set(std::uint32_t size, std::uint32_t phase,
                                                          std::int32_t claimer, const char* name) {
  unsigned char* const at = fake_copy_block.bytes;
  std::memset(at, 0, sizeof fake_copy_block.bytes);
  if (size < sizeof fake_copy_block.bytes) std::memset(at + size, 0x10, sizeof fake_copy_block.bytes - size);
  const std::uint32_t magic = 0x31564443;
  std::memcpy(at, &magic, 4);
  std::memcpy(at + 4, &size, 4);
  std::memcpy(at + 8, &phase, 4);
  std::memcpy(at + 12, &claimer, 4);
  std::memcpy(at + 16, &name, sizeof name);
}

}  // extern "C"

#ifdef FAKE_COPY_FAR
CDV_COPY_NOTE(fake_copy_block + 0x100000000000);
#else
CDV_COPY_NOTE(fake_copy_block);
#endif
