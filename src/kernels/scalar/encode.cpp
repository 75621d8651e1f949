// Portable encoder kernel: one float per lane in plain loops, the reference for the SIMD variants.
#include <algorithm>
#include <cstring>
#include <memory>

#include "kernels/kernels.h"

namespace tw::kernels {
namespace {

struct Micro {
  static constexpr int kBlockRows = 4, kBlockPanels = 1;
  static constexpr int kFewRows = 1, kFewPanels = 1;
  static constexpr int kOnePanels = 1;

  template <int NE, int NP>
  static void run(const EmbeddingRows& xs, const float* panels, size_t dim, uint32_t* masks) {
    float acc[NE][NP][kPanelRows] = {};
    for (size_t j = 0; j < dim; ++j) {
      for (int e = 0; e < NE; ++e) {
        const float x = xs.at(e, j);
        for (int q = 0; q < NP; ++q) {
          const float* row = panels + (q * dim + j) * kPanelRows;
          for (size_t l = 0; l < kPanelRows; ++l) {
            const float product = row[l] * x;
            acc[e][q][l] = acc[e][q][l] + product;
          }
        }
      }
    }
    for (int e = 0; e < NE; ++e) {
      for (int q = 0; q < NP; ++q) {
        uint32_t bits = 0;
        for (size_t l = 0; l < kPanelRows; ++l) {
          if (acc[e][q][l] >= 0.0f) bits |= 1u << l;  // false for NaN
        }
        masks[e * NP + q] = bits;
      }
    }
  }
};
#include "kernels/encode-inl.h"

}  // namespace

EncodeKernels encode_scalar() { return EncodeKernels{encode_rows}; }

}  // namespace tw::kernels
