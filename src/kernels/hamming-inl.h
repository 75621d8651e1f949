// Batch loops shared by every Hamming variant. Include inside a per-ISA namespace after defining
//   struct Pop { static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words);
//                static uint32_t four(const uint64_t* a, const uint64_t* b); };  // any alignment
// then define that file's many-row 4-word loops in a struct and hand it to
// make_hamming_kernels<Rows>(). Each file compiles its own copy with its own flags.

inline float similarity_of(uint64_t distance, float code_bits) {
  return 1.0f - static_cast<float>(distance) / code_bits;
}

// --- general path: any word count, one row at a time ---

inline void distances_any(const uint64_t* query, const uint64_t* codes, size_t rows, size_t words,
                          uint32_t* out) {
  for (size_t r = 0; r < rows; ++r) {
    out[r] = static_cast<uint32_t>(Pop::run(query, codes + r * words, words));
  }
}

inline void similarities_any(const uint64_t* query, const uint64_t* codes, size_t rows,
                             size_t words, float code_bits, float* out) {
  for (size_t r = 0; r < rows; ++r) {
    out[r] = similarity_of(Pop::run(query, codes + r * words, words), code_bits);
  }
}

inline Nearest nearest_any(const uint64_t* query, const uint64_t* codes, size_t rows,
                           size_t words) {
  Nearest best{0, UINT64_MAX};
  for (size_t r = 0; r < rows; ++r) {
    const uint64_t d = Pop::run(query, codes + r * words, words);
    if (d < best.distance) {
      best = {r, d};
      if (d == 0) break;
    }
  }
  return best;
}

// --- one row at a time over records, for the reference and for tails ---

inline uint32_t record_distance(const uint64_t* query, const unsigned char* record) {
  uint64_t code[4];
  std::memcpy(code, record, sizeof code);
  return Pop::four(query, code);
}

// Folds rows [first, rows) into `best`, which covers the rows before them.
inline Nearest nearest_records_from(Nearest best, const uint64_t* query,
                                    const unsigned char* records, size_t first, size_t rows,
                                    size_t stride) {
  if (best.distance == 0) return best;
  for (size_t r = first; r < rows; ++r) {
    const uint32_t d = record_distance(query, records + r * stride);
    if (d < best.distance) {
      best = {r, d};
      if (d == 0) break;
    }
  }
  return best;
}

// The smallest of `lanes` per-lane minima, and the lowest row index holding it.
inline Nearest first_min_of_lanes(const uint32_t* best, const uint32_t* index, int lanes) {
  Nearest out{0, UINT64_MAX};
  for (int l = 0; l < lanes; ++l) {
    if (best[l] < out.distance || (best[l] == out.distance && index[l] < out.index)) {
      out = {index[l], best[l]};
    }
  }
  return out;
}

inline uint32_t load_u32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Folds rows [first, rows) into the running minimum (value, index) of the rows before them.
inline size_t argmin_u32_from(uint32_t best, size_t best_index, const unsigned char* records,
                              size_t first, size_t rows, size_t stride) {
  for (size_t r = first; r < rows; ++r) {
    const uint32_t v = load_u32(records + r * stride);
    if (v < best) {
      best = v;
      best_index = r;
    }
  }
  return best_index;
}

// The record scans read tens of megabytes from L3 at a rate the hardware prefetcher alone does
// not sustain when the other core is busy. 8 KiB ahead covers the latency and stays within L1.
inline constexpr uintptr_t kRecordPrefetchAhead = 8192;

inline void prefetch_records(const unsigned char* block, size_t bytes) {
  const uintptr_t ahead = reinterpret_cast<uintptr_t>(block) + kRecordPrefetchAhead;
  for (uintptr_t line = 0; line < bytes; line += 64) prefetch(ahead + line);
}

// argmin_u32_from over blocks of 16 rows, with prefetch where the records come from beyond the
// core's own caches (within them prefetches are load-port work for nothing); stops at the first
// 0, which nothing after it can undercut.
template <bool kPrefetch>
inline size_t argmin_u32_blocks(const unsigned char* records, size_t rows, size_t stride) {
  uint32_t best = UINT32_MAX;
  size_t best_index = 0, r = 0;
  for (; r + 16 <= rows; r += 16) {
    const unsigned char* block = records + r * stride;
    if constexpr (kPrefetch) prefetch_records(block, 16 * stride);
    for (size_t k = 0; k < 16; ++k) {
      const uint32_t v = load_u32(block + k * stride);
      const bool lt = v < best;  // branch-free: which rows lower the minimum is data
      best = lt ? v : best;
      best_index = lt ? r + k : best_index;
    }
    if (best == 0) return best_index;
  }
  return argmin_u32_from(best, best_index, records, r, rows, stride);
}

inline constexpr size_t kPrefetchFromBytes = size_t{1} << 20;
// The record walks of evict_lru gain from prefetches only from memory: within L2 and L3 they
// measured up to 2.8x slower with them (30k records), from memory faster (1M records, 0.88x
// against 1.20x the read of them on a CPU whose last level cache they exceed).
inline constexpr size_t kRecordPrefetchFromBytes = size_t{16} << 20;

inline size_t argmin_u32_prefetched(const unsigned char* records, size_t rows, size_t stride) {
  return rows * stride > kRecordPrefetchFromBytes ? argmin_u32_blocks<true>(records, rows, stride)
                                            : argmin_u32_from(UINT32_MAX, 0, records, 0, rows, stride);
}

// Vector loops keep row indices in narrow lanes: scan in chunks whose indices fit.
template <size_t kChunk = size_t{1} << 30, class Block>
inline Nearest chunked_nearest(size_t rows, Block block) {
  Nearest best{0, UINT64_MAX};
  for (size_t start = 0; start < rows; start += kChunk) {
    const Nearest n = block(start, rows - start < kChunk ? rows - start : kChunk);
    if (start == 0 || n.distance < best.distance) best = {start + n.index, n.distance};
    if (best.distance == 0) break;
  }
  return best;
}

// A Rows type may also bring its own loops for other word counts (distances_wide, ...).
template <class Rows>
concept HasWideRows = requires { &Rows::distances_wide; };

template <class Rows>
inline HammingKernels make_hamming_kernels() {
  HammingKernels k{};
  k.xor_popcount = [](const uint64_t* a, const uint64_t* b, size_t words) {
    return Pop::run(a, b, words);
  };
  k.distances = [](const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                   uint32_t* out) {
    if (words == 4) return Rows::distances4(q, codes, rows, out);
    if constexpr (HasWideRows<Rows>) {
      Rows::distances_wide(q, codes, rows, words, out);
    } else {
      distances_any(q, codes, rows, words, out);
    }
  };
  k.nearest = [](const uint64_t* q, const uint64_t* codes, size_t rows, size_t words) {
    if (words == 4) return Rows::nearest4(q, codes, rows);
    if constexpr (HasWideRows<Rows>) {
      return Rows::nearest_wide(q, codes, rows, words);
    } else {
      return nearest_any(q, codes, rows, words);
    }
  };
  k.nearest_records = Rows::nearest_records;
  k.argmin_u32 = Rows::argmin_u32;
  k.similarities = [](const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                      float code_bits, float* out) {
    if (words == 4) return Rows::similarities4(q, codes, rows, code_bits, out);
    if constexpr (HasWideRows<Rows>) {
      Rows::similarities_wide(q, codes, rows, words, code_bits, out);
    } else {
      similarities_any(q, codes, rows, words, code_bits, out);
    }
  };
  return k;
}

// The many-row 4-word loops of a variant whose vector step is four rows, given a `Step` with
//   struct Query { explicit Query(const uint64_t* q); };       the query held in registers
//   static Vec four(const Query&, At at);    distances of the rows at(0) .. at(3), in order
//   static void store(uint32_t* out, Vec d);
//   static void store_similarities(float* out, Vec d, float code_bits);
//   struct LaneMin { bool add(Vec d); Nearest result() const; };  per-lane first minimum, add
//                                            returning true when the block held a distance 0
template <class Step>
struct FourRowLoops {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const typename Step::Query qv(q);
    size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      const uint64_t* block = codes + 4 * r;
      Step::store(out + r, Step::four(qv, [&](int k) { return block + 4 * k; }));
    }
    for (; r < rows; ++r) out[r] = Pop::four(q, codes + 4 * r);
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const typename Step::Query qv(q);
    size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      const uint64_t* block = codes + 4 * r;
      Step::store_similarities(out + r, Step::four(qv, [&](int k) { return block + 4 * k; }), c);
    }
    for (; r < rows; ++r) out[r] = similarity_of(Pop::four(q, codes + 4 * r), c);
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const typename Step::Query qv(q);
      typename Step::LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 4 <= n && !zero; r += 4) {
        const uint64_t* block = base + 4 * r;
        zero = lanes.add(Step::four(qv, [&](int k) { return block + 4 * k; }));
      }
      Nearest best = lanes.result();
      if (zero) return best;
      for (; r < n; ++r) {
        const uint32_t d = Pop::four(q, base + 4 * r);
        if (d < best.distance) {
          best = {r, d};
          if (d == 0) break;
        }
      }
      return best;
    });
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const typename Step::Query qv(q);
      typename Step::LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 4 <= n && !zero; r += 4) {
        const unsigned char* block = base + r * stride;
        prefetch_records(block, 4 * stride);
        zero = lanes.add(Step::four(qv, [&](int k) { return block + k * stride; }));
      }
      if (zero) return lanes.result();
      return nearest_records_from(lanes.result(), q, base, r, n, stride);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};
