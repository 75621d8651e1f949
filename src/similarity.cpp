// Hamming distance and similarity of packed codes.
#include "similarity.h"

#include <string>

#include "binding/arrays.h"
#include "binding/types.h"
#include "classes.h"
#include "kernels/kernels.h"

namespace tw {

uint32_t xor_popcount(const uint64_t* a, const uint64_t* b, size_t words) {
  return kernels::active().hamming.xor_popcount(a, b, words);
}

namespace {

constexpr ParameterTable kHammingDistanceParams{"hamming_distance()", {"a", "b"}, 2, 2};

Ref hamming_distance(const Bound& args) {
  ArrayHold a = intake(args[0], Elem::U64, 1, "a");
  ArrayHold b = intake(args[1], Elem::U64, 1, "b");
  const uint64_t* a_words = a.flat<uint64_t>();
  const uint64_t* b_words = b.flat<uint64_t>();
  const Py_ssize_t len_a = a.view().size(), len_b = b.view().size();
  if (len_a != len_b) {
    reject(ErrorKind::ValueError, "arrays have different lengths: " + std::to_string(len_a) +
                                      " vs " + std::to_string(len_b));
  }
  return py_u64(xor_popcount(a_words, b_words, static_cast<size_t>(len_a)));
}

}  // namespace

PyMethodDef hamming_distance_def = {
    "hamming_distance",
    as_cfunction(function<kHammingDistanceParams, hamming_distance>),
    METH_FASTCALL | METH_KEYWORDS,
    "hamming_distance(a, b)\n--\n\n"
    "Compute Hamming distance between two binary codes.\n\n"
    "This is a standalone function for simple use cases.\n\n"
    "# Arguments\n\n"
    "* `a` - First binary code as uint64 array\n"
    "* `b` - Second binary code as uint64 array\n\n"
    "# Returns\n\n"
    "Hamming distance (number of differing bits)"};

PyTypeObject* request_similarity_type() { return nullptr; }

}  // namespace tw
