// Portable Hamming kernels: the bit-parallel reference and the SSE2 form every x86-64 CPU runs.
#include <emmintrin.h>

#include <cstring>

#include "kernels.h"

namespace tw::kernels {
namespace {

inline uint32_t popcount_word(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
}

namespace reference {
struct Pop {
  static uint32_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    uint32_t total = 0;
    for (size_t i = 0; i < words; ++i) total += popcount_word(a[i] ^ b[i]);
    return total;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) { return run(a, b, 4); }
};
#include "hamming-inl.h"
}  // namespace reference

namespace sse2 {
// Byte-wise bit-parallel count of one 128-bit vector, summed per 64-bit lane.
inline __m128i popcount_lanes(__m128i x) {
  const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
  x = _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi64(x, 1), m1));
  x = _mm_add_epi8(_mm_and_si128(x, m2), _mm_and_si128(_mm_srli_epi64(x, 2), m2));
  x = _mm_and_si128(_mm_add_epi8(x, _mm_srli_epi64(x, 4)), m4);
  return _mm_sad_epu8(x, _mm_setzero_si128());
}

struct Pop {
  static uint32_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    __m128i acc = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
      const __m128i x0 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
      const __m128i x1 =
          _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 2)),
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 2)));
      acc = _mm_add_epi32(acc, _mm_add_epi32(popcount_lanes(x0), popcount_lanes(x1)));
    }
    uint32_t total = static_cast<uint32_t>(_mm_cvtsi128_si32(acc)) +
                     static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
    for (; i < words; ++i) total += popcount_word(a[i] ^ b[i]);
    return total;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) { return run(a, b, 4); }
};
#include "hamming-inl.h"
}  // namespace sse2

}  // namespace

HammingKernels hamming_scalar() { return reference::make_hamming_kernels(); }
HammingKernels hamming_sse2() { return sse2::make_hamming_kernels(); }

}  // namespace tw::kernels
