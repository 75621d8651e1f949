// Python-free compute kernels and the one dispatch point that picks a variant per process.
//
// A variant is a folder of kernel files compiled for one instruction set (x86/sse2, x86/avx2,
// x86/avx512, arm/neon) beside the portable scalar path; the table in dispatch.cpp lists them
// with the CPU features each is compiled for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encode_kernels.h"
#include "platform/cpu.h"

namespace tw::kernels {

// Every variant there is, in order of preference on its architecture (wider is later).
// avx512vl is AVX-512's instructions on 256-bit registers only.
enum class Isa { Scalar, Sse2, Avx2, Avx512vl, Avx512, Neon };
inline constexpr Isa kAllIsas[] = {Isa::Scalar,   Isa::Sse2,   Isa::Avx2,
                                   Isa::Avx512vl, Isa::Avx512, Isa::Neon};

// Word i of a run; NumPy buffers need not be 8-byte aligned, so reads go through memcpy
// (a plain load on x86-64 and aarch64).
inline uint64_t word_at(const uint64_t* run, size_t i) {
  uint64_t w;
  std::memcpy(&w, reinterpret_cast<const unsigned char*>(run) + 8 * i, sizeof w);
  return w;
}

struct Nearest {
  size_t index;       // first row holding the smallest distance
  uint64_t distance;  // that distance; UINT64_MAX when there are no rows
};

struct HammingKernels {
  // Hamming distance of two runs of `words` 64-bit words; exceeds 32 bits from 2^26 words on.
  uint64_t (*xor_popcount)(const uint64_t* a, const uint64_t* b, size_t words);
  // out[r] = distance of `query` and row r of a row-major rows x words matrix; words < 2^26, so
  // that every distance fits.
  void (*distances)(const uint64_t* query, const uint64_t* codes, size_t rows, size_t words,
                    uint32_t* out);
  // Smallest distance over rows >= 1 of a row-major matrix; stops at the first distance 0.
  Nearest (*nearest)(const uint64_t* query, const uint64_t* codes, size_t rows, size_t words);
  // As `nearest`, for 4-word codes at the start of records `stride` bytes apart (any alignment).
  Nearest (*nearest_records)(const uint64_t* query, const unsigned char* records, size_t rows,
                             size_t stride);
  // First index of the smallest uint32 found at records + i * stride, rows >= 1.
  size_t (*argmin_u32)(const unsigned char* records, size_t rows, size_t stride);
  // out[r] = 1 - distance(query, row r) / code_bits, every step in binary32; `code_bits` is
  // already rounded to binary32.
  void (*similarities)(const uint64_t* query, const uint64_t* codes, size_t rows, size_t words,
                       float code_bits, float* out);
};

struct KernelTable {
  Isa isa;
  const char* name;
  HammingKernels hamming;
  EncodeKernels encode;
};

// The operations the dispatch point chooses a variant for, each on its own.
enum class Op : uint8_t { XorPopcount, Distances, Similarities, Nearest, NearestRecords, ArgminU32, Encode };
inline constexpr Op kAllOps[] = {Op::XorPopcount, Op::Distances,      Op::Similarities,
                                 Op::Nearest,     Op::NearestRecords, Op::ArgminU32,
                                 Op::Encode};
// "nearest_records", for reports.
const char* op_name(Op op);

// How far the bytes of one call reach into a CPU's data caches, and the row widths the kernels
// treat apart: what the measured choices switch on besides the operation.
enum class Reach : uint8_t { L1, L2, L3, Memory };
// Fewer than 4 words a row, 4, more; Any only in the table's rows that take every width.
enum class Width : uint8_t { Narrow, Four, Wide, Any };
inline constexpr Reach kAllReaches[] = {Reach::L1, Reach::L2, Reach::L3, Reach::Memory};
inline constexpr Width kAllWidths[] = {Width::Narrow, Width::Four, Width::Wide};
Reach reach_of(size_t bytes, const CpuCaches& caches);
constexpr Width width_of(size_t words) {
  return words < 4 ? Width::Narrow : words == 4 ? Width::Four : Width::Wide;
}
// "l1", "memory"; "four", for reports.
const char* reach_name(Reach reach);
const char* width_name(Width width);

// The kernels of this process: per operation, the variant that runs it fastest on this CPU
// (see choose), or in a build pinned with TW_MAX_ISA=name that variant, or the widest below it
// the CPU runs, for everything. Its isa and name are those of the widest variant it may use.
const KernelTable& active();
// The variant active() runs `op` with on a call over rows of `words` words that reads `bytes`
// bytes of codes or records (the records' codes are 4 words; encode and xor_popcount ignore
// the width).
Isa chosen(Op op, size_t words, size_t bytes);
// The variant an unpinned build picks for such a call on a CPU with these features, maker,
// generation and caches: the widest it runs, except where the table of measured exceptions
// in dispatch.cpp names another. A pure function, for tests of the table.
Isa choose(Op op, size_t words, size_t bytes, CpuFeatures features, const CpuModel& model);

// One row of that table: on CPUs of this maker and family that offer `needs`, `op` on rows
// of width `width`, at reaches `from` to `to`, runs `isa`. `record` is the benchmark record
// under bench/cpus/ that measured the choice.
struct Exception {
  CpuVendor vendor;
  uint32_t family;
  CpuFeatures needs;
  Op op;
  Width width;
  Reach from, to;
  Isa isa;
  const char* record;
};
// Every row of the table, for tests that hold it to its records.
const Exception* exceptions(size_t* count);

// The table of one variant, or nullptr when this build or this CPU cannot run it (for tests and
// benchmarks, which reach every variant whatever the build allows the module).
const KernelTable* table_for(Isa isa);
// Why table_for(isa) is nullptr ("not built for this architecture", "CPU lacks avx512vpopcntdq"),
// or nullptr when it is not.
const char* unavailable_reason(Isa isa);
// The name of a variant ("avx2") whether or not it is built.
const char* isa_name(Isa isa);
// The CPU features a variant's files are compiled for: all of them must be present to run it.
CpuFeatures required_features(Isa isa);
// Whether a CPU offering `cpu` may run the variant: the dispatcher's one test.
bool runs_on(Isa isa, CpuFeatures cpu);

// Per-folder providers, each compiled with its own instruction-set flags.
HammingKernels hamming_scalar();
HammingKernels hamming_sse2();
HammingKernels hamming_avx2();
HammingKernels hamming_avx512vl();
HammingKernels hamming_avx512();
HammingKernels hamming_neon();

}  // namespace tw::kernels
