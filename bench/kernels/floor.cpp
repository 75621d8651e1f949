// The reference sets this CPU runs, checked against the same feature query as the kernels.
#include "floor.h"

#include "platform/compiler.h"
#include "platform/cpu.h"

namespace tw::bench {
namespace {

using F = CpuFeature;

struct Entry {
  CpuFeatures required;  // what its file is compiled for (CMakeLists.txt)
  FloorKernels (*make)();
};

#if TW_ARCH_X86_64
// The AVX-512 file is built with the AVX2 flags plus -mavx512f, and needs no more of AVX-512.
constexpr CpuFeatures kAvx2{F::Sse3, F::Ssse3, F::Sse41, F::Sse42, F::Popcnt,
                            F::Avx,  F::Avx2,  F::Bmi1,  F::Bmi2};
const Entry kEntries[] = {
    {{F::Sse2}, floor_sse2},
    {kAvx2, floor_avx2},
    {kAvx2 | CpuFeatures{F::Avx512f}, floor_avx512},
};
#elif TW_ARCH_AARCH64
const Entry kEntries[] = {{{F::Neon}, floor_neon}};
#else
const Entry kEntries[] = {{{}, floor_portable}};
#endif

}  // namespace

std::vector<const FloorKernels*> runnable_floors() {
  static const std::vector<FloorKernels> all = [] {
    std::vector<FloorKernels> out;
    for (const Entry& e : kEntries) {
      if (cpu_features().first_missing(e.required) == CpuFeature::Count) out.push_back(e.make());
    }
    return out;
  }();
  std::vector<const FloorKernels*> out;
  for (const FloorKernels& f : all) out.push_back(&f);
  return out;
}

const FloorKernels& widest_floor() {
  static const FloorKernels* widest = runnable_floors().back();
  return *widest;
}

}  // namespace tw::bench
