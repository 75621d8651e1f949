// Hamming distance and similarity of packed codes: the module function and HammingSimilarity.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tw {

// Hamming distance of two runs of `words` 64-bit words, with the process's kernel.
uint64_t xor_popcount(const uint64_t* a, const uint64_t* b, size_t words);

// The module function hamming_distance(a, b).
extern PyMethodDef hamming_distance_def;

}  // namespace tw
