// A hint to bring a cache line in for reading, one branch per compiler.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace tw {

// Prefetches never fault, so the address may lie past the end of the data; it is taken as an
// integer so that forming it is not pointer arithmetic out of bounds.
inline void prefetch(uintptr_t address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(reinterpret_cast<const void*>(address), 0, 3);
#elif defined(_M_X64)
  _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
#elif defined(_M_ARM64)
  __prefetch(reinterpret_cast<const void*>(address));
#else
  (void)address;
#endif
}

}  // namespace tw
