// A quick run of a google-benchmark program (the environment variable VESMORA_BENCH_QUICK set):
// each benchmark once, at a tiny size, so that a test can check that it still builds and runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>

inline bool benchQuickRun() {
  const char* value = std::getenv("VESMORA_BENCH_QUICK");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

// The full sizes with `minTime` seconds each, or in a quick run `quick` once.
inline void benchSizes(benchmark::internal::Benchmark* b, std::initializer_list<std::int64_t> full,
                       std::int64_t quick, double minTime) {
  if (benchQuickRun()) {
    b->Arg(quick)->Iterations(1);
    return;
  }
  for (std::int64_t size : full) b->Arg(size);
  b->MinTime(minTime);
}
