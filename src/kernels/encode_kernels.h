// Encoder kernels: projection of float32 embeddings onto hyperplanes, sign, pack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::kernels {

// The hyperplanes are kept in panels of 16 rows: panel p holds, for each j in increasing order,
// the 16 values M[16p][j] .. M[16p + 15][j] side by side, so one vector lane serves one output
// bit. EmbeddingRows past code_bits are zero; their bits are cleared when packing.
inline constexpr size_t kPanelRows = 16;

inline constexpr size_t panel_count(size_t code_bits) { return (code_bits + 15) / 16; }
inline constexpr size_t code_words(size_t code_bits) { return (code_bits + 63) / 64; }
// Index of M[r][j] in the panel layout of a matrix with `dim` columns.
inline constexpr size_t panel_index(size_t r, size_t j, size_t dim) {
  return ((r / kPanelRows) * dim + j) * kPanelRows + r % kPanelRows;
}

struct Projection {
  const float* panels;  // panel_count(code_bits) * dim * 16 floats
  size_t dim;
  size_t code_bits;
};

// rows x dim float32 values, element (i, j) at data + i * row_stride + j * col_stride bytes;
// any strides (negative, zero) and any alignment.
struct Embeddings {
  const char* data;
  size_t rows;
  ptrdiff_t row_stride;
  ptrdiff_t col_stride;
};

// Embeddings as unit-stride float rows, row e at first + e * stride bytes, float-aligned: what
// the register-blocked loops read.
struct EmbeddingRows {
  const char* first;
  ptrdiff_t stride;

  float at(int e, size_t j) const { return reinterpret_cast<const float*>(first + e * stride)[j]; }
};

struct EncodeKernels {
  // Writes the packed code of row i to out[i * code_words(code_bits) ..], every word of it.
  // Each bit is the sign (s >= 0) of the sequential binary32 sum s = (..((0 + p0) + p1) ..),
  // p_j = M[r][j] * x[j] rounded, j increasing: the exact contract of the encoder.
  void (*encode)(const Projection& m, const Embeddings& x, uint64_t* out);
};

EncodeKernels encode_scalar();
EncodeKernels encode_avx2();
EncodeKernels encode_avx512();
EncodeKernels encode_neon();

}  // namespace tw::kernels
