// The read floor for the Python benchmarks, loaded with ctypes: it times its own passes, so no
// call overhead enters the floor.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "floor.h"

#if defined(_WIN32)
#define TW_EXPORT extern "C" __declspec(dllexport)
#else
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
volatile uint64_t sink;
}

// Nanoseconds that `passes` reads of [data, data + bytes) take together.
TW_EXPORT uint64_t tw_read_floor_ns(const void* data, size_t bytes, size_t passes) {
  const auto start = std::chrono::steady_clock::now();
  uint64_t acc = 0;
  for (size_t i = 0; i < passes; ++i) acc ^= tw::bench::read_floor(data, bytes);
  const auto stop = std::chrono::steady_clock::now();
  sink = acc;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
}

// "avx512, 8 loads an iteration": which floor this is.
TW_EXPORT const char* tw_read_floor_name() {
  static char text[64];
  const tw::bench::FloorKernels& f = tw::bench::widest_floor();
  std::snprintf(text, sizeof text, "%s, %d loads an iteration", f.name,
                tw::bench::kUnrolls[f.best_read]);
  return text;
}
