// The read floor for the Python benchmarks, loaded with ctypes: it times its own passes, so no
// call overhead enters the floor.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "floor.h"

#if defined(__unix__) || defined(__APPLE__)
#include <time.h>
#endif

#if defined(_WIN32)
#define TW_EXPORT extern "C" __declspec(dllexport)
#else
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
volatile uint64_t sink;

uint64_t now_ns(int thread_clock) {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  if (thread_clock) {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
  }
#else
  (void)thread_clock;
#endif
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}
}  // namespace

// Nanoseconds that `passes` reads of [data, data + bytes) take together, on the thread's CPU
// clock (the one Python's time.thread_time_ns reads) when `thread_clock` is set and there is
// one, else on the wall clock.
TW_EXPORT uint64_t tw_read_floor_ns(const void* data, size_t bytes, size_t passes,
                                    int thread_clock) {
  const uint64_t start = now_ns(thread_clock);
  uint64_t acc = 0;
  for (size_t i = 0; i < passes; ++i) acc ^= tw::bench::read_floor(data, bytes);
  const uint64_t stop = now_ns(thread_clock);
  sink = acc;
  return stop - start;
}

// 1 when tw_read_floor_ns can time on the thread's CPU clock.
TW_EXPORT int tw_read_floor_has_thread_clock() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  return 1;
#else
  return 0;
#endif
}

// "avx512, 8 loads an iteration": which floor this is.
TW_EXPORT const char* tw_read_floor_name() {
  static char text[64];
  const tw::bench::FloorKernels& f = tw::bench::widest_floor();
  std::snprintf(text, sizeof text, "%s, %d loads an iteration", f.name,
                tw::bench::kUnrolls[f.best_read]);
  return text;
}
