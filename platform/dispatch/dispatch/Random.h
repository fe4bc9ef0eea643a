// The process-wide random source. The system source draws from the kernel's cryptographic
// generator; tests install a ScriptedRandom (dispatch/Testing.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

class Random {
 public:
  virtual ~Random() = default;

  virtual std::uint64_t next64() = 0;
  virtual std::uint32_t next32() { return static_cast<std::uint32_t>(next64() >> 32); }
  // Uniform in [0, upperBound), without modulo bias; 0 when upperBound is below 2.
  virtual std::uint32_t uniform(std::uint32_t upperBound);
  // Uniform in [0, 1).
  virtual double uniformDouble();
  // Fills `size` bytes.
  virtual void fillBytes(void* out, std::size_t size);

  // The source in force for the process.
  static std::shared_ptr<Random> current();
  // Installs a source (nullptr restores the system source); returns the previous one.
  static std::shared_ptr<Random> setCurrent(std::shared_ptr<Random> random);
  static std::shared_ptr<Random> system();
};

// Installs a random source for the lifetime of the object.
class ScopedRandom {
 public:
  explicit ScopedRandom(std::shared_ptr<Random> random) : previous_(Random::setCurrent(std::move(random))) {}
  ~ScopedRandom() { Random::setCurrent(std::move(previous_)); }
  ScopedRandom(const ScopedRandom&) = delete;
  ScopedRandom& operator=(const ScopedRandom&) = delete;

 private:
  std::shared_ptr<Random> previous_;
};

}  // namespace platform
