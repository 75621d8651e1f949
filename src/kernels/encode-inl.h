// Row blocking, embedding gathering and bit packing shared by every encoder variant. Include
// inside a per-ISA anonymous namespace after defining `struct Micro` with:
//   static constexpr int kBlockRows, kBlockPanels;  // main blocks: rows x panels per sweep
//   static constexpr int kFewRows, kFewPanels;      // blocks of the rows left over
//   static constexpr int kOnePanels;                // a single row
//   template <int NE, int NP>
//   static void run(const EmbeddingRows& x, const float* panels, size_t dim, uint32_t* masks);
// `run` projects the NE embeddings of `x` onto NP consecutive panels and stores the 16 sign bits
// (s >= 0) of embedding e and panel q in masks[e * NP + q]. Each file compiles its own copy with
// its own flags.

// Bits of panel p that are real output bits.
inline uint64_t valid_lanes(size_t code_bits, size_t p) {
  const size_t left = code_bits - p * kPanelRows;
  return left >= kPanelRows ? 0xFFFFu : (uint64_t{1} << left) - 1;
}

template <int NE, int NP>
inline void encode_group(const Projection& m, const EmbeddingRows& xs, size_t p, uint64_t* out,
                         size_t words) {
  uint32_t masks[NE * NP];
  Micro::template run<NE, NP>(xs, m.panels + p * m.dim * kPanelRows, m.dim, masks);
  for (int q = 0; q < NP; ++q) {
    const size_t panel = p + q;
    const uint64_t valid = valid_lanes(m.code_bits, panel);
    const unsigned shift = 16 * (panel % 4);
    for (int e = 0; e < NE; ++e) {
      out[e * words + panel / 4] |= (uint64_t{masks[e * NP + q]} & valid) << shift;
    }
  }
}

// The last rem < NP panels of a block, one sweep of exactly rem panels.
template <int NE, int NP>
inline void encode_tail(const Projection& m, const EmbeddingRows& xs, size_t p, size_t rem, uint64_t* out,
                        size_t words) {
  if constexpr (NP > 0) {
    if (rem == NP) {
      encode_group<NE, NP>(m, xs, p, out, words);
    } else {
      encode_tail<NE, NP - 1>(m, xs, p, rem, out, words);
    }
  }
}

// Codes of NE embeddings into NE consecutive output rows.
template <int NE, int NP>
inline void encode_block(const Projection& m, const EmbeddingRows& xs, uint64_t* out, size_t words) {
  std::fill(out, out + NE * words, uint64_t{0});
  const size_t panels = panel_count(m.code_bits);
  size_t p = 0;
  for (; p + NP <= panels; p += NP) encode_group<NE, NP>(m, xs, p, out, words);
  encode_tail<NE, NP - 1>(m, xs, p, panels - p, out, words);
}

// One buffer per call, sized for the widest block and taken only when a block needs it.
class Scratch {
 public:
  explicit Scratch(size_t floats) : floats_(floats) {}
  float* get() {
    if (!buffer_) buffer_.reset(new float[floats_]);
    return buffer_.get();
  }

 private:
  size_t floats_;
  std::unique_ptr<float[]> buffer_;
};

// EmbeddingRows i .. i + NE - 1 as unit-stride float rows: in place when the layout allows, else copied.
template <int NE>
inline EmbeddingRows rows_at(const Embeddings& x, size_t i, size_t dim, Scratch& scratch) {
  const char* first = x.data + static_cast<ptrdiff_t>(i) * x.row_stride;
  if (x.col_stride == static_cast<ptrdiff_t>(sizeof(float)) &&
      reinterpret_cast<uintptr_t>(first) % alignof(float) == 0 &&
      x.row_stride % static_cast<ptrdiff_t>(sizeof(float)) == 0) {
    return {first, x.row_stride};
  }
  float* copy = scratch.get();
  for (int e = 0; e < NE; ++e) {
    const char* row = first + e * x.row_stride;
    for (size_t j = 0; j < dim; ++j) {
      std::memcpy(copy + e * dim + j, row + static_cast<ptrdiff_t>(j) * x.col_stride,
                  sizeof(float));
    }
  }
  return {reinterpret_cast<const char*>(copy), static_cast<ptrdiff_t>(dim * sizeof(float))};
}

inline void encode_rows(const Projection& m, const Embeddings& x, uint64_t* out) {
  constexpr int kScratchRows =
      Micro::kBlockRows > Micro::kFewRows ? Micro::kBlockRows : Micro::kFewRows;
  const size_t words = code_words(m.code_bits), dim = m.dim;
  Scratch buf(kScratchRows * (dim > 0 ? dim : 1));
  size_t i = 0;
  for (; i + Micro::kBlockRows <= x.rows; i += Micro::kBlockRows) {
    encode_block<Micro::kBlockRows, Micro::kBlockPanels>(
        m, rows_at<Micro::kBlockRows>(x, i, dim, buf), out + i * words, words);
  }
  for (; i + Micro::kFewRows <= x.rows; i += Micro::kFewRows) {
    encode_block<Micro::kFewRows, Micro::kFewPanels>(m, rows_at<Micro::kFewRows>(x, i, dim, buf),
                                                     out + i * words, words);
  }
  for (; i < x.rows; ++i) {
    encode_block<1, Micro::kOnePanels>(m, rows_at<1>(x, i, dim, buf), out + i * words, words);
  }
}
