// Hamming kernels for CPUs with AVX-512 F/BW/DQ/VL and VPOPCNTDQ.
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

using Pop = PopOf<W512>;
#include "kernels/hamming-inl.h"
#include "kernels/x86/rows256-inl.h"

// Scans take 32 rows a step, two rows a register: in the caches they are bound by the two
// vector ports, not by the loads.
constexpr size_t kStep = 32;

// Distances of 32 rows as 16-bit lanes, given pair(k): rows 2k (low half) and 2k + 1 (high
// half) XORed with the query. Lane 8L + j holds row 16 (L >> 1) + 2j + (L & 1).
template <class Pair>
inline __m512i step32(Pair pair) {
  return step_counts<W512>(pair);
}

// The lane of step32's result that holds row r.
constexpr int lane_of_row(int r) { return 8 * (2 * (r >> 4) + (r & 1)) + ((r & 15) >> 1); }
constexpr int row_of_lane(int p) { return 16 * ((p >> 3) >> 1) + 2 * (p & 7) + ((p >> 3) & 1); }

// step32's lanes of rows 16h .. 16h + 15 zero-extended to 32 bits, in row order.
template <int H>
inline __m512i rows_in_order(__m512i d) {
  alignas(64) static constexpr uint16_t index[32] = {
#define TW_PICK(i) static_cast<uint16_t>(lane_of_row(16 * H + i)), 32
      TW_PICK(0),  TW_PICK(1),  TW_PICK(2),  TW_PICK(3),  TW_PICK(4),  TW_PICK(5),
      TW_PICK(6),  TW_PICK(7),  TW_PICK(8),  TW_PICK(9),  TW_PICK(10), TW_PICK(11),
      TW_PICK(12), TW_PICK(13), TW_PICK(14), TW_PICK(15)
#undef TW_PICK
  };
  return _mm512_permutex2var_epi16(d, _mm512_load_si512(index), _mm512_setzero_si512());
}

inline __m512i broadcast_query(const uint64_t* q) { return _mm512_broadcast_i64x4(W256::load(q)); }

// Rows 2k and 2k + 1 of a 4-word matrix block, XORed with the query; `words` limits the load.
inline __m512i matrix_pair(__m512i q2, const uint64_t* block, int k) {
  return _mm512_xor_si512(_mm512_loadu_si512(block + 8 * k), q2);
}
inline __m512i matrix_pair_part(__m512i q2, const uint64_t* block, int k, size_t words) {
  const size_t have = words > size_t(8 * k) ? words - 8 * k : 0;
  const __mmask8 m = have >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << have) - 1);
  return _mm512_xor_si512(_mm512_maskz_loadu_epi64(m, block + 8 * k), q2);
}

// Rows 2k and 2k + 1 of records `stride` bytes apart, XORed with the query.
inline __m512i records_pair(__m512i q2, const unsigned char* block, size_t stride, int k) {
  const unsigned char* pair = block + 2 * k * stride;
  return _mm512_xor_si512(
      _mm512_inserti64x4(_mm512_castsi256_si512(W256::load(pair)), W256::load(pair + stride), 1), q2);
}

inline __mmask16 first_lanes(size_t n) { return static_cast<__mmask16>((1u << n) - 1); }

// The distances of a step, in row order, to out[0, n).
inline void store_distances(uint32_t* out, __m512i d, size_t n) {
  if (n >= kStep) {
    _mm512_storeu_si512(out, rows_in_order<0>(d));
    _mm512_storeu_si512(out + 16, rows_in_order<1>(d));
    return;
  }
  _mm512_mask_storeu_epi32(out, first_lanes(n < 16 ? n : 16), rows_in_order<0>(d));
  if (n > 16) _mm512_mask_storeu_epi32(out + 16, first_lanes(n - 16), rows_in_order<1>(d));
}

// 1 - d / code_bits in binary32. When code_bits is a power of two, d / code_bits is exact and
// equals d times its exact reciprocal, which saves the divisions.
struct Similarity {
  __m512 c, inverse;
  bool power_of_two;
  explicit Similarity(float code_bits)
      : c(_mm512_set1_ps(code_bits)),
        inverse(_mm512_set1_ps(1.0f / code_bits)),
        power_of_two(exact_reciprocal(code_bits)) {}
  __m512 of(__m512i d) const {
    const __m512 dv = _mm512_cvtepu32_ps(d);
    const __m512 q = power_of_two ? _mm512_mul_ps(dv, inverse) : _mm512_div_ps(dv, c);
    return _mm512_sub_ps(_mm512_set1_ps(1.0f), q);
  }
  void store(float* out, __m512i d, size_t n) const {
    if (n >= kStep) {
      _mm512_storeu_ps(out, of(rows_in_order<0>(d)));
      _mm512_storeu_ps(out + 16, of(rows_in_order<1>(d)));
      return;
    }
    _mm512_mask_storeu_ps(out, first_lanes(n < 16 ? n : 16), of(rows_in_order<0>(d)));
    if (n > 16) _mm512_mask_storeu_ps(out + 16, first_lanes(n - 16), of(rows_in_order<1>(d)));
  }
};

// Per-lane minimum of step32's results and the step that first reached it, for up to 2^16
// steps; the row of a lane follows from its step and row_of_lane.
struct StepMin {
  __m512i best = _mm512_set1_epi16(-1);
  __m512i step = _mm512_setzero_si512();
  __m512i next = _mm512_setzero_si512();

  void add(__m512i d, __mmask32 valid = ~__mmask32(0)) {
    const __mmask32 lt = _mm512_mask_cmplt_epu16_mask(valid, d, best);
    best = _mm512_mask_mov_epi16(best, lt, d);
    step = _mm512_mask_mov_epi16(step, lt, next);
    next = _mm512_add_epi16(next, _mm512_set1_epi16(1));
  }
  bool any_zero() const { return _mm512_testn_epi16_mask(best, best) != 0; }
  Nearest result() const {
    alignas(64) uint16_t b[32], s[32];
    _mm512_store_si512(b, best);
    _mm512_store_si512(s, step);
    Nearest out{0, UINT64_MAX};
    for (int p = 0; p < 32; ++p) {
      if (b[p] == 0xFFFF) continue;  // no row reached this lane
      const size_t row = size_t{s[p]} * kStep + static_cast<size_t>(row_of_lane(p));
      if (b[p] < out.distance || (b[p] == out.distance && row < out.index)) out = {row, b[p]};
    }
    return out;
  }
};

// Lanes of a step that hold one of its first n rows.
inline __mmask32 valid_lanes(size_t n) {
  alignas(64) static constexpr uint16_t rows[32] = {
#define TW_ROW(p) static_cast<uint16_t>(row_of_lane(p))
      TW_ROW(0),  TW_ROW(1),  TW_ROW(2),  TW_ROW(3),  TW_ROW(4),  TW_ROW(5),  TW_ROW(6),
      TW_ROW(7),  TW_ROW(8),  TW_ROW(9),  TW_ROW(10), TW_ROW(11), TW_ROW(12), TW_ROW(13),
      TW_ROW(14), TW_ROW(15), TW_ROW(16), TW_ROW(17), TW_ROW(18), TW_ROW(19), TW_ROW(20),
      TW_ROW(21), TW_ROW(22), TW_ROW(23), TW_ROW(24), TW_ROW(25), TW_ROW(26), TW_ROW(27),
      TW_ROW(28), TW_ROW(29), TW_ROW(30), TW_ROW(31)
#undef TW_ROW
  };
  return _mm512_cmplt_epu16_mask(_mm512_load_si512(rows),
                                 _mm512_set1_epi16(static_cast<short>(n)));
}

// Steps between checks for a distance 0: a scan that found its identical code reads at most
// this many steps more.
constexpr size_t kZeroCheck = 8;

// --- other word counts: eight rows at a time ---

// Per-word counts of rows 0..7, one register each -> the eight row sums as 64-bit lanes, in
// row order: pairs of neighbouring words, then pairs of 128-bit lanes, twice.
inline __m512i sum_rows8(const __m512i (&a)[8]) {
  __m512i t[4];
  TW_UNROLL(4)
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm512_add_epi64(_mm512_unpacklo_epi64(a[2 * k], a[2 * k + 1]),
                            _mm512_unpackhi_epi64(a[2 * k], a[2 * k + 1]));
  }
  const auto lanes = [](__m512i x, __m512i y) {
    return _mm512_add_epi64(_mm512_shuffle_i64x2(x, y, 0x88), _mm512_shuffle_i64x2(x, y, 0xDD));
  };
  return lanes(lanes(t[0], t[1]), lanes(t[2], t[3]));
}

// Distances of rows r0 .. r0 + n - 1 (n <= 8) of a row-major matrix as 64-bit lanes.
inline __m512i eight_rows_any(const uint64_t* q, const uint64_t* codes, size_t r0, size_t n,
                              size_t words) {
  __m512i acc[8];
  count_rows8<W512>(q, codes, r0, n, words, acc);
  return sum_rows8(acc);
}

// Rows narrower than a register go one at a time through scalar POPCNT: a masked load and
// the eight-row sum per row cost more than the few counts.
constexpr size_t kWideFrom = 8;

inline uint64_t narrow_distance(const uint64_t* q, const uint64_t* row, size_t words) {
  uint64_t d = 0;
  for (size_t i = 0; i < words; ++i) d += popcount64(word_at(q, i) ^ word_at(row, i));
  return d;
}

// The records of the store: the block loops below assume this stride and fall back otherwise.
constexpr size_t kRecordBytes = 44;

// Rows to skip until a record starts on a 64-byte line; 0 when none ever does.
inline size_t rows_to_line_start(const unsigned char* records, size_t stride) {
  for (size_t r = 0; r < 16; ++r) {
    if ((reinterpret_cast<uintptr_t>(records) + r * stride) % 64 == 0) return r;
  }
  return 0;
}

// The uint32 at p + 44k for k < 16: 704 bytes, 11 whole lines when p starts one. Value k is
// dword 11k of the run, so each pair of lines holds three of them (the last line one) and a
// single index vector places every pair's values in their own lanes.
template <bool kPrefetch>
inline __m512i fields44(const unsigned char* p) {
  if constexpr (kPrefetch) prefetch_records(p, 16 * kRecordBytes);
  const __m512i at = _mm512_setr_epi32(0, 11, 22, 1, 12, 23, 2, 13, 24, 3, 14, 25, 4, 15, 26, 5);
  const auto pair = [&](int first) {
    return _mm512_permutex2var_epi32(_mm512_loadu_si512(p + 64 * first), at,
                                     _mm512_loadu_si512(p + 64 * first + 64));
  };
  __m512i v = pair(0);
  v = _mm512_mask_blend_epi32(0x0038, v, pair(2));
  v = _mm512_mask_blend_epi32(0x01C0, v, pair(4));
  v = _mm512_mask_blend_epi32(0x0E00, v, pair(6));
  v = _mm512_mask_blend_epi32(0x7000, v, pair(8));
  // Value 15 ends 40 bytes before its line does, and the records may end with it.
  const __m512i last = _mm512_maskz_loadu_epi32(0x0020, p + 640);
  return _mm512_mask_permutexvar_epi32(v, 0x8000, at, last);
}

// Per-lane minimum and the first row reaching it, over blocks of 16 rows.
struct LaneMin {
  __m512i best = _mm512_set1_epi32(-1);
  __m512i index = _mm512_setzero_si512();
  __m512i next = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);

  // Takes the lanes in `valid`; returns true when one of them is 0.
  bool add(__m512i d, __mmask16 valid = 0xFFFF) {
    const __mmask16 lt = _mm512_mask_cmplt_epu32_mask(valid, d, best);
    best = _mm512_mask_mov_epi32(best, lt, d);
    index = _mm512_mask_mov_epi32(index, lt, next);
    next = _mm512_add_epi32(next, _mm512_set1_epi32(16));
    return _mm512_mask_testn_epi32_mask(valid, d, d) != 0;
  }
  Nearest result() const {
    const uint32_t m = _mm512_reduce_min_epu32(best);
    const __mmask16 at = _mm512_cmpeq_epi32_mask(best, _mm512_set1_epi32(static_cast<int>(m)));
    return {_mm512_mask_reduce_min_epu32(at, index), m};
  }
};

// Where a matrix starts in a 64-byte line. Its 512-bit loads split a line each unless the rows
// start on one, which costs the scans up to a third of their time in L2 and L3; NumPy's arrays
// often start 16 bytes into a line. Rows 32 bytes in are one row away from a line; other
// starts take the 256-bit loops, whose loads split only every other line.
enum class Start { Line, HalfLine, Other };
inline Start start_of(const uint64_t* codes) {
  const uintptr_t in_line = reinterpret_cast<uintptr_t>(codes) % 64;
  return in_line == 0 ? Start::Line : in_line == 32 ? Start::HalfLine : Start::Other;
}

// Beyond the core's own caches, a step asks for the kilobyte of codes two steps ahead: without
// it the scans from L3 ran up to 10% behind the read of the codes there.
constexpr uintptr_t kStepBytes = 32 * kStep, kPrefetchAhead = 2 * kStepBytes;

template <bool kPrefetch>
inline void prefetch_step(const uint64_t* block) {
  if constexpr (kPrefetch) {
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(block) + kPrefetchAhead;
    for (uintptr_t line = 0; line < kStepBytes; line += 64) prefetch(ahead + line);
  }
}

template <bool kPrefetch>
struct LinesOf {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const __m512i q2 = broadcast_query(q);
    size_t r = 0;
    for (; r + kStep <= rows; r += kStep) {
      const uint64_t* block = codes + 4 * r;
      prefetch_step<kPrefetch>(block);
      store_distances(out + r, step32([&](int k) { return matrix_pair(q2, block, k); }), kStep);
    }
    if (r < rows) {
      const uint64_t* block = codes + 4 * r;
      const size_t words = 4 * (rows - r);
      store_distances(out + r,
                      step32([&](int k) { return matrix_pair_part(q2, block, k, words); }),
                      rows - r);
    }
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const __m512i q2 = broadcast_query(q);
    const Similarity sim(c);
    size_t r = 0;
    for (; r + kStep <= rows; r += kStep) {
      const uint64_t* block = codes + 4 * r;
      prefetch_step<kPrefetch>(block);
      sim.store(out + r, step32([&](int k) { return matrix_pair(q2, block, k); }), kStep);
    }
    if (r < rows) {
      const uint64_t* block = codes + 4 * r;
      const size_t words = 4 * (rows - r);
      sim.store(out + r, step32([&](int k) { return matrix_pair_part(q2, block, k, words); }),
                rows - r);
    }
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest<kStep << 16>(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const __m512i q2 = broadcast_query(q);
      StepMin lanes;
      size_t r = 0;
      while (r + kStep <= n) {
        for (size_t i = 0; i < kZeroCheck && r + kStep <= n; ++i, r += kStep) {
          const uint64_t* block = base + 4 * r;
          prefetch_step<kPrefetch>(block);
          lanes.add(step32([&](int k) { return matrix_pair(q2, block, k); }));
        }
        if (lanes.any_zero()) return lanes.result();
      }
      if (r < n) {
        const uint64_t* block = base + 4 * r;
        const size_t words = 4 * (n - r);
        lanes.add(step32([&](int k) { return matrix_pair_part(q2, block, k, words); }),
                  valid_lanes(n - r));
      }
      return lanes.result();
    });
  }

};

// The 512-bit loops for a matrix on a line, with prefetches where it is larger than the caches.
struct Lines {
  static bool large(size_t rows) { return 32 * rows > kPrefetchFromBytes; }
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    large(rows) ? LinesOf<true>::distances4(q, codes, rows, out)
                : LinesOf<false>::distances4(q, codes, rows, out);
  }
  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    large(rows) ? LinesOf<true>::similarities4(q, codes, rows, c, out)
                : LinesOf<false>::similarities4(q, codes, rows, c, out);
  }
  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return large(rows) ? LinesOf<true>::nearest4(q, codes, rows)
                       : LinesOf<false>::nearest4(q, codes, rows);
  }
};

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    switch (start_of(codes)) {
      case Start::Line: return Lines::distances4(q, codes, rows, out);
      case Start::HalfLine:
        if (rows == 0) return;
        out[0] = Pop::four(q, codes);
        return Lines::distances4(q, codes + 4, rows - 1, out + 1);
      case Start::Other: return rows256::Rows256::distances4(q, codes, rows, out);
    }
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    switch (start_of(codes)) {
      case Start::Line: return Lines::similarities4(q, codes, rows, c, out);
      case Start::HalfLine:
        if (rows == 0) return;
        out[0] = similarity_of(Pop::four(q, codes), c);
        return Lines::similarities4(q, codes + 4, rows - 1, c, out + 1);
      case Start::Other: return rows256::Rows256::similarities4(q, codes, rows, c, out);
    }
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    switch (start_of(codes)) {
      case Start::Line: return Lines::nearest4(q, codes, rows);
      case Start::HalfLine: {
        const uint32_t first = Pop::four(q, codes);
        if (first == 0 || rows == 1) return {0, first};
        const Nearest rest = Lines::nearest4(q, codes + 4, rows - 1);
        return rest.distance < first ? Nearest{rest.index + 1, rest.distance} : Nearest{0, first};
      }
      case Start::Other: break;
    }
    return rows256::Rows256::nearest4(q, codes, rows);
  }

  static void distances_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                             size_t words, uint32_t* out) {
    if (words < kWideFrom) {
      for (size_t r = 0; r < rows; ++r) {
        out[r] = static_cast<uint32_t>(narrow_distance(q, codes + r * words, words));
      }
      return;
    }
    for (size_t r = 0; r < rows; r += 8) {
      const size_t n = rows - r < 8 ? rows - r : 8;
      _mm256_mask_storeu_epi32(out + r, W512::first_words(n),
                               _mm512_cvtepi64_epi32(eight_rows_any(q, codes, r, n, words)));
    }
  }

  static void similarities_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                                size_t words, float c, float* out) {
    if (words < kWideFrom) {
      for (size_t r = 0; r < rows; ++r) {
        out[r] = similarity_of(narrow_distance(q, codes + r * words, words), c);
      }
      return;
    }
    alignas(64) uint64_t d[8];
    for (size_t r = 0; r < rows; r += 8) {
      const size_t n = rows - r < 8 ? rows - r : 8;
      _mm512_store_si512(d, eight_rows_any(q, codes, r, n, words));
      for (size_t k = 0; k < n; ++k) out[r + k] = similarity_of(d[k], c);
    }
  }

  static Nearest nearest_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                              size_t words) {
    if (words < kWideFrom) {
      Nearest best{0, UINT64_MAX};
      for (size_t r = 0; r < rows; ++r) {
        const uint64_t d = narrow_distance(q, codes + r * words, words);
        if (d < best.distance) {
          best = {r, d};
          if (d == 0) break;
        }
      }
      return best;
    }
    __m512i best = _mm512_set1_epi64(-1), index = _mm512_setzero_si512();
    __m512i next = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    for (size_t r = 0; r < rows; r += 8) {
      const size_t n = rows - r < 8 ? rows - r : 8;
      const __m512i d = eight_rows_any(q, codes, r, n, words);
      const __mmask8 lt = _mm512_mask_cmplt_epu64_mask(W512::first_words(n), d, best);
      best = _mm512_mask_mov_epi64(best, lt, d);
      index = _mm512_mask_mov_epi64(index, lt, next);
      next = _mm512_add_epi64(next, _mm512_set1_epi64(8));
      if (_mm512_testn_epi64_mask(best, best) != 0) break;
    }
    alignas(64) uint64_t b[8], i[8];
    _mm512_store_si512(b, best);
    _mm512_store_si512(i, index);
    Nearest out{0, UINT64_MAX};
    for (int l = 0; l < 8; ++l) {
      if (b[l] < out.distance || (b[l] == out.distance && b[l] != UINT64_MAX && i[l] < out.index)) {
        out = {i[l], b[l]};
      }
    }
    return out;
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest<kStep << 16>(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const __m512i q2 = broadcast_query(q);
      StepMin lanes;
      size_t r = 0;
      while (r + kStep <= n) {
        for (size_t i = 0; i < kZeroCheck && r + kStep <= n; ++i, r += kStep) {
          const unsigned char* block = base + r * stride;
          lanes.add(step32([&](int k) { return records_pair(q2, block, stride, k); }));
        }
        if (lanes.any_zero()) return lanes.result();
      }
      return nearest_records_from(lanes.result(), q, base, r, n, stride);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    // Below 32 rows a whole block may not follow the head rows.
    if (stride != kRecordBytes || rows < 32) return argmin_u32_prefetched(records, rows, stride);
    // Prefetches only beyond the core's caches (44 KB: 1.18x against 1.77x the read of them).
    return rows * stride > kPrefetchFromBytes ? argmin44<true>(records, rows)
                                              : argmin44<false>(records, rows);
  }

  template <bool kPrefetch>
  static size_t argmin44(const unsigned char* records, size_t rows) {
    constexpr size_t stride = kRecordBytes;
    const size_t head = rows_to_line_start(records, stride);
    Nearest best{0, UINT32_MAX};
    for (size_t r = 0; r < head && best.distance != 0; ++r) {
      const uint32_t v = load_u32(records + r * stride);
      if (v < best.distance) best = {r, v};
    }
    if (best.distance == 0) return best.index;
    const unsigned char* base = records + head * stride;
    const Nearest body = chunked_nearest<size_t{1} << 30>(rows - head, [&](size_t start, size_t n) {
      const unsigned char* chunk = base + start * stride;
      LaneMin lanes;
      size_t r = 0;
      for (; r + 16 <= n; r += 16) {
        if (lanes.add(fields44<kPrefetch>(chunk + r * stride))) return lanes.result();
      }
      Nearest m = lanes.result();
      for (; r < n && m.distance != 0; ++r) {
        const uint32_t v = load_u32(chunk + r * stride);
        if (v < m.distance) m = {r, v};
      }
      return m;
    });
    return body.distance < best.distance ? head + body.index : best.index;
  }
};

}  // namespace

HammingKernels hamming_avx512() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
