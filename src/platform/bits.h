// Bit counting and overflow-checked arithmetic, one branch per compiler.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tw {

// Set bits of a word: the hardware count in files compiled for one (-mpopcnt, aarch64), else a
// bit-parallel sequence. Internal linkage, because kernel files are compiled with different
// instruction sets and one file's copy must never stand in for another's.
static inline uint32_t popcount64(uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
  return static_cast<uint32_t>(std::popcount(x));  // MSVC's checks the CPU before using POPCNT
#endif
}

// Overflow checks written out, for compilers without the builtins (MSVC); tests/cpp compares them
// with the builtins. Like those, they store the result modulo 2^64 whether or not it overflowed.
namespace portable {

inline bool mul_overflow(intptr_t a, intptr_t b, intptr_t* out) noexcept {
  constexpr intptr_t kMax = std::numeric_limits<intptr_t>::max();
  constexpr intptr_t kMin = std::numeric_limits<intptr_t>::min();
  bool overflow = false;
  if (a > 0) {
    overflow = b > 0 ? a > kMax / b : b < kMin / a;
  } else if (a < 0) {
    overflow = b > 0 ? a < kMin / b : (b < 0 && a < kMax / b);
  }
  *out = static_cast<intptr_t>(static_cast<uintptr_t>(a) * static_cast<uintptr_t>(b));
  return overflow;
}

inline bool mul_overflow(size_t a, size_t b, size_t* out) noexcept {
  *out = a * b;
  return a != 0 && b > std::numeric_limits<size_t>::max() / a;
}

inline bool add_overflow(intptr_t a, intptr_t b, intptr_t* out) noexcept {
  *out = static_cast<intptr_t>(static_cast<uintptr_t>(a) + static_cast<uintptr_t>(b));
  return b > 0 ? a > std::numeric_limits<intptr_t>::max() - b
               : a < std::numeric_limits<intptr_t>::min() - b;
}

inline bool add_overflow(uintptr_t a, uintptr_t b, uintptr_t* out) noexcept {
  *out = a + b;
  return *out < a;
}

// An address moved by a signed offset, which must stay within [0, UINTPTR_MAX].
inline bool add_overflow(uintptr_t a, intptr_t b, uintptr_t* out) noexcept {
  const uintptr_t magnitude = b < 0 ? uintptr_t(0) - uintptr_t(b) : uintptr_t(b);
  *out = a + static_cast<uintptr_t>(b);
  return b < 0 ? magnitude > a : magnitude > std::numeric_limits<uintptr_t>::max() - a;
}

}  // namespace portable

// True when a * b or a + b does not fit *out; *out is the result otherwise.
#if defined(__GNUC__) || defined(__clang__)
template <class A, class B, class R>
inline bool mul_overflow(A a, B b, R* out) noexcept {
  return __builtin_mul_overflow(a, b, out);
}
template <class A, class B, class R>
inline bool add_overflow(A a, B b, R* out) noexcept {
  return __builtin_add_overflow(a, b, out);
}
#else
using portable::add_overflow;
using portable::mul_overflow;
#endif

}  // namespace tw
