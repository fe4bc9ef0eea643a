#include "Core/Private/CDVCopies.h"

#include <elf.h>
#include <link.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "Core/Public/CDVLogger.h"
#include "dispatch/StayLoaded.h"
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

int endAppHere() noexcept {
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
  // The process that claims, for a walk that may claim; 0 for a look, which takes only a copy that
  // works for one that does.
  std::int32_t pid = 0;
  const char* ownName = nullptr;
  CDVCopyBlock* working = nullptr;
  CDVCopyBlock* configuring = nullptr;
  bool othersLoaded = false;
  bool granted = false;
};

int visitObject(dl_phdr_info* info, std::size_t, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  forEachBlock(*info, [&walk](CDVCopyBlock& block) {
    if (&block == &self()) return;
    walk.othersLoaded = true;
    const std::uint32_t phase = block.phase.load(std::memory_order_acquire);
    // A configure under way in the process this one was forked from never ends here: as if it
    // worked.
    if (phase == kWorks || (phase == kConfiguring && walk.pid != 0 && block.claimer.load() != walk.pid)) {
      if (walk.working == nullptr) walk.working = &block;
    } else if (phase == kConfiguring && walk.configuring == nullptr) {
      walk.configuring = &block;
    }
  });
  return 0;
}

// The first object's callback walks them all again (the lock is recursive) and claims the process
// when no other copy works or configures, then stops the outer walk: the whole look and the claim
// hold the lock that every copy's walk takes.
int claimDuringWalk(dl_phdr_info*, std::size_t, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  ::dl_iterate_phdr(&visitObject, data);
  if (walk.working == nullptr && walk.configuring == nullptr) {
    self().claimer.store(walk.pid);
    self().name.store(walk.ownName);
    self().phase.store(kConfiguring, std::memory_order_release);
    walk.granted = true;
  }
  return 1;
}

// No system call: the loader's lock is taken without one when no other thread holds it.
Walk look() {
  Walk walk;
  ::dl_iterate_phdr(&visitObject, &walk);
  return walk;
}

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
  if (thisCopyWorks()) return nullptr;
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
    ::dl_iterate_phdr(&claimDuringWalk, &walk);
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
  if (thisCopyWorks()) return AppWrite::now;
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
