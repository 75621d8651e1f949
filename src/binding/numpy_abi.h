// Internal to binding/: the NumPy object layouts we read and their helpers in arrays.cpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace tw::numpy_abi {

// Mirrors of the NumPy structures we read; their leading fields are stable across NumPy 1 and 2.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};
struct DescrV1 {  // C feature version below 18
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind, type, byteorder, flags;
  int type_num;
  int elsize;
};
struct DescrV2 {  // C feature version 18 and later
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind, type, byteorder, former_flags;
  int type_num;
  uint64_t flags;
  Py_ssize_t elsize;
};

constexpr int kCContiguous = 0x0001;
constexpr int kFContiguous = 0x0002;
constexpr int kWriteable = 0x0400;

inline ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// NumPy's array type; faults when NumPy cannot be reached.
PyTypeObject* array_type();
// The element size of a dtype descriptor, read in the layout of the loaded NumPy.
Py_ssize_t element_size(PyObject* descr);
// "{ExceptionType}: {message}" of the pending Python error, which is cleared.
std::string render_pending_error();

}  // namespace tw::numpy_abi
