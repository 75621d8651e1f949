// The module's classes, as the module body requests them (NULL + error when refused).
#pragma once

#include <Python.h>

namespace tw {

PyTypeObject* request_encoder_type();
PyTypeObject* request_similarity_type();
PyTypeObject* request_storage_type();

}  // namespace tw
