// A shared object whose relocation holds the thread that loads it, inside dlopen: resolving its
// indirect function (an IFUNC, resolved as the object is relocated, before the loader knows the
// objects it loads as loaded) writes a byte to descriptor 200 and waits for one on 201, when the
// host opened them (CopiesHost.cpp). The resolver runs before this object's own calls are bound,
// so it makes its system calls itself.
#include <sys/syscall.h>

namespace {

constexpr long kHeld = 200;
constexpr long kRelease = 201;

long rawSyscall(long number, long fd, void* buffer, long size) {
  long result;
#if defined(__x86_64__)
  asm volatile("syscall" : "=a"(result) : "a"(number), "D"(fd), "S"(buffer), "d"(size) : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = fd;
  register long x1 asm("x1") = reinterpret_cast<long>(buffer);
  register long x2 asm("x2") = size;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2) : "memory");
  result = x0;
#else
#error "a system call for this architecture"
#endif
  return result;
}

void resolved() {}

}  // namespace

extern "C" {

__attribute__((used)) void (*resolveHeld())() {
  char byte = 1;
  if (rawSyscall(SYS_write, kHeld, &byte, 1) == 1) {
    while (rawSyscall(SYS_read, kRelease, &byte, 1) < 0) {
    }
  }
  return &resolved;
}

__attribute__((visibility("default"))) void held_relocation() __attribute__((ifunc("resolveHeld")));
// A reference the loader resolves as it relocates this object.
__attribute__((visibility("default"), used)) void (*held_relocation_reference)() = &held_relocation;

}  // extern "C"
