// A hint to bring a cache line in for reading.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace tw {

// Prefetches never fault, so the address may lie past the end of the data; it is taken as an
// integer so that forming it is not pointer arithmetic out of bounds. On x86-64 every compiler
// spells SSE's prefetch the same; elsewhere GCC's builtin, and no hint from other compilers
// (MSVC only builds for x86-64 here).
inline void prefetch(uintptr_t address) noexcept {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(reinterpret_cast<const void*>(address), 0, 3);
#else
  (void)address;
#endif
}

}  // namespace tw
