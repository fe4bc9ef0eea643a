#include "Core/Private/CDVCopies.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Core/Public/CDVLogger.h"
#include "dispatch/StayLoaded.h"
#include "foundation/Cancellation.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"
#include "foundation/ProcessInfo.h"
#include "uikit/UIKit.h"

// ---- the block every copy carries ----
//
// Read by other copies, which may be other builds of the SDK: plain C layout, fields only added at
// the end, never reordered. A reader takes a block whose `size` covers the first layout's fields,
// and reads a later field only where `size` covers it. It lives as long as the process: a copy is
// never unloaded (platform::stayLoaded), so it never leaves the others' list.
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
  // A word that is nonzero once this copy set the phase in this very process, cleared in a child
  // made by fork() before fork returns there: a child tells a configure its parent had under way
  // from one of its own whatever its process identifier. Set before the phase leaves 0.
  std::atomic<const std::atomic<std::uint32_t>*> claimedHere;
  // ---- added to that ----
  // The next block of the copies of this process that link themselves, a ring: each copy, as it
  // loads, puts itself after one found there, with one store. Null until then.
  std::atomic<CDVCopyBlock*> next;
  // ---- added to that ----
  // The blocks of older builds' copies (which do not link themselves) this copy found as it
  // loaded, their objects kept loaded: `olderCount` of them at `older`; `olderLost` counts those
  // it found and could not keep. Set before this copy links itself, never changed after.
  std::atomic<CDVCopyBlock* const*> older;
  std::atomic<std::uint32_t> olderCount;
  std::atomic<std::uint32_t> olderLost;
};

// For tests: a program that defines it has it called as each copy links itself, between the two
// stores that put it into the ring.
__attribute__((weak, visibility("default"))) void cdv_copies_linking_for_testing();

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

bool covers(const CDVCopyBlock& block, std::size_t end) { return block.size >= end; }
constexpr std::size_t kClaimedHereEnd = offsetof(CDVCopyBlock, claimedHere) + sizeof(CDVCopyBlock::claimedHere);
constexpr std::size_t kNextEnd = offsetof(CDVCopyBlock, next) + sizeof(CDVCopyBlock::next);
constexpr std::size_t kOlderEnd = offsetof(CDVCopyBlock, olderLost) + sizeof(CDVCopyBlock::olderLost);

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
    kBlockMagic, sizeof(CDVCopyBlock), {kFree}, {0}, {nullptr}, &endAppHere, {nullptr}, {nullptr}, {nullptr}, {0}, {0}};
}

CDV_COPY_NOTE(cdv_copy_block);

namespace cdv_copies {
namespace {

CDVCopyBlock& self() { return cdv_copy_block; }

// ---- what this copy found as it loaded ----

// Nonzero once this copy set its phase in this process; the child handler of fork() clears it.
constinit std::atomic<std::uint32_t> gClaimedHere{0};
void clearClaimedHereInChild() { gClaimedHere.store(0); }

// True for a copy loaded in a link-map namespace other than the program's (dlmopen): it makes no
// thread, configures nothing and looks at no other copy.
constinit std::atomic<bool> gApart{false};

// The older builds' blocks this copy keeps (its block names them), and the load addresses of the
// objects that hold them, marked never to be unloaded. Past this many, a copy refuses to configure.
constexpr std::uint32_t kOlderMost = 64;
constinit CDVCopyBlock* gOlder[kOlderMost] = {};
constinit std::uintptr_t gKeptObjects[kOlderMost] = {};
constinit std::uint32_t gKeptObjectCount = 0;

// True when [at, at + length) lies inside one of the object's loaded segments; when `writable`, in
// a writable one and in no part made read-only after relocation (PT_GNU_RELRO).
bool insideObject(const dl_phdr_info& object, const void* at, std::size_t length, bool writable) {
  const auto start = reinterpret_cast<std::uintptr_t>(at);
  bool inside = false;
  for (std::size_t i = 0; i < object.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = object.dlpi_phdr[i];
    const std::uintptr_t first = object.dlpi_addr + segment.p_vaddr;
    if (writable && segment.p_type == PT_GNU_RELRO && start < first + segment.p_memsz && first < start + length) {
      return false;
    }
    if (segment.p_type != PT_LOAD || (writable && (segment.p_flags & PF_W) == 0)) continue;
    if (start >= first && start - first <= segment.p_memsz && length <= segment.p_memsz - (start - first)) inside = true;
  }
  return inside;
}

// Calls `visit` with the block of every copy the object's notes name. A note or block that does
// not lie inside the object's segments, or a block that does not lie where it can be written (its
// copy could never set its phase), is none.
template <typename Visit>
void forEachBlock(const dl_phdr_info& object, Visit&& visit) {
  for (std::size_t i = 0; i < object.dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = object.dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    const char* at = reinterpret_cast<const char*>(object.dlpi_addr + header.p_vaddr);
    if (!insideObject(object, at, header.p_memsz, false)) continue;
    const std::size_t align = header.p_align == 8 ? 8 : 4;
    auto rounded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
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
        const auto address = reinterpret_cast<std::uintptr_t>(desc) + static_cast<std::uintptr_t>(offset);
        auto* block = reinterpret_cast<CDVCopyBlock*>(address);
        if (address % alignof(CDVCopyBlock) == 0 && insideObject(object, block, kFirstLayoutSize, true) &&
            block->magic == kBlockMagic && block->size >= kFirstLayoutSize &&
            insideObject(object, block, std::min<std::size_t>(block->size, sizeof(CDVCopyBlock)), true)) {
          visit(*block);
        }
      }
      at = desc + rounded(note.n_descsz);
    }
  }
}

bool inProgramsNamespace() {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(&cdv_copy_block, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr) {
    return true;
  }
  Lmid_t space = LM_ID_BASE;
  return ::dlinfo(map, RTLD_DI_LMID, &space) != 0 || space == LM_ID_BASE;
}

// One reading of the loaded objects' notes, as the copy links itself.
struct Scan {
  bool last = false;  // no object is marked to stay after this reading: this copy links itself
  CDVCopyBlock* member = nullptr;  // a block of the ring
  std::uint32_t older = 0;  // older builds' blocks kept, in gOlder
  std::uint32_t lost = 0;  // older builds' blocks found and not kept, past the bounds
  std::vector<std::string> toKeep;  // objects that hold an older build's block, not yet marked
  std::uint32_t unnamed = 0;  // such objects not put in toKeep (no memory)
  bool linked = false;
};

// An object that cannot be unloaded: the program ("" as the loader names it), or one marked so.
bool keptLoaded(const dl_phdr_info& object) {
  if (object.dlpi_name == nullptr || object.dlpi_name[0] == '\0') return true;
  return std::find(gKeptObjects, gKeptObjects + gKeptObjectCount, object.dlpi_addr) != gKeptObjects + gKeptObjectCount;
}

void noteObject(const dl_phdr_info& object, Scan& scan) {
  forEachBlock(object, [&](CDVCopyBlock& block) {
    if (&block == &self()) return;
    if (covers(block, kNextEnd)) {
      // Null: a copy still loading (its load may yet fail and unmap it), which links itself.
      if (block.next.load() != nullptr && scan.member == nullptr) scan.member = &block;
    } else if (!keptLoaded(object)) {
      // Kept only once its object is marked to stay: one that goes is never read.
      if (scan.last) return;
      try {
        if (scan.toKeep.empty() || scan.toKeep.back() != object.dlpi_name) scan.toKeep.emplace_back(object.dlpi_name);
      } catch (...) {
        ++scan.unnamed;
      }
    } else if (scan.older < kOlderMost) {
      gOlder[scan.older++] = &block;
    } else {
      ++scan.lost;
    }
  });
}

void linkInto(Scan& scan) {
  self().older.store(gOlder);
  self().olderCount.store(scan.older);
  self().olderLost.store(scan.lost);
  if (scan.member == nullptr) {
    self().next.store(&self());
  } else {
    // Its own `next` first: a look that reaches this block goes on round the ring.
    self().next.store(scan.member->next.load());
    if (&cdv_copies_linking_for_testing != nullptr) cdv_copies_linking_for_testing();
    scan.member->next.store(&self());
  }
  scan.linked = true;
}

// As the copy loads, on the thread that loads it: finds the copies loaded before it and links
// itself into their ring. The reading and the link are made inside dl_iterate_phdr, whose lock no
// other copy's reading and link can take meanwhile, nor a load or unload change the list of
// objects: so with or without the loader's lock (a program's initialiser runs without it, beside
// any thread already started) two copies never link at once, and each finds the one before.
// Objects that hold an older build's block are marked never to be unloaded outside that lock (the
// loader's own, which dlopen takes, comes first), then read again.
void linkAtLoad() {
  self().name.store(platform::loadedFrom());
  self().claimedHere.store(&gClaimedHere);
  ::pthread_atfork(nullptr, nullptr, &clearClaimedHereInChild);
  if (!inProgramsNamespace()) {
    gApart.store(true);
    return;
  }
  std::uint32_t notKept = 0;  // objects of older builds' blocks that could not be marked
  for (int reading = 0; reading < 2; ++reading) {
    Scan scan;
    scan.last = reading == 1;
    scan.lost = notKept;
    ::dl_iterate_phdr(
        [](dl_phdr_info*, std::size_t, void* data) {
          auto& scan = *static_cast<Scan*>(data);
          ::dl_iterate_phdr(
              [](dl_phdr_info* info, std::size_t, void* data) {
                noteObject(*info, *static_cast<Scan*>(data));
                return 0;
              },
              &scan);
          if (scan.last || scan.toKeep.empty()) linkInto(scan);
          return 1;
        },
        &scan);
    if (scan.linked) return;
    notKept = scan.unnamed;
    for (const std::string& object : scan.toKeep) {
      link_map* map = nullptr;
      void* handle = ::dlopen(object.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
      if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) continue;  // gone
      if (gKeptObjectCount == kOlderMost) {
        ++notKept;
      } else {
        gKeptObjects[gKeptObjectCount++] = map->l_addr;
      }
    }
  }
}

// As the copy loads; or before, at the first call of a static initialiser of the same object
// (a host's global that configures), which runs at load too.
void linkOnce() { [[maybe_unused]] static const bool linked = (linkAtLoad(), true); }
[[maybe_unused]] const bool gLinkedAtLoad = (linkOnce(), true);

// The most blocks of the ring a look goes through: past them (more copies, or a ring another build
// left broken, that never comes back to this block) a copy cannot tell whether one works.
constexpr int kRingMost = 1 << 10;

// Calls `visit` with the block of every other copy this one knows: the ring's, and the older
// builds' that any copy of the ring keeps (this one's too), with the copy that keeps them. False
// when the ring goes on past kRingMost blocks: those beyond are not visited.
template <typename Visit>
bool forEachOther(Visit&& visit) {
  linkOnce();
  auto olderOf = [&visit](CDVCopyBlock& keeper) {
    if (!covers(keeper, kOlderEnd)) return;
    const std::uint32_t count = keeper.olderCount.load();
    CDVCopyBlock* const* const older = keeper.older.load();
    for (std::uint32_t i = 0; older != nullptr && i < count; ++i) visit(*older[i], keeper);
  };
  olderOf(self());
  CDVCopyBlock* block = self().next.load();
  for (int i = 0; block != nullptr && block != &self(); ++i) {
    if (i == kRingMost) return false;
    visit(*block, *block);
    olderOf(*block);
    block = covers(*block, kNextEnd) ? block->next.load() : nullptr;
  }
  return true;
}

// ---- looks and claims ----

// What a look at the other copies found.
struct Seen {
  // For a look that claims: this copy's process. A look (pid 0) takes only a copy that works for
  // one that does.
  std::int32_t pid = 0;
  CDVCopyBlock* working = nullptr;
  CDVCopyBlock* configuring = nullptr;
  // A copy that found more older builds' blocks than it could keep: no copy can tell whether one
  // of those works.
  const CDVCopyBlock* lostTrack = nullptr;
  // The ring went on past kRingMost blocks: a copy beyond them may work.
  bool ringCut = false;
  bool othersLoaded = false;
};

// A configure under way in `block` that never ends in this process: its parent's.
bool configuringInAParent(const CDVCopyBlock& block, std::int32_t pid) {
  if (covers(block, kClaimedHereEnd)) {
    if (const auto* claimed = block.claimedHere.load()) return claimed->load() == 0;
  }
  return block.claimer.load() != pid;
}

std::atomic<void (*)(void*)> gClaimHook{nullptr};
std::atomic<void*> gClaimHookContext{nullptr};

Seen look(std::int32_t pid = 0) {
  Seen seen;
  seen.pid = pid;
  auto lost = [](const CDVCopyBlock& keeper) { return covers(keeper, kOlderEnd) && keeper.olderLost.load() != 0; };
  if (lost(self())) seen.lostTrack = &self();
  seen.ringCut = !forEachOther([&seen, pid, &lost](CDVCopyBlock& block, const CDVCopyBlock& keeper) {
    seen.othersLoaded = true;
    if (seen.lostTrack == nullptr && lost(keeper)) seen.lostTrack = &keeper;
    const std::uint32_t phase = block.phase.load();
    // A configure under way in the process this one was forked from never ends here: as if it
    // worked.
    if (phase == kWorks || (phase == kConfiguring && pid != 0 && configuringInAParent(block, pid))) {
      if (seen.working == nullptr) seen.working = &block;
    } else if (phase == kConfiguring && seen.configuring == nullptr) {
      seen.configuring = &block;
    }
  });
  if (pid != 0) {
    if (void (*hook)(void*) = gClaimHook.exchange(nullptr)) hook(gClaimHookContext.load());
  }
  return seen;
}

void wakeWaiters() {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&self().phase), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

void giveBack() {
  self().phase.store(kFree);
  wakeWaiters();
}

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

std::string workingCopyRefusal(const char* working) {
  return platform::format(
      "Another copy of the SDK, in '%@', works in this process: only one copy configures, and this one ('%@') "
      "does not, and writes nothing of the app's. Configure the SDK in one copy only (one plugin, or the program).",
      working, platform::loadedFrom());
}

std::string lostTrackRefusal(const CDVCopyBlock& keeper) {
  return platform::format(
      "The copy of the SDK in '%@' found more copies of older builds of the SDK loaded before it than it keeps "
      "(%d not kept, beyond %d), so no copy can tell whether one of them works: this one ('%@') does not configure, "
      "and writes nothing of the app's. Load fewer plugins built with older releases of the SDK, or rebuild them.",
      nameOf(keeper), static_cast<int>(keeper.olderLost.load()), static_cast<int>(kOlderMost), platform::loadedFrom());
}

std::string ringCutRefusal() {
  return platform::format(
      "This copy of the SDK ('%@') found the copies of the SDK in this process linked past the %d it looks "
      "through (more copies loaded, or links another build left broken), so it cannot tell whether one of them "
      "works: it does not configure, and writes nothing of the app's. Load fewer plugins that embed the SDK, or "
      "rebuild those built with older releases of the SDK.",
      platform::loadedFrom(), kRingMost);
}

// Why this copy's last configure was refused, when that depends on no copy that works: what its
// end says of the calls it refused. One word, read and written without a lock (a child made by
// fork() reads it as the parent left it): the block the refusal names, its low bits the reason.
// Cleared by a claim granted.
enum RefusedFor : std::uintptr_t { kNotRefused = 0, kLostTrack = 1, kRingCut = 2, kWaitedInVain = 3 };
constexpr std::uintptr_t kRefusedForBits = 3;
static_assert(alignof(CDVCopyBlock) > kRefusedForBits);
std::atomic<std::uintptr_t> gRefusedFor{kNotRefused};

std::string refusalFor(RefusedFor reason, const CDVCopyBlock& named) {
  switch (reason) {
    case kLostTrack: return lostTrackRefusal(named);
    case kRingCut: return ringCutRefusal();
    default: return workingCopyRefusal(nameOf(named));
  }
}

Claim refused(RefusedFor reason, const CDVCopyBlock& named) {
  gRefusedFor.store(reinterpret_cast<std::uintptr_t>(&named) | reason);
  return {false, refusalFor(reason, named)};
}

Claim granted() {
  gRefusedFor.store(kNotRefused);
  return {true, {}};
}

// The refusal of this copy's last configure as it said it; empty when none was made (or a later
// configure was granted).
std::string lastClaimRefusal() {
  const std::uintptr_t word = gRefusedFor.load();
  const auto reason = static_cast<RefusedFor>(word & kRefusedForBits);
  if (reason == kNotRefused) return {};
  return refusalFor(reason, *reinterpret_cast<const CDVCopyBlock*>(word & ~kRefusedForBits));
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
  CDVCopyBlock* const working = look().working;
  if (working != nullptr) gOtherWorking.store(working, std::memory_order_release);
  return working;
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

// The copies' claims take no lock they share: a copy sets its phase before it reads the others'
// (each a sequentially consistent atomic), so of two claims at once at least one sees the other's.
// A copy that finds another's configure under way in this process gives its mark back, unless its
// block comes first in memory, when it keeps it and waits for the other to give its own back or end.
Claim claim() {
  UIApplication::setEndElsewhere(&endThroughWorkingCopy);
  linkOnce();
  if (gApart.load()) return {false, apartRefusal()};
  std::lock_guard lock(gClaimMutex);
  const auto deadline = std::chrono::steady_clock::now() + kConfigureWaitMost;
  bool marked = false;
  for (;;) {
    if (gConfiguresUnderWay > 0 || self().phase.load() == kWorks) {
      ++gConfiguresUnderWay;
      return granted();
    }
    const auto pid = static_cast<std::int32_t>(::getpid());
    if (!marked) {
      self().claimer.store(pid);
      gClaimedHere.store(1);
      self().phase.store(kConfiguring);
      marked = true;
    }
    const Seen seen = look(pid);
    // A ring cut short hides a copy beyond that may work; one seen working is named.
    if (seen.lostTrack != nullptr || (seen.ringCut && seen.working == nullptr)) {
      giveBack();
      dropHeldWrites();
      return seen.lostTrack != nullptr ? refused(kLostTrack, *seen.lostTrack) : refused(kRingCut, self());
    }
    if (seen.working == nullptr && seen.configuring == nullptr) {
      ++gConfiguresUnderWay;
      return granted();
    }
    if (seen.working != nullptr || !std::less<const void*>()(&self(), seen.configuring)) {
      giveBack();
      marked = false;
    }
    if (seen.working != nullptr) {
      dropHeldWrites();
      return {false, workingCopyRefusal(nameOf(*seen.working))};
    }
    // Another copy's configure is under way: its outcome decides, within a bound.
    if (!waitWhileConfiguring(*seen.configuring, deadline)) {
      if (marked) giveBack();
      dropHeldWrites();
      return refused(kWaitedInVain, *seen.configuring);
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
  // A thread of a parent's may have been changing the loader's list at the fork, holding its lock.
  if (platform::ProcessInfo::mayHoldOtherThreadsLocks()) return;
  auto visitName = [&visit](const char* name) {
    try {
      visit(name != nullptr ? name : "");
    } catch (...) {
    }
  };
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        (*static_cast<decltype(visitName)*>(data))(info->dlpi_name);
        return 0;
      },
      &visitName);
}

bool thisCopyWorks() { return self().phase.load(std::memory_order_acquire) == kWorks; }

bool isApart() {
  linkOnce();
  return gApart.load();
}

const char* otherWorkingCopy() {
  CDVCopyBlock* working = otherWorkingBlock();
  return working != nullptr ? nameOf(*working) : nullptr;
}

bool otherCopiesLoaded() { return look().othersLoaded; }

std::string refusal() {
  if (isApart()) return apartRefusal();
  if (const char* const working = otherWorkingCopy()) return workingCopyRefusal(working);
  return lastClaimRefusal();
}

bool refusesBesideWorkingCopy(const char* call) {
  if (!isApart() && otherWorkingCopy() == nullptr) return false;
  if (!gRefusalWritten.exchange(true)) {
    CDVLogWarning(kCDVLoggerCore, kRefusedBesideWorkingCopyMessageCode, "%@ Refused: %@", refusal(), call);
  }
  return true;
}

std::string apartRefusal() {
  return platform::format(
      "This copy of the SDK ('%@') was loaded in a link-map namespace of its own (dlmopen): the threads of a "
      "second namespace's C library corrupt the program's memory on this C library, so it makes none, "
      "configures nothing and writes nothing of the app's. Open the plugin with dlopen, or configure the SDK "
      "in a copy in the program's namespace.",
      platform::loadedFrom());
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
