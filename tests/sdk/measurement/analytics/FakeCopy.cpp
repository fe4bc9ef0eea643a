// A shared object that carries copies' notes and blocks as other builds of the SDK lay them out,
// set by the host (CopiesHost.cpp): blocks of any size, in any phase, so that a copy of this build
// is seen to read an older build's block and a later one's. FAKE_COPY_BLOCKS sets how many blocks
// (and notes) it carries, one by default. Built with FAKE_COPY_FAR, its note points 16 TiB past
// the object: no copy's block. Built with FAKE_COPY_READ_ONLY, its one block, of this build's
// layout, linked to itself and working, lies in the part made read-only after relocation.
#include <cstdint>
#include <cstring>

#include "Core/Private/CDVCopies.h"

#ifndef FAKE_COPY_BLOCKS
#define FAKE_COPY_BLOCKS 1
#endif
#define FAKE_COPY_TEXT(x) #x
#define FAKE_COPY_STRING(x) FAKE_COPY_TEXT(x)

extern "C" {

#ifdef FAKE_COPY_READ_ONLY

struct alignas(8) FakeLinkedBlock {
  std::uint32_t magic, size, phase;
  std::int32_t claimer;
  const char* name;
  void* endApp;
  void* claimedHere;
  const FakeLinkedBlock* next;
  unsigned char rest[16];
};
// Const, and holding its own address: the linker puts it where the loader makes it read-only.
__attribute__((visibility("hidden"))) extern const FakeLinkedBlock fake_copy_block;
__attribute__((used)) const FakeLinkedBlock fake_copy_block{0x31564443, 64, 2, 0, "a read-only copy", nullptr, nullptr, &fake_copy_block, {}};

#else

constexpr unsigned kBlockBytes = 96;
struct alignas(8) FakeCopyBlock {
  unsigned char bytes[kBlockBytes];
};
__attribute__((visibility("hidden"), used)) FakeCopyBlock fake_copy_blocks[FAKE_COPY_BLOCKS]{};

// Lays block `index` out as a build whose block is `size` bytes would: the first layout's fields
// (magic, size, phase, claiming process, file name, end of the app: none), the rest zero up to
// `size`, but for a block that covers the ring's link, linked to itself; past `size`, bytes a
// later field would read as an address no process maps.
__attribute__((visibility("default"))) void fake_copy_set(int index, std::uint32_t size, std::uint32_t phase,
                                                          std::int32_t claimer, const char* name) {
  unsigned char* const at = fake_copy_blocks[index].bytes;
  std::memset(at, 0, kBlockBytes);
  if (size < kBlockBytes) std::memset(at + size, 0x10, kBlockBytes - size);
  const std::uint32_t magic = 0x31564443;
  std::memcpy(at, &magic, 4);
  std::memcpy(at + 4, &size, 4);
  std::memcpy(at + 8, &phase, 4);
  std::memcpy(at + 12, &claimer, 4);
  std::memcpy(at + 16, &name, sizeof name);
  if (size >= 48) std::memcpy(at + 40, &at, sizeof at);
}

__attribute__((visibility("default"))) int fake_copy_count() { return FAKE_COPY_BLOCKS; }

// Links the first `count` blocks (laid out to cover the ring's link) into a ring of their own, in
// their order, as copies of this build that linked themselves one after another would.
__attribute__((visibility("default"))) void fake_copy_ring(int count) {
  for (int i = 0; i < count; ++i) {
    const unsigned char* next = fake_copy_blocks[(i + 1) % count].bytes;
    std::memcpy(fake_copy_blocks[i].bytes + 40, &next, sizeof next);
  }
}

#endif

}  // extern "C"

#ifdef FAKE_COPY_READ_ONLY
CDV_COPY_NOTE(fake_copy_block);
#elif defined(FAKE_COPY_FAR)
CDV_COPY_NOTE(fake_copy_blocks + 0x100000000000);
#else
// A note for each block, as CDV_COPY_NOTE writes one.
asm(".pushsection .note.cindervale.copy,\"a\",@note\n"
    ".set fake_copy_index, 0\n"
    ".rept " FAKE_COPY_STRING(FAKE_COPY_BLOCKS) "\n"
    ".balign 4\n"
    ".long 11\n"
    ".long 8\n"
    ".long 0x43445643\n"
    ".asciz \"Cindervale\"\n"
    ".balign 4\n"
    ".quad fake_copy_blocks + fake_copy_index * 96 - .\n"
    ".set fake_copy_index, fake_copy_index + 1\n"
    ".endr\n"
    ".popsection\n");
#endif
