// Registration of input arrays in the process-wide borrow-tracking table.
#include "borrow.h"

namespace tw::borrow {

void acquire_shared(PyObject*) {}
void release_shared(PyObject*) noexcept {}

}  // namespace tw::borrow
