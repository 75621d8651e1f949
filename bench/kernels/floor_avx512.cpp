// Reference kernels on 512-bit vectors (AVX-512F).
#include <immintrin.h>

#include "floor.h"
#include "platform/compiler.h"

TW_QUIET_UNINITIALIZED

namespace tw::bench {
namespace {

struct V {
  using T = __m512i;
  static constexpr size_t kBytes = 64;
  static T zero() { return _mm512_setzero_si512(); }
  static T load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static T bor(T a, T b) { return _mm512_or_si512(a, b); }
  static uint64_t fold(T a) { return static_cast<uint64_t>(_mm512_reduce_or_epi64(a)); }
};

struct F {
  using T = __m512;
  static constexpr size_t kLanes = 16;
  static T set1(float v) { return _mm512_set1_ps(v); }
  static T load(const float* p) { return _mm512_loadu_ps(p); }
  static T mul(T a, T b) { return _mm512_mul_ps(a, b); }
  static T add(T a, T b) { return _mm512_add_ps(a, b); }
  static float first(T a) { return _mm512_cvtss_f32(a); }
};

#include "floor-inl.h"

}  // namespace

// 8 loads an iteration: fastest or within 3% at 32 KB to 32 MB on a Xeon with AVX-512 (16 ties
// it; 1 and 2 lose a third in L1); 8 embeddings a pass: 12 ties it, 4 and 6 lose 5-25%.
FloorKernels floor_avx512() { return make("avx512", 3, 2); }

}  // namespace tw::bench
