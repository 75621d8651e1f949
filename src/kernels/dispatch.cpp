// The one table of kernel variants, and the choice among them made once per process.
// Adding an instruction set: a folder of kernel files, its flags in CMakeLists.txt, a row here.
#include <array>

#include "kernels/kernels.h"
#include "platform/compiler.h"

namespace tw::kernels {
namespace {

using F = CpuFeature;

struct Variant {
  Isa isa;
  const char* name;
  // Exactly what the variant's files are compiled for (see CMakeLists.txt): the CPU must offer
  // all of it. MSVC's /arch switches let the compiler use more than GCC's -m flags name.
  CpuFeatures required;
  bool built;  // compiled into this build (its architecture is the target's)
  HammingKernels (*hamming)();
  EncodeKernels (*encode)();
};

// -mavx2 brings the SSE levels below it along.
constexpr CpuFeatures kAvx2{F::Sse3, F::Ssse3, F::Sse41, F::Sse42, F::Popcnt,
                            F::Avx,  F::Avx2,  F::Bmi1,  F::Bmi2};
// MSVC's /arch switches let the compiler use more than GCC's and clang's -m flags name.
#if defined(_MSC_VER) && !defined(__clang__)
constexpr CpuFeatures kArchAvx2Extra{F::Fma, F::Lzcnt, F::F16c, F::Movbe};
constexpr CpuFeatures kArchAvx512Extra{F::Avx512cd};
#else
constexpr CpuFeatures kArchAvx2Extra{}, kArchAvx512Extra{};
#endif
constexpr CpuFeatures kAvx2Build = kAvx2 | kArchAvx2Extra;
constexpr CpuFeatures kAvx512Build =
    kAvx2Build | kArchAvx512Extra |
    CpuFeatures{F::Avx512f, F::Avx512bw, F::Avx512dq, F::Avx512vl, F::Avx512vpopcntdq};

#if TW_ARCH_X86_64
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
HammingKernels hamming_sse2() { return {}; }
HammingKernels hamming_avx2() { return {}; }
HammingKernels hamming_avx512vl() { return {}; }
HammingKernels hamming_avx512() { return {}; }
EncodeKernels encode_avx2() { return {}; }
EncodeKernels encode_avx512() { return {}; }
#endif
#if TW_ARCH_AARCH64
constexpr bool kArm = true;
#else
constexpr bool kArm = false;
HammingKernels hamming_neon() { return {}; }
EncodeKernels encode_neon() { return {}; }
#endif

// Narrowest first; within an architecture, each row's features include the previous row's.
constexpr Variant kVariants[] = {
    {Isa::Scalar, "scalar", {}, true, hamming_scalar, encode_scalar},
    {Isa::Sse2, "sse2", {F::Sse2}, kX86, hamming_sse2, encode_scalar},
    {Isa::Avx2, "avx2", kAvx2Build, kX86, hamming_avx2, encode_avx2},
    // The same features as avx512, on 256-bit registers; its encoder is avx2's, also 256 bits.
    {Isa::Avx512vl, "avx512vl", kAvx512Build, kX86, hamming_avx512vl, encode_avx2},
    {Isa::Avx512, "avx512", kAvx512Build, kX86, hamming_avx512, encode_avx512},
    {Isa::Neon, "neon", {F::Neon}, kArm, hamming_neon, encode_neon},
};

const Variant& variant(Isa isa) {
  for (const Variant& v : kVariants) {
    if (v.isa == isa) return v;
  }
  return kVariants[0];
}

// The widest variant the module may pick; a build pins a lower one with -DTW_MAX_ISA=avx2.
#if defined(TW_MAX_ISA)
#define TW_STRINGIFY2(x) #x
#define TW_STRINGIFY(x) TW_STRINGIFY2(x)
constexpr const char* kMaxIsa = TW_STRINGIFY(TW_MAX_ISA);
#else
constexpr const char* kMaxIsa = nullptr;
#endif

constexpr bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// The position of the TW_MAX_ISA variant in kVariants; the build fails on an unknown name and on
// another architecture's variant, which would cap nothing. CMakeLists.txt lists the names too
// (TW_ISAS_*), to say which ones are valid.
constexpr size_t max_position() {
  if (kMaxIsa == nullptr) return sizeof kVariants / sizeof kVariants[0] - 1;
  for (size_t i = 0; i < sizeof kVariants / sizeof kVariants[0]; ++i) {
    if (!same_text(kVariants[i].name, kMaxIsa)) continue;
    if (!kVariants[i].built) throw "TW_MAX_ISA names a variant of another architecture";
    return i;
  }
  throw "TW_MAX_ISA names no variant";
}
constexpr size_t kMaxPosition = max_position();

KernelTable build(const Variant& v) { return {v.isa, v.name, v.hamming(), v.encode()}; }

}  // namespace

const char* isa_name(Isa isa) { return variant(isa).name; }
CpuFeatures required_features(Isa isa) { return variant(isa).required; }

bool runs_on(Isa isa, CpuFeatures cpu) {
  const Variant& v = variant(isa);
  return v.built && cpu.first_missing(v.required) == CpuFeature::Count;
}

const char* unavailable_reason(Isa isa) {
  const Variant& v = variant(isa);
  if (!v.built) return "not built for this architecture";
  const CpuFeature missing = cpu_features().first_missing(v.required);
  if (missing == CpuFeature::Count) return nullptr;
  static thread_local char text[64];
  const char* name = feature_name(missing);
  size_t n = 0;
  for (const char* p = "CPU or OS lacks "; *p != '\0'; ++p) text[n++] = *p;
  for (; *name != '\0' && n + 1 < sizeof text; ++name) text[n++] = *name;
  text[n] = '\0';
  return text;
}

const KernelTable* table_for(Isa isa) {
  // One table per variant, built on first request; the array is filled under C++'s guarded
  // static initialisation, so concurrent first calls are safe.
  static const auto tables = [] {
    struct Slot {
      bool runnable;
      KernelTable table;
    };
    std::array<Slot, sizeof kVariants / sizeof kVariants[0]> out{};
    for (size_t i = 0; i < out.size(); ++i) {
      const Variant& v = kVariants[i];
      out[i].runnable = runs_on(v.isa, cpu_features());
      if (out[i].runnable) out[i].table = build(v);
    }
    return out;
  }();
  for (size_t i = 0; i < tables.size(); ++i) {
    if (kVariants[i].isa == isa) return tables[i].runnable ? &tables[i].table : nullptr;
  }
  return nullptr;
}

const char* op_name(Op op) {
  switch (op) {
    case Op::XorPopcount: return "xor_popcount";
    case Op::Distances: return "distances";
    case Op::Similarities: return "similarities";
    case Op::Nearest: return "nearest";
    case Op::NearestRecords: return "nearest_records";
    case Op::ArgminU32: return "argmin_u32";
    case Op::Encode: return "encode";
  }
  return "?";
}

const char* reach_name(Reach reach) {
  switch (reach) {
    case Reach::L1: return "l1";
    case Reach::L2: return "l2";
    case Reach::L3: return "l3";
    case Reach::Memory: return "memory";
  }
  return "?";
}

const char* width_name(Width width) {
  switch (width) {
    case Width::Narrow: return "narrow";
    case Width::Four: return "four";
    case Width::Wide: return "wide";
    case Width::Any: return "any";
  }
  return "?";
}

Reach reach_of(size_t bytes, const CpuCaches& caches) {
  // Where the CPU does not say: a small core's sizes, so that no call is taken for a memory one.
  const uint64_t l1 = caches.l1d != 0 ? caches.l1d : uint64_t{32} << 10;
  const uint64_t l2 = caches.l2 != 0 ? caches.l2 : uint64_t{512} << 10;
  const uint64_t l3 = caches.l3 != 0 ? caches.l3 : uint64_t{8} << 20;
  if (bytes <= l1) return Reach::L1;
  if (bytes <= l2) return Reach::L2;
  // A scan that re-reads more than half the L3 shares it with everything else on the chip;
  // in the records it already ran at memory speed there (Zen 4 and Zen 3: 32 MB of codes on
  // a 32 MB L3 against 3.2 MB, an L3 hit).
  if (bytes <= l3 / 2) return Reach::L3;
  return Reach::Memory;
}

namespace {

constexpr CpuFeatures kAvx512Cpu{F::Avx512f};

constexpr const char* kZen4Record = "amd-f25-m17.json";
constexpr const char* kXeonRecord = "intel-f6-m167.json";

// Where the widest variant a CPU runs is not the fastest, the measured choice. Each row names
// the record under bench/cpus/ it rests on; tests/cpp replays every record through choose().
// Nothing is timed at run time.
constexpr Exception kExceptions[] = {
    // AMD family 19h with AVX-512 is Zen 4, which runs each 512-bit operation as two 256-bit
    // halves. From memory the 4-word scans ran at the read floor on avx2 (1.02-1.08x cold,
    // 1M rows) and 15-25% behind it on the wide variants, whose prefetches run only 1-2 KiB
    // ahead (a suspect: on Zen 3, 1 KiB ahead recovered less than 2-16 KiB); in L3 the batches
    // ran 512-bit work no faster than 256-bit.
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Nearest, Width::Four, Reach::Memory,
     Reach::Memory, Isa::Avx2, kZen4Record},
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Distances, Width::Four, Reach::L3, Reach::L3,
     Isa::Avx512vl, kZen4Record},
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Distances, Width::Four, Reach::Memory,
     Reach::Memory, Isa::Avx2, kZen4Record},
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Similarities, Width::Four, Reach::L3, Reach::L3,
     Isa::Avx512vl, kZen4Record},
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Similarities, Width::Four, Reach::Memory,
     Reach::Memory, Isa::Avx2, kZen4Record},
    // Rows narrower than four words go through scalar POPCNT in every wide variant; in the
    // core's own caches the 256-bit one's loop measured 10-15% ahead, beyond them 20-30% behind.
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Nearest, Width::Narrow, Reach::L1, Reach::L2,
     Isa::Avx512vl, kZen4Record},
    // Two 44-byte records in a 512-bit register cost a cross-half insert on Zen 4.
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::NearestRecords, Width::Any, Reach::L1, Reach::Memory,
     Isa::Avx512vl, kZen4Record},
    // evict_lru's walk of the records' timestamps: beyond L3 the plain one-by-one walk, with no
    // prefetch, measured 3-12% ahead of every vector gather and of the prefetching walk.
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::ArgminU32, Width::Any, Reach::Memory, Reach::Memory,
     Isa::Scalar, kZen4Record},
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::XorPopcount, Width::Any, Reach::L1, Reach::Memory,
     Isa::Avx512vl, kZen4Record},
    // The 512-bit encoder ran 8-34% behind avx2's (which avx512vl uses) on Zen 4.
    {CpuVendor::Amd, 0x19, kAvx512Cpu, Op::Encode, Width::Any, Reach::L1, Reach::Memory,
     Isa::Avx512vl, kZen4Record},
    // Intel cores (family 6) run 512-bit integer work on two ports, one of them the only one
    // for VPOPCNTQ and shuffles, where two records in one 512-bit register cost an insert.
    // Beyond L1 the record search runs 3-4% faster on 256-bit registers.
    {CpuVendor::Intel, 6, kAvx512Cpu, Op::NearestRecords, Width::Any, Reach::L2, Reach::Memory,
     Isa::Avx512vl, kXeonRecord},
};

constexpr size_t kVariantCount = sizeof kVariants / sizeof kVariants[0];

// The widest variant of kVariants the CPU runs, up to position `last`.
Isa widest(CpuFeatures features, size_t last) {
  for (size_t i = last + 1; i-- > 0;) {
    if (runs_on(kVariants[i].isa, features)) return kVariants[i].isa;
  }
  return Isa::Scalar;
}

const Exception* exception_for(Op op, Width width, Reach reach, CpuFeatures features,
                               const CpuModel& model) {
  for (const Exception& e : kExceptions) {
    if (e.vendor != model.vendor || e.family != model.family || e.op != op) continue;
    if (features.first_missing(e.needs) != CpuFeature::Count) continue;
    if (e.width != Width::Any && e.width != width) continue;
    if (reach < e.from || reach > e.to) continue;
    return &e;
  }
  return nullptr;
}

Isa choose_at(Op op, Width width, Reach reach, CpuFeatures features, const CpuModel& model) {
  const Isa fallback = widest(features, kVariantCount - 1);
  const Exception* e = exception_for(op, width, reach, features, model);
  return e != nullptr && runs_on(e->isa, features) ? e->isa : fallback;
}

constexpr size_t kOpCount = sizeof kAllOps / sizeof kAllOps[0];
constexpr size_t kWidthCount = sizeof kAllWidths / sizeof kAllWidths[0];
constexpr size_t kReachCount = sizeof kAllReaches / sizeof kAllReaches[0];

// The variants active() uses per operation, row width and reach, and this CPU's caches;
// written once, while active()'s table is built (under C++'s guarded static initialisation).
struct Plan {
  const KernelTable* table[kOpCount][kWidthCount][kReachCount];
  CpuCaches caches;
};
Plan plan;

const KernelTable& planned(Op op, size_t words, size_t bytes) {
  return *plan.table[static_cast<size_t>(op)][static_cast<size_t>(width_of(words))]
                    [static_cast<size_t>(reach_of(bytes, plan.caches))];
}

// Entries that pick their variant per call, for the operations whose choice varies.
uint64_t xor_popcount_by_call(const uint64_t* a, const uint64_t* b, size_t words) {
  return planned(Op::XorPopcount, words, 16 * words).hamming.xor_popcount(a, b, words);
}
void distances_by_call(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                       uint32_t* out) {
  planned(Op::Distances, words, 8 * rows * words).hamming.distances(q, codes, rows, words, out);
}
Nearest nearest_by_call(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words) {
  return planned(Op::Nearest, words, 8 * rows * words).hamming.nearest(q, codes, rows, words);
}
Nearest nearest_records_by_call(const uint64_t* q, const unsigned char* records, size_t rows,
                                size_t stride) {
  return planned(Op::NearestRecords, 4, rows * stride)
      .hamming.nearest_records(q, records, rows, stride);
}
size_t argmin_u32_by_call(const unsigned char* records, size_t rows, size_t stride) {
  return planned(Op::ArgminU32, 4, rows * stride).hamming.argmin_u32(records, rows, stride);
}
void similarities_by_call(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                          float code_bits, float* out) {
  planned(Op::Similarities, words, 8 * rows * words)
      .hamming.similarities(q, codes, rows, words, code_bits, out);
}

KernelTable compose() {
  const size_t widest_position = kMaxIsa != nullptr ? kMaxPosition : kVariantCount - 1;
  const Isa base = widest(cpu_features(), widest_position);
  plan.caches = cpu_model().caches;
  for (Op op : kAllOps) {
    for (Width width : kAllWidths) {
      for (Reach reach : kAllReaches) {
        const Isa isa =
            kMaxIsa != nullptr ? base : choose_at(op, width, reach, cpu_features(), cpu_model());
        plan.table[static_cast<size_t>(op)][static_cast<size_t>(width)]
                  [static_cast<size_t>(reach)] = table_for(isa);
      }
    }
  }
  // The variant's own entry where one variant serves every call, else the per-call one.
  const auto pick = [](Op op, auto member, auto by_call) {
    const auto& t = plan.table[static_cast<size_t>(op)];
    for (const auto& by_width : t) {
      for (const KernelTable* k : by_width) {
        if (k != t[0][0]) return by_call;
      }
    }
    return t[0][0]->hamming.*member;
  };
  // The encoder is chosen once: no row of the table tells its calls apart.
  const KernelTable* encoder =
      plan.table[static_cast<size_t>(Op::Encode)][0][static_cast<size_t>(Reach::L1)];
  KernelTable t{base, isa_name(base), {}, encoder->encode};
  t.hamming.xor_popcount =
      pick(Op::XorPopcount, &HammingKernels::xor_popcount, &xor_popcount_by_call);
  t.hamming.distances = pick(Op::Distances, &HammingKernels::distances, &distances_by_call);
  t.hamming.nearest = pick(Op::Nearest, &HammingKernels::nearest, &nearest_by_call);
  t.hamming.nearest_records =
      pick(Op::NearestRecords, &HammingKernels::nearest_records, &nearest_records_by_call);
  t.hamming.argmin_u32 = pick(Op::ArgminU32, &HammingKernels::argmin_u32, &argmin_u32_by_call);
  t.hamming.similarities =
      pick(Op::Similarities, &HammingKernels::similarities, &similarities_by_call);
  return t;
}

}  // namespace

const Exception* exceptions(size_t* count) {
  *count = sizeof kExceptions / sizeof kExceptions[0];
  return kExceptions;
}

Isa choose(Op op, size_t words, size_t bytes, CpuFeatures features, const CpuModel& model) {
  return choose_at(op, width_of(words), reach_of(bytes, model.caches), features, model);
}

const KernelTable& active() {
  static const KernelTable table = compose();
  return table;
}

Isa chosen(Op op, size_t words, size_t bytes) {
  active();
  // The encoder is chosen once (see compose).
  return op == Op::Encode ? planned(op, 0, 0).isa : planned(op, words, bytes).isa;
}

}  // namespace tw::kernels
