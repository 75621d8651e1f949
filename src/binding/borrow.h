// Registration of input arrays in the process-wide borrow-tracking table shared by extension modules.
#pragma once

#include <Python.h>

namespace tw::borrow {

// Registers a shared (read-only) borrow of `array` for the current call; faults on conflict.
void acquire_shared(PyObject* array);
// Gives back a shared borrow taken by acquire_shared.
void release_shared(PyObject* array) noexcept;

}  // namespace tw::borrow
