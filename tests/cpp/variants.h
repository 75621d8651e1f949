// The kernel variants this CPU can run, for parameterised tests over all of them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernels/kernels.h"

namespace tw::kernels {

inline std::vector<Isa> runnable() {
  std::vector<Isa> out;
  for (Isa isa : kAllIsas) {
    if (table_for(isa) != nullptr) out.push_back(isa);
  }
  return out;
}

// "run: scalar sse2 avx2; skipped: avx512 (CPU or OS lacks avx512f), neon (not built ...)"
inline std::string variant_report() {
  std::string run, skipped;
  for (Isa isa : kAllIsas) {
    if (const char* why = unavailable_reason(isa)) {
      skipped += std::string(skipped.empty() ? "" : ", ") + isa_name(isa) + " (" + why + ")";
    } else {
      run += std::string(run.empty() ? "" : " ") + isa_name(isa);
    }
  }
  return "kernel variants run: " + run + "; skipped: " + (skipped.empty() ? "none" : skipped) +
         "; the module picks " + active().name;
}

inline std::string variant_name(const ::testing::TestParamInfo<Isa>& info) {
  return isa_name(info.param);
}

}  // namespace tw::kernels
