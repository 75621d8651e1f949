// RustBinaryEncoder: random-hyperplane projection of float32 embeddings into packed codes.
#include "encoder.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "binding/arrays.h"
#include "binding/types.h"
#include "classes.h"
#include "kernels/kernels.h"
#include "platform/bits.h"
#include "platform/memory.h"

namespace tw {

// --- native side ---

namespace {

// (bits & 0x7FFFFFFF) + 0x00800000 carries into bit 31 exactly when the exponent is all ones,
// which keeps the scan a branch-free OR that the compiler vectorises.
inline uint32_t non_finite_flag(const char* p) {
  uint32_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return (bits & 0x7FFFFFFFu) + 0x00800000u;
}

bool any_non_finite_flat(const char* data, size_t count) {
  // Fixed-length runs vectorise at -O2; a hit stops the scan at the end of its run.
  constexpr size_t kRun = 64;
  size_t i = 0;
  for (; i + kRun <= count; i += kRun) {
    uint32_t flag = 0;
    for (size_t k = 0; k < kRun; ++k) flag |= non_finite_flag(data + (i + k) * sizeof(float));
    if (flag & 0x80000000u) return true;
  }
  uint32_t flag = 0;
  for (; i < count; ++i) flag |= non_finite_flag(data + i * sizeof(float));
  return (flag & 0x80000000u) != 0;
}

Encoder make_encoder(const ArrayView& matrix) {
  return Encoder(FloatBlock{matrix.data, static_cast<size_t>(matrix.shape[0]),
                            static_cast<size_t>(matrix.shape[1]), matrix.strides[0],
                            matrix.strides[1], matrix.contiguous});
}

}  // namespace

bool any_non_finite(const FloatBlock& b) {
  if (b.contiguous) return any_non_finite_flat(b.data, b.rows * b.cols);
  for (size_t r = 0; r < b.rows; ++r) {
    const char* row = b.data + static_cast<ptrdiff_t>(r) * b.row_stride;
    uint32_t flag = 0;
    for (size_t c = 0; c < b.cols; ++c) {
      flag |= non_finite_flag(row + static_cast<ptrdiff_t>(c) * b.col_stride);
    }
    if (flag & 0x80000000u) return true;
  }
  return false;
}

void Encoder::AlignedFree::operator()(float* p) const noexcept { aligned_free(p, 64); }

Encoder::Encoder(const FloatBlock& m) : dim_(m.cols), bits_(m.rows) {
  const size_t panels = kernels::panel_count(m.rows);
  size_t count = 0, bytes = 0;
  if (mul_overflow(panels * kernels::kPanelRows, m.cols, &count) ||
      mul_overflow(count, sizeof(float), &bytes)) {
    throw std::bad_alloc();
  }
  panels_.reset(static_cast<float*>(aligned_allocate(bytes, 64)));
  float* out = panels_.get();
  // Written in panel order; rows past code_bits in the last panel are zero.
  for (size_t p = 0; p < panels; ++p) {
    for (size_t c = 0; c < m.cols; ++c) {
      const char* column = m.data + static_cast<ptrdiff_t>(c) * m.col_stride;
      for (size_t l = 0; l < kernels::kPanelRows; ++l, ++out) {
        const size_t r = p * kernels::kPanelRows + l;
        if (r < m.rows) {
          std::memcpy(out, column + static_cast<ptrdiff_t>(r) * m.row_stride, sizeof(float));
        } else {
          *out = 0.0f;
        }
      }
    }
  }
}

void Encoder::encode(const FloatBlock& x, uint64_t* out) const {
  if (x.rows == 0) return;
  const kernels::Projection projection{panels_.get(), static_cast<size_t>(dim_),
                                       static_cast<size_t>(bits_)};
  kernels::active().encode.encode(
      projection, kernels::Embeddings{x.data, x.rows, x.row_stride, x.col_stride}, out);
}

// --- Python surface ---

namespace {

using State = Encoder;

constexpr ParameterTable kNewParams{"RustBinaryEncoder.__new__()",
                                    {"embedding_dim", "code_bits", "projection_matrix", "seed"},
                                    4,
                                    2};
constexpr ParameterTable kEncodeParams{"RustBinaryEncoder.encode()", {"embedding"}, 1, 1};
constexpr ParameterTable kEncodeBatchParams{
    "RustBinaryEncoder.encode_batch()", {"embeddings"}, 1, 1};

std::string shape_text(const ArrayView& v) {
  return "[" + std::to_string(v.shape[0]) + ", " + std::to_string(v.shape[1]) + "]";
}

// The matrix NumPy draws for `seed`: default_rng(seed).standard_normal((dim, bits),
// dtype=float32).T, through the Python-level API so that it matches what Python code gets.
Encoder generate(uint64_t dim, uint64_t bits, uint64_t seed) {
  Ref numpy_name = or_raise(PyUnicode_FromString("numpy"));
  Ref numpy = or_raise(PyImport_Import(numpy_name.get()));
  Ref random = or_raise(PyObject_GetAttrString(numpy.get(), "random"));
  Ref method = or_raise(PyUnicode_FromString("default_rng"));
  Ref seed_int = or_raise(PyLong_FromUnsignedLongLong(seed));
  Ref rng = or_raise(PyObject_CallMethodOneArg(random.get(), method.get(), seed_int.get()));
  Ref float32 = or_raise(PyObject_GetAttrString(numpy.get(), "float32"));
  Ref kwargs = or_raise(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "dtype", float32.get()) < 0) throw_py_error();
  Ref standard_normal = or_raise(PyObject_GetAttrString(rng.get(), "standard_normal"));
  Ref shape = or_raise(Py_BuildValue("(KK)", static_cast<unsigned long long>(dim),
                                     static_cast<unsigned long long>(bits)));
  Ref call_args = or_raise(PyTuple_Pack(1, shape.get()));
  Ref sample = or_raise(PyObject_Call(standard_normal.get(), call_args.get(), kwargs.get()));
  Ref transposed = or_raise(PyObject_GetAttrString(sample.get(), "T"));
  std::optional<ArrayHold> matrix = try_intake(transposed.get(), Elem::F32, 2);
  if (!matrix) {
    set_conversion_error(transposed.get(), "PyArray<T, D>");
    throw_py_error();
  }
  settle(matrix);
  // Only a replaced or patched NumPy could get this wrong, but copying trusts the shape.
  const ArrayView& v = matrix->view();
  if (static_cast<uint64_t>(v.shape[0]) != bits || static_cast<uint64_t>(v.shape[1]) != dim) {
    reject(ErrorKind::ValueError, "generated projection matrix shape must be (" +
                                      std::to_string(bits) + ", " + std::to_string(dim) +
                                      "), got " + shape_text(v));
  }
  return make_encoder(v);
}

Encoder construct_encoder(const Bound& args) {
  const uint64_t dim = to_u64(args[0], "embedding_dim");
  const uint64_t bits = to_u64(args[1], "code_bits");
  std::optional<ArrayHold> matrix;
  if (args.given(2)) matrix.emplace(intake(args[2], Elem::F32, 2, "projection_matrix"));
  std::optional<uint64_t> seed;
  if (args.given(3)) seed = to_u64(args[3], "seed");
  settle(matrix);

  if (dim == 0) reject(ErrorKind::ValueError, "embedding_dim must be positive");
  if (bits == 0) reject(ErrorKind::ValueError, "code_bits must be positive");
  if (matrix) {
    const ArrayView& v = matrix->view();
    if (static_cast<uint64_t>(v.shape[0]) != bits || static_cast<uint64_t>(v.shape[1]) != dim) {
      reject(ErrorKind::ValueError, "projection_matrix shape must be (" + std::to_string(bits) +
                                        ", " + std::to_string(dim) + "), got " + shape_text(v));
    }
    if (any_non_finite(FloatBlock{v.data, static_cast<size_t>(v.shape[0]),
                                  static_cast<size_t>(v.shape[1]), v.strides[0], v.strides[1],
                                  v.contiguous})) {
      reject(ErrorKind::ValueError, "projection_matrix contains non-finite values (NaN or Inf)");
    }
    return make_encoder(v);
  }
  if (seed) return generate(dim, bits, *seed);
  reject(ErrorKind::ValueError, "Must provide either projection_matrix or seed");
}

void check_dim(const State& s, Py_ssize_t length) {
  if (static_cast<uint64_t>(length) != s.embedding_dim()) {
    reject(ErrorKind::ValueError, "Expected embedding dim " + std::to_string(s.embedding_dim()) +
                                      ", got " + std::to_string(length));
  }
}

Ref encode_one(const State& s, const ArrayView& v) {
  check_dim(s, v.shape[0]);
  const FloatBlock x{v.data, 1, static_cast<size_t>(v.shape[0]), 0, v.strides[0], v.contiguous};
  if (any_non_finite(x)) {
    reject(ErrorKind::ValueError, "Embedding contains non-finite values (NaN or Inf)");
  }
  const Py_ssize_t words = static_cast<Py_ssize_t>(s.n_words());
  OutArray out = new_array(Elem::U64, 1, &words);
  s.encode(x, static_cast<uint64_t*>(out.data));
  return std::move(out.array);
}

Ref encode_many(const State& s, const ArrayView& v) {
  check_dim(s, v.shape[1]);
  const FloatBlock x{v.data,
                     static_cast<size_t>(v.shape[0]),
                     static_cast<size_t>(v.shape[1]),
                     v.strides[0],
                     v.strides[1],
                     v.contiguous};
  // The whole batch is checked before anything is encoded.
  if (any_non_finite(x)) {
    reject(ErrorKind::ValueError, "Embeddings contain non-finite values (NaN or Inf)");
  }
  const Py_ssize_t shape[2] = {v.shape[0], static_cast<Py_ssize_t>(s.n_words())};
  OutArray out = new_array(Elem::U64, 2, shape);
  s.encode(x, static_cast<uint64_t*>(out.data));
  return std::move(out.array);
}

Ref encode(const State& s, const Bound& args) {
  if (std::optional<ArrayHold> one = try_intake(args[0], Elem::F32, 1)) {
    settle(one);
    return encode_one(s, one->view());
  }
  if (std::optional<ArrayHold> batch = try_intake(args[0], Elem::F32, 2)) {
    settle(batch);
    return encode_many(s, batch->view());
  }
  reject(ErrorKind::TypeError, "Expected numpy array of float32 with 1 or 2 dimensions");
}

Ref encode_batch(const State& s, const Bound& args) {
  ArrayHold batch = intake(args[0], Elem::F32, 2, "embeddings");
  settle(batch);
  return encode_many(s, batch.view());
}

Ref get_embedding_dim(const State& s) { return py_u64(s.embedding_dim()); }
Ref get_code_bits(const State& s) { return py_u64(s.code_bits()); }
Ref get_n_words(const State& s) { return py_u64(s.n_words()); }

std::string encoder_repr(const State& s) {
  return "RustBinaryEncoder(embedding_dim=" + std::to_string(s.embedding_dim()) +
         ", code_bits=" + std::to_string(s.code_bits()) + ")";
}

constexpr const char kClassDoc[] =
    "Binary encoder that converts float embeddings to packed binary codes.\n"
    "\n"
    "Built for bit-exact compatibility with the host package's `BinaryEncoder` class: it accepts "
    "a pre-computed projection matrix from Python, so that its output matches deterministically.\n"
    "\n"
    "# Architecture\n"
    "\n"
    "1. Project: `projected = embedding @ projection_matrix.T`, each sum in float32, in order\n"
    "2. Binarize: `bits = (projected >= 0) ? 1 : 0`\n"
    "3. Pack: the bits go into u64 words, LSB-first\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `embedding_dim` - Length of every embedding\n"
    "* `code_bits` - Number of bits per code\n"
    "* `projection_matrix` - Optional float32 array of shape (code_bits, embedding_dim)\n"
    "* `seed` - Optional seed for NumPy's default generator, used when no matrix is given\n"
    "\n"
    "# Raises\n"
    "\n"
    "* `ValueError` - If a size is zero, the matrix has the wrong shape or holds NaN or Inf, or "
    "neither a matrix nor a seed is given\n"
    "* `TypeError` - If the matrix is not a two-dimensional float32 array\n"
    "\n"
    "# Example (Python)\n"
    "\n"
    "```python\n"
    "import numpy as np\n"
    "from tarnwick import tarnwick_rs as rs\n"
    "\n"
    "rng = np.random.default_rng(42)\n"
    "projection = rng.standard_normal((256, 384)).astype(np.float32)\n"
    "encoder = rs.RustBinaryEncoder(384, 256, projection)\n"
    "embedding = np.random.randn(384).astype(np.float32)\n"
    "code = encoder.encode(embedding)  # 4 x uint64\n"
    "```";

constexpr const char kEncodeDoc[] =
    "encode($self, embedding)\n--\n\n"
    "Encode a single embedding or batch of embeddings.\n"
    "\n"
    "Automatically detects single vs batch based on input dimensions:\n"
    "- 1D input (embedding_dim,) \u2192 returns 1D output (n_words,)\n"
    "- 2D input (N, embedding_dim) \u2192 returns 2D output (N, n_words)\n"
    "\n"
    "# Arguments\n"
    "* `embedding` - Float32 array of shape (embedding_dim,) or (N, embedding_dim)\n"
    "\n"
    "# Returns\n"
    "Packed binary codes as u64 array.\n"
    "\n"
    "# Raises\n"
    "* `TypeError` - If input is not a numpy array\n"
    "* `ValueError` - If shape or dtype is wrong";

constexpr const char kEncodeBatchDoc[] =
    "encode_batch($self, embeddings)\n--\n\n"
    "Encode a batch of embeddings.\n"
    "\n"
    "# Arguments\n"
    "* `embeddings` - Float32 array of shape (N, embedding_dim)\n"
    "\n"
    "# Returns\n"
    "Packed binary codes as u64 array of shape (N, n_words).";

PyMethodDef kMethods[] = {
    {"encode", as_cfunction(method<State, Access::Shared, kEncodeParams, encode>),
     METH_FASTCALL | METH_KEYWORDS, kEncodeDoc},
    {"encode_batch", as_cfunction(method<State, Access::Shared, kEncodeBatchParams, encode_batch>),
     METH_FASTCALL | METH_KEYWORDS, kEncodeBatchDoc},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"embedding_dim", getter<State, get_embedding_dim>, nullptr, "Get the embedding dimension.",
     nullptr},
    {"code_bits", getter<State, get_code_bits>, nullptr, "Get the number of code bits.", nullptr},
    {"n_words", getter<State, get_n_words>, nullptr, "Get the number of u64 words in output.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const ClassSpec& Encoder::spec() {
  static const ClassSpec spec{"RustBinaryEncoder",
                              "(embedding_dim, code_bits, projection_matrix=None, seed=None)",
                              kClassDoc,
                              kMethods,
                              kGetSet,
                              construct<State, kNewParams, construct_encoder>,
                              repr<State, encoder_repr>,
                              nullptr,
                              sizeof(Instance<State>),
                              dealloc<State>};
  return spec;
}

PyTypeObject* request_encoder_type() { return Class<State>::request(); }

}  // namespace tw
