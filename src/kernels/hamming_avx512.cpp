// Hamming kernels for CPUs with AVX-512 F/BW/VL and VPOPCNTDQ.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace tw::kernels {
namespace {

struct Pop {
  static uint32_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    __m512i acc = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 8 <= words; i += 8) {
      const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i));
      acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(x));
    }
    if (i < words) {
      const __mmask8 tail = static_cast<__mmask8>((1u << (words - i)) - 1);
      const __m512i x = _mm512_xor_si512(_mm512_maskz_loadu_epi64(tail, a + i),
                                         _mm512_maskz_loadu_epi64(tail, b + i));
      acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(x));
    }
    const __m256i half = _mm256_add_epi64(_mm512_castsi512_si256(acc),
                                          _mm512_extracti64x4_epi64(acc, 1));
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1));
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    const __m256i c = _mm256_popcnt_epi64(x);
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1));
  }
};
#include "hamming-inl.h"

}  // namespace

HammingKernels hamming_avx512() { return make_hamming_kernels(); }

}  // namespace tw::kernels
