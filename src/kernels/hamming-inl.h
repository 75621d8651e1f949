// Batch loops shared by every Hamming variant. Include inside a per-ISA anonymous namespace
// after defining `struct Pop` with:
//   static uint32_t run(const uint64_t* a, const uint64_t* b, size_t words);
//   static uint32_t four(const uint64_t* a, const uint64_t* b);  // any alignment
// so that each file compiles its own copy with its own flags.

inline void distances_loop(const uint64_t* query, const uint64_t* codes, size_t rows, size_t words,
                           uint32_t* out) {
  if (words == 4) {
    for (size_t r = 0; r < rows; ++r) out[r] = Pop::four(query, codes + 4 * r);
    return;
  }
  for (size_t r = 0; r < rows; ++r) out[r] = Pop::run(query, codes + r * words, words);
}

inline Nearest nearest_loop(const uint64_t* query, const uint64_t* codes, size_t rows,
                            size_t words) {
  Nearest best{0, UINT32_MAX};
  for (size_t r = 0; r < rows; ++r) {
    const uint32_t d = words == 4 ? Pop::four(query, codes + 4 * r)
                                  : Pop::run(query, codes + r * words, words);
    if (d < best.distance) {
      best = {r, d};
      if (d == 0) break;
    }
  }
  return best;
}

inline Nearest nearest_records_loop(const uint64_t* query, const unsigned char* records,
                                    size_t rows, size_t stride) {
  Nearest best{0, UINT32_MAX};
  for (size_t r = 0; r < rows; ++r) {
    uint64_t code[4];
    std::memcpy(code, records + r * stride, sizeof code);
    const uint32_t d = Pop::four(query, code);
    if (d < best.distance) {
      best = {r, d};
      if (d == 0) break;
    }
  }
  return best;
}

inline size_t argmin_u32_loop(const unsigned char* records, size_t rows, size_t stride) {
  size_t best_index = 0;
  uint32_t best = UINT32_MAX;
  for (size_t r = 0; r < rows; ++r) {
    uint32_t v;
    std::memcpy(&v, records + r * stride, sizeof v);
    if (v < best || r == 0) {
      best = v;
      best_index = r;
    }
  }
  return best_index;
}

inline HammingKernels make_hamming_kernels() {
  return HammingKernels{
      +[](const uint64_t* a, const uint64_t* b, size_t words) { return Pop::run(a, b, words); },
      distances_loop, nearest_loop, nearest_records_loop, argmin_u32_loop};
}
