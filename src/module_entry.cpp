// The module's entry point, its body and the two self-test functions.
#include <Python.h>

#include <atomic>
#include <string>

#include "binding/frame.h"
#include "classes.h"
#include "similarity.h"

namespace tw {
namespace {

constexpr const char kVersion[] = "0.1.0";

constexpr const char kModuleDoc[] =
    "Native extension module of Tarnwick, the similarity cache.\n"
    "\n"
    "This module contains:\n"
    "- `RustBinaryEncoder`: Binary encoding with deterministic projection\n"
    "- `HammingSimilarity`: Hamming distance and similarity computation\n"
    "- `RustCacheStorage`: Memory-efficient cache storage (44 bytes/entry)\n"
    "- `hamming_distance`: Standalone Hamming distance function\n"
    "- `rust_version`: Version info\n"
    "- `hello_from_rust`: Test function";

PyObject* rust_version(PyObject*, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [] { return py_str(kVersion).release(); });
}

constexpr ParameterTable kHelloParams{"hello_from_rust()", {"name"}, 1, 0};

Ref hello_from_rust(const Bound& args) {
  if (!args.given(0)) return py_str(std::string("Hello from tarnwick_rs v") + kVersion + "!");
  const std::string_view name = to_utf8(args[0], "name");
  return py_str("Hello, " + std::string(name) + "! This is tarnwick_rs v" + kVersion);
}

PyMethodDef rust_version_def = {
    "rust_version", rust_version, METH_NOARGS,
    "rust_version()\n--\n\n"
    "Returns the version string of the native backend.\n\n"
    "This is a placeholder function to verify that the extension is correctly built and can be "
    "imported from Python.\n\n"
    "# Returns\n"
    "A string containing the package version"};

PyMethodDef hello_from_rust_def = {
    "hello_from_rust", as_cfunction(function<kHelloParams, hello_from_rust>),
    METH_FASTCALL | METH_KEYWORDS,
    "hello_from_rust(name=None)\n--\n\n"
    "Returns a greeting message to verify the extension works.\n\n"
    "# Arguments\n"
    "* `name` - Optional name to include in greeting\n\n"
    "# Returns\n"
    "A greeting string"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_rs", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr,
    nullptr};

std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

void add_name(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py_error();
    PyErr_Clear();
    all = or_raise(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_py_error();
  }
  Ref text = or_raise(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    Ref t = Ref::steal(type), e = Ref::steal(error), tb = Ref::steal(traceback);
    Ref rendered = Ref::steal(e ? PyObject_Repr(e.get()) : nullptr);
    const char* utf8 = rendered ? PyUnicode_AsUTF8(rendered.get()) : nullptr;
    std::string message = std::string("could not append __name__ to __all__: ") +
                          (utf8 != nullptr ? utf8 : "<unknown error>");
    PyErr_Clear();
    TW_FAULT(message);
  }
  if (PyObject_SetAttrString(module, name, value) < 0) throw_py_error();
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = or_raise(PyModule_GetNameObject(module));
  Ref fn = or_raise(PyCMethod_New(def, module, module_name.get(), nullptr));
  add_name(module, def->ml_name, fn.get());
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) {
    if (PyErr_Occurred()) throw_py_error();
    return;  // not built into this module yet
  }
  add_name(module, name, reinterpret_cast<PyObject*>(type));
}

void module_body(PyObject* module) {
  add_function(module, &rust_version_def);
  add_function(module, &hello_from_rust_def);
  add_function(module, &hamming_distance_def);
  add_class(module, "RustBinaryEncoder", request_encoder_type());
  add_class(module, "HammingSimilarity", request_similarity_type());
  add_class(module, "RustCacheStorage", request_storage_type());
}

PyObject* initialise() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_py_error();
  int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see "
                    "https://github.com/tarnwick/tarnwick/issues/1");
    throw_py_error();
  }
  if (g_module != nullptr) return Ref::borrow(g_module).release();
  Ref module = or_raise(PyModule_Create2(&module_def, 1013));
  module_body(module.get());
  if (g_module == nullptr) g_module = module.release();
  return Ref::borrow(g_module).release();
}

}  // namespace
}  // namespace tw

PyMODINIT_FUNC PyInit_tarnwick_rs() { return tw::guard<PyObject*>(nullptr, tw::initialise); }
