// Encoder kernel for AVX2: each 16-row panel is two ymm halves, one lane per output bit.
// Multiply and add stay separate instructions (no FMA) so every product and sum is rounded.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "kernels/kernels.h"
#include "platform/compiler.h"

namespace tw::kernels {
namespace {

struct Micro {
  // 12 ymm accumulators, leaving 4 for panel halves, the broadcast and products.
  static constexpr int kBlockRows = 6, kBlockPanels = 1;
  static constexpr int kFewRows = 3, kFewPanels = 2;
  static constexpr int kOnePanels = 6;

  template <int NE, int NP>
  static void run(const EmbeddingRows& xs, const float* panels, size_t dim, uint32_t* masks) {
    __m256 acc[NE][NP][2];
TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) acc[e][q][0] = acc[e][q][1] = _mm256_setzero_ps();
    }
    const size_t panel_stride = dim * kPanelRows;
    const float* base[(NE + 2) / 3];  // as in the AVX-512 loop: no spilled row addresses
    for (int k = 0; k < (NE + 2) / 3; ++k) {
      base[k] = reinterpret_cast<const float*>(xs.first + 3 * k * xs.stride);
    }
    for (size_t j = 0; j < dim; ++j) {
      const float* row = panels + j * kPanelRows;
TW_UNROLL(32)
      for (int e = 0; e < NE; ++e) {
        const __m256 x = _mm256_set1_ps(*reinterpret_cast<const float*>(
            reinterpret_cast<const char*>(base[e / 3] + j) + (e % 3) * xs.stride));
TW_UNROLL(32)
        for (int q = 0; q < NP; ++q) {
TW_UNROLL(2)
          for (int h = 0; h < 2; ++h) {
            const __m256 m = _mm256_loadu_ps(row + q * panel_stride + 8 * h);
            acc[e][q][h] = _mm256_add_ps(acc[e][q][h], _mm256_mul_ps(m, x));
          }
        }
      }
    }
TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) {
        // Ordered compare: NaN gives 0, -0.0 gives 1.
        const __m256 zero = _mm256_setzero_ps();
        const unsigned lo = _mm256_movemask_ps(_mm256_cmp_ps(acc[e][q][0], zero, _CMP_GE_OQ));
        const unsigned hi = _mm256_movemask_ps(_mm256_cmp_ps(acc[e][q][1], zero, _CMP_GE_OQ));
        masks[e * NP + q] = lo | (hi << 8);
      }
    }
  }
};
#include "kernels/encode-inl.h"

}  // namespace

EncodeKernels encode_avx2() { return EncodeKernels{encode_rows}; }

}  // namespace tw::kernels
