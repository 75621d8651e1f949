// The call frame: the boundary guard, argument binding, conversions and the receiver borrow.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "../core.h"
#include "ref.h"

namespace tw {

// Thrown when a Python exception is already set; the boundary only has to return the error value.
struct PyErrSet {};

[[noreturn]] inline void throw_py_error() { throw PyErrSet{}; }

// A new reference from the C API, or a fault: used where failure means we could not build a result.
Ref checked(PyObject* result);
// A new reference from the C API, or the pending Python error propagated unchanged.
Ref or_raise(PyObject* result);

// Boundary handlers; each leaves exactly one Python exception set.
void raise_native(const NativeError& error) noexcept;
void raise_fault(const Fault& fault) noexcept;
void raise_unknown(const char* what) noexcept;
void ensure_error_set() noexcept;

// Runs `body` so that no C++ exception crosses into the interpreter.
template <class R, class F>
R guard(R error_value, F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrSet&) {
    ensure_error_set();
  } catch (const NativeError& e) {
    raise_native(e);
  } catch (const Fault& f) {
    raise_fault(f);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_unknown(e.what());
  } catch (...) {
    raise_unknown("unknown C++ exception");
  }
  return error_value;
}

// --- argument binding ---

inline constexpr int kMaxParams = 4;

struct ParameterTable {
  const char* display;  // "HammingSimilarity.distance()" or "hamming_distance()"
  const char* names[kMaxParams];
  int count;
  int required;
};

// Bound arguments; an empty slot is an absent argument. Values are owned for the whole call.
class Bound {
 public:
  PyObject* operator[](int i) const noexcept { return slots_[i].get(); }
  bool has(int i) const noexcept { return static_cast<bool>(slots_[i]); }
  // Present and not None: for the parameters whose absence is spelled None.
  bool given(int i) const noexcept { return has(i) && slots_[i].get() != Py_None; }

 private:
  friend Bound bind_fast(const ParameterTable&, PyObject* const*, Py_ssize_t, PyObject*);
  friend Bound bind_tuple(const ParameterTable&, PyObject*, PyObject*);
  Ref slots_[kMaxParams];
};

Bound bind_fast(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);
Bound bind_tuple(const ParameterTable& table, PyObject* args, PyObject* kwargs);

// --- conversions, each naming its parameter on failure ---

uint64_t to_u64(PyObject* obj, const char* name);
double to_double(PyObject* obj, const char* name);
std::string_view to_utf8(PyObject* obj, const char* name);

// Replaces a pending exact TypeError by "argument '{name}': {message}"; other errors pass.
[[noreturn]] void raise_wrapped(const char* name);

// "'{type}' object cannot be converted to '{target}'", as a pending TypeError.
void set_conversion_error(PyObject* obj, const char* target);
std::string type_qualname(PyObject* obj);

// A fast-call or no-argument entry point as the PyCFunction that a PyMethodDef stores.
template <class F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A module-level function taking arguments.
template <const ParameterTable& T, auto Impl>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Bound bound = bind_fast(T, args, nargs, kwnames);
    return Impl(bound).release();
  });
}

// --- results ---

Ref py_u64(uint64_t value);
Ref py_f32(float value);
Ref py_str(std::string_view text);

}  // namespace tw
