// A program that links the SDK, whose own copy reads the loaded objects as the program starts
// (its initialiser, which runs without the dynamic loader's lock) while another thread's load of a
// plugin embedding the SDK is held in its relocation (HeldRelocation.cpp, told by descriptors 200
// and 201); that load then fails (the plugin needs a symbol no object defines) and the plugin is
// unmapped. The program's copy then configures, logs and ends, storing its events.
//
//   copies_failed_load_host <plugin>
//
// The program's own dl_iterate_phdr stands before the C library's: its first call (the copy's, as
// the program starts) opens the plugin on another thread, and lets the load go on once it returns.
// Not under a sanitizer, whose runtime calls dl_iterate_phdr before the program can answer (run in
// the plain build, scripts/plain-plugin-tests.sh).
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle and data
// folders.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
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
  std::thread loading([] { gHeldLoad.store(::dlopen(gPlugin, RTLD_NOW | RTLD_LOCAL) == nullptr ? 1 : 2); });
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
__attribute__((constructor(101))) void namePlugin() { gPlugin = std::getenv("VESMORA_FAILING_PLUGIN"); }
}  // namespace

#endif

int main() {
#ifdef HOST_UNDER_SANITIZER
  std::cout << "skipped: the program's own dl_iterate_phdr under a sanitizer\n";
  return 77;
#else
  if (gHeldLoad.load() != 1) {
    std::cerr << "FAILED: the plugin's load was " << (gHeldLoad.load() == 2 ? "not refused" : "not held")
              << " while the program's copy read the loaded objects\n";
    return 1;
  }
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  try {
    CDVApp::configure();
  } catch (const std::exception& e) {
    std::cerr << "FAILED: the program's configure: " << e.what() << '\n';
    return 1;
  }
  for (int i = 0; i < 5; ++i) CDVAnalytics::logEventWithName("from_program", TLMObjectDictionary());
  if (!UIApplication().terminate()) {
    std::cerr << "FAILED: the program's end did not store everything\n";
    return 1;
  }
  std::cout << "the program's copy configured and stored beside a failed load\n";
  return 0;
#endif
}
