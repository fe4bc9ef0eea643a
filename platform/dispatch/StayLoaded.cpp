#include "dispatch/StayLoaded.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>

namespace platform {
namespace {

// Of this copy alone (internal: never bound to another copy's).
std::atomic<bool> gPinned{false};

const link_map* ownObject() {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(&gPinned, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return nullptr;
  return map;
}

}  // namespace

void stayLoaded() {
  if (gPinned.load(std::memory_order_acquire)) return;
  // A shared object's name as the loader keeps it finds it again: opened with RTLD_NOLOAD nothing
  // is loaded, and RTLD_NODELETE keeps it until the process ends (the handle is never closed).
  // The program's own name is empty.
  const link_map* map = ownObject();
  if (map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    static_cast<void>(::dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
  }
  gPinned.store(true, std::memory_order_release);
}

namespace {
// As the shared object loads, on the thread that loads it (which holds the loader's lock already,
// so no lock of ours can stand in the way); the calls before a thread starts cover a host's
// initialiser that comes to the SDK first.
[[maybe_unused]] const bool gPinnedAtLoad = (stayLoaded(), true);
}  // namespace

// Asked as the object loads (below), where the loader's lists are read under its lock: a child
// made by fork() may find them half changed by a thread of its parent's. Kept in an atomic, not a
// function-local static, whose guard a child forked in the middle of the first call would find
// taken for ever; two first calls at once (before the object's initialisers ran) ask alike.
const char* loadedFrom() {
  static constinit std::atomic<const char*> known{nullptr};
  if (const char* name = known.load(std::memory_order_acquire)) return name;
  Dl_info info{};
  const char* name = ::dladdr(&gPinned, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
  known.store(name, std::memory_order_release);
  return name;
}

namespace {
[[maybe_unused]] const bool gNamedAtLoad = (loadedFrom(), true);
}  // namespace

}  // namespace platform
