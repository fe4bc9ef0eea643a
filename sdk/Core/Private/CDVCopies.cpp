#include "Core/Private/CDVCopies.h"

#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <new>
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
// the end, never reordered. A reader takes a block whose `size` covers the first layout's fields,
// and reads a later field only where `size` covers it. It lives as long as the process: a copy is
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
  // ---- added to the first layout ----
  // A word that is nonzero once this copy set the phase in this very process: it lives in memory
  // the kernel clears in a child made by fork() (MADV_WIPEONFORK), so a child tells a configure
  // its parent had under way from one of its own whatever its process identifier. Set before the
  // phase leaves 0; null where the kernel keeps such memory (then `claimer` tells).
  std::atomic<const std::atomic<std::uint32_t>*> claimedHere;
};

}  // extern "C"

namespace {

constexpr std::uint32_t kBlockMagic = 0x31564443;  // "CDV1"
constexpr std::uint32_t kFree = 0;
constexpr std::uint32_t kConfiguring = 1;
constexpr std::uint32_t kWorks = 2;
constexpr char kNoteName[] = "Cindervale";
constexpr std::uint32_t kNoteType = 0x43445643;  // "CVDC"
// The fields every build's block has.
constexpr std::size_t kFirstLayoutSize = offsetof(CDVCopyBlock, claimedHere);
static_assert(kFirstLayoutSize == 32, "the first layout's fields are fixed");

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
    kBlockMagic, sizeof(CDVCopyBlock), {kFree}, {0}, {nullptr}, &endAppHere, {nullptr}};
}

CDV_COPY_NOTE(cdv_copy_block);

namespace cdv_copies {
namespace {

CDVCopyBlock& self() { return cdv_copy_block; }

const std::atomic<std::uint32_t>* claimedHereOf(const CDVCopyBlock& block) {
  if (block.size < offsetof(CDVCopyBlock, claimedHere) + sizeof block.claimedHere) return nullptr;
  return block.claimedHere.load(std::memory_order_acquire);
}

// Calls `visit` with the block of every copy in an object loaded at `base` with these program
// headers.
template <typename Visit>
void forEachBlock(ElfW(Addr) base, const ElfW(Phdr) * headers, std::size_t count, Visit&& visit) {
  for (std::size_t i = 0; i < count; ++i) {
    const ElfW(Phdr)& header = headers[i];
    if (header.p_type != PT_NOTE) continue;
    const std::size_t align = header.p_align == 8 ? 8 : 4;
    auto rounded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
    const char* at = reinterpret_cast<const char*>(base + header.p_vaddr);
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
        if (block->magic == kBlockMagic && block->size >= kFirstLayoutSize) visit(*block);
      }
      at = desc + rounded(note.n_descsz);
    }
  }
}

// ---- what this process is to this copy ----
//
// A page the kernel clears in a child made by fork() (MADV_WIPEONFORK): in a child it reads 0,
// whichever C library made the fork (a copy in another link-map namespace has a C library of its
// own, whose fork handlers a fork through the program's never runs) and whatever the child's
// process identifier. Made once, as the copy loads; a child inherits it.
struct Here {
  std::atomic<std::uint32_t> live;      // 1 in the process that made it, or that has found itself a child
  std::atomic<std::uint32_t> claimed;   // the block's claimedHere
  std::atomic<std::uint32_t> walkLock;  // serialises this copy's walks: free in a child
};
constinit std::atomic<Here*> gHere{nullptr};
// Whether the kernel clears the page at a fork; where it does not, the process that made it (or
// found itself a child) tells a child, by its identifier.
constinit std::atomic<bool> gHereWipes{false};
constinit std::atomic<std::int32_t> gHerePid{0};
// True in a process that found itself made by fork(): a thread of its parent may have held the
// loader's lock at the fork, which no one releases there, so its walks take no lock of the loader's.
constinit std::atomic<bool> gInChild{false};

Here* here() {
  if (Here* made = gHere.load(std::memory_order_acquire)) return made;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* memory = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* made = new (memory) Here{};
  made->live.store(1);
  Here* expected = nullptr;
  if (!gHere.compare_exchange_strong(expected, made)) {
    ::munmap(memory, page);
    return expected;
  }
  gHerePid.store(static_cast<std::int32_t>(::getpid()));
  if (::madvise(memory, page, MADV_WIPEONFORK) == 0) {
    gHereWipes.store(true);
    self().claimedHere.store(&made->claimed, std::memory_order_release);
  }
  return made;
}

// A futex lock in the page: no thread of a parent's holds it in a child.
void lockWalks(Here& h) {
  std::uint32_t expected = 0;
  if (h.walkLock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
  while (h.walkLock.exchange(2, std::memory_order_acquire) != 0) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&h.walkLock), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
  }
}
void unlockWalks(Here& h) {
  if (h.walkLock.exchange(0, std::memory_order_release) == 2) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&h.walkLock), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

// ---- the walks ----

// What a walk of the loaded objects found of the other copies.
struct Walk {
  // For a walk that claims: this copy's process and file. A look (pid 0) takes only a copy that
  // works for one that does.
  std::int32_t pid = 0;
  const char* ownName = nullptr;
  // This copy's mark is set already (a walk after a wait that kept it).
  bool marked = false;
  CDVCopyBlock* working = nullptr;
  CDVCopyBlock* configuring = nullptr;
  bool othersLoaded = false;
  bool granted = false;
};

// A configure under way in `block` that never ends in this process: its parent's.
bool configuringInAParent(const CDVCopyBlock& block, const Walk& walk) {
  if (const auto* claimed = claimedHereOf(block)) return claimed->load() == 0;
  return block.claimer.load() != walk.pid;
}

void classify(Walk& walk, CDVCopyBlock& block) {
  walk.othersLoaded = true;
  const std::uint32_t phase = block.phase.load();
  // A configure under way in the process this one was forked from never ends here: as if it
  // worked.
  if (phase == kWorks || (phase == kConfiguring && walk.pid != 0 && configuringInAParent(block, walk))) {
    if (walk.working == nullptr) walk.working = &block;
  } else if (phase == kConfiguring && walk.configuring == nullptr) {
    walk.configuring = &block;
  }
}

// The other copies' blocks, as the walks found them in the objects loaded so far. Reading an
// object's notes touches a page of it, which a child made by fork() has to fault in again (some
// 40 of them in a host that links the usual libraries): an object is read once, and while the
// loader has unloaded nothing (its count in dl_phdr_info), a walk reads only the objects loaded
// since, told by their dynamic sections' addresses. Only read and written by a walk, under the
// walk lock.
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
// Set while a walk changes gKnown: a child that finds it set (a thread of its parent's was
// walking at the fork) reads every object again.
constinit bool gKnownChanging = false;

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

// The loader's rendezvous with debuggers, which chains the objects of every link-map namespace
// (dl_iterate_phdr shows only the caller's). The program's DT_DEBUG names the loader's own:
// a program that refers to `_r_debug` itself holds a copy of it made as it started, which the
// loader no longer updates.
const r_debug* rendezvous() {
  const link_map* first = _r_debug.r_map;
  if (first != nullptr && first->l_ld != nullptr) {
    for (const ElfW(Dyn)* entry = first->l_ld; entry->d_tag != DT_NULL; ++entry) {
      if (entry->d_tag == DT_DEBUG && entry->d_un.d_ptr != 0) return reinterpret_cast<const r_debug*>(entry->d_un.d_ptr);
    }
  }
  return &_r_debug;
}

// Calls `visit` with the program headers of every object loaded in any namespace (`onlyNew`: not
// read before). The lists are read as the loader leaves them between its changes: under its lock, or
// in a child where no other thread changes them.
template <typename Visit>
void forEachObject(bool onlyNew, Visit&& visit) {
  constexpr int kNamespacesMost = 64;
  constexpr int kObjectsMost = 1 << 16;  // against a list a thread of a parent's left torn at a fork
  int namespaces = 0;
  int objects = 0;
  for (const r_debug* space = rendezvous(); space != nullptr && namespaces < kNamespacesMost; ++namespaces) {
    for (const link_map* map = space->r_map; map != nullptr && objects < kObjectsMost; map = map->l_next, ++objects) {
      if (map->l_ld == nullptr || (onlyNew && !firstSight(map->l_ld))) continue;
      // The object's mapping, found without a lock.
      dl_find_object found;
      if (::_dl_find_object(map->l_ld, &found) != 0) continue;
      const auto* start = static_cast<const char*>(found.dlfo_map_start);
      const auto length = static_cast<std::size_t>(static_cast<const char*>(found.dlfo_map_end) - start);
      if (length < sizeof(ElfW(Ehdr))) continue;
      ElfW(Ehdr) header;
      std::memcpy(&header, start, sizeof header);
      if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_phentsize != sizeof(ElfW(Phdr)) ||
          header.e_phoff > length || header.e_phnum > (length - header.e_phoff) / sizeof(ElfW(Phdr))) {
        continue;
      }
      visit(map->l_addr, reinterpret_cast<const ElfW(Phdr)*>(start + header.e_phoff), header.e_phnum);
    }
    space = space->r_version >= 2 ? reinterpret_cast<const r_debug*>(reinterpret_cast<const r_debug_extended*>(space)->r_next)
                                  : nullptr;
  }
}

void collectNewObjects() {
  forEachObject(true, [](ElfW(Addr) base, const ElfW(Phdr) * headers, std::size_t count) {
    forEachBlock(base, headers, count, [](CDVCopyBlock& block) {
      if (&block == &self()) return;
      if (gKnown.count < kKnownMost) {
        gKnown.blocks[gKnown.count++] = &block;
      } else {
        gKnown.tooMany = true;
      }
    });
  });
}

void wakeWaiters() {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&self().phase), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

// Looks at the other copies and, for a walk that claims, claims the process for this copy's
// configure. The mark is set before the others are read, so of two copies that claim at once at
// least one sees the other's: a copy that finds another's configure under way in this process
// gives its mark back, unless its block comes first in memory, when it keeps it and waits for the
// other to give its own back or end.
std::atomic<void (*)(void*)> gClaimHook{nullptr};
std::atomic<void*> gClaimHookContext{nullptr};

void lookAndClaim(Walk& walk) {
  if (walk.pid != 0 && !walk.marked) {
    self().claimer.store(walk.pid);
    self().name.store(walk.ownName);
    if (Here* h = gHere.load(std::memory_order_acquire)) h->claimed.store(1);
    self().phase.store(kConfiguring);
    walk.marked = true;
    if (void (*hook)(void*) = gClaimHook.exchange(nullptr)) hook(gClaimHookContext.load());
  }
  if (gKnown.tooMany) {
    forEachObject(false, [&walk](ElfW(Addr) base, const ElfW(Phdr) * headers, std::size_t count) {
      forEachBlock(base, headers, count, [&walk](CDVCopyBlock& block) {
        if (&block != &self()) classify(walk, block);
      });
    });
  } else {
    for (int i = 0; i < gKnown.count; ++i) classify(walk, *gKnown.blocks[i]);
  }
  if (walk.pid == 0) return;
  const bool keeps = walk.working == nullptr && walk.configuring != nullptr &&
                     std::less<const void*>()(&self(), walk.configuring);
  if (walk.working == nullptr && walk.configuring == nullptr) {
    walk.granted = true;
  } else if (!keeps) {
    self().phase.store(kFree);
    walk.marked = false;
    wakeWaiters();
  }
}

// The walk made under the loader's lock: the first object's callback brings the known copies up to
// date (every object read again when the loader unloaded one since), looks and claims, and stops
// the outer walk. The lock is the one every copy's walk takes in a process no fork made, and
// every change to the loader's lists: the claim is made under it.
int walkLocked(dl_phdr_info* info, std::size_t size, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  const bool counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
  if (!counted || gKnown.subs != info->dlpi_subs) gKnown = KnownCopies{};
  if (!counted || gKnown.seenCount == 0 || gKnown.adds != info->dlpi_adds) {
    collectNewObjects();
    if (counted) {
      gKnown.adds = info->dlpi_adds;
      gKnown.subs = info->dlpi_subs;
    }
  }
  lookAndClaim(walk);
  return 1;
}

// Under the walk lock: true in a child made by fork(). Found by the first walk there: the loader's
// lists are read without its lock from then on, and what a walk of the parent's left half made is
// read again.
bool findsItselfAChild(Here& h) {
  const bool child =
      gHereWipes.load() ? h.live.load() == 0 : gHerePid.load() != static_cast<std::int32_t>(::getpid());
  if (child) {
    gInChild.store(true);
    if (gKnownChanging) gKnown = KnownCopies{};
    gHerePid.store(static_cast<std::int32_t>(::getpid()));
    h.live.store(1);
  }
  return gInChild.load();
}

// A fork waits for this copy's walk under way: a child would otherwise find the loader's lock held
// by it for good, and so would the host's own dlopen there. The handlers are registered as the
// copy loads, before any of its own taken later (they run first): so the walk's lock is the last
// this copy's fork takes, and no thread that holds another of them walks (a walk is made only by a
// copy that does not hold the process, outside the SDK's locks). The child's needs no handler: the
// kernel clears the lock there.
void lockWalksBeforeFork() {
  if (Here* h = gHere.load(std::memory_order_acquire)) lockWalks(*h);
}
void unlockWalksAfterFork() {
  if (Here* h = gHere.load(std::memory_order_acquire)) unlockWalks(*h);
}
void unlockWalksInChild() {
  Here* h = gHere.load(std::memory_order_acquire);
  if (h != nullptr && !gHereWipes.load()) unlockWalks(*h);
}
std::atomic<bool> gWalkForkSafe{false};

void walkCopiesOnce(Walk& walk) {
  if (!gWalkForkSafe.load(std::memory_order_relaxed) && !gWalkForkSafe.exchange(true)) {
    ::pthread_atfork(&lockWalksBeforeFork, &unlockWalksAfterFork, &unlockWalksInChild);
  }
  Here* h = here();
  if (h == nullptr) {  // no page to be had: every walk under the loader's lock, as in the parent
    static std::mutex fallback;
    std::lock_guard lock(fallback);
    ::dl_iterate_phdr(&walkLocked, &walk);
    return;
  }
  lockWalks(*h);
  findsItselfAChild(*h);
  gKnownChanging = true;
  if (gInChild.load()) {
    collectNewObjects();
    lookAndClaim(walk);
  } else {
    ::dl_iterate_phdr(&walkLocked, &walk);
  }
  gKnownChanging = false;
  unlockWalks(*h);
}

// No system call in a process no fork made: the loader's lock is taken without one when no other
// thread holds it.
Walk look() {
  Walk walk;
  walkCopiesOnce(walk);
  return walk;
}

// As the copy loads (the loader has just read every object): a configure in a child made by fork()
// later finds the copies known, and the page that tells a child is made.
[[maybe_unused]] const bool gCopiesKnownAtLoad = (look(), true);

// How long a configure waits for another copy's configure under way in this process, before it is
// refused naming that copy.
constexpr auto kConfigureWaitMost = std::chrono::seconds(10);

// Waits while `block` is configuring, until `deadline`: false when it still is then.
bool waitWhileConfiguring(CDVCopyBlock& block, std::chrono::steady_clock::time_point deadline) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  while (block.phase.load() == kConfiguring) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&block.phase), FUTEX_WAIT_PRIVATE, kConfiguring, &wait,
              nullptr, 0);
  }
  return true;
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
  const auto deadline = std::chrono::steady_clock::now() + kConfigureWaitMost;
  Walk walk;
  for (;;) {
    if (gConfiguresUnderWay > 0 || self().phase.load() == kWorks) {
      ++gConfiguresUnderWay;
      return {true, {}};
    }
    const bool marked = walk.marked;
    walk = Walk{};
    walk.marked = marked;
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
    // Another copy's configure is under way: its outcome decides, within a bound.
    if (!waitWhileConfiguring(*walk.configuring, deadline)) {
      if (walk.marked) {
        self().phase.store(kFree);
        wakeWaiters();
      }
      dropHeldWrites();
      return {false, nameOf(*walk.configuring)};
    }
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

void setClaimHookForTesting(void (*hook)(void*), void* context) {
  gClaimHookContext.store(context);
  gClaimHook.store(hook);
}

void forEachLoadedObject(const std::function<void(const char*)>& visit) {
  bool child = false;
  if (Here* h = here()) {
    lockWalks(*h);
    child = findsItselfAChild(*h);
    unlockWalks(*h);
  }
  auto visitName = [&visit](const char* name) {
    try {
      visit(name != nullptr ? name : "");
    } catch (...) {
    }
  };
  if (child) {
    constexpr int kObjectsMost = 1 << 16;
    int objects = 0;
    for (const link_map* map = rendezvous()->r_map; map != nullptr && objects < kObjectsMost; map = map->l_next) {
      visitName(map->l_name);
      ++objects;
    }
    return;
  }
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        (*static_cast<decltype(visitName)*>(data))(info->dlpi_name);
        return 0;
      },
      &visitName);
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
  // A configure cut off in a write (its thread cancelled) gives that write and those after it
  // back, ahead of any held since, for the next configure.
  std::size_t next = 0;
  platform::UndoneOnUnwind givenBack([&] {
    try {
      std::lock_guard lock(gHeldWritesMutex);
      gHeldWrites.insert(gHeldWrites.begin(), std::make_move_iterator(writes.begin() + static_cast<std::ptrdiff_t>(next)),
                         std::make_move_iterator(writes.end()));
    } catch (...) {
      // No memory: those writes are lost, as the process's end would lose them.
    }
  });
  for (; next < writes.size(); ++next) writes[next]();
  givenBack.done();
}

}  // namespace cdv_copies
