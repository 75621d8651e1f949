// Reference kernels for the benchmarks: the read floor (plain vector loads of a buffer into
// independent accumulators) and the encoder's multiply-add ceiling, one set per instruction set,
// each compiled with that set's flags and chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw::bench {

// Vector loads per loop iteration of the read floor, each into an accumulator of its own.
inline constexpr int kUnrolls[] = {1, 2, 4, 8, 16};
// Embeddings per pass over the matrix of the multiply-add ceiling.
inline constexpr int kBlocks[] = {4, 6, 8, 12};
inline constexpr size_t kUnrollCount = sizeof kUnrolls / sizeof kUnrolls[0];
inline constexpr size_t kBlockCount = sizeof kBlocks / sizeof kBlocks[0];

struct FloorKernels {
  const char* name;  // "avx512"
  size_t vector_bytes;
  // The OR of all of [p, p + bytes), read with kUnrolls[i] vector loads an iteration.
  uint64_t (*read[kUnrollCount])(const unsigned char* p, size_t bytes);
  // One multiply and one add (never fused) per value of m[0, floats) and embedding, for `rows`
  // embeddings, kBlocks[i] of them per pass: what the encoder's arithmetic costs at best.
  float (*mul_add[kBlockCount])(const float* m, size_t floats, size_t rows);
  // The fastest entries of read and mul_add on the CPUs measured (bench_kernels --floor-survey).
  int best_read;
  int best_mul_add;
};

// Every reference set this CPU runs, narrowest first.
std::vector<const FloorKernels*> runnable_floors();
// The widest of them: the floor the benchmarks compare against.
const FloorKernels& widest_floor();

// The read floor: the OR of every byte, with the widest vectors and the best unrolling.
inline uint64_t read_floor(const void* p, size_t bytes) {
  const FloorKernels& f = widest_floor();
  return f.read[f.best_read](static_cast<const unsigned char*>(p), bytes);
}

// Per-instruction-set providers; a set not built for this architecture has no read functions.
FloorKernels floor_portable();
FloorKernels floor_sse2();
FloorKernels floor_avx2();
FloorKernels floor_avx512();
FloorKernels floor_neon();

}  // namespace tw::bench
