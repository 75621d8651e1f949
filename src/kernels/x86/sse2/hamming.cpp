// Hamming kernels in SSE2, which every x86-64 CPU runs: the 128-bit form of the bit-parallel count.
#include <emmintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/prefetch.h"

namespace tw::kernels {
namespace {

#include "kernels/bit_count-inl.h"

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// Byte-wise bit-parallel count: each byte of the result holds the set bits of that byte (<= 8).
inline __m128i popcount_bytes(__m128i x) {
  const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
  x = _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi64(x, 1), m1));
  x = _mm_add_epi8(_mm_and_si128(x, m2), _mm_and_si128(_mm_srli_epi64(x, 2), m2));
  return _mm_and_si128(_mm_add_epi8(x, _mm_srli_epi64(x, 4)), m4);
}

inline __m128i popcount_lanes(__m128i x) {
  return _mm_sad_epu8(popcount_bytes(x), _mm_setzero_si128());
}

struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    __m128i acc = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
      const __m128i x0 = _mm_xor_si128(load(a + i), load(b + i));
      const __m128i x1 = _mm_xor_si128(load(a + i + 2), load(b + i + 2));
      acc = _mm_add_epi64(acc, _mm_add_epi64(popcount_lanes(x0), popcount_lanes(x1)));
    }
    uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
                     static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
    for (; i < words; ++i) total += bit_parallel_popcount(word_at(a, i) ^ word_at(b, i));
    return total;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return static_cast<uint32_t>(run(a, b, 4));
  }
};
#include "kernels/hamming-inl.h"

// The distance of one 4-word row, split over the two 64-bit lanes.
inline __m128i row_lanes(__m128i q0, __m128i q1, const void* row) {
  const auto* p = static_cast<const unsigned char*>(row);
  const __m128i bytes = _mm_add_epi8(popcount_bytes(_mm_xor_si128(load(p), q0)),
                                     popcount_bytes(_mm_xor_si128(load(p + 16), q1)));
  return _mm_sad_epu8(bytes, _mm_setzero_si128());
}

struct Step {
  struct Query {
    __m128i q0, q1;
    explicit Query(const uint64_t* q) : q0(load(q)), q1(load(q + 2)) {}
  };

  // Distances of four 4-word rows as 32-bit lanes, in row order.
  template <class At>
  static __m128i four(const Query& q, At at) {
    const __m128i a = _mm_or_si128(row_lanes(q.q0, q.q1, at(0)),
                                   _mm_slli_epi64(row_lanes(q.q0, q.q1, at(1)), 32));
    const __m128i b = _mm_or_si128(row_lanes(q.q0, q.q1, at(2)),
                                   _mm_slli_epi64(row_lanes(q.q0, q.q1, at(3)), 32));
    return _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
  }

  static void store(uint32_t* out, __m128i d) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), d);
  }
  static void store_similarities(float* out, __m128i d, float c) {
    _mm_storeu_ps(out, _mm_sub_ps(_mm_set1_ps(1.0f), _mm_div_ps(_mm_cvtepi32_ps(d), _mm_set1_ps(c))));
  }

  // Per-lane minimum and the first row reaching it, over blocks of four rows.
  struct LaneMin {
    __m128i best = _mm_set1_epi32(INT32_MAX);  // 4-word distances never exceed 256
    __m128i index = _mm_setzero_si128();
    __m128i next = _mm_setr_epi32(0, 1, 2, 3);

    bool add(__m128i d) {
      const __m128i lt = _mm_cmplt_epi32(d, best);
      best = _mm_or_si128(_mm_and_si128(lt, d), _mm_andnot_si128(lt, best));
      index = _mm_or_si128(_mm_and_si128(lt, next), _mm_andnot_si128(lt, index));
      next = _mm_add_epi32(next, _mm_set1_epi32(4));
      return _mm_movemask_epi8(_mm_cmpeq_epi32(d, _mm_setzero_si128())) != 0;
    }
    Nearest result() const {
      alignas(16) uint32_t b[4], i[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(b), best);
      _mm_store_si128(reinterpret_cast<__m128i*>(i), index);
      return first_min_of_lanes(b, i, 4);
    }
  };
};

using Rows = FourRowLoops<Step>;

}  // namespace

HammingKernels hamming_sse2() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
