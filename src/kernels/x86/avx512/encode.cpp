// Encoder kernel for AVX-512: one zmm lane per output bit, register-blocked over embeddings.
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
  // 12 embeddings x 2 panels = 24 accumulators, leaving 8 zmm for panels and products.
  static constexpr int kBlockRows = 12, kBlockPanels = 2;
  static constexpr int kFewRows = 3, kFewPanels = 8;
  static constexpr int kOnePanels = 8;

  template <int NE, int NP>
  static void run(const EmbeddingRows& xs, const float* panels, size_t dim, uint32_t* masks) {
    __m512 acc[NE][NP];
TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) acc[e][q] = _mm512_setzero_ps();
    }
    const size_t panel_stride = dim * kPanelRows;
    // A base pointer every third row, the others at +stride and +2 * stride from it, keeps
    // every row address in a register without spills.
    const float* base[(NE + 2) / 3];
    for (int k = 0; k < (NE + 2) / 3; ++k) {
      base[k] = reinterpret_cast<const float*>(xs.first + 3 * k * xs.stride);
    }
TW_UNROLL(4)
    for (size_t j = 0; j < dim; ++j) {
      __m512 m[NP];
TW_UNROLL(32)
      for (int q = 0; q < NP; ++q)
        m[q] = _mm512_loadu_ps(panels + q * panel_stride + j * kPanelRows);
TW_UNROLL(32)
      for (int e = 0; e < NE; ++e) {
        const __m512 x = _mm512_set1_ps(*reinterpret_cast<const float*>(
            reinterpret_cast<const char*>(base[e / 3] + j) + (e % 3) * xs.stride));
TW_UNROLL(32)
        for (int q = 0; q < NP; ++q) acc[e][q] = _mm512_add_ps(acc[e][q], _mm512_mul_ps(m[q], x));
      }
    }
TW_UNROLL(32)
    for (int e = 0; e < NE; ++e) {
TW_UNROLL(32)
      for (int q = 0; q < NP; ++q) {
        // Ordered compare: NaN gives 0, -0.0 gives 1.
        masks[e * NP + q] = _mm512_cmp_ps_mask(acc[e][q], _mm512_setzero_ps(), _CMP_GE_OQ);
      }
    }
  }
};
#include "kernels/encode-inl.h"

}  // namespace

EncodeKernels encode_avx512() { return EncodeKernels{encode_rows}; }

}  // namespace tw::kernels
