// NumPy's C API reached at run time through its capsule; nothing here is compiled against NumPy.
#include "arrays.h"

#include <string>
#include <utility>

#include "borrow.h"
#include "numpy_abi.h"

namespace tw {

using numpy_abi::array_type;
using numpy_abi::ArrayFields;
using numpy_abi::element_size;
using numpy_abi::kCContiguous;
using numpy_abi::kFContiguous;
using numpy_abi::render_pending_error;

namespace {

// Indices into NumPy's function table.
constexpr int kArrayType = 2;
constexpr int kDescrFromType = 45;
constexpr int kNewFromDescr = 94;
constexpr int kEquivTypes = 182;
constexpr int kFeatureVersion = 211;
constexpr int kSetBaseObject = 282;

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                     const Py_ssize_t*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using FeatureVersionFn = unsigned int (*)();
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

struct NumpyApi {
  void** table = nullptr;
  unsigned feature_version = 0;
  const char* core = nullptr;
};
NumpyApi g_numpy;

int type_number(Elem elem) {
  switch (elem) {
    case Elem::U64: return sizeof(unsigned long) == 8 ? 8 : 10;  // NPY_ULONG or NPY_ULONGLONG
    case Elem::F32: return 11;                                   // NPY_FLOAT
    case Elem::U32: return 6;                                    // NPY_UINT
  }
  return -1;
}

bool lookup_numpy() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return false;
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return false;
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return false;
  Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) return false;
  const long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) return false;
  if (major < 0 || major > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  const char* core = major >= 2 ? "numpy._core" : "numpy.core";
  Ref multiarray = Ref::steal(PyImport_ImportModule((std::string(core) + ".multiarray").c_str()));
  if (!multiarray) return false;
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    set_conversion_error(capsule.get(), "PyCapsule");
    return false;
  }
  auto** table =
      static_cast<void**>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
  if (table == nullptr) return false;
  // The capsule stays alive in NumPy's module for the rest of the process.
  if (g_numpy.table == nullptr) {
    g_numpy.core = core;
    g_numpy.feature_version = reinterpret_cast<FeatureVersionFn>(table[kFeatureVersion])();
    g_numpy.table = table;
  }
  return true;
}

void** api() {
  if (g_numpy.table == nullptr && !lookup_numpy()) {
    TW_FAULT("Failed to access NumPy array API capsule: " + render_pending_error());
  }
  return g_numpy.table;
}


// The built-in descriptors are singletons: keep one reference each so that the usual dtype
// test is a pointer comparison.
PyObject* builtin_descr(Elem elem) {
  static PyObject* cache[3] = {nullptr, nullptr, nullptr};
  PyObject*& slot = cache[static_cast<int>(elem)];
  if (slot == nullptr) {
    slot = checked(reinterpret_cast<DescrFromTypeFn>(api()[kDescrFromType])(type_number(elem)))
               .release();
  }
  return slot;
}

}  // namespace

std::string numpy_abi::render_pending_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), tb_ref = Ref::steal(traceback);
  std::string text = value ? type_qualname(value) : "SystemError";
  if (value) {
    Ref str = Ref::steal(PyObject_Str(value));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 != nullptr && *utf8 != '\0') text += std::string(": ") + utf8;
  }
  PyErr_Clear();
  return text;
}

PyTypeObject* numpy_abi::array_type() { return static_cast<PyTypeObject*>(api()[kArrayType]); }

Py_ssize_t numpy_abi::element_size(PyObject* descr) {
  if (g_numpy.feature_version < 18) return reinterpret_cast<DescrV1*>(descr)->elsize;
  return reinterpret_cast<DescrV2*>(descr)->elsize;
}

// Reads `obj` into `view` when it is an array of `elem` with `ndim` dimensions. Runs no Python
// code once NumPy has been located.
bool read_array(PyObject* obj, Elem elem, int ndim, ArrayView& view) {
  void** table = api();
  if (!PyObject_TypeCheck(obj, array_type())) return false;
  auto* fields = reinterpret_cast<ArrayFields*>(obj);
  if (fields->nd != ndim) return false;
  if (fields->descr == nullptr) TW_FAULT("array without a dtype descriptor");
  PyObject* wanted = builtin_descr(elem);
  const bool same = fields->descr == wanted ||
                    reinterpret_cast<EquivTypesFn>(table[kEquivTypes])(fields->descr, wanted);
  if (!same) return false;
  view = ArrayView{};
  view.data = fields->data;
  view.ndim = ndim;
  for (int d = 0; d < ndim; ++d) {
    view.shape[d] = fields->dimensions[d];
    view.strides[d] = fields->strides[d];
  }
  view.itemsize = element_size(fields->descr);
  view.contiguous = (fields->flags & (kCContiguous | kFContiguous)) != 0;
  view.c_contiguous = (fields->flags & kCContiguous) != 0;
  return true;
}

bool same_view(const ArrayView& a, const ArrayView& b) {
  return a.data == b.data && a.ndim == b.ndim && a.shape[0] == b.shape[0] &&
         a.shape[1] == b.shape[1] && a.strides[0] == b.strides[0] &&
         a.strides[1] == b.strides[1] && a.itemsize == b.itemsize &&
         a.contiguous == b.contiguous && a.c_contiguous == b.c_contiguous;
}

ArrayHold::ArrayHold(Ref array, const ArrayView& view, Elem elem)
    : array_(std::move(array)), view_(view), elem_(elem) {}

ArrayHold::ArrayHold(ArrayHold&& other) noexcept
    : array_(std::move(other.array_)),
      view_(other.view_),
      borrow_token_(other.borrow_token_),
      registered_(std::exchange(other.registered_, false)),
      elem_(other.elem_),
      name_(other.name_) {}

ArrayHold::~ArrayHold() {
  if (registered_) borrow::release_shared(array_.get(), view_, elem_, borrow_token_);
}

bool ArrayHold::refresh() {
  ArrayView now;
  if (read_array(array_.get(), elem_, view_.ndim, now) && same_view(now, view_)) return false;
  std::optional<ArrayHold> fresh = try_intake(array_.get(), elem_, view_.ndim);
  if (!fresh) {
    set_conversion_error(array_.get(), "PyArray<T, D>");
    if (name_ != nullptr) raise_wrapped(name_);
    throw_py_error();
  }
  // The fresh borrow is taken before the old one is given back (by `fresh` on scope exit).
  std::swap(array_, fresh->array_);
  std::swap(view_, fresh->view_);
  std::swap(borrow_token_, fresh->borrow_token_);
  std::swap(registered_, fresh->registered_);
  return true;
}

void ArrayHold::require_contiguous() const {
  if (!view_.contiguous) reject(ErrorKind::TypeError, "The given array is not contiguous");
}

std::optional<ArrayHold> try_intake(PyObject* obj, Elem elem, int ndim) {
  ArrayView view;
  if (!read_array(obj, elem, ndim, view)) return std::nullopt;
  if (!borrow::table_known()) {
    // The first lookup imports, and Python code may reshape `obj` meanwhile: read it again.
    borrow::find_table();
    if (!read_array(obj, elem, ndim, view)) return std::nullopt;
  }
  ArrayHold hold(Ref::borrow(obj), view, elem);
  hold.borrow_token_ = borrow::acquire_shared(obj, hold.view_);
  hold.registered_ = true;
  return hold;
}

ArrayHold intake(PyObject* obj, Elem elem, int ndim, const char* name) {
  std::optional<ArrayHold> hold = try_intake(obj, elem, ndim);
  if (!hold) {
    set_conversion_error(obj, "PyArray<T, D>");
    raise_wrapped(name);
  }
  hold->name_ = name;
  return std::move(*hold);
}

Ref view_proxy(PyObject* array, const ArrayView& view, Elem elem) {
  void** table = api();
  Ref descr = checked(reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType])(type_number(elem)));
  Ref proxy = checked(reinterpret_cast<NewFromDescrFn>(table[kNewFromDescr])(
      array_type(), descr.release(), view.ndim, view.shape, view.strides,
      const_cast<char*>(view.data), 0, nullptr));
  // SetBaseObject steals the reference to the base, even when it fails.
  if (reinterpret_cast<SetBaseObjectFn>(table[kSetBaseObject])(
          proxy.get(), Ref::borrow(array).release()) < 0) {
    checked(nullptr);
  }
  return proxy;
}

OutArray new_array(Elem elem, int ndim, const Py_ssize_t* shape, bool fortran) {
  void** table = api();
  if (ndim == 2 && (shape[0] == 0 || shape[1] == 0)) fortran = false;
  Ref descr = checked(reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType])(type_number(elem)));
  // NewFromDescr steals the descriptor reference, whatever its outcome.
  PyObject* created = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescr])(
      array_type(), descr.release(), ndim, shape, nullptr, nullptr, fortran ? 1 : 0, nullptr);
  // The shape comes from the caller's input (a zero-stride batch can be vast): running out of
  // memory for it is the caller's MemoryError, not an internal fault.
  if (created == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) throw_py_error();
  Ref array = checked(created);
  void* data = reinterpret_cast<ArrayFields*>(array.get())->data;
  return {std::move(array), data};
}

Ref numpy_multiarray() {
  api();
  return or_raise(PyImport_ImportModule((std::string(g_numpy.core) + ".multiarray").c_str()));
}

}  // namespace tw
