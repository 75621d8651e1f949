// Hamming kernels for CPUs with AVX-512 F/BW/DQ/VL and VPOPCNTDQ.
#include <immintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/compiler.h"
#include "platform/prefetch.h"

TW_QUIET_UNINITIALIZED

namespace tw::kernels {
namespace {

struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
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
    return static_cast<uint64_t>(_mm512_reduce_add_epi64(acc));
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    const __m256i c = _mm256_popcnt_epi64(x);
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1));
  }
};
#include "kernels/hamming-inl.h"

inline __m256i load256(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Lanes a0..a7 of (a, b): a0..a3 row 0, a4..a7 row 1; b likewise rows 2, 3. Adds neighbouring
// lanes across the pair: blocks [r0a r2a] [r0b r2b] [r1a r3a] [r1b r3b] (a, b: half sums).
inline __m512i pair_sum(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
}

// Word counts of rows 0..7 (two per register) -> 64-bit lanes [r0 r2 r1 r3 r4 r6 r5 r7].
inline __m512i sum8(__m512i a, __m512i b, __m512i c, __m512i d) {
  const __m512i u0 = pair_sum(a, b), u1 = pair_sum(c, d);
  const __m512i even = _mm512_shuffle_i64x2(u0, u1, _MM_SHUFFLE(2, 0, 2, 0));
  const __m512i odd = _mm512_shuffle_i64x2(u0, u1, _MM_SHUFFLE(3, 1, 3, 1));
  return _mm512_add_epi64(even, odd);
}

// Per-word counts of 16 rows, two rows per register -> 16 distances as 32-bit lanes in row order.
inline __m512i sixteen(const __m512i (&p)[8]) {
  const __m512i lo = sum8(p[0], p[1], p[2], p[3]), hi = sum8(p[4], p[5], p[6], p[7]);
  const __m512i order =
      _mm512_setr_epi32(0, 4, 2, 6, 8, 12, 10, 14, 16, 20, 18, 22, 24, 28, 26, 30);
  return _mm512_permutex2var_epi32(lo, order, hi);
}

// Asks for the 512 bytes that are 2 KiB ahead of `block` (past the end of the matrix too).
inline void prefetch_ahead(const uint64_t* block) {
  const uintptr_t ahead = reinterpret_cast<uintptr_t>(block) + 2048;
  for (uintptr_t line = 0; line < 512; line += 64) prefetch(ahead + line);
}

// 16 consecutive rows of a 4-word matrix.
inline __m512i matrix_block(__m512i q2, const uint64_t* block) {
  prefetch_ahead(block);
  __m512i p[8];
  for (int k = 0; k < 8; ++k) {
    p[k] = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(block + 8 * k), q2));
  }
  return sixteen(p);
}

// The first `rows` (< 16) rows of a 4-word matrix; the other lanes are meaningless.
inline __m512i matrix_tail(__m512i q2, const uint64_t* block, size_t rows) {
  __m512i p[8];
  for (size_t k = 0; k < 8; ++k) {
    const size_t words = 4 * rows > 8 * k ? 4 * rows - 8 * k : 0;
    const __mmask8 m = words >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << words) - 1);
    p[k] = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_maskz_loadu_epi64(m, block + 8 * k), q2));
  }
  return sixteen(p);
}

// 16 records `stride` bytes apart, each starting with a 4-word code. Plain 32-byte loads, some
// of them across two lines, measured as fast as whole-line loads and in-register shuffles: the
// scan is bound by the reads from L3, not by this work.
inline __m512i records_block(__m512i q2, const unsigned char* block, size_t stride) {
  prefetch_records(block, 16 * stride);
  __m512i p[8];
  for (size_t k = 0; k < 8; ++k) {
    const unsigned char* pair = block + 2 * k * stride;
    const __m512i two =
        _mm512_inserti64x4(_mm512_castsi256_si512(load256(pair)), load256(pair + stride), 1);
    p[k] = _mm512_popcnt_epi64(_mm512_xor_si512(two, q2));
  }
  return sixteen(p);
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
inline __m512i fields44(const unsigned char* p) {
  prefetch_records(p, 16 * kRecordBytes);
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

inline __mmask16 first_lanes(size_t n) { return static_cast<__mmask16>((1u << n) - 1); }

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

inline __m512i broadcast_query(const uint64_t* q) { return _mm512_broadcast_i64x4(load256(q)); }

inline __m512 similarity16(__m512i d, __m512 cv) {
  return _mm512_sub_ps(_mm512_set1_ps(1.0f), _mm512_div_ps(_mm512_cvtepu32_ps(d), cv));
}

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const __m512i q2 = broadcast_query(q);
    size_t r = 0;
    for (; r + 16 <= rows; r += 16) _mm512_storeu_si512(out + r, matrix_block(q2, codes + 4 * r));
    if (r < rows) {
      _mm512_mask_storeu_epi32(out + r, first_lanes(rows - r),
                               matrix_tail(q2, codes + 4 * r, rows - r));
    }
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const __m512i q2 = broadcast_query(q);
    const __m512 cv = _mm512_set1_ps(c);
    size_t r = 0;
    for (; r + 16 <= rows; r += 16) {
      _mm512_storeu_ps(out + r, similarity16(matrix_block(q2, codes + 4 * r), cv));
    }
    if (r < rows) {
      _mm512_mask_storeu_ps(out + r, first_lanes(rows - r),
                            similarity16(matrix_tail(q2, codes + 4 * r, rows - r), cv));
    }
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const __m512i q2 = broadcast_query(q);
      LaneMin lanes;
      size_t r = 0;
      for (; r + 16 <= n; r += 16) {
        if (lanes.add(matrix_block(q2, base + 4 * r))) return lanes.result();
      }
      if (r < n) lanes.add(matrix_tail(q2, base + 4 * r, n - r), first_lanes(n - r));
      return lanes.result();
    });
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const __m512i q2 = broadcast_query(q);
      LaneMin lanes;
      size_t r = 0;
      for (; r + 16 <= n; r += 16) {
        if (lanes.add(records_block(q2, base + r * stride, stride))) return lanes.result();
      }
      return nearest_records_from(lanes.result(), q, base, r, n, stride);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    // Below 32 rows a whole block may not follow the head rows.
    if (stride != kRecordBytes || rows < 32) return argmin_u32_prefetched(records, rows, stride);
    const size_t head = rows_to_line_start(records, stride);
    Nearest best{0, UINT32_MAX};
    for (size_t r = 0; r < head && best.distance != 0; ++r) {
      const uint32_t v = load_u32(records + r * stride);
      if (v < best.distance) best = {r, v};
    }
    if (best.distance == 0) return best.index;
    const unsigned char* base = records + head * stride;
    const Nearest body = chunked_nearest(rows - head, [&](size_t start, size_t n) {
      const unsigned char* chunk = base + start * stride;
      LaneMin lanes;
      size_t r = 0;
      for (; r + 16 <= n; r += 16) {
        if (lanes.add(fields44(chunk + r * stride))) return lanes.result();
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
