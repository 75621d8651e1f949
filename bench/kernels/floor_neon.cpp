// Reference kernels on 128-bit Advanced SIMD vectors (the aarch64 baseline: no extra flags).
#include <arm_neon.h>

#include "floor.h"
#include "platform/compiler.h"

namespace tw::bench {
namespace {

struct V {
  using T = uint64x2_t;
  static constexpr size_t kBytes = 16;
  static T zero() { return vdupq_n_u64(0); }
  static T load(const unsigned char* p) { return vreinterpretq_u64_u8(vld1q_u8(p)); }
  static T bor(T a, T b) { return vorrq_u64(a, b); }
  static uint64_t fold(T a) { return vgetq_lane_u64(a, 0) | vgetq_lane_u64(a, 1); }
};

struct F {
  using T = float32x4_t;
  static constexpr size_t kLanes = 4;
  static T set1(float v) { return vdupq_n_f32(v); }
  static T load(const float* p) { return vld1q_f32(p); }
  static T mul(T a, T b) { return vmulq_f32(a, b); }
  static T add(T a, T b) { return vaddq_f32(a, b); }
  static float first(T a) { return vgetq_lane_f32(a, 0); }
};

#include "floor-inl.h"

}  // namespace

FloorKernels floor_neon() { return make("neon", 3, 1); }

}  // namespace tw::bench
