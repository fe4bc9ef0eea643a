// A host that loads the SDK as a plugin (SdkPlugin.cpp, a shared library it opens with dlopen)
// and does not link it itself. Twice it loads the plugin, logs 20 events through it, ends the app
// and closes the plugin with dlclose. The SDK cannot be unloaded: dlclose answers 0 but the
// library stays loaded, so the second load finds the app configured by the first, and the store
// holds all 40 events.
//
//   sdk_plugin_host <plugin>
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <dlfcn.h>

#include <iostream>
#include <string>

namespace {

constexpr int kEvents = 20;
constexpr int kLoads = 2;

int failed(const std::string& what) {
  std::cerr << "FAILED: " << what << '\n';
  return 1;
}

int run(const char* plugin) {
  for (int load = 1; load <= kLoads; ++load) {
    void* library = ::dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return failed(std::string("dlopen: ") + ::dlerror());
    auto logAndEnd = reinterpret_cast<int (*)(int)>(::dlsym(library, "sdk_plugin_log_and_end"));
    if (logAndEnd == nullptr) return failed(std::string("dlsym: ") + ::dlerror());
    const int answer = logAndEnd(kEvents);
    if (answer < 0) return failed("load " + std::to_string(load) + ": not everything logged was stored");
    // The first load configures the app; the second finds it configured, as the first left it.
    if (answer != (load == 1 ? 0 : 1)) {
      return failed("load " + std::to_string(load) + (answer == 0 ? ": configured the app again" : ": found the app configured"));
    }
    if (::dlclose(library) != 0) return failed(std::string("dlclose: ") + ::dlerror());
    void* still = ::dlopen(plugin, RTLD_NOW | RTLD_NOLOAD);
    if (still == nullptr) return failed("load " + std::to_string(load) + ": dlclose unloaded the plugin");
    ::dlclose(still);
    std::cout << "load " << load << ": " << kEvents << " events, "
              << (load == 1 ? "configured" : "found configured") << ", still loaded after dlclose\n";
  }
  void* library = ::dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return failed(std::string("dlopen: ") + ::dlerror());
  auto storedEvents = reinterpret_cast<long (*)()>(::dlsym(library, "sdk_plugin_stored_events"));
  const long stored = storedEvents != nullptr ? storedEvents() : -1;
  ::dlclose(library);
  std::cout << stored << " events stored\n";
  if (stored != kLoads * kEvents) return failed("the store holds " + std::to_string(stored) + " events");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: sdk_plugin_host <plugin>\n";
    return 2;
  }
  return run(argv[1]);
}
