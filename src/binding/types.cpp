// Creation of the classes' heap type objects.
#include "types.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace tw {

PyTypeObject* create_type(const ClassSpec& spec) {
  // The interpreter derives __text_signature__ and __doc__ from "{name}{sig}\n--\n\n{body}".
  std::string doc = std::string(spec.name) + spec.text_signature + "\n--\n\n" + spec.doc_body;
  if (doc.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
    return nullptr;
  }
  // Both texts live as long as the type, which lives as long as the process (never destroyed:
  // types outlive exit).
  static auto* kept = new std::deque<std::string, Allocator<std::string>>();
  const std::string* kept_doc = &kept->emplace_back(std::move(doc));
  const std::string* qualified = &kept->emplace_back(std::string("builtins.") + spec.name);

  std::vector<PyType_Slot, Allocator<PyType_Slot>> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(kept_doc->c_str())});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new)});
  slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.tp_repr)});
  if (spec.mp_length != nullptr) {
    slots.push_back({Py_mp_length, reinterpret_cast<void*>(spec.mp_length)});
  }
  slots.push_back({Py_tp_methods, spec.methods});
  slots.push_back({Py_tp_getset, spec.getset});
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{};
  type_spec.name = qualified->c_str();
  type_spec.basicsize = static_cast<int>(spec.basicsize);
  type_spec.itemsize = 0;
  type_spec.flags = 0;
  type_spec.slots = slots.data();
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace tw
