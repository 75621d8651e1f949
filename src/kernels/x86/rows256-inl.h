// The 4-word scans on 256-bit registers with AVX-512VL and VPOPCNTDQ, 16 rows a step. Include
// inside a per-ISA anonymous namespace after vpopcnt-inl.h and hamming-inl.h, in a file compiled
// for AVX-512 (avx512vl's own scans, and avx512's where 512-bit loads would split every cache
// line).
namespace rows256 {

inline __m256i load(const void* p) { return W256::load(p); }

// Scans take 16 rows a step, one row a register.
constexpr size_t kStep = 16;

// Distances of 16 rows as 16-bit lanes in row order, given row(k) XORed with the query.
template <class Row>
inline __m256i step16(Row row) {
  return step_counts<W256>(row);
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
      : c(_mm256_set1_ps(code_bits)),
        inverse(_mm256_set1_ps(1.0f / code_bits)),
        power_of_two(exact_reciprocal(code_bits)) {}
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

struct Rows256 {
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
    return 32 * rows > kPrefetchFromBytes ? nearest4_from<true>(q, codes, rows)
                                          : nearest4_from<false>(q, codes, rows);
  }

  // Beyond the core's own caches each step asks for the codes 2 KiB ahead: without it the scan
  // from L3 ran up to 20% behind the read of the codes there.
  template <bool kPrefetch>
  static Nearest nearest4_from(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest<kStep << 16>(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const __m256i qv = load(q);
      return nearest_steps(
          n,
          [&](size_t r) {
            const uint64_t* block = base + 4 * r;
            if constexpr (kPrefetch) {
              const uintptr_t ahead = reinterpret_cast<uintptr_t>(block) + 2048;
              for (uintptr_t line = 0; line < 32 * kStep; line += 64) prefetch(ahead + line);
            }
            return step16([&](int k) { return matrix_row(qv, block, k); });
          },
          [&](size_t r, size_t left) {
            const uint64_t* block = base + 4 * r;
            return step16([&](int k) { return matrix_row_part(qv, block, k, left); });
          });
    });
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

};

}  // namespace rows256
