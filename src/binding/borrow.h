// Registration of input arrays in the borrow-tracking table shared by extension modules.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tw {
struct ArrayView;
}

namespace tw::borrow {

// Registers a shared (read-only) borrow of `array`, whose elements `view` describes, for the
// current call; faults on conflict. Returns the token release_shared needs.
uintptr_t acquire_shared(PyObject* array, const ArrayView& view);
// Gives back a borrow taken by acquire_shared. The key is rebuilt from the view taken at intake,
// not from the array, so reshaping the array meanwhile cannot make the release miss.
void release_shared(PyObject* array, const ArrayView& view, uintptr_t token) noexcept;

}  // namespace tw::borrow
