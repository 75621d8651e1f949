// Registration of input arrays in the borrow-tracking table shared by extension modules.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tw {
struct ArrayView;
enum class Elem;
}

namespace tw::borrow {

// True once the process's table has been found or created.
bool table_known() noexcept;
// Finds the process's table or creates it; runs Python code (an import). Faults on failure,
// leaving the lookup to the next call.
void find_table();
// Registers a shared (read-only) borrow of `array`, whose elements `view` describes, for the
// current call; faults on conflict. The table must be known. Another module's table may run
// Python code here. Returns the token release_shared needs.
uintptr_t acquire_shared(PyObject* array, const ArrayView& view);
// Gives back a borrow taken by acquire_shared for the same view, whatever has happened to the
// array since, so that the release meets the key the acquire recorded.
void release_shared(PyObject* array, const ArrayView& view, Elem elem, uintptr_t token) noexcept;

}  // namespace tw::borrow
