#include "Core/Private/CDVCopies.h"

#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "Core/Public/CDVLogger.h"
#include "dispatch/StayLoaded.h"
#include "foundation/Cancellation.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"
#include "uikit/UIKit.h"

// ---- the block every copy carries ----
//
// Read by other copies, which may be other builds of the SDK: plain C layout, fields only added at
// the end (a reader checks `size`), never reordered. It lives as long as the process: a copy is
// never unloaded (platform::stayLoaded).
extern "C" {

struct CDVCopyBlock {
  std::uint32_t magic;
  std::uint32_t size;
  // 0: free; 1: a configure of this copy is under way; 2: this copy works. A futex word: the copies
  // that wait for a configure's outcome wait on it.
  std::atomic<std::uint32_t> phase;
  // The process that set the phase (a child made by fork() sees its parent's phases).
  std::atomic<std::int32_t> claimer;
  // The file of this copy as the loader names it, set before the phase leaves 0.
  std::atomic<const char*> name;
  // The app's end, run by this copy (UIApplication::terminate): 1 when everything was stored.
  int (*endApp)() noexcept;
};

}  // extern "C"

namespace {

constexpr std::uint32_t kBlockMagic = 0x31564443;  // "CDV1"
constexpr std::uint32_t kFree = 0;
constexpr std::uint32_t kConfiguring = 1;
constexpr std::uint32_t kWorks = 2;
constexpr char kNoteName[] = "Cindervale";
constexpr std::uint32_t kNoteType = 0x43445643;  // "CVDC"

// Called by another copy, through a function that must not throw: a cancellation of the calling
// thread waits until the end is made, and acts at that thread's next cancellation point.
int endAppHere() noexcept {
  const platform::CancellationHeldOff heldOff;
  try {
    return UIApplication().terminate() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace

// Hidden: the note's offset to it is fixed when the copy is linked, and no other object binds to it.
extern "C" {
__attribute__((visibility("hidden"), used)) constinit CDVCopyBlock cdv_copy_block{
    kBlockMagic, sizeof(CDVCopyBlock), {kFree}, {0}, {nullptr}, &endAppHere};
}

// The note: an allocated note section, so the linker puts it in a PT_NOTE segment and keeps it
// from --gc-sections; its descriptor is the 8-byte offset from the descriptor to the block.
asm(R"(
  .pushsection .note.cindervale.copy,"a",@note
  .balign 4
  .long 11
  .long 8
  .long 0x43445643
  .asciz "Cindervale"
  .balign 4
  .quad cdv_copy_block - .
  .popsection
)");

namespace cdv_copies {
namespace {

CDVCopyBlock& self() { return cdv_copy_block; }

// Calls `visit` with the block of every copy in the loaded object `info`.
template <typename Visit>
void forEachBlock(const dl_phdr_info& info, Visit&& visit) {
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info.dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    const std::size_t align = header.p_align == 8 ? 8 : 4;
    auto rounded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
    const char* at = reinterpret_cast<const char*>(info.dlpi_addr + header.p_vaddr);
    const char* const end = at + header.p_memsz;
    while (static_cast<std::size_t>(end - at) >= sizeof(ElfW(Nhdr))) {
      ElfW(Nhdr) note;
      std::memcpy(&note, at, sizeof note);
      const char* const name = at + sizeof note;
      if (rounded(note.n_namesz) > static_cast<std::size_t>(end - name)) break;
      const char* const desc = name + rounded(note.n_namesz);
      if (rounded(note.n_descsz) > static_cast<std::size_t>(end - desc)) break;
      if (note.n_type == kNoteType && note.n_namesz == sizeof kNoteName && note.n_descsz == sizeof(std::int64_t) &&
          std::memcmp(name, kNoteName, sizeof kNoteName) == 0) {
        std::int64_t offset = 0;
        std::memcpy(&offset, desc, sizeof offset);
        auto* block = reinterpret_cast<CDVCopyBlock*>(const_cast<char*>(desc) + offset);
        if (block->magic == kBlockMagic && block->size >= sizeof(CDVCopyBlock)) visit(*block);
      }
      at = desc + rounded(note.n_descsz);
    }
  }
}

// What a walk of the loaded objects found of the other copies. Its callbacks run under the loader's
// lock: they read memory and set atomics only (no call that takes the loader's other lock).
struct Walk {
  // The process that claims, for a walk that claims; 0 for a look, which takes only a copy that
  // works for one that does.
  std::int32_t pid = 0;
  const char* ownName = nullptr;
  CDVCopyBlock* working = nullptr;
  CDVCopyBlock* configuring = nullptr;
  bool othersLoaded = false;
  bool granted = false;
};

void classify(Walk& walk, CDVCopyBlock& block) {
  walk.othersLoaded = true;
  const std::uint32_t phase = block.phase.load(std::memory_order_acquire);
  // A configure under way in the process this one was forked from never ends here: as if it
  // worked.
  if (phase == kWorks || (phase == kConfiguring && walk.pid != 0 && block.claimer.load() != walk.pid)) {
    if (walk.working == nullptr) walk.working = &block;
  } else if (phase == kConfiguring && walk.configuring == nullptr) {
    walk.configuring = &block;
  }
}

// The other copies' blocks, as the walks found them in the objects loaded so far. Reading an
// object's notes touches a page of it, which a child made by fork() has to fault in again (some
// 40 of them in a host that links the usual libraries): an object is read once, and while the
// loader has unloaded nothing (its count in dl_phdr_info), a walk reads only the objects loaded
// since, told by the address of their program headers. Only read and written under the loader's
// lock, in the walks' callbacks.
constexpr int kKnownMost = 16;
constexpr int kSeenMost = 512;
struct KnownCopies {
  bool tooMany = false;  // more objects or copies than it keeps: every walk reads every object
  unsigned long long subs = 0;
  unsigned long long adds = 0;
  int count = 0;
  CDVCopyBlock* blocks[kKnownMost] = {};
  int seenCount = 0;
  const void* seen[kSeenMost] = {};  // sorted
};
constinit KnownCopies gKnown;

// False when the object was read before; else remembers it.
bool firstSight(const void* object) {
  const void** const end = gKnown.seen + gKnown.seenCount;
  const void** at = std::lower_bound(gKnown.seen, end, object, std::less<const void*>());
  if (at != end && *at == object) return false;
  if (gKnown.seenCount == kSeenMost) {
    gKnown.tooMany = true;
    return true;
  }
  std::copy_backward(at, end, end + 1);
  *at = object;
  ++gKnown.seenCount;
  return true;
}

int collectObject(dl_phdr_info* info, std::size_t, void*) {
  if (!firstSight(info->dlpi_phdr)) return 0;
  forEachBlock(*info, [](CDVCopyBlock& block) {
    if (&block == &self()) return;
    if (gKnown.count < kKnownMost) {
      gKnown.blocks[gKnown.count++] = &block;
    } else {
      gKnown.tooMany = true;
    }
  });
  return 0;
}

int classifyObject(dl_phdr_info* info, std::size_t, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  forEachBlock(*info, [&walk](CDVCopyBlock& block) {
    if (&block != &self()) classify(walk, block);
  });
  return 0;
}

// The first object's callback: brings the known copies up to date (walking every object again, the
// lock being recursive, when the loader loaded or unloaded one since), looks at them and, for a
// walk that claims, claims the process when no other copy works or configures; then stops the
// outer walk. The whole look and the claim hold the lock that every copy's walk takes.
int walkCopies(dl_phdr_info* info, std::size_t size, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  const bool counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
  // An object unloaded (or no counts to tell): every object is read again.
  if (!counted || gKnown.subs != info->dlpi_subs) gKnown = KnownCopies{};
  // Objects loaded since the last walk, or none walked yet: those not seen are read.
  if (!counted || gKnown.seenCount == 0 || gKnown.adds != info->dlpi_adds) {
    ::dl_iterate_phdr(&collectObject, nullptr);
    if (counted) {
      gKnown.adds = info->dlpi_adds;
      gKnown.subs = info->dlpi_subs;
    }
  }
  if (!counted || gKnown.tooMany) {
    ::dl_iterate_phdr(&classifyObject, data);
  } else {
    for (int i = 0; i < gKnown.count; ++i) classify(walk, *gKnown.blocks[i]);
  }
  if (walk.pid != 0 && walk.working == nullptr && walk.configuring == nullptr) {
    self().claimer.store(walk.pid);
    self().name.store(walk.ownName);
    self().phase.store(kConfiguring, std::memory_order_release);
    walk.granted = true;
  }
  return 1;
}

// A child made by fork() while a thread of its parent was inside dl_iterate_phdr finds the
// loader's lock held for good (the C library makes it anew only for dlopen's), and its own walk
// would wait for ever: a fork waits for this copy's walk under way, which waits for nothing. The
// handlers are registered as the copy loads, before any of its own taken later (they run first):
// so the walk's lock is the last this copy's fork takes, and no thread that holds another of them
// walks (a walk is made only by a copy that does not hold the process, outside the SDK's locks).
std::mutex gWalkMutex;
std::atomic<bool> gWalkForkSafe{false};
void lockWalksBeforeFork() { gWalkMutex.lock(); }
void unlockWalksAfterFork() { gWalkMutex.unlock(); }

void walkCopiesOnce(Walk& walk) {
  if (!gWalkForkSafe.load(std::memory_order_relaxed) && !gWalkForkSafe.exchange(true)) {
    ::pthread_atfork(&lockWalksBeforeFork, &unlockWalksAfterFork, &unlockWalksAfterFork);
  }
  std::lock_guard lock(gWalkMutex);
  ::dl_iterate_phdr(&walkCopies, &walk);
}

// No system call: the loader's lock is taken without one when no other thread holds it.
Walk look() {
  Walk walk;
  walkCopiesOnce(walk);
  return walk;
}

// As the copy loads (the loader has just read every object): a configure in a child made by fork()
// later finds the copies known. Nothing depends on it.
[[maybe_unused]] const bool gCopiesKnownAtLoad = (look(), true);

void waitWhileConfiguring(CDVCopyBlock& block) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&block.phase), FUTEX_WAIT_PRIVATE, kConfiguring, nullptr,
            nullptr, 0);
}

void wakeWaiters() {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&self().phase), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

const char* nameOf(const CDVCopyBlock& block) {
  const char* name = block.name.load();
  return name != nullptr ? name : "";
}

// This copy's configures: how many are under way. Taken only by configure, which a forked child
// of a process that configured refuses before it comes here.
std::mutex gClaimMutex;
int gConfiguresUnderWay = 0;

// The copy found working, kept: it works until the process ends.
std::atomic<CDVCopyBlock*> gOtherWorking{nullptr};
std::atomic<bool> gRefusalWritten{false};

// Writes of the app's held until this copy configures (writeOfTheApp).
std::mutex gHeldWritesMutex;
constinit platform::Immortal<std::vector<std::function<void()>>> gHeldWritesStorage;
constinit std::vector<std::function<void()>>& gHeldWrites = *gHeldWritesStorage;

void dropHeldWrites() {
  std::vector<std::function<void()>> dropped;
  std::lock_guard lock(gHeldWritesMutex);
  dropped.swap(gHeldWrites);
}

CDVCopyBlock* otherWorkingBlock() {
  if (CDVCopyBlock* known = gOtherWorking.load(std::memory_order_acquire)) return known;
  // While this copy works or holds the process for a configure, no other copy works.
  if (self().phase.load(std::memory_order_acquire) != kFree) return nullptr;
  const Walk walk = look();
  if (walk.working == nullptr) return nullptr;
  gOtherWorking.store(walk.working, std::memory_order_release);
  return walk.working;
}

// The app's end through a copy that does not work: the copy that works ends it too, and waits for
// what it holds. -1 when no other copy works.
int endThroughWorkingCopy() {
  CDVCopyBlock* working = otherWorkingBlock();
  if (working == nullptr || working->endApp == nullptr) return -1;
  return working->endApp();
}

[[maybe_unused]] const bool gEndHandedOverAtLoad = (UIApplication::setEndElsewhere(&endThroughWorkingCopy), true);

}  // namespace

Claim claim() {
  UIApplication::setEndElsewhere(&endThroughWorkingCopy);
  const char* const ownName = platform::loadedFrom();  // not under the loader's lock: it takes another
  std::lock_guard lock(gClaimMutex);
  for (;;) {
    if (gConfiguresUnderWay > 0 || self().phase.load() == kWorks) {
      ++gConfiguresUnderWay;
      return {true, {}};
    }
    Walk walk;
    walk.pid = static_cast<std::int32_t>(::getpid());
    walk.ownName = ownName;
    walkCopiesOnce(walk);
    if (walk.granted) {
      ++gConfiguresUnderWay;
      return {true, {}};
    }
    if (walk.working != nullptr) {
      dropHeldWrites();
      return {false, nameOf(*walk.working)};
    }
    // Another copy's configure is under way: its outcome decides.
    waitWhileConfiguring(*walk.configuring);
  }
}

void settle(bool configured) {
  std::lock_guard lock(gClaimMutex);
  --gConfiguresUnderWay;
  const std::uint32_t phase = self().phase.load();
  if (configured && phase != kWorks) {
    self().phase.store(kWorks, std::memory_order_release);
  } else if (!configured && gConfiguresUnderWay == 0 && phase == kConfiguring) {
    self().phase.store(kFree, std::memory_order_release);
  } else {
    return;
  }
  wakeWaiters();
}

bool thisCopyWorks() { return self().phase.load(std::memory_order_acquire) == kWorks; }

const char* otherWorkingCopy() {
  CDVCopyBlock* working = otherWorkingBlock();
  return working != nullptr ? nameOf(*working) : nullptr;
}

bool otherCopiesLoaded() { return look().othersLoaded; }

bool refusesBesideWorkingCopy(const char* call) {
  const char* const working = otherWorkingCopy();
  if (working == nullptr) return false;
  if (!gRefusalWritten.exchange(true)) {
    CDVLogWarning(kCDVLoggerCore, kRefusedBesideWorkingCopyMessageCode,
                  "Another copy of the SDK, in '%@', works in this process: this one ('%@') writes nothing of the "
                  "app's, and its calls that would are refused. Refused: %@",
                  working, platform::loadedFrom(), call);
  }
  return true;
}

AppWrite writeOfTheApp(const char* call, std::function<void()> write) {
  if (self().phase.load(std::memory_order_acquire) != kFree) return AppWrite::now;
  if (refusesBesideWorkingCopy(call)) return AppWrite::refused;
  if (!otherCopiesLoaded()) return AppWrite::now;
  std::lock_guard lock(gHeldWritesMutex);
  gHeldWrites.push_back(std::move(write));
  return AppWrite::held;
}

void runHeldWrites() {
  std::vector<std::function<void()>> writes;
  {
    std::lock_guard lock(gHeldWritesMutex);
    writes.swap(gHeldWrites);
  }
  for (const auto& write : writes) write();
}

}  // namespace cdv_copies
