#include "dispatch/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

namespace platform {
namespace {

// Draws from the kernel's cryptographic generator; falls back to a seeded engine if the call
// is unavailable, so a draw never fails.
class SystemRandom final : public Random {
 public:
  std::uint64_t next64() override {
    std::uint64_t value = 0;
    fillBytes(&value, sizeof value);
    return value;
  }

  void fillBytes(void* out, std::size_t size) override {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
      ssize_t got = getrandom(bytes, size, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        fallback(bytes, size);
        return;
      }
      bytes += got;
      size -= static_cast<std::size_t>(got);
    }
  }

 private:
  void fallback(unsigned char* bytes, std::size_t size) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(engine_());
  }
  std::mutex mutex_;
  std::mt19937_64 engine_{std::random_device{}()};
};

struct RandomSlot {
  std::mutex mutex;
  std::shared_ptr<Random> installed;
};

RandomSlot& randomSlot() {
  static RandomSlot* slot = new RandomSlot();  // never destroyed
  return *slot;
}

}  // namespace

std::uint32_t Random::uniform(std::uint32_t upperBound) {
  if (upperBound < 2) return 0;
  // Reject the low values that would make some results more likely than others.
  std::uint32_t minimum = static_cast<std::uint32_t>(-upperBound) % upperBound;
  for (;;) {
    std::uint32_t value = next32();
    if (value >= minimum) return value % upperBound;
  }
}

double Random::uniformDouble() {
  return static_cast<double>(next64() >> 11) * 0x1.0p-53;
}

void Random::fillBytes(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    std::uint64_t value = next64();
    std::size_t n = size < sizeof value ? size : sizeof value;
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    bytes += n;
    size -= n;
  }
}

std::shared_ptr<Random> Random::system() {
  static auto* random = new std::shared_ptr<Random>(std::make_shared<SystemRandom>());  // never destroyed
  return *random;
}

std::shared_ptr<Random> Random::current() {
  RandomSlot& slot = randomSlot();
  std::lock_guard lock(slot.mutex);
  return slot.installed ? slot.installed : system();
}

std::shared_ptr<Random> Random::setCurrent(std::shared_ptr<Random> random) {
  RandomSlot& slot = randomSlot();
  std::lock_guard lock(slot.mutex);
  std::shared_ptr<Random> previous = slot.installed;
  slot.installed = std::move(random);
  return previous;
}

}  // namespace platform
