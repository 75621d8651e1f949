// Hamming kernels with AVX-512 instructions on 256-bit registers (VL): the VPOPCNTDQ count and
// mask registers without 512-bit operations, which some CPUs split into two halves.
#include <immintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/bits.h"
#include "platform/compiler.h"
#include "platform/prefetch.h"

TW_QUIET_UNINITIALIZED

namespace tw::kernels {
namespace {

#include "kernels/x86/vpopcnt-inl.h"

using Pop = PopOf<W256>;
#include "kernels/hamming-inl.h"

#include "kernels/x86/rows256-inl.h"

using rows256::first_lanes;

// --- other word counts: eight rows at a time ---

// Per-word counts of rows 0..7, one register each -> the row sums as 64-bit lanes in row order,
// rows 0..3 in lo and 4..7 in hi.
inline void sum_rows8(const __m256i (&a)[8], __m256i& lo, __m256i& hi) {
  __m256i t[4];
  TW_UNROLL(4)
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm256_add_epi64(_mm256_unpacklo_epi64(a[2 * k], a[2 * k + 1]),
                            _mm256_unpackhi_epi64(a[2 * k], a[2 * k + 1]));
  }
  const auto lanes = [](__m256i x, __m256i y) {
    return _mm256_add_epi64(_mm256_permute2x128_si256(x, y, 0x20),
                            _mm256_permute2x128_si256(x, y, 0x31));
  };
  lo = lanes(t[0], t[1]);
  hi = lanes(t[2], t[3]);
}

// Distances of rows r0 .. r0 + n - 1 (n <= 8) of a row-major matrix as 64-bit lanes.
inline void eight_rows_any(const uint64_t* q, const uint64_t* codes, size_t r0, size_t n,
                           size_t words, uint64_t (&out)[8]) {
  __m256i acc[8];
  count_rows8<W256>(q, codes, r0, n, words, acc);
  __m256i lo, hi;
  sum_rows8(acc, lo, hi);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), lo);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), hi);
}

// Rows narrower than a register go one at a time through scalar POPCNT.
constexpr size_t kWideFrom = 4;

inline uint64_t narrow_distance(const uint64_t* q, const uint64_t* row, size_t words) {
  uint64_t d = 0;
  for (size_t i = 0; i < words; ++i) d += popcount64(word_at(q, i) ^ word_at(row, i));
  return d;
}

// Distances of every row (words >= kWideFrom), eight at a time, handed to emit(first row,
// count, distances), which returns false to stop.
template <class Emit>
inline void wide_rows(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                      Emit emit) {
  uint64_t d[8];
  for (size_t r = 0; r < rows; r += 8) {
    const size_t n = rows - r < 8 ? rows - r : 8;
    eight_rows_any(q, codes, r, n, words, d);
    if (!emit(r, n, d)) return;
  }
}

struct Rows : rows256::Rows256 {
  static void distances_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                             size_t words, uint32_t* out) {
    if (words < kWideFrom) {
      for (size_t r = 0; r < rows; ++r) {
        out[r] = static_cast<uint32_t>(narrow_distance(q, codes + r * words, words));
      }
      return;
    }
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) out[r + k] = static_cast<uint32_t>(d[k]);
      return true;
    });
  }

  static void similarities_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                                size_t words, float c, float* out) {
    if (words < kWideFrom) {
      for (size_t r = 0; r < rows; ++r) {
        out[r] = similarity_of(narrow_distance(q, codes + r * words, words), c);
      }
      return;
    }
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) out[r + k] = similarity_of(d[k], c);
      return true;
    });
  }

  static Nearest nearest_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                              size_t words) {
    Nearest best{0, UINT64_MAX};
    if (words < kWideFrom) {
      for (size_t r = 0; r < rows && best.distance != 0; ++r) {
        const uint64_t d = narrow_distance(q, codes + r * words, words);
        if (d < best.distance) best = {r, d};
      }
      return best;
    }
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) {
        if (d[k] < best.distance) best = {r + k, d[k]};
      }
      return best.distance != 0;
    });
    return best;
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_avx512vl() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
