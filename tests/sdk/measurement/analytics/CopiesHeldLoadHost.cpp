// A program that links the SDK, whose own copy reads the loaded objects as the program starts
// (its initialiser, which runs without the dynamic loader's lock) while another thread's load of a
// plugin embedding the SDK is held in its relocation (HeldRelocation.cpp, told by descriptors 200
// and 201): the plugin's block is in the loader's list, not yet linked. Then:
//
//   copies_held_load_host fails
//       That load fails (the plugin needs a symbol no object defines) and the plugin is unmapped.
//       The program's copy configures, logs and ends, storing its events.
//   copies_held_load_host loads
//       That load succeeds, and the plugin's copy links itself as it loads. The program's copy
//       configures, logs and ends, storing its events; the plugin's configure is refused naming
//       the program (a copy that took the plugin's block for one of the ring's as it read the
//       objects would have left the plugin's copy no way round to the program's: it would work too).
//
// VESMORA_HELD_PLUGIN names the plugin. The program's own dl_iterate_phdr stands before the C
// library's: its first call (the copy's, as the program starts) opens the plugin on another
// thread, and lets the load go on once it returns. Not under a sanitizer, whose runtime calls
// dl_iterate_phdr before the program can answer (run in the plain build,
// scripts/plain-plugin-tests.sh).
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle and data
// folders.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"
#include "UnderSanitizer.h"

#ifndef HOST_UNDER_SANITIZER

namespace {

std::atomic<bool> gCalled{false};
// What the held load did: 1 held and failed, 2 held and loaded, -1 not held.
std::atomic<int> gHeldLoad{0};
std::atomic<void*> gLoaded{nullptr};
const char* gPlugin = nullptr;

}  // namespace

extern "C" int dl_iterate_phdr(int (*visit)(dl_phdr_info*, std::size_t, void*), void* data) {
  using Iterate = int (*)(int (*)(dl_phdr_info*, std::size_t, void*), void*);
  static const auto real = reinterpret_cast<Iterate>(::dlsym(RTLD_NEXT, "dl_iterate_phdr"));
  if (gCalled.exchange(true) || gPlugin == nullptr) return real(visit, data);
  int held[2];
  int release[2];
  if (::pipe(held) != 0 || ::pipe(release) != 0 || ::dup2(held[1], 200) != 200 || ::dup2(release[0], 201) != 201) {
    gHeldLoad.store(-1);
    return real(visit, data);
  }
  std::thread loading([] {
    void* loaded = ::dlopen(gPlugin, RTLD_NOW | RTLD_LOCAL);
    gLoaded.store(loaded);
    gHeldLoad.store(loaded == nullptr ? 1 : 2);
  });
  char byte = 0;
  const bool wasHeld = ::read(held[0], &byte, 1) == 1;
  const int answer = real(visit, data);
  if (::write(release[1], &byte, 1) != 1) std::abort();
  loading.join();
  if (!wasHeld) gHeldLoad.store(-1);
  for (int fd : {held[0], held[1], release[0], release[1], 200, 201}) ::close(fd);
  return answer;
}

namespace {
// Before the SDK's initialisers: a file of the program's, named first.
__attribute__((constructor(101))) void namePlugin() { gPlugin = std::getenv("VESMORA_HELD_PLUGIN"); }

int fail(const std::string& what) {
  std::cerr << "FAILED: " << what << '\n';
  return 1;
}

}  // namespace

#endif

int main([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifdef HOST_UNDER_SANITIZER
  std::cout << "skipped: the program's own dl_iterate_phdr under a sanitizer\n";
  return 77;
#else
  const std::string outcome = argc == 2 ? argv[1] : "";
  if (outcome != "fails" && outcome != "loads") {
    std::cerr << "usage: copies_held_load_host fails|loads\n";
    return 2;
  }
  const int expected = outcome == "fails" ? 1 : 2;
  if (gHeldLoad.load() != expected) {
    return fail(std::string("the plugin's load was ") +
                (gHeldLoad.load() < 0 ? "not held" : gHeldLoad.load() == 2 ? "not refused" : "refused") +
                " while the program's copy read the loaded objects");
  }
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  try {
    CDVApp::configure();
  } catch (const std::exception& e) {
    return fail(std::string("the program's configure: ") + e.what());
  }
  if (outcome == "loads") {
    auto configure = reinterpret_cast<int (*)(char*, std::size_t)>(::dlsym(gLoaded.load(), "sdk_plugin_configure"));
    if (configure == nullptr) return fail("the plugin has no configure");
    char reason[1024] = "";
    const int answer = configure(reason, sizeof reason);
    std::cout << "plugin: " << answer << " " << reason << '\n';
    if (answer != -1 || std::string(reason).rfind(std::string("Another copy of the SDK, in '") + argv[0] + "'", 0) != 0) {
      return fail("the plugin's configure, beside the program's copy that works, answered " + std::to_string(answer));
    }
  }
  for (int i = 0; i < 5; ++i) CDVAnalytics::logEventWithName("from_program", TLMObjectDictionary());
  if (!UIApplication().terminate()) return fail("the program's end did not store everything");
  std::cout << "the program's copy configured and stored beside a load held that " << outcome << '\n';
  return 0;
#endif
}
