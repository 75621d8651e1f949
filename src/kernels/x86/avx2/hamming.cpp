// Hamming kernels for CPUs with AVX2 and POPCNT.
#include <immintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/bits.h"
#include "platform/compiler.h"
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

// A row of K chunks of four words. The query is held twice: in vector registers for the
// vector rows and in general registers for the scalar ones.
template <size_t K>
struct Query {
  __m256i v[K];
  uint64_t w[4 * K];
  explicit Query(const uint64_t* q) {
    for (size_t c = 0; c < K; ++c) v[c] = load(q + 4 * c);
    for (size_t i = 0; i < 4 * K; ++i) w[i] = word_at(q, i);
  }

  uint32_t distance(const void* row) const {
    uint32_t d = 0;
    TW_UNROLL(16)
    for (size_t i = 0; i < 4 * K; ++i) {
      uint64_t v = word_at(static_cast<const uint64_t*>(row), i);
      TW_OPAQUE(v);  // kept scalar: vectorised, these rows would compete for the vector units
      d += popcount64(v ^ w[i]);
    }
    return d;
  }
};

// A row's distance as four 64-bit partial counts. K <= 31 keeps every byte's sum below 256.
template <size_t K>
inline __m256i row_lanes(const Query<K>& q, const void* row) {
  const auto* p = static_cast<const unsigned char*>(row);
  __m256i bytes = popcount_bytes(_mm256_xor_si256(load(p), q.v[0]));
  TW_UNROLL(4)
  for (size_t c = 1; c < K; ++c) {
    bytes = _mm256_add_epi8(bytes, popcount_bytes(_mm256_xor_si256(load(p + 32 * c), q.v[c])));
  }
  return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

// Distances of eight rows (the vector work of a row in one register per chunk) as 32-bit
// lanes, in row order.
template <size_t K, class At>
inline __m256i eight_rows(const Query<K>& q, At at) {
  __m256i pair[4];
  TW_UNROLL(4)
  for (int k = 0; k < 4; ++k) {
    const __m256i even = row_lanes(q, at(2 * k));
    const __m256i odd = row_lanes(q, at(2 * k + 1));
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

// Rows go twelve at a time: eight through the vector units (nibble-table counts) and four
// through the scalar POPCNT units, which work beside them. The vector units are the bottleneck
// of an all-vector loop, so the scalar rows come almost for free: a block of twelve costs
// little more than its eight vector rows alone.
constexpr size_t kVectorRows = 8, kScalarRows = 4, kBlockRows = kVectorRows + kScalarRows;

// From memory the hardware prefetcher alone left a 4-word scan 1.4-1.7x the read of its codes
// (Zen 3, 32 MB); prefetches 8 KiB ahead brought it to 1.0-1.15x, 1 KiB ahead only to 1.25x.
constexpr uintptr_t kPrefetchAhead = 8192;

inline void prefetch_ahead(const void* block, size_t bytes) {
  const uintptr_t ahead = reinterpret_cast<uintptr_t>(block) + kPrefetchAhead;
  for (uintptr_t line = 0; line < bytes; line += 64) prefetch(ahead + line);
}

// Per-lane minimum and the first row reaching it; each add covers the vector rows of a block.
struct LaneMin {
  __m256i best = _mm256_set1_epi32(INT32_MAX);
  __m256i index = _mm256_setzero_si256();
  __m256i next = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);

  // Returns true when the block held a distance 0.
  bool add(__m256i d) {
    const __m256i lt = _mm256_cmpgt_epi32(best, d);
    best = _mm256_blendv_epi8(best, d, lt);
    index = _mm256_blendv_epi8(index, next, lt);
    next = _mm256_add_epi32(next, _mm256_set1_epi32(kBlockRows));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(d, _mm256_setzero_si256())) != 0;
  }
  Nearest result() const {
    alignas(32) uint32_t b[8], i[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(b), best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
    return first_min_of_lanes(b, i, 8);
  }
};

// The first smallest distance of the scalar rows (rows arrive in increasing order).
struct ScalarMin {
  uint32_t best = UINT32_MAX;
  size_t index = 0;
  void add(uint32_t d, size_t row) {
    const bool lt = d < best;
    best = lt ? d : best;
    index = lt ? row : index;
  }
};

// Nearest over rows [0, n) of `row_bytes`-byte rows of K chunks, `at(r)` the address of row
// r: whole blocks, then the rows left one at a time. Stops after the first block holding a
// distance 0. With kPrefetch, every block prefetches the lines kPrefetchAhead past it.
template <size_t K, bool kPrefetch, class At>
inline Nearest nearest_blocks(const uint64_t* q, size_t n, size_t row_bytes, At at) {
  const Query<K> qv(q);
  LaneMin lanes;
  ScalarMin tail;
  size_t r = 0;
  bool zero = false;
  for (; r + kBlockRows <= n && !zero; r += kBlockRows) {
    if constexpr (kPrefetch) prefetch_ahead(at(r), kBlockRows * row_bytes);
    zero = lanes.add(eight_rows(qv, [&](int k) { return at(r + k); }));
    TW_UNROLL(4)
    for (size_t k = kVectorRows; k < kBlockRows; ++k) tail.add(qv.distance(at(r + k)), r + k);
    zero = zero || tail.best == 0;
  }
  Nearest best = lanes.result();
  if (tail.best < best.distance || (tail.best == best.distance && tail.index < best.index)) {
    best = {tail.index, tail.best};
  }
  if (zero) return best;
  for (; r < n; ++r) {
    const uint32_t d = qv.distance(at(r));
    if (d < best.distance) {
      best = {r, d};
      if (d == 0) break;
    }
  }
  return best;
}

// The scan of a row-major matrix of K-chunk rows, prefetching once it is larger than the
// caches close to the core.
template <size_t K>
inline Nearest nearest_matrix(const uint64_t* q, const uint64_t* codes, size_t rows) {
  constexpr size_t kRowBytes = 32 * K;
  const bool far = rows * kRowBytes > kPrefetchFromBytes;
  return chunked_nearest(rows, [&](size_t start, size_t n) {
    const uint64_t* base = codes + 4 * K * start;
    const auto at = [&](size_t r) { return base + 4 * K * r; };
    return far ? nearest_blocks<K, true>(q, n, kRowBytes, at)
               : nearest_blocks<K, false>(q, n, kRowBytes, at);
  });
}

// Distances of rows [0, rows) of a K-chunk matrix into out[0, rows).
template <size_t K, bool kPrefetch>
inline void distance_blocks(const Query<K>& qv, const uint64_t* codes, size_t rows,
                            uint32_t* out) {
  size_t r = 0;
  for (; r + kBlockRows <= rows; r += kBlockRows) {
    const uint64_t* block = codes + 4 * K * r;
    if constexpr (kPrefetch) prefetch_ahead(block, kBlockRows * 32 * K);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r),
                        eight_rows(qv, [&](int k) { return block + 4 * K * k; }));
    TW_UNROLL(4)
    for (size_t k = kVectorRows; k < kBlockRows; ++k) out[r + k] = qv.distance(block + 4 * K * k);
  }
  for (; r < rows; ++r) out[r] = qv.distance(codes + 4 * K * r);
}

// Distances of runs of rows into a buffer that stays in L1, each run handed to `emit(start, n,
// distances)`, which writes the output with whole-vector stores: scattered four-byte stores of
// the scalar rows straight into the output measured slower.
template <size_t K, class Emit>
inline void distance_runs(const uint64_t* q, const uint64_t* codes, size_t rows, Emit emit) {
  constexpr size_t kRun = 32 * kBlockRows;  // a multiple of 8 and of the block
  alignas(32) uint32_t d[kRun];
  const Query<K> qv(q);
  const bool far = rows * 32 * K > kPrefetchFromBytes;
  for (size_t start = 0; start < rows; start += kRun) {
    const size_t n = rows - start < kRun ? rows - start : kRun;
    const uint64_t* run = codes + 4 * K * start;
    if (far) {
      distance_blocks<K, true>(qv, run, n, d);
    } else {
      distance_blocks<K, false>(qv, run, n, d);
    }
    emit(start, n, d);
  }
}

template <size_t K>
inline void distances_k(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
  distance_runs<K>(q, codes, rows, [&](size_t start, size_t n, const uint32_t* d) {
    size_t r = 0;
    for (; r + 8 <= n; r += 8) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + start + r),
                          _mm256_load_si256(reinterpret_cast<const __m256i*>(d + r)));
    }
    for (; r < n; ++r) out[start + r] = d[r];
  });
}

// 1 - d / code_bits, each step in binary32, eight at a time.
template <size_t K>
inline void similarities_k(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                           float* out) {
  const __m256 one = _mm256_set1_ps(1.0f), cv = _mm256_set1_ps(c);
  distance_runs<K>(q, codes, rows, [&](size_t start, size_t n, const uint32_t* d) {
    size_t r = 0;
    for (; r + 8 <= n; r += 8) {
      const __m256 dv =
          _mm256_cvtepi32_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(d + r)));
      _mm256_storeu_ps(out + start + r, _mm256_sub_ps(one, _mm256_div_ps(dv, cv)));
    }
    for (; r < n; ++r) out[start + r] = similarity_of(d[r], c);
  });
}

// Rows of W < 4 words, narrower than a register: POPCNT per word, four rows a step. The four
// distances meet in a tree and the running minimum is compared once a step, so no chain of
// compares runs through every row.
template <size_t W>
struct Narrow {
  uint64_t w[W];
  explicit Narrow(const uint64_t* q) {
    for (size_t i = 0; i < W; ++i) w[i] = word_at(q, i);
  }
  uint32_t distance(const uint64_t* row) const {
    uint32_t d = 0;
    for (size_t i = 0; i < W; ++i) d += popcount64(word_at(row, i) ^ w[i]);
    return d;
  }

  Nearest nearest(const uint64_t* codes, size_t rows) const {
    Nearest best{0, UINT64_MAX};
    size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      const uint64_t* p = codes + W * r;
      const uint32_t d0 = distance(p), d1 = distance(p + W), d2 = distance(p + 2 * W),
                     d3 = distance(p + 3 * W);
      const uint32_t m01 = d0 < d1 ? d0 : d1, m23 = d2 < d3 ? d2 : d3;
      const uint32_t m = m01 < m23 ? m01 : m23;
      if (m < best.distance) {  // rare: the minimum falls a few times over a scan
        const size_t k = d0 == m ? 0 : d1 == m ? 1 : d2 == m ? 2 : 3;
        best = {r + k, m};
        if (m == 0) return best;
      }
    }
    for (; r < rows; ++r) {
      const uint32_t d = distance(codes + W * r);
      if (d < best.distance) {
        best = {r, d};
        if (d == 0) break;
      }
    }
    return best;
  }

  void distances(const uint64_t* codes, size_t rows, uint32_t* out) const {
    for (size_t r = 0; r < rows; ++r) out[r] = distance(codes + W * r);
  }
};

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    distances_k<1>(q, codes, rows, out);
  }
  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    similarities_k<1>(q, codes, rows, c, out);
  }
  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return nearest_matrix<1>(q, codes, rows);
  }

  // Other word counts: 8, 12 and 16 (512- to 1024-bit codes) as four-word chunks, 1 to 3 words
  // through POPCNT, the rest one row at a time.
  static void distances_wide(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                             uint32_t* out) {
    switch (words) {
      case 1: return Narrow<1>(q).distances(codes, rows, out);
      case 2: return Narrow<2>(q).distances(codes, rows, out);
      case 3: return Narrow<3>(q).distances(codes, rows, out);
      case 8: return distances_k<2>(q, codes, rows, out);
      case 12: return distances_k<3>(q, codes, rows, out);
      case 16: return distances_k<4>(q, codes, rows, out);
      default: return distances_any(q, codes, rows, words, out);
    }
  }
  static void similarities_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                                size_t words, float c, float* out) {
    switch (words) {
      case 8: return similarities_k<2>(q, codes, rows, c, out);
      case 12: return similarities_k<3>(q, codes, rows, c, out);
      case 16: return similarities_k<4>(q, codes, rows, c, out);
      default: return similarities_any(q, codes, rows, words, c, out);
    }
  }
  static Nearest nearest_wide(const uint64_t* q, const uint64_t* codes, size_t rows,
                              size_t words) {
    switch (words) {
      case 1: return Narrow<1>(q).nearest(codes, rows);
      case 2: return Narrow<2>(q).nearest(codes, rows);
      case 3: return Narrow<3>(q).nearest(codes, rows);
      case 8: return nearest_matrix<2>(q, codes, rows);
      case 12: return nearest_matrix<3>(q, codes, rows);
      case 16: return nearest_matrix<4>(q, codes, rows);
      default: return nearest_any(q, codes, rows, words);
    }
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    const bool far = rows * stride > kPrefetchFromBytes;
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const auto at = [&](size_t r) { return base + r * stride; };
      return far ? nearest_blocks<1, true>(q, n, stride, at)
                 : nearest_blocks<1, false>(q, n, stride, at);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_avx2() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
