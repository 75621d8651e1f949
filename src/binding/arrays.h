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
//
// Python code that runs after the intake (an argument's __index__ or __float__, an import, a
// callback of another module's borrow table) may reshape the array or free its buffer, so a
// view read before it must not be used after it: every operation calls `settle` on its holds
// after the last point at which Python code can run and before it reads any element.
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
  // Compares the array with the view read at intake; if it changed, takes it in again (which
  // may fail as the intake would) and returns true.
  bool refresh();

 private:
  friend std::optional<ArrayHold> try_intake(PyObject*, Elem, int);
  friend ArrayHold intake(PyObject*, Elem, int, const char*);
  ArrayHold(Ref array, const ArrayView& view, Elem elem);
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

inline bool refresh_one(ArrayHold& hold) { return hold.refresh(); }
inline bool refresh_one(std::optional<ArrayHold>& hold) { return hold && hold->refresh(); }

// Brings every hold up to date with its array, after the last point in a call at which Python
// code can run. Taking one array in again can run Python code in turn (another module's borrow
// table), so passes repeat until one finds nothing changed.
template <class... Holds>
void settle(Holds&... holds) {
  for (int pass = 0; pass < 8; ++pass) {
    bool changed = false;
    ((changed = refresh_one(holds) || changed), ...);
    if (!changed) return;
  }
  TW_FAULT("input arrays kept changing while they were being taken in");
}

// A new, owned, writeable array; the caller fills `data` completely before handing it out.
struct OutArray {
  Ref array;
  void* data;
};
OutArray new_array(Elem elem, int ndim, const Py_ssize_t* shape, bool fortran = false);

// The NumPy multiarray module ("numpy._core.multiarray" or "numpy.core.multiarray").
Ref numpy_multiarray();

// A new array that reads as `view` did (data, shape, strides, element type) in the group of
// `array`: what another module's borrow table keys a release by when `array` has changed since.
Ref view_proxy(PyObject* array, const ArrayView& view, Elem elem);

// Reads `obj` into `view` when it is an array of `elem` with `ndim` dimensions; runs no Python
// code once NumPy has been located.
bool read_array(PyObject* obj, Elem elem, int ndim, ArrayView& view);
bool same_view(const ArrayView& a, const ArrayView& b);

}  // namespace tw
