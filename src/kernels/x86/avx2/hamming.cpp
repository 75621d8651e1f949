// Hamming kernels for CPUs with AVX2 and POPCNT.
#include <immintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/bits.h"
#include "platform/prefetch.h"

namespace tw::kernels {
namespace {

inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// Nibble-table count: each byte of the result holds the set bits of that byte.
inline __m256i popcount_bytes(__m256i x) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2,
                                         1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(x, low));
  const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi64(x, 4), low));
  return _mm256_add_epi8(lo, hi);
}

inline __m256i popcount_lanes(__m256i x) {
  return _mm256_sad_epu8(popcount_bytes(x), _mm256_setzero_si256());
}

struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    size_t i = 0;
    uint64_t total = 0;
    if (words >= 16) {
      __m256i acc = _mm256_setzero_si256();
      for (; i + 4 <= words; i += 4) {
        acc = _mm256_add_epi64(acc, popcount_lanes(_mm256_xor_si256(load(a + i), load(b + i))));
      }
      __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
      total = static_cast<uint64_t>(_mm_cvtsi128_si64(sum)) +
              static_cast<uint64_t>(_mm_extract_epi64(sum, 1));
    }
    for (; i < words; ++i)
      total += popcount64(word_at(a, i) ^ word_at(b, i));
    return total;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return static_cast<uint32_t>(popcount64(word_at(a, 0) ^ word_at(b, 0)) +
                                 popcount64(word_at(a, 1) ^ word_at(b, 1)) +
                                 popcount64(word_at(a, 2) ^ word_at(b, 2)) +
                                 popcount64(word_at(a, 3) ^ word_at(b, 3)));
  }
};
#include "kernels/hamming-inl.h"

// Distances of eight 4-word rows (one row per register) as 32-bit lanes, in row order.
template <class At>
inline __m256i eight_rows(__m256i q, At at) {
  __m256i pair[4];
  for (int k = 0; k < 4; ++k) {
    const __m256i even = popcount_lanes(_mm256_xor_si256(load(at(2 * k)), q));
    const __m256i odd = popcount_lanes(_mm256_xor_si256(load(at(2 * k + 1)), q));
    pair[k] = _mm256_or_si256(even, _mm256_slli_epi64(odd, 32));  // row 2k low, 2k+1 high
  }
  // Add the four 64-bit lanes of each pair: a 4x4 transpose-and-add.
  const __m256i s01 = _mm256_add_epi32(_mm256_unpacklo_epi64(pair[0], pair[1]),
                                       _mm256_unpackhi_epi64(pair[0], pair[1]));
  const __m256i s23 = _mm256_add_epi32(_mm256_unpacklo_epi64(pair[2], pair[3]),
                                       _mm256_unpackhi_epi64(pair[2], pair[3]));
  return _mm256_add_epi32(_mm256_permute2x128_si256(s01, s23, 0x20),
                          _mm256_permute2x128_si256(s01, s23, 0x31));
}

// Per-lane minimum and the first row reaching it, over blocks of eight rows.
struct LaneMin {
  __m256i best = _mm256_set1_epi32(INT32_MAX);  // 4-word distances never exceed 256
  __m256i index = _mm256_setzero_si256();
  __m256i next = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);

  // Returns true when the block held a distance 0.
  bool add(__m256i d) {
    const __m256i lt = _mm256_cmpgt_epi32(best, d);
    best = _mm256_blendv_epi8(best, d, lt);
    index = _mm256_blendv_epi8(index, next, lt);
    next = _mm256_add_epi32(next, _mm256_set1_epi32(8));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(d, _mm256_setzero_si256())) != 0;
  }
  Nearest result() const {
    alignas(32) uint32_t b[8], i[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(b), best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
    return first_min_of_lanes(b, i, 8);
  }
};

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const __m256i qv = load(q);
    size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
      const uint64_t* block = codes + 4 * r;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r),
                          eight_rows(qv, [&](int k) { return block + 4 * k; }));
    }
    for (; r < rows; ++r) out[r] = Pop::four(q, codes + 4 * r);
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const __m256i qv = load(q);
    const __m256 one = _mm256_set1_ps(1.0f), cv = _mm256_set1_ps(c);
    size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
      const uint64_t* block = codes + 4 * r;
      const __m256i d = eight_rows(qv, [&](int k) { return block + 4 * k; });
      _mm256_storeu_ps(out + r, _mm256_sub_ps(one, _mm256_div_ps(_mm256_cvtepi32_ps(d), cv)));
    }
    for (; r < rows; ++r) out[r] = similarity_of(Pop::four(q, codes + 4 * r), c);
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const __m256i qv = load(q);
      LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 8 <= n && !zero; r += 8) {
        const uint64_t* block = base + 4 * r;
        zero = lanes.add(eight_rows(qv, [&](int k) { return block + 4 * k; }));
      }
      Nearest best = lanes.result();
      if (zero) return best;
      for (; r < n; ++r) {
        const uint32_t d = Pop::four(q, base + 4 * r);
        if (d < best.distance) {
          best = {r, d};
          if (d == 0) break;
        }
      }
      return best;
    });
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const __m256i qv = load(q);
      LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 8 <= n && !zero; r += 8) {
        const unsigned char* block = base + r * stride;
        prefetch_records(block, 8 * stride);
        zero = lanes.add(eight_rows(qv, [&](int k) { return block + k * stride; }));
      }
      if (zero) return lanes.result();
      return nearest_records_from(lanes.result(), q, base, r, n, stride);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_avx2() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
