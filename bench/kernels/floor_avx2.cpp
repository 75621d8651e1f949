// Reference kernels on 256-bit vectors (AVX2).
#include <immintrin.h>

#include "floor.h"
#include "platform/compiler.h"

namespace tw::bench {
namespace {

struct V {
  using T = __m256i;
  static constexpr size_t kBytes = 32;
  static T zero() { return _mm256_setzero_si256(); }
  static T load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static T bor(T a, T b) { return _mm256_or_si256(a, b); }
  static uint64_t fold(T a) {
    const __m128i h = _mm_or_si128(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(h) | _mm_extract_epi64(h, 1));
  }
};

struct F {
  using T = __m256;
  static constexpr size_t kLanes = 8;
  static T set1(float v) { return _mm256_set1_ps(v); }
  static T load(const float* p) { return _mm256_loadu_ps(p); }
  static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
  static T add(T a, T b) { return _mm256_add_ps(a, b); }
  static float first(T a) { return _mm256_cvtss_f32(a); }
};

#include "floor-inl.h"

}  // namespace

FloorKernels floor_avx2() { return make("avx2", 3, 1); }

}  // namespace tw::bench
