// RustBinaryEncoder's native side: the dimensions, the private copy of the projection matrix
// and the checks the encoding operations make. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kernels/encode_kernels.h"

namespace tw {

struct ClassSpec;

// Element (r, c) of a strided rows x cols float32 block lies at data + r * row_stride +
// c * col_stride bytes; `contiguous` allows reading it as one flat run of rows * cols values.
struct FloatBlock {
  const char* data;
  size_t rows;
  size_t cols;
  ptrdiff_t row_stride;
  ptrdiff_t col_stride;
  bool contiguous;
};

// True when some element is +-inf or NaN (exponent bits all set).
bool any_non_finite(const FloatBlock& block);

class Encoder {
 public:
  // Copies `matrix` (code_bits x embedding_dim, any layout) into the kernels' panel layout.
  explicit Encoder(const FloatBlock& matrix);

  uint64_t embedding_dim() const { return dim_; }
  uint64_t code_bits() const { return bits_; }
  uint64_t n_words() const { return kernels::code_words(bits_); }

  // Packed codes of the rows of `x` (x.cols == embedding_dim), row i into out[i * n_words ..].
  void encode(const FloatBlock& x, uint64_t* out) const;

  static const ClassSpec& spec();

 private:
  struct AlignedFree {
    void operator()(float* p) const noexcept;
  };
  uint64_t dim_;
  uint64_t bits_;
  std::unique_ptr<float[], AlignedFree> panels_;
};

}  // namespace tw
