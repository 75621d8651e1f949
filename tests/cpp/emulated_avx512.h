// Forced into the AVX-512 kernel files of the emulated test build (TW_EMULATE_AVX512): every
// AVX-512 intrinsic they use becomes SIMDe's portable version, or one below where SIMDe has none,
// so that their algorithms run, slowly, on a CPU with AVX2 only. The masked loads and stores
// touch only their selected lanes, as the hardware does, so the guard-page tests still catch a
// mask that reaches past a buffer.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

// The compiler's own headers declare __mmask64 already; SIMDe's alias for it would clash on
// clang, where uint64_t is not unsigned long long.
#define __mmask64 __mmask64
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#undef __mmask64

namespace tw_emulated {

template <class T, int N, class V>
inline void lanes_of(V v, T (&out)[N]) {
  static_assert(sizeof(T) * N == sizeof(V));
  std::memcpy(out, &v, sizeof v);
}

template <class V, class T, int N>
inline V maskz_load(uint64_t k, const void* p) {
  T lanes[N] = {};
  for (int i = 0; i < N; ++i) {
    if ((k >> i) & 1) std::memcpy(&lanes[i], static_cast<const char*>(p) + i * sizeof(T), sizeof(T));
  }
  V v;
  std::memcpy(&v, lanes, sizeof v);
  return v;
}

template <class T, int N, class V>
inline void mask_store(void* p, uint64_t k, V v) {
  T lanes[N];
  lanes_of(v, lanes);
  for (int i = 0; i < N; ++i) {
    if ((k >> i) & 1) std::memcpy(static_cast<char*>(p) + i * sizeof(T), &lanes[i], sizeof(T));
  }
}

// Bit i set where mask bit i is and lanes i of a and b satisfy `test`.
template <class T, int N, class V, class Test>
inline uint64_t lanes_where(uint64_t k, V a, V b, Test test) {
  T x[N], y[N];
  lanes_of(a, x);
  lanes_of(b, y);
  uint64_t m = 0;
  for (int i = 0; i < N; ++i) m |= uint64_t{((k >> i) & 1) != 0 && test(x[i], y[i])} << i;
  return m;
}

template <class T, int N, class V>
inline uint64_t cmplt(uint64_t k, V a, V b) {
  return lanes_where<T, N>(k, a, b, [](T x, T y) { return x < y; });
}

template <class T, int N, class V>
inline uint64_t testn(uint64_t k, V a, V b) {
  return lanes_where<T, N>(k, a, b, [](T x, T y) { return (x & y) == 0; });
}

inline uint32_t mask_reduce_min_u32(uint64_t k, simde__m512i a) {
  uint32_t x[16];
  lanes_of(a, x);
  uint32_t m = UINT32_MAX;
  for (int i = 0; i < 16; ++i) {
    if (((k >> i) & 1) != 0 && x[i] < m) m = x[i];
  }
  return m;
}

inline int64_t reduce_add_i64(simde__m512i a) {
  uint64_t x[8];
  lanes_of(a, x);
  uint64_t s = 0;
  for (uint64_t v : x) s += v;
  return static_cast<int64_t>(s);
}

}  // namespace tw_emulated

#undef _mm256_maskz_loadu_epi64
#undef _mm512_maskz_loadu_epi32
#undef _mm512_maskz_loadu_epi64
#undef _mm256_mask_storeu_epi32
#undef _mm256_mask_storeu_ps
#undef _mm512_mask_storeu_epi32
#undef _mm512_mask_storeu_ps
#define _mm256_maskz_loadu_epi64(k, p) (tw_emulated::maskz_load<simde__m256i, uint64_t, 4>(k, p))
#define _mm512_maskz_loadu_epi32(k, p) (tw_emulated::maskz_load<simde__m512i, uint32_t, 16>(k, p))
#define _mm512_maskz_loadu_epi64(k, p) (tw_emulated::maskz_load<simde__m512i, uint64_t, 8>(k, p))
#define _mm256_mask_storeu_epi32(p, k, v) (tw_emulated::mask_store<uint32_t, 8>(p, k, v))
#define _mm256_mask_storeu_ps(p, k, v) (tw_emulated::mask_store<float, 8>(p, k, v))
#define _mm512_mask_storeu_epi32(p, k, v) (tw_emulated::mask_store<uint32_t, 16>(p, k, v))
#define _mm512_mask_storeu_ps(p, k, v) (tw_emulated::mask_store<float, 16>(p, k, v))

#undef _mm256_mask_cmplt_epu16_mask
#undef _mm512_cmplt_epu16_mask
#undef _mm512_mask_cmplt_epu16_mask
#undef _mm512_mask_cmplt_epu32_mask
#undef _mm512_mask_cmplt_epu64_mask
#undef _mm256_testn_epi16_mask
#undef _mm512_testn_epi16_mask
#undef _mm512_mask_testn_epi32_mask
#undef _mm512_mask_reduce_min_epu32
#undef _mm512_reduce_add_epi64
#define _mm256_mask_cmplt_epu16_mask(k, a, b) \
  (static_cast<simde__mmask16>(tw_emulated::cmplt<uint16_t, 16>(k, a, b)))
#define _mm512_cmplt_epu16_mask(a, b) \
  (static_cast<simde__mmask32>(tw_emulated::cmplt<uint16_t, 32>(~uint64_t{0}, a, b)))
#define _mm512_mask_cmplt_epu16_mask(k, a, b) \
  (static_cast<simde__mmask32>(tw_emulated::cmplt<uint16_t, 32>(k, a, b)))
#define _mm512_mask_cmplt_epu32_mask(k, a, b) \
  (static_cast<simde__mmask16>(tw_emulated::cmplt<uint32_t, 16>(k, a, b)))
#define _mm512_mask_cmplt_epu64_mask(k, a, b) \
  (static_cast<simde__mmask8>(tw_emulated::cmplt<uint64_t, 8>(k, a, b)))
#define _mm256_testn_epi16_mask(a, b) \
  (static_cast<simde__mmask16>(tw_emulated::testn<uint16_t, 16>(~uint64_t{0}, a, b)))
#define _mm512_testn_epi16_mask(a, b) \
  (static_cast<simde__mmask32>(tw_emulated::testn<uint16_t, 32>(~uint64_t{0}, a, b)))
#define _mm512_mask_testn_epi32_mask(k, a, b) \
  (static_cast<simde__mmask16>(tw_emulated::testn<uint32_t, 16>(k, a, b)))
#define _mm512_mask_reduce_min_epu32(k, a) (tw_emulated::mask_reduce_min_u32(k, a))
#define _mm512_reduce_add_epi64(a) (tw_emulated::reduce_add_i64(a))
