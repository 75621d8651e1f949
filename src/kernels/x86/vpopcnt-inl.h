// The VPOPCNTDQ loops written once for both register widths: W512 for avx512, W256 for avx512vl
// (and for avx512's scans of matrices whose 512-bit loads would split every cache line). Include
// inside a per-ISA anonymous namespace, in a file compiled for AVX-512, before hamming-inl.h.

// One register width: its type, how many 64-bit words it holds, and the operations the loops use.
struct W512 {
  using Reg = __m512i;
  static constexpr size_t kWords = 8;
  static Reg zero() { return _mm512_setzero_si512(); }
  static Reg load(const void* p) { return _mm512_loadu_si512(p); }
  static __mmask8 first_words(size_t n) {
    return n >= kWords ? __mmask8(0xFF) : static_cast<__mmask8>((1u << n) - 1);
  }
  static Reg load_words(__mmask8 m, const uint64_t* p) { return _mm512_maskz_loadu_epi64(m, p); }
  static Reg count(Reg a) { return _mm512_popcnt_epi64(a); }
  static Reg xor_count(Reg a, Reg b) { return count(_mm512_xor_si512(a, b)); }
  static Reg add64(Reg a, Reg b) { return _mm512_add_epi64(a, b); }
  static uint64_t sum64(Reg x) { return static_cast<uint64_t>(_mm512_reduce_add_epi64(x)); }
  // Per 128-bit lane: the low halves of a's two words, then those of b's.
  static Reg low_dwords(Reg a, Reg b) {
    return _mm512_castps_si512(
        _mm512_shuffle_ps(_mm512_castsi512_ps(a), _mm512_castsi512_ps(b), 0x88));
  }
  static Reg pack32(Reg a, Reg b) { return _mm512_packus_epi32(a, b); }
  static Reg pack16(Reg a, Reg b) { return _mm512_packus_epi16(a, b); }
  static Reg add_byte_pairs(Reg a) { return _mm512_maddubs_epi16(a, _mm512_set1_epi8(1)); }
  // The even 128-bit lanes of a then b, plus the odd ones, as 16-bit sums.
  static Reg fold_lanes(Reg a, Reg b) {
    return _mm512_add_epi16(_mm512_shuffle_i64x2(a, b, 0x88), _mm512_shuffle_i64x2(a, b, 0xDD));
  }
};

struct W256 {
  using Reg = __m256i;
  static constexpr size_t kWords = 4;
  static Reg zero() { return _mm256_setzero_si256(); }
  static Reg load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static __mmask8 first_words(size_t n) {
    return n >= kWords ? __mmask8(0x0F) : static_cast<__mmask8>((1u << n) - 1);
  }
  static Reg load_words(__mmask8 m, const uint64_t* p) { return _mm256_maskz_loadu_epi64(m, p); }
  static Reg count(Reg a) { return _mm256_popcnt_epi64(a); }
  static Reg xor_count(Reg a, Reg b) { return count(_mm256_xor_si256(a, b)); }
  static Reg add64(Reg a, Reg b) { return _mm256_add_epi64(a, b); }
  static uint64_t sum64(Reg x) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) +
           static_cast<uint64_t>(_mm_extract_epi64(s, 1));
  }
  static Reg low_dwords(Reg a, Reg b) {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0x88));
  }
  static Reg pack32(Reg a, Reg b) { return _mm256_packus_epi32(a, b); }
  static Reg pack16(Reg a, Reg b) { return _mm256_packus_epi16(a, b); }
  static Reg add_byte_pairs(Reg a) { return _mm256_maddubs_epi16(a, _mm256_set1_epi8(1)); }
  static Reg fold_lanes(Reg a, Reg b) {
    return _mm256_add_epi16(_mm256_permute2x128_si256(a, b, 0x20),
                            _mm256_permute2x128_si256(a, b, 0x31));
  }
};

// Popcount of a XOR b over any word count: four sums, so that long codes are not held up by one
// chain of additions, and a masked load for the tail.
template <class V>
inline uint64_t xor_popcount(const uint64_t* a, const uint64_t* b, size_t words) {
  constexpr size_t w = V::kWords;
  typename V::Reg acc[4] = {V::zero(), V::zero(), V::zero(), V::zero()};
  size_t i = 0;
  for (; i + 4 * w <= words; i += 4 * w) {
    TW_UNROLL(4)
    for (int k = 0; k < 4; ++k) {
      acc[k] = V::add64(acc[k], V::xor_count(V::load(a + i + w * k), V::load(b + i + w * k)));
    }
  }
  for (; i < words; i += w) {
    const __mmask8 m = V::first_words(words - i);
    acc[0] = V::add64(acc[0], V::xor_count(V::load_words(m, a + i), V::load_words(m, b + i)));
  }
  return V::sum64(V::add64(V::add64(acc[0], acc[1]), V::add64(acc[2], acc[3])));
}

// What hamming-inl.h asks of a variant: any word count on V's registers, one 4-word code on 256
// bits.
template <class V>
struct PopOf {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    return xor_popcount<V>(a, b, words);
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return static_cast<uint32_t>(W256::sum64(W256::xor_count(W256::load(a), W256::load(b))));
  }
};

// Whether d / code_bits equals d times the reciprocal exactly (code_bits a power of two, whose
// reciprocal is a normal float), which saves the divisions.
inline bool exact_reciprocal(float code_bits) {
  uint32_t bits;
  std::memcpy(&bits, &code_bits, sizeof bits);
  return (bits & 0x007FFFFFu) == 0 && (bits >> 23) != 0 && (bits >> 23) < 0xFE;
}

// Per-word counts of rows r0 .. r0 + n - 1 (n <= 8) of a row-major matrix against the query,
// one register a row; the caller sums each register.
template <class V>
inline void count_rows8(const uint64_t* q, const uint64_t* codes, size_t r0, size_t n,
                        size_t words, typename V::Reg (&acc)[8]) {
  const uint64_t* first = codes + r0 * words;
  TW_UNROLL(8)
  for (int k = 0; k < 8; ++k) acc[k] = V::zero();
  size_t c = 0;
  for (; c + V::kWords <= words; c += V::kWords) {
    const typename V::Reg qv = V::load(q + c);
    TW_UNROLL(8)
    for (int k = 0; k < 8; ++k) {
      if (size_t(k) >= n) break;
      acc[k] = V::add64(acc[k], V::xor_count(V::load(first + k * words + c), qv));
    }
  }
  if (c < words) {
    const __mmask8 m = V::first_words(words - c);
    const typename V::Reg qv = V::load_words(m, q + c);
    TW_UNROLL(8)
    for (int k = 0; k < 8; ++k) {
      if (size_t(k) >= n) break;
      acc[k] = V::add64(acc[k], V::xor_count(V::load_words(m, first + k * words + c), qv));
    }
  }
}

// The distances of one scan step as 16-bit lanes, given unit(k) for k < 16: a register of rows
// XORed with the query (one row on W256, rows 2k and 2k + 1 on W512). The per-word counts are
// narrowed by packing, whose order keeps the counts of one row in one 128-bit lane side by side;
// one multiply-add of neighbouring bytes and one add across lanes then finish the rows. That is
// under two vector instructions a row where a tree of 64-bit adds took three: in the caches the
// scans are bound by the vector ports, not by the loads.
template <class V, class Unit>
inline typename V::Reg step_counts(Unit unit) {
  typename V::Reg w[4];
  TW_UNROLL(4)
  for (int n = 0; n < 4; ++n) {
    typename V::Reg s[2];
    TW_UNROLL(2)
    for (int h = 0; h < 2; ++h) {
      const int k = 4 * n + 2 * h;
      s[h] = V::low_dwords(V::count(unit(k)), V::count(unit(k + 1)));
    }
    w[n] = V::pack32(s[0], s[1]);
  }
  const typename V::Reg m0 = V::add_byte_pairs(V::pack16(w[0], w[1]));
  const typename V::Reg m1 = V::add_byte_pairs(V::pack16(w[2], w[3]));
  return V::fold_lanes(m0, m1);
}
