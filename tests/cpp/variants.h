// The kernel variants this CPU can run, for parameterised tests over all of them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernels/kernels.h"

namespace tw::kernels {

inline std::vector<Isa> runnable() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Avx2, Isa::Avx512}) {
    if (table_for(isa) != nullptr) out.push_back(isa);
  }
  return out;
}

inline std::string variant_name(const ::testing::TestParamInfo<Isa>& info) {
  return table_for(info.param)->name;
}

}  // namespace tw::kernels
