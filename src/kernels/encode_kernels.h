// Encoder kernels: projection of float32 embeddings onto hyperplanes, sign, pack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::kernels {

struct EncodeKernels {
  void* reserved;
};

EncodeKernels encode_scalar();
EncodeKernels encode_avx2();
EncodeKernels encode_avx512();

}  // namespace tw::kernels
