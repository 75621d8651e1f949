// Reference kernels on 128-bit vectors (SSE2, the x86-64 baseline: no extra flags).
#include <emmintrin.h>

#include "floor.h"
#include "platform/compiler.h"

namespace tw::bench {
namespace {

struct V {
  using T = __m128i;
  static constexpr size_t kBytes = 16;
  static T zero() { return _mm_setzero_si128(); }
  static T load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static T bor(T a, T b) { return _mm_or_si128(a, b); }
  static uint64_t fold(T a) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(a) |
                                 _mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a)));
  }
};

struct F {
  using T = __m128;
  static constexpr size_t kLanes = 4;
  static T set1(float v) { return _mm_set1_ps(v); }
  static T load(const float* p) { return _mm_loadu_ps(p); }
  static T mul(T a, T b) { return _mm_mul_ps(a, b); }
  static T add(T a, T b) { return _mm_add_ps(a, b); }
  static float first(T a) { return _mm_cvtss_f32(a); }
};

#include "floor-inl.h"

}  // namespace

FloorKernels floor_sse2() { return make("sse2", 3, 1); }

}  // namespace tw::bench
