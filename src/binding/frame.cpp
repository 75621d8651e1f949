// Boundary guard, argument binding, conversions and faults.
#include "frame.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "types.h"

namespace tw {
namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::TypeError: return PyExc_TypeError;
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::IndexError: return PyExc_IndexError;
    case ErrorKind::OverflowError: return PyExc_OverflowError;
    case ErrorKind::RuntimeError: return PyExc_RuntimeError;
    case ErrorKind::MemoryError: return PyExc_MemoryError;
  }
  return PyExc_SystemError;
}

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;
bool g_handling_fault = false;

[[noreturn]] void abort_at_boundary(const char* why) noexcept {
  std::fprintf(stderr, "tarnwick_rs: %s\nuncaught panic at ffi boundary\n", why);
  std::fflush(stderr);
  std::abort();
}

PyObject* panic_type() noexcept {
  if (g_panic_type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
      // A fault while turning a fault into an exception: nothing sound is left to do.
      PyErr_Clear();
      abort_at_boundary("Failed to initialize new exception type.");
    }
    if (g_panic_type == nullptr) {
      g_panic_type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return g_panic_type;
}

// Fetch/restore that work on 3.11 as well as 3.12+.
struct PendingError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  static PendingError fetch() {
    PendingError e;
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
    PyErr_NormalizeException(&e.type, &e.value, &e.traceback);
    return e;
  }
  ~PendingError() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
};

}  // namespace

void raise_native(const NativeError& error) noexcept {
  PyObject* message = PyUnicode_FromStringAndSize(error.message.data(),
                                                  static_cast<Py_ssize_t>(error.message.size()));
  if (message == nullptr) return;
  PyErr_SetObject(exception_type(error.kind), message);
  Py_DECREF(message);
}

void raise_fault(const Fault& fault) noexcept {
  if (g_handling_fault) abort_at_boundary(fault.message.c_str());
  g_handling_fault = true;
  std::fprintf(stderr, "tarnwick_rs: internal fault at %s:%d: %s\n", fault.file, fault.line,
               fault.message.c_str());
  std::fflush(stderr);
  PyObject* type = panic_type();
  PyObject* message = PyUnicode_FromStringAndSize(fault.message.data(),
                                                  static_cast<Py_ssize_t>(fault.message.size()));
  if (message == nullptr) abort_at_boundary(fault.message.c_str());
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  g_handling_fault = false;
}

void raise_unknown(const char* what) noexcept {
  raise_fault(Fault{what != nullptr ? what : "unknown C++ exception", __FILE__, __LINE__});
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

Ref checked(PyObject* result) {
  if (result == nullptr) {
    if (PyErr_Occurred()) PyErr_Print();
    TW_FAULT("Python API call failed");
  }
  return Ref::steal(result);
}

Ref or_raise(PyObject* result) {
  if (result == nullptr) throw_py_error();
  return Ref::steal(result);
}

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

void set_conversion_error(PyObject* obj, const char* target) {
  const std::string type = type_qualname(obj);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type.c_str(), target);
}

void raise_wrapped(const char* name) {
  // Only an exact TypeError is wrapped; anything else passes unchanged.
  if (PyErr_Occurred() != PyExc_TypeError) throw_py_error();
  PendingError original = PendingError::fetch();
  Ref text = Ref::steal(PyObject_Str(original.value));
  if (!text) throw_py_error();
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) throw_py_error();
  Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) throw_py_error();
  if (PyObject* cause = PyException_GetCause(original.value)) {
    PyException_SetCause(wrapped.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  throw_py_error();
}

// --- binding ---
namespace {

[[noreturn]] void binding_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(PyExc_TypeError, format, args);
  va_end(args);
  throw_py_error();
}

[[noreturn]] void too_many_positional(const ParameterTable& t, Py_ssize_t n) {
  const char* verb = n == 1 ? "was" : "were";
  if (t.required == t.count) {
    binding_error("%s takes %d positional arguments but %zd %s given", t.display, t.count, n,
                  verb);
  }
  binding_error("%s takes from %d to %d positional arguments but %zd %s given", t.display,
                t.required, t.count, n, verb);
}

int find_parameter(const ParameterTable& t, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();  // no UTF-8 form: matches nothing
    return -1;
  }
  for (int i = 0; i < t.count; ++i) {
    const size_t len = std::strlen(t.names[i]);
    if (len == static_cast<size_t>(size) && std::memcmp(text, t.names[i], len) == 0) return i;
  }
  return -1;
}

void bind_keyword(const ParameterTable& t, Ref* slots, PyObject* key, PyObject* value) {
  const int i = find_parameter(t, key);
  if (i < 0) binding_error("%s got an unexpected keyword argument '%S'", t.display, key);
  if (slots[i]) binding_error("%s got multiple values for argument '%s'", t.display, t.names[i]);
  slots[i] = Ref::borrow(value);
}

void check_missing(const ParameterTable& t, Py_ssize_t nargs, const Ref* slots) {
  if (nargs >= t.required) return;
  const char* missing[kMaxParams];
  int k = 0;
  for (int i = 0; i < t.required; ++i) {
    if (!slots[i]) missing[k++] = t.names[i];
  }
  if (k == 0) return;
  std::string names;
  for (int i = 0; i < k; ++i) {
    if (i > 0) names += (k == 2) ? " and " : (i == k - 1 ? ", and " : ", ");
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  binding_error("%s missing %d required positional %s: %s", t.display, k,
                k == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

Bound bind_fast(const ParameterTable& t, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  Bound bound;
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t filled = nargs < t.count ? nargs : t.count;
  for (Py_ssize_t i = 0; i < filled; ++i) bound.slots_[i] = Ref::borrow(args[i]);
  if (nargs > t.count) too_many_positional(t, nargs);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      bind_keyword(t, bound.slots_, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
  }
  check_missing(t, nargs, bound.slots_);
  return bound;
}

Bound bind_tuple(const ParameterTable& t, PyObject* args, PyObject* kwargs) {
  Bound bound;
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  const Py_ssize_t filled = nargs < t.count ? nargs : t.count;
  for (Py_ssize_t i = 0; i < filled; ++i) bound.slots_[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  if (nargs > t.count) too_many_positional(t, nargs);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(t, bound.slots_, key, value);
  }
  check_missing(t, nargs, bound.slots_);
  return bound;
}

// --- conversions ---

uint64_t to_u64(PyObject* obj, const char* name) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) raise_wrapped(name);
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_wrapped(name);
  return value;
}

double to_double(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) raise_wrapped(name);
  return value;
}

std::string_view to_utf8(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    set_conversion_error(obj, "PyString");
    raise_wrapped(name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) raise_wrapped(name);
  return {text, static_cast<size_t>(size)};
}

Ref py_u64(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
Ref py_f32(float value) { return checked(PyFloat_FromDouble(static_cast<double>(value))); }
Ref py_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// --- receiver ---

void raise_borrow_error(Access access) {
  PyErr_SetString(PyExc_RuntimeError,
                  access == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
  throw_py_error();
}

void raise_receiver_type(PyObject* self, const char* class_name) {
  set_conversion_error(self, class_name);
  throw_py_error();
}

}  // namespace tw
