// A thread that holds the dynamic loader's lock until it is let go: inside dl_iterate_phdr, or
// inside dlopen of a module whose constructor waits (tests/sdk/measurement/analytics/HeldLoad.cpp,
// told its descriptors by VESMORA_HELD_LOAD) or whose relocation waits
// (tests/platform/dispatch/HeldRelocation.cpp, whose resolver can call no library yet: its
// descriptors are kHeldFd and kReleaseFd). A child forked meanwhile finds the lock held for good.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

namespace testsupport {

class HeldLoader {
 public:
  static constexpr int kHeldFd = 1021;
  static constexpr int kReleaseFd = 1022;

  // Returns once the thread holds the lock (`held()`); `module` null: inside dl_iterate_phdr.
  explicit HeldLoader(const char* module = nullptr) : module_(module) {
    if (::pipe(held_) != 0 || ::pipe(release_) != 0) return;
    holder_ = std::thread([this, module] {
      if (module == nullptr) {
        ::dl_iterate_phdr(
            [](dl_phdr_info*, std::size_t, void* data) {
              static_cast<HeldLoader*>(data)->hold();
              return 1;
            },
            this);
      } else {
        const std::string fds = std::to_string(held_[1]) + "," + std::to_string(release_[0]);
        ::setenv("VESMORA_HELD_LOAD", fds.c_str(), 1);
        if (::dup2(held_[1], kHeldFd) != kHeldFd || ::dup2(release_[0], kReleaseFd) != kReleaseFd) {
          char byte = 0;
          if (::write(held_[1], &byte, 1) != 1) ::abort();  // not held: held() answers false
          return;
        }
        if (void* loaded = ::dlopen(module, RTLD_NOW | RTLD_LOCAL)) ::dlclose(loaded);
        char none = 0;  // loaded without a hold: the constructor's read ends
        if (::write(held_[1], &none, 1) != 1) ::abort();
      }
    });
    char byte = 0;
    isHeld_ = ::read(held_[0], &byte, 1) == 1 && byte == 1;
  }
  HeldLoader(const HeldLoader&) = delete;
  HeldLoader& operator=(const HeldLoader&) = delete;
  ~HeldLoader() {
    char byte = 1;
    if (holder_.joinable()) {
      if (::write(release_[1], &byte, 1) != 1) ::abort();
      holder_.join();
    }
    if (module_ != nullptr) {
      ::close(kHeldFd);
      ::close(kReleaseFd);
    }
    for (int fd : {held_[0], held_[1], release_[0], release_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool held() const { return isHeld_; }

 private:
  void hold() {
    char byte = 1;
    if (::write(held_[1], &byte, 1) != 1) return;
    while (::read(release_[0], &byte, 1) < 0) {
    }
  }

  const char* module_;
  int held_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  bool isHeld_ = false;
  std::thread holder_;
};

}  // namespace testsupport
