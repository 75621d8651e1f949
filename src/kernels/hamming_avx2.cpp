// Hamming kernels for CPUs with AVX2 and POPCNT.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace tw::kernels {
namespace {

// Nibble-table count of each byte, summed per 64-bit lane.
inline __m256i popcount_lanes(__m256i x) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2,
                                         1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(x, low));
  const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi64(x, 4), low));
  return _mm256_sad_epu8(_mm256_add_epi8(lo, hi), _mm256_setzero_si256());
}

struct Pop {
  static uint32_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    size_t i = 0;
    uint64_t total = 0;
    if (words >= 16) {
      __m256i acc = _mm256_setzero_si256();
      for (; i + 4 <= words; i += 4) {
        const __m256i x =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
        acc = _mm256_add_epi64(acc, popcount_lanes(x));
      }
      __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
      total = static_cast<uint64_t>(_mm_cvtsi128_si64(sum)) +
              static_cast<uint64_t>(_mm_extract_epi64(sum, 1));
    }
    for (; i < words; ++i) total += static_cast<uint64_t>(_mm_popcnt_u64(a[i] ^ b[i]));
    return static_cast<uint32_t>(total);
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return static_cast<uint32_t>(_mm_popcnt_u64(a[0] ^ b[0]) + _mm_popcnt_u64(a[1] ^ b[1]) +
                                 _mm_popcnt_u64(a[2] ^ b[2]) + _mm_popcnt_u64(a[3] ^ b[3]));
  }
};
#include "hamming-inl.h"

}  // namespace

HammingKernels hamming_avx2() { return make_hamming_kernels(); }

}  // namespace tw::kernels
