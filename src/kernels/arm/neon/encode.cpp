// Encoder kernel for Advanced SIMD (NEON): each 16-row panel is four q registers, one lane per
// output bit. Multiply and add stay separate instructions (FMUL, FADD; never FMLA) so every
// product and sum is rounded.
#include <arm_neon.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "kernels/kernels.h"
#include "platform/compiler.h"

namespace tw::kernels {
namespace {

struct Micro {
  // 24 of the 32 vector registers as accumulators, leaving room for a panel and the products.
  static constexpr int kBlockRows = 6, kBlockPanels = 1;
  static constexpr int kFewRows = 3, kFewPanels = 2;
  static constexpr int kOnePanels = 6;

  template <int NE, int NP>
  static void run(const EmbeddingRows& xs, const float* panels, size_t dim, uint32_t* masks) {
    float32x4_t acc[NE][NP][4];
    TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
      TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) {
        TW_UNROLL(4)
        for (int h = 0; h < 4; ++h) acc[e][q][h] = vdupq_n_f32(0.0f);
      }
    }
    const size_t panel_stride = dim * kPanelRows;
    for (size_t j = 0; j < dim; ++j) {
      const float* row = panels + j * kPanelRows;
      TW_UNROLL(32)
      for (int e = 0; e < NE; ++e) {
        const float x = xs.at(e, j);
        TW_UNROLL(32)
        for (int q = 0; q < NP; ++q) {
          TW_UNROLL(4)
          for (int h = 0; h < 4; ++h) {
            const float32x4_t m = vld1q_f32(row + q * panel_stride + 4 * h);
            acc[e][q][h] = vaddq_f32(acc[e][q][h], vmulq_n_f32(m, x));
          }
        }
      }
    }
    static constexpr uint32_t kWeights[4] = {1, 2, 4, 8};
    const uint32x4_t weights = vld1q_u32(kWeights);
    const float32x4_t zero = vdupq_n_f32(0.0f);
    TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
      TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) {
        uint32_t bits = 0;
        TW_UNROLL(4)
        for (int h = 0; h < 4; ++h) {
          // FCMGE: false for NaN, true for -0.0.
          const uint32x4_t ge = vcgeq_f32(acc[e][q][h], zero);
          bits |= vaddvq_u32(vandq_u32(ge, weights)) << (4 * h);
        }
        masks[e * NP + q] = bits;
      }
    }
  }
};
#include "kernels/encode-inl.h"

}  // namespace

EncodeKernels encode_neon() { return EncodeKernels{encode_rows}; }

}  // namespace tw::kernels
