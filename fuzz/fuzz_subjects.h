// The kernel tables a differential fuzz target checks: each variant table_for() offers on this
// CPU, then active(), whatever it picks per operation.
#pragma once

#include <vector>

#include "kernels/kernels.h"

namespace tw::fuzz {

struct Subject {
  const kernels::KernelTable* table;
  const char* name;
};

inline const std::vector<Subject>& subjects() {
  static const std::vector<Subject> all = [] {
    std::vector<Subject> out;
    for (kernels::Isa isa : kernels::kAllIsas) {
      if (const kernels::KernelTable* t = kernels::table_for(isa)) out.push_back({t, t->name});
    }
    out.push_back({&kernels::active(), "active"});
    return out;
  }();
  return all;
}

}  // namespace tw::fuzz
