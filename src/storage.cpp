// Placeholder until the class lands.
#include "classes.h"

namespace tw {

PyTypeObject* request_storage_type() { return nullptr; }

}  // namespace tw
