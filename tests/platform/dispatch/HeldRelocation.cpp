// A shared object whose relocation holds the thread that opens it, inside dlopen and so holding
// the dynamic loader's locks, the one that starting a thread takes too: the resolver of its
// indirect function writes a byte to descriptor 1021 and waits for one on 1022 (HeldLoader.h).
// The resolver runs before the object's calls into other libraries are bound, so it makes its
// system calls itself; without those descriptors it holds nothing.
#include <sys/syscall.h>

extern "C" {

#if defined(__x86_64__)
static long rawSystemCall(long number, long fd, void* buffer, long size) {
  long result;
  asm volatile("syscall" : "=a"(result) : "0"(number), "D"(fd), "S"(buffer), "d"(size) : "rcx", "r11", "memory");
  return result;
}
#else
static long rawSystemCall(long, long, void*, long) { return -1; }  // elsewhere nothing is held
#endif

static void heldFunctionItself() {}

static void (*resolveHeldFunction())() {
  char byte = 1;
  if (rawSystemCall(SYS_write, 1021, &byte, 1) == 1) {
    while (rawSystemCall(SYS_read, 1022, &byte, 1) < 0) {
    }
  }
  return &heldFunctionItself;
}

void heldFunction() __attribute__((ifunc("resolveHeldFunction")));

// Bound as the object is relocated, not at a first call.
__attribute__((used)) void (*const gHeldFunctionAddress)() = &heldFunction;

}  // extern "C"
