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

inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

inline __mmask8 first_words(size_t n) {
  return n >= 4 ? __mmask8(0x0F) : static_cast<__mmask8>((1u << n) - 1);
}

struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    size_t i = 0;
    for (; i + 16 <= words; i += 16) {
      TW_UNROLL(4)
      for (int k = 0; k < 4; ++k) {
        const __m256i x = _mm256_xor_si256(load(a + i + 4 * k), load(b + i + 4 * k));
        acc[k] = _mm256_add_epi64(acc[k], _mm256_popcnt_epi64(x));
      }
    }
    for (; i < words; i += 4) {
      const __mmask8 m = first_words(words - i);
      const __m256i x = _mm256_xor_si256(_mm256_maskz_loadu_epi64(m, a + i),
                                         _mm256_maskz_loadu_epi64(m, b + i));
      acc[0] = _mm256_add_epi64(acc[0], _mm256_popcnt_epi64(x));
    }
    const __m256i sum =
        _mm256_add_epi64(_mm256_add_epi64(acc[0], acc[1]), _mm256_add_epi64(acc[2], acc[3]));
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) +
           static_cast<uint64_t>(_mm_extract_epi64(s, 1));
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    const __m256i c = _mm256_popcnt_epi64(_mm256_xor_si256(load(a), load(b)));
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1));
  }
};
#include "kernels/hamming-inl.h"

// Scans take 16 rows a step, one row a register: the per-word counts are narrowed by packing so
// that the two counts of a row in one 128-bit lane sit side by side, one multiply-add of
// neighbouring bytes sums them and one add across the two lanes finishes the rows.
constexpr size_t kStep = 16;

// Distances of 16 rows as 16-bit lanes in row order, given row(k) XORed with the query.
template <class Row>
inline __m256i step16(Row row) {
  __m256i w[4];
  TW_UNROLL(4)
  for (int n = 0; n < 4; ++n) {
    __m256i s[2];
    TW_UNROLL(2)
    for (int h = 0; h < 2; ++h) {
      const int k = 4 * n + 2 * h;
      // Per 128-bit lane: both counts of row k there, then both of row k + 1.
      s[h] = _mm256_castps_si256(
          _mm256_shuffle_ps(_mm256_castsi256_ps(_mm256_popcnt_epi64(row(k))),
                            _mm256_castsi256_ps(_mm256_popcnt_epi64(row(k + 1))), 0x88));
    }
    w[n] = _mm256_packus_epi32(s[0], s[1]);
  }
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i m0 = _mm256_maddubs_epi16(_mm256_packus_epi16(w[0], w[1]), ones);
  const __m256i m1 = _mm256_maddubs_epi16(_mm256_packus_epi16(w[2], w[3]), ones);
  return _mm256_add_epi16(_mm256_permute2x128_si256(m0, m1, 0x20),
                          _mm256_permute2x128_si256(m0, m1, 0x31));
}

inline __mmask16 first_lanes(size_t n) {
  return n >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << n) - 1);
}

// Row k of a 4-word matrix block XORed with the query; `rows` limits the load.
inline __m256i matrix_row(__m256i q, const uint64_t* block, int k) {
  return _mm256_xor_si256(load(block + 4 * k), q);
}
inline __m256i matrix_row_part(__m256i q, const uint64_t* block, int k, size_t rows) {
  return size_t(k) < rows ? matrix_row(q, block, k) : _mm256_setzero_si256();
}

// The 16 distances of a step, in row order, to out[0, n) as 32-bit values.
inline void store_distances(uint32_t* out, __m256i d, size_t n) {
  const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(d));
  const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(d, 1));
  if (n >= kStep) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), hi);
    return;
  }
  _mm256_mask_storeu_epi32(out, static_cast<__mmask8>(first_lanes(n)), lo);
  if (n > 8) _mm256_mask_storeu_epi32(out + 8, static_cast<__mmask8>(first_lanes(n - 8)), hi);
}

// 1 - d / code_bits in binary32; d times the exact reciprocal when code_bits is a power of two.
struct Similarity {
  __m256 c, inverse;
  bool power_of_two;
  explicit Similarity(float code_bits)
      : c(_mm256_set1_ps(code_bits)), inverse(_mm256_set1_ps(1.0f / code_bits)) {
    uint32_t bits;
    std::memcpy(&bits, &code_bits, sizeof bits);
    power_of_two = (bits & 0x007FFFFFu) == 0 && (bits >> 23) != 0 && (bits >> 23) < 0xFE;
  }
  __m256 of(__m256i d) const {
    const __m256 dv = _mm256_cvtepi32_ps(d);  // distances are small: signed conversion is exact
    const __m256 q = power_of_two ? _mm256_mul_ps(dv, inverse) : _mm256_div_ps(dv, c);
    return _mm256_sub_ps(_mm256_set1_ps(1.0f), q);
  }
  void store(float* out, __m256i d, size_t n) const {
    const __m256 lo = of(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(d)));
    const __m256 hi = of(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(d, 1)));
    if (n >= kStep) {
      _mm256_storeu_ps(out, lo);
      _mm256_storeu_ps(out + 8, hi);
      return;
    }
    _mm256_mask_storeu_ps(out, static_cast<__mmask8>(first_lanes(n)), lo);
    if (n > 8) _mm256_mask_storeu_ps(out + 8, static_cast<__mmask8>(first_lanes(n - 8)), hi);
  }
};

// Per-lane minimum of step16's results and the step that first reached it, for up to 2^16
// steps.
struct StepMin {
  __m256i best = _mm256_set1_epi16(-1);
  __m256i step = _mm256_setzero_si256();
  __m256i next = _mm256_setzero_si256();

  void add(__m256i d, __mmask16 valid = 0xFFFF) {
    const __mmask16 lt = _mm256_mask_cmplt_epu16_mask(valid, d, best);
    best = _mm256_mask_mov_epi16(best, lt, d);
    step = _mm256_mask_mov_epi16(step, lt, next);
    next = _mm256_add_epi16(next, _mm256_set1_epi16(1));
  }
  bool any_zero() const { return _mm256_testn_epi16_mask(best, best) != 0; }
  Nearest result() const {
    alignas(32) uint16_t b[16], s[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(b), best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s), step);
    Nearest out{0, UINT64_MAX};
    for (int l = 0; l < 16; ++l) {
      if (b[l] == 0xFFFF) continue;  // no row reached this lane
      const size_t row = size_t{s[l]} * kStep + static_cast<size_t>(l);
      if (b[l] < out.distance || (b[l] == out.distance && row < out.index)) out = {row, b[l]};
    }
    return out;
  }
};

// Steps between checks for a distance 0.
constexpr size_t kZeroCheck = 16;

// Nearest over rows [0, n), given step(r), the distances of the 16 rows from r on, and part(r,
// left), those of the last left < 16 rows (its other lanes are ignored).
template <class Step, class Part>
inline Nearest nearest_steps(size_t n, Step step, Part part) {
  StepMin lanes;
  size_t r = 0;
  while (r + kStep <= n) {
    for (size_t i = 0; i < kZeroCheck && r + kStep <= n; ++i, r += kStep) lanes.add(step(r));
    if (lanes.any_zero()) return lanes.result();
  }
  if (r < n) lanes.add(part(r, n - r), first_lanes(n - r));
  return lanes.result();
}

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
  const uint64_t* first = codes + r0 * words;
  __m256i acc[8];
  TW_UNROLL(8)
  for (int k = 0; k < 8; ++k) acc[k] = _mm256_setzero_si256();
  size_t c = 0;
  for (; c + 4 <= words; c += 4) {
    const __m256i qv = load(q + c);
    TW_UNROLL(8)
    for (int k = 0; k < 8; ++k) {
      if (size_t(k) >= n) break;
      const __m256i x = _mm256_xor_si256(load(first + k * words + c), qv);
      acc[k] = _mm256_add_epi64(acc[k], _mm256_popcnt_epi64(x));
    }
  }
  if (c < words) {
    const __mmask8 m = first_words(words - c);
    const __m256i qv = _mm256_maskz_loadu_epi64(m, q + c);
    TW_UNROLL(8)
    for (int k = 0; k < 8; ++k) {
      if (size_t(k) >= n) break;
      const __m256i x = _mm256_maskz_loadu_epi64(m, first + k * words + c);
      acc[k] = _mm256_add_epi64(acc[k], _mm256_popcnt_epi64(_mm256_xor_si256(x, qv)));
    }
  }
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

// Distances of every row, eight at a time, handed to emit(first row, count, distances).
template <class Emit>
inline void wide_rows(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                      Emit emit) {
  uint64_t d[8];
  for (size_t r = 0; r < rows; r += 8) {
    const size_t n = rows - r < 8 ? rows - r : 8;
    if (words < kWideFrom) {
      for (size_t k = 0; k < n; ++k) d[k] = narrow_distance(q, codes + (r + k) * words, words);
    } else {
      eight_rows_any(q, codes, r, n, words, d);
    }
    if (!emit(r, n, d)) return;
  }
}

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const __m256i qv = load(q);
    size_t r = 0;
    for (; r + kStep <= rows; r += kStep) {
      const uint64_t* block = codes + 4 * r;
      store_distances(out + r, step16([&](int k) { return matrix_row(qv, block, k); }), kStep);
    }
    if (r < rows) {
      const uint64_t* block = codes + 4 * r;
      const size_t n = rows - r;
      store_distances(out + r, step16([&](int k) { return matrix_row_part(qv, block, k, n); }),
                      n);
    }
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const __m256i qv = load(q);
    const Similarity sim(c);
    size_t r = 0;
    for (; r + kStep <= rows; r += kStep) {
      const uint64_t* block = codes + 4 * r;
      sim.store(out + r, step16([&](int k) { return matrix_row(qv, block, k); }), kStep);
    }
    if (r < rows) {
      const uint64_t* block = codes + 4 * r;
      const size_t n = rows - r;
      sim.store(out + r, step16([&](int k) { return matrix_row_part(qv, block, k, n); }), n);
    }
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest<kStep << 16>(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const __m256i qv = load(q);
      return nearest_steps(
          n,
          [&](size_t r) {
            const uint64_t* block = base + 4 * r;
            return step16([&](int k) { return matrix_row(qv, block, k); });
          },
          [&](size_t r, size_t left) {
            const uint64_t* block = base + 4 * r;
            return step16([&](int k) { return matrix_row_part(qv, block, k, left); });
          });
    });
  }

  static void distances_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                             size_t words, uint32_t* out) {
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) out[r + k] = static_cast<uint32_t>(d[k]);
      return true;
    });
  }

  static void similarities_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                                size_t words, float c, float* out) {
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) out[r + k] = similarity_of(d[k], c);
      return true;
    });
  }

  static Nearest nearest_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                              size_t words) {
    Nearest best{0, UINT64_MAX};
    wide_rows(q, codes, rows, words, [&](size_t r, size_t n, const uint64_t* d) {
      for (size_t k = 0; k < n; ++k) {
        if (d[k] < best.distance) best = {r + k, d[k]};
      }
      return best.distance != 0;
    });
    return best;
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest<kStep << 16>(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const __m256i qv = load(q);
      const auto row = [&](const unsigned char* block, int k) {
        return _mm256_xor_si256(load(block + k * stride), qv);
      };
      return nearest_steps(
          n,
          [&](size_t r) {
            const unsigned char* block = base + r * stride;
            return step16([&](int k) { return row(block, k); });
          },
          [&](size_t r, size_t left) {
            const unsigned char* block = base + r * stride;
            return step16([&](int k) {
              return size_t(k) < left ? row(block, k) : _mm256_setzero_si256();
            });
          });
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_avx512vl() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
