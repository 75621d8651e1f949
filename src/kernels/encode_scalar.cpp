// Encoder kernels for the scalar variant.
#include "encode_kernels.h"

namespace tw::kernels {

EncodeKernels encode_scalar() { return EncodeKernels{nullptr}; }

}  // namespace tw::kernels
