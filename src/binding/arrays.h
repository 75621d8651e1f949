// NumPy arrays at the boundary: lazy lookup of NumPy's C API, intake, views and output.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "frame.h"

namespace tw {

enum class Elem { U64, F32, U32 };

// What native code reads: element (r, c) lies at data + r * strides[0] + c * strides[1].
struct ArrayView {
  const char* data = nullptr;
  int ndim = 0;
  Py_ssize_t shape[2] = {0, 0};
  Py_ssize_t strides[2] = {0, 0};  // bytes; may be negative or zero
  Py_ssize_t itemsize = 0;
  bool contiguous = false;    // NumPy's C- or F-contiguous flag
  bool c_contiguous = false;  // NumPy's C-contiguous flag

  Py_ssize_t size() const { return ndim == 1 ? shape[0] : shape[0] * shape[1]; }
  template <class T>
  const T* flat() const {
    return reinterpret_cast<const T*>(data);
  }
};

// An accepted input array, held read-only for the rest of the call.
class ArrayHold {
 public:
  ArrayHold(ArrayHold&& other) noexcept;
  ArrayHold& operator=(ArrayHold&&) = delete;
  ~ArrayHold();
  const ArrayView& view() const { return view_; }
  // The elements as one flat run in memory order, or TypeError "The given array is not contiguous".
  template <class T>
  const T* flat() const {
    require_contiguous();
    return view_.flat<T>();
  }
  // A user's __index__ or __float__ run after the intake may have reshaped the array or replaced
  // its buffer; unless `converted` was a plain int or float, take the array in again so that the
  // view matches what is held. Only for holds made by `intake`.
  void retake_if_python_ran(PyObject* converted);

 private:
  friend std::optional<ArrayHold> try_intake(PyObject*, Elem, int);
  friend ArrayHold intake(PyObject*, Elem, int, const char*);
  ArrayHold(Ref array, const ArrayView& view);
  void require_contiguous() const;
  Ref array_;
  ArrayView view_;
  uintptr_t borrow_token_ = 0;
  bool registered_ = false;
  Elem elem_;
  const char* name_ = nullptr;
};

// Accepts `obj` as an array of `elem` with exactly `ndim` dimensions, or returns nothing
// (no Python error set) when it is of another kind.
std::optional<ArrayHold> try_intake(PyObject* obj, Elem elem, int ndim);
// As above, but a mismatch is the TypeError "argument '{name}': '{type}' object cannot be
// converted to 'PyArray<T, D>'".
ArrayHold intake(PyObject* obj, Elem elem, int ndim, const char* name);

// A new, owned, writeable array; the caller fills `data` completely before handing it out.
struct OutArray {
  Ref array;
  void* data;
};
OutArray new_array(Elem elem, int ndim, const Py_ssize_t* shape, bool fortran = false);
// A new one-dimensional array holding a copy of `count` values.
Ref new_array_copy(Elem elem, Py_ssize_t count, const void* values);

// The NumPy multiarray module ("numpy._core.multiarray" or "numpy.core.multiarray").
Ref numpy_multiarray();

}  // namespace tw
