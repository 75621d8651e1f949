// The read floor and the multiply-add ceiling over one instruction set's vectors. Included by
// each floor_<isa>.cpp inside its own anonymous namespace, after two structs:
//   V: integer vectors: T, kBytes, zero(), load(const unsigned char*), bor(T, T), fold(T) -> u64
//   F: float vectors:   T, kLanes, set1(float), load(const float*), mul(T, T), add(T, T),
//                       first(T) -> float
// Not a guarded header: each includer compiles it for its own flags.

template <int kUnroll>
uint64_t read_bytes(const unsigned char* p, size_t bytes) {
  typename V::T acc[kUnroll];
  TW_UNROLL(16)
  for (int k = 0; k < kUnroll; ++k) acc[k] = V::zero();
  constexpr size_t kStep = kUnroll * V::kBytes;
  size_t i = 0;
  // NumPy's buffers are 16-byte aligned: a load across two cache lines costs nearly two in L1
  // and L2, so the first vector is read unaligned and the rest from the next vector boundary.
  const size_t misaligned = reinterpret_cast<uintptr_t>(p) % V::kBytes;
  if (misaligned != 0 && bytes >= 2 * V::kBytes) {
    acc[0] = V::load(p);
    i = V::kBytes - misaligned;
  }
  for (; i + kStep <= bytes; i += kStep) {
    TW_UNROLL(16)
    for (int k = 0; k < kUnroll; ++k) acc[k] = V::bor(acc[k], V::load(p + i + k * V::kBytes));
  }
  for (; i + V::kBytes <= bytes; i += V::kBytes) acc[0] = V::bor(acc[0], V::load(p + i));
  uint64_t rest = 0;
  if (i < bytes && bytes >= V::kBytes) {
    // The last vector again, ending at the last byte: in bounds, and no byte outside the buffer.
    acc[0] = V::bor(acc[0], V::load(p + bytes - V::kBytes));
  } else {
    for (; i < bytes; ++i) rest |= p[i];
  }
  TW_UNROLL(16)
  for (int k = 1; k < kUnroll; ++k) acc[0] = V::bor(acc[0], acc[k]);
  return V::fold(acc[0]) | rest;
}

// kBlock chains of adds, one per embedding; the products do not depend on each other, so with
// enough chains the multiply and add ports, not the add latency, set the pace.
template <int kBlock>
float mul_add(const float* m, size_t floats, size_t rows) {
  typename F::T x[kBlock];
  TW_UNROLL(16)
  for (int k = 0; k < kBlock; ++k) x[k] = F::set1(1.0f + 0.125f * static_cast<float>(k));
  float total = 0.0f;
  for (size_t r = 0; r < rows; r += kBlock) {
    typename F::T s[kBlock];
    TW_UNROLL(16)
    for (int k = 0; k < kBlock; ++k) s[k] = F::set1(0.0f);
    for (size_t i = 0; i + F::kLanes <= floats; i += F::kLanes) {
      const typename F::T v = F::load(m + i);
      TW_UNROLL(16)
      for (int k = 0; k < kBlock; ++k) s[k] = F::add(s[k], F::mul(v, x[k]));
    }
    TW_UNROLL(16)
    for (int k = 1; k < kBlock; ++k) s[0] = F::add(s[0], s[k]);
    total = total + F::first(s[0]);
  }
  return total;
}

FloorKernels make(const char* name, int best_read, int best_mul_add) {
  return FloorKernels{
      name,
      V::kBytes,
      {read_bytes<kUnrolls[0]>, read_bytes<kUnrolls[1]>, read_bytes<kUnrolls[2]>,
       read_bytes<kUnrolls[3]>, read_bytes<kUnrolls[4]>},
      {mul_add<kBlocks[0]>, mul_add<kBlocks[1]>, mul_add<kBlocks[2]>, mul_add<kBlocks[3]>},
      best_read,
      best_mul_add};
}
