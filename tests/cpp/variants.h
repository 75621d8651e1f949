// The kernel variants this CPU can run, for parameterised tests over all of them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
  // "avx512 (nearest_records avx512, avx512vl for larger calls)"
  std::string picks;
  for (Op op : kAllOps) {
    const Isa small = chosen(op, 4, 0), large = chosen(op, 4, SIZE_MAX);
    if (small == active().isa && large == active().isa) continue;
    picks += std::string(picks.empty() ? " (" : "; ") + op_name(op) + " " + isa_name(small);
    if (large != small) picks += std::string(", ") + isa_name(large) + " for larger calls";
  }
  if (!picks.empty()) picks += ")";
  return "kernel variants run: " + run + "; skipped: " + (skipped.empty() ? "none" : skipped) +
         "; the module picks " + active().name + picks;
}

inline std::string variant_name(const ::testing::TestParamInfo<Isa>& info) {
  return isa_name(info.param);
}

}  // namespace tw::kernels
