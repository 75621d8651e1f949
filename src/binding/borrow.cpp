// Registration of input arrays in the process-wide borrow-tracking table, and the table itself when
// this module is the first in the process to need one.
#include "borrow.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "../core.h"
#include "arrays.h"
#include "borrow_records.h"
#include "numpy_abi.h"
#include "platform/compiler.h"

namespace tw::borrow {
namespace {

constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";
constexpr int kNotWriteable = -2;

using AcquireFn = int (*)(void* flags, PyObject* array);
using ReleaseFn = void (*)(void* flags, PyObject* array);

// Shared with every extension module following the protocol: six machine words in C layout.
struct Table {
  uint64_t version;
  void* flags;
  AcquireFn acquire;
  AcquireFn acquire_mut;
  ReleaseFn release;
  ReleaseFn release_mut;
};
static_assert(std::is_standard_layout_v<Table> && sizeof(Table) == 6 * sizeof(void*));
static_assert(std::is_same_v<Py_ssize_t, intptr_t>);

Table* g_table = nullptr;
TW_USED PyObject* g_capsule = nullptr;  // our reference to the capsule, never released
Table* g_own = nullptr;              // the table this module created, if it did
BorrowRecords* g_records = nullptr;  // its records
// Set before our own table is published; our four functions only ever run after that.
PyTypeObject* g_array_type = nullptr;

// Views of one buffer share the group named by the first base that is not an array (or the last
// array of the chain).
uintptr_t group_of(PyObject* array) {
  PyObject* owner = array;
  for (;;) {
    PyObject* base = numpy_abi::fields(owner)->base;
    if (base == nullptr) break;
    owner = base;
    if (!PyObject_TypeCheck(base, g_array_type)) break;
  }
  return reinterpret_cast<uintptr_t>(owner);
}

BorrowKey key_of(PyObject* array) {
  const numpy_abi::ArrayFields* f = numpy_abi::fields(array);
  return make_key(f->data, f->nd, f->dimensions, f->strides, numpy_abi::element_size(f->descr));
}

BorrowKey key_of(const ArrayView& view) {
  return make_key(view.data, view.ndim, view.shape, view.strides, view.itemsize);
}

struct Located {
  uintptr_t group;
  BorrowKey key;
};

Located locate(PyObject* array) { return {group_of(array), key_of(array)}; }

BorrowRecords& records(void* flags) { return *static_cast<BorrowRecords*>(flags); }

}  // namespace
}  // namespace tw::borrow

// The table's entry points, called by other extension modules too: no exception may leave them.
extern "C" {

static int tarnwick_borrow_acquire(void* flags, PyObject* array) {
  try {
    const auto at = tw::borrow::locate(array);
    return tw::borrow::records(flags).acquire(at.group, at.key);
  } catch (...) {
    return tw::borrow::BorrowRecords::kAlreadyBorrowed;
  }
}

static int tarnwick_borrow_acquire_mut(void* flags, PyObject* array) {
  if ((tw::numpy_abi::fields(array)->flags & tw::numpy_abi::kWriteable) == 0) {
    return tw::borrow::kNotWriteable;
  }
  try {
    const auto at = tw::borrow::locate(array);
    return tw::borrow::records(flags).acquire_mut(at.group, at.key);
  } catch (...) {
    return tw::borrow::BorrowRecords::kAlreadyBorrowed;
  }
}

static void tarnwick_borrow_release(void* flags, PyObject* array) {
  try {
    const auto at = tw::borrow::locate(array);
    tw::borrow::records(flags).release(at.group, at.key);
  } catch (...) {
  }
}

static void tarnwick_borrow_release_mut(void* flags, PyObject* array) {
  try {
    const auto at = tw::borrow::locate(array);
    tw::borrow::records(flags).release_mut(at.group, at.key);
  } catch (...) {
  }
}

static void tarnwick_borrow_destroy(PyObject* capsule) {
  auto* table =
      static_cast<tw::borrow::Table*>(PyCapsule_GetPointer(capsule, tw::borrow::kCapsuleName));
  if (table == nullptr) {
    PyErr_Clear();
    return;
  }
  delete static_cast<tw::borrow::BorrowRecords*>(table->flags);
  delete table;
}

}  // extern "C"

namespace tw::borrow {
namespace {

[[noreturn]] TW_COLD void fail_lookup() {
  TW_FAULT("Interal borrow checking API error: " + numpy_abi::render_pending_error());
}

[[noreturn]] TW_COLD void refuse(int code) {
  if (code == BorrowRecords::kAlreadyBorrowed) {
    TW_FAULT("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
  }
  TW_FAULT("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

// Publishes a new table on `multiarray`; returns its capsule, or NULL with a Python error set.
Ref publish_table(PyObject* multiarray) {
  std::unique_ptr<BorrowRecords> records;
  std::unique_ptr<Table> table;
  try {
    records = std::make_unique<BorrowRecords>();
    table = std::make_unique<Table>(Table{1, records.get(), tarnwick_borrow_acquire,
                                          tarnwick_borrow_acquire_mut, tarnwick_borrow_release,
                                          tarnwick_borrow_release_mut});
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return Ref();
  }
  Ref capsule = Ref::steal(PyCapsule_New(table.get(), kCapsuleName, tarnwick_borrow_destroy));
  if (!capsule) return Ref();
  records.release();  // the capsule's destructor owns both from here on
  Table* created = table.release();
  g_array_type = numpy_abi::array_type();
  if (PyObject_SetAttrString(multiarray, kCapsuleName, capsule.get()) < 0) return Ref();
  g_own = created;
  g_records = static_cast<BorrowRecords*>(created->flags);
  return capsule;
}

}  // namespace

bool table_known() noexcept { return g_table != nullptr; }

void find_table() {
  Ref multiarray;
  try {
    multiarray = numpy_multiarray();
  } catch (const PyErrSet&) {
    fail_lookup();
  }
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), kCapsuleName));
  if (!capsule) {
    PyErr_Clear();
    // The import may have let another thread publish the table meanwhile.
    if (g_table != nullptr) return;
    capsule = publish_table(multiarray.get());
    if (!capsule) fail_lookup();
  } else if (!PyCapsule_CheckExact(capsule.get())) {
    set_conversion_error(capsule.get(), "PyCapsule");
    fail_lookup();
  }
  auto* table =
      static_cast<Table*>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
  if (table == nullptr) fail_lookup();
  if (table->version < 1) {
    PyErr_Format(
        PyExc_TypeError,
        "Version %llu of borrow checking API is not supported by this version of rust-numpy",
        static_cast<unsigned long long>(table->version));
    fail_lookup();
  }
  if (g_table == nullptr) {
    // Our own reference keeps the table alive even if the attribute is later replaced; it is
    // held in a global so that leak checkers see it as held, not lost, once NumPy's module
    // dict is cleared at exit.
    g_capsule = capsule.release();
    g_table = table;
  }
}

uintptr_t acquire_shared(PyObject* array, const ArrayView& view) {
  if (g_table == nullptr) TW_FAULT("borrow taken before the borrow table was found");
  if (g_table == g_own) {
    // Our own records: no indirect call, and the key comes from the view already read.
    const uintptr_t group = group_of(array);
    const int code = g_records->acquire(group, key_of(view));
    if (code != 0) refuse(code);
    return group;
  }
  const int code = g_table->acquire(g_table->flags, array);
  if (code != 0) refuse(code);
  return 0;
}

void release_shared(PyObject* array, const ArrayView& view, Elem elem, uintptr_t token) noexcept {
  if (token != 0) {
    g_records->release(token, key_of(view));
    return;
  }
  if (g_table == nullptr) return;
  // Another module's release derives the key from the array it is given, and may run Python
  // code: keep a pending exception out of its way.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  ArrayView now;
  if (read_array(array, elem, view.ndim, now) && same_view(now, view)) {
    g_table->release(g_table->flags, array);
  } else {
    // Restrided or resized since the acquire: release a stand-in that reads as it did then.
    try {
      Ref proxy = view_proxy(array, view, elem);
      g_table->release(g_table->flags, proxy.get());
    } catch (...) {
      // Without a stand-in the key the acquire recorded cannot be named; leave it held rather
      // than release somebody else's.
    }
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace tw::borrow
