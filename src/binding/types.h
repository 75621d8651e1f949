// Type objects of the module's classes and the entry points of their members.
//
// A class supplies a native state type S with `static const ClassSpec& spec()`; everything
// else (instance layout, receiver borrow, creation, destruction, member wrappers) lives here.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "frame.h"

namespace tw {

struct ClassSpec {
  const char* name;            // "HammingSimilarity"
  const char* text_signature;  // "(code_bits=256)"
  const char* doc_body;
  PyMethodDef* methods;
  PyGetSetDef* getset;
  newfunc tp_new;
  reprfunc tp_repr;
  lenfunc mp_length;  // or nullptr
  Py_ssize_t basicsize;
  destructor dealloc;
};

// Builds the type object from its spec; NULL with the interpreter's error set on refusal.
PyTypeObject* create_type(const ClassSpec& spec);

template <class S>
struct Instance {
  PyObject_HEAD
  S state;
  Py_ssize_t borrow_count;  // 0 free, n > 0 shared borrows, -1 one exclusive borrow
};

template <class S>
struct Class {
  static inline PyTypeObject* type = nullptr;

  // The process-wide type object, created on first request (NULL + error if refused).
  static PyTypeObject* request() {
    if (type == nullptr) {
      PyTypeObject* created = create_type(S::spec());
      if (created == nullptr) return nullptr;
      if (type == nullptr) {
        type = created;
      } else {
        Py_DECREF(created);  // another thread got there first while we were in the interpreter
      }
    }
    return type;
  }

  // The type object for use inside a call; failure is a fault.
  static PyTypeObject* get() {
    if (type == nullptr && request() == nullptr) {
      PyErr_PrintEx(0);
      TW_FAULT(std::string("failed to create type object for ") + S::spec().name);
    }
    return type;
  }
};

enum class Access { Shared, Exclusive };

void raise_borrow_error(Access access);
void raise_receiver_type(PyObject* self, const char* class_name);

// Holds the receiver for one call; released on every path.
template <class S, Access A>
class Borrow {
 public:
  explicit Borrow(PyObject* self) : self_(self) {
    if (!PyObject_TypeCheck(self, Class<S>::get())) raise_receiver_type(self, S::spec().name);
    Py_ssize_t& count = inst()->borrow_count;
    if constexpr (A == Access::Shared) {
      if (count == -1) raise_borrow_error(A);
      ++count;
    } else {
      if (count != 0) raise_borrow_error(A);
      count = -1;
    }
    Py_INCREF(self_);
  }
  ~Borrow() {
    Py_ssize_t& count = inst()->borrow_count;
    if constexpr (A == Access::Shared) {
      --count;
    } else {
      count = 0;
    }
    Py_DECREF(self_);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  auto& state() {
    if constexpr (A == Access::Shared) {
      return std::as_const(inst()->state);
    } else {
      return inst()->state;
    }
  }

 private:
  Instance<S>* inst() const { return reinterpret_cast<Instance<S>*>(self_); }
  PyObject* self_;
};

// Moves a finished native state into a new instance of `subtype`.
template <class S>
Ref instantiate(PyTypeObject* subtype, S&& state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* obj = alloc(subtype, 0);
  if (obj == nullptr) throw_py_error();
  auto* inst = reinterpret_cast<Instance<S>*>(obj);
  new (&inst->state) S(std::move(state));
  inst->borrow_count = 0;
  return Ref::steal(obj);
}

// --- member entry points ---

template <class S>
void dealloc(PyObject* self) noexcept {
  guard<int>(0, [&] {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<S>*>(self)->state.~S();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    Py_INCREF(type);
    Py_INCREF(&PyBaseObject_Type);
    free_fn(self);
    Py_DECREF(&PyBaseObject_Type);
    Py_DECREF(type);
    Py_DECREF(type);  // the instance's own reference to its heap type
    return 0;
  });
}

template <class S, const ParameterTable& T, auto Impl>
PyObject* construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Bound bound = bind_tuple(T, args, kwargs);
    return instantiate<S>(subtype, Impl(bound)).release();
  });
}

template <class S, Access A, const ParameterTable& T, auto Impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Bound bound = bind_fast(T, args, nargs, kwnames);
    Borrow<S, A> receiver(self);
    return Impl(receiver.state(), bound).release();
  });
}

template <class S, Access A, auto Impl>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Borrow<S, A> receiver(self);
    return Impl(receiver.state()).release();
  });
}

template <class S, auto Impl>
PyObject* getter(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Borrow<S, Access::Shared> receiver(self);
    return Impl(receiver.state()).release();
  });
}

template <class S, auto Impl>
PyObject* repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    Borrow<S, Access::Shared> receiver(self);
    return py_str(Impl(receiver.state())).release();
  });
}

template <class S, auto Impl>
Py_ssize_t length(PyObject* self) noexcept {
  return guard<Py_ssize_t>(-1, [&] {
    Borrow<S, Access::Shared> receiver(self);
    return static_cast<Py_ssize_t>(Impl(receiver.state()));
  });
}

}  // namespace tw
