// What the CPU offers and the operating system supports: the one query behind kernel dispatch.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace tw {

// Instruction-set extensions a kernel file may be compiled for.
enum class CpuFeature : uint8_t {
  Sse2, Sse3, Ssse3, Sse41, Sse42, Popcnt, Avx, Avx2, Bmi1, Bmi2, Fma, Lzcnt, F16c, Movbe,
  Avx512f, Avx512bw, Avx512dq, Avx512vl, Avx512cd, Avx512vpopcntdq,
  Neon,
  Count
};

const char* feature_name(CpuFeature f) noexcept;

class CpuFeatures {
 public:
  constexpr CpuFeatures() = default;
  constexpr CpuFeatures(std::initializer_list<CpuFeature> features) {
    for (CpuFeature f : features) bits_ |= bit(f);
  }
  constexpr bool has(CpuFeature f) const { return (bits_ & bit(f)) != 0; }
  constexpr CpuFeatures with(CpuFeature f) const { return CpuFeatures(bits_ | bit(f)); }
  constexpr CpuFeatures without(CpuFeature f) const { return CpuFeatures(bits_ & ~bit(f)); }
  constexpr CpuFeatures operator|(CpuFeatures o) const { return CpuFeatures(bits_ | o.bits_); }
  // The first feature of `required` missing here, or Count when none is.
  constexpr CpuFeature first_missing(CpuFeatures required) const {
    for (int i = 0; i < static_cast<int>(CpuFeature::Count); ++i) {
      const auto f = static_cast<CpuFeature>(i);
      if (required.has(f) && !has(f)) return f;
    }
    return CpuFeature::Count;
  }

 private:
  constexpr explicit CpuFeatures(uint32_t bits) : bits_(bits) {}
  static constexpr uint32_t bit(CpuFeature f) { return uint32_t{1} << static_cast<int>(f); }
  uint32_t bits_ = 0;
};

enum class CpuVendor : uint8_t { Other, Intel, Amd };

// Data cache sizes in bytes as one core sees them: its own L1d and L2, and the L3 it shares
// with its neighbours (the part of a chip's L3 it can fill). 0 where the CPU does not say.
struct CpuCaches {
  uint64_t l1d = 0;
  uint64_t l2 = 0;
  uint64_t l3 = 0;
};

// Who made the CPU and which generation it is (CPUID's display family and model), and its
// caches: what kernel dispatch keys its per-microarchitecture choices on, where the features
// alone mislead.
struct CpuModel {
  CpuVendor vendor = CpuVendor::Other;
  uint32_t family = 0;
  uint32_t model = 0;
  CpuCaches caches{};
};

// This CPU's maker, generation and caches; Other and 0 where there is no CPUID. Read once.
CpuModel cpu_model() noexcept;

// The features this process may use: reported by the CPU and, for the wide registers, saved by
// the operating system across context switches. Read once; later calls return the same value.
CpuFeatures cpu_features() noexcept;

}  // namespace tw
