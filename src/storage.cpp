// RustCacheStorage: the Python surface of the entry store.
#include "storage.h"

#include <string>

#include "binding/arrays.h"
#include "binding/types.h"
#include "classes.h"

namespace tw {
namespace {

struct CacheStorage {
  EntryStore store;
  static const ClassSpec& spec();
};

using Shared = const CacheStorage&;
using Exclusive = CacheStorage&;

CodeArg code_arg(const ArrayHold& hold) {
  const ArrayView& v = hold.view();
  return CodeArg{v.data, static_cast<size_t>(v.size()), v.contiguous};
}

Ref metadata_dict(const CacheEntry& entry) {
  Ref dict = checked(PyDict_New());
  const auto set = [&](const char* key, uint64_t value) {
    Ref number = py_u64(value);
    if (PyDict_SetItemString(dict.get(), key, number.get()) < 0) checked(nullptr);
  };
  set("created_at", unix_time(entry.created_at));
  set("last_accessed", unix_time(entry.last_accessed));
  set("access_count", entry.access_count);
  return dict;
}

constexpr ParameterTable kNewParams{"RustCacheStorage.__new__()", {"capacity", "code_bits"}, 2, 1};
constexpr ParameterTable kAddParams{"RustCacheStorage.add()", {"code", "timestamp"}, 2, 2};
constexpr ParameterTable kReplaceParams{
    "RustCacheStorage.replace()", {"index", "code", "timestamp"}, 3, 3};
constexpr ParameterTable kSearchParams{"RustCacheStorage.search()", {"query", "threshold"}, 2, 1};
constexpr ParameterTable kMarkUsedParams{
    "RustCacheStorage.mark_used()", {"index", "timestamp"}, 2, 2};
constexpr ParameterTable kGetMetadataParams{"RustCacheStorage.get_metadata()", {"index"}, 1, 1};
constexpr ParameterTable kGetCodeParams{"RustCacheStorage.get_code()", {"index"}, 1, 1};

CacheStorage construct_storage(const Bound& args) {
  const uint64_t capacity = to_u64(args[0], "capacity");
  const uint64_t code_bits = args.has(1) ? to_u64(args[1], "code_bits") : 256;
  return CacheStorage{EntryStore(capacity, code_bits)};
}

Ref add(Exclusive self, const Bound& args) {
  ArrayHold code = intake(args[0], Elem::U64, 1, "code");
  const uint64_t timestamp = to_u64(args[1], "timestamp");
  settle(code);
  return py_u64(self.store.add(code_arg(code), timestamp));
}

Ref replace(Exclusive self, const Bound& args) {
  const uint64_t index = to_u64(args[0], "index");
  ArrayHold code = intake(args[1], Elem::U64, 1, "code");
  const uint64_t timestamp = to_u64(args[2], "timestamp");
  settle(code);
  self.store.replace(index, code_arg(code), timestamp);
  return Ref::borrow(Py_None);
}

Ref search(Shared self, const Bound& args) {
  ArrayHold query = intake(args[0], Elem::U64, 1, "query");
  float threshold = kDefaultThreshold;
  if (args.has(1)) {
    threshold = checked_threshold(to_double(args[1], "threshold"));
  }
  settle(query);
  const std::optional<SearchHit> hit = self.store.search(code_arg(query), threshold);
  if (!hit) return Ref::borrow(Py_None);
  Ref index = py_u64(hit->index);
  Ref similarity = py_f32(hit->similarity);
  return checked(PyTuple_Pack(2, index.get(), similarity.get()));
}

Ref evict_lru(Shared self) { return py_u64(self.store.evict_lru()); }

Ref mark_used(Exclusive self, const Bound& args) {
  const uint64_t index = to_u64(args[0], "index");
  const uint64_t timestamp = to_u64(args[1], "timestamp");
  self.store.mark_used(index, timestamp);
  return Ref::borrow(Py_None);
}

Ref get_metadata(Shared self, const Bound& args) {
  const uint64_t index = to_u64(args[0], "index");
  return metadata_dict(self.store.at(index));
}

Ref get_code(Shared self, const Bound& args) {
  const uint64_t index = to_u64(args[0], "index");
  const CacheEntry& entry = self.store.at(index);
  Ref list = checked(PyList_New(kCodeWords));
  for (size_t i = 0; i < kCodeWords; ++i) {
    PyList_SET_ITEM(list.get(), i, py_u64(entry.code[i]).release());
  }
  return list;
}

Ref memory_usage(Shared self) { return py_u64(self.store.memory_usage()); }
Ref capacity(Shared self) { return py_u64(self.store.capacity()); }
Ref code_bits(Shared self) { return py_u64(self.store.code_bits()); }
size_t length(Shared self) { return self.store.size(); }

std::string describe(Shared self) {
  return "RustCacheStorage(capacity=" + std::to_string(self.store.capacity()) +
         ", code_bits=" + std::to_string(self.store.code_bits()) +
         ", len=" + std::to_string(self.store.size()) + ")";
}

using S = CacheStorage;
constexpr auto kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"add", as_cfunction(method<S, Access::Exclusive, kAddParams, add>), kFast,
     "add($self, code, timestamp)\n--\n\n"
     "Add a new entry to the storage.\n\n"
     "# Arguments\n\n"
     "* `code` - Binary code as uint64 array of shape (4,)\n"
     "* `timestamp` - Current Unix timestamp (seconds since 1970)\n\n"
     "# Returns\n\n"
     "Index of the stored entry.\n\n"
     "# Raises\n\n"
     "* `ValueError` - If storage is full (call evict_lru first)\n"
     "* `ValueError` - If code shape is incorrect\n"
     "* `TypeError` - If code dtype is not uint64"},
    {"replace", as_cfunction(method<S, Access::Exclusive, kReplaceParams, replace>), kFast,
     "replace($self, index, code, timestamp)\n--\n\n"
     "Overwrite an existing entry at the given index.\n\n"
     "Used after evict_lru() to reuse a slot.\n\n"
     "# Arguments\n\n"
     "* `index` - Index of the entry to overwrite\n"
     "* `code` - Binary code as uint64 array of shape (4,)\n"
     "* `timestamp` - Current Unix timestamp\n\n"
     "# Raises\n\n"
     "* `IndexError` - If index is out of bounds\n"
     "* `ValueError` - If code shape is incorrect"},
    {"search", as_cfunction(method<S, Access::Shared, kSearchParams, search>), kFast,
     "search($self, query, threshold=0.85)\n--\n\n"
     "Find the nearest neighbor above similarity threshold.\n\n"
     "# Arguments\n\n"
     "* `query` - Binary code as uint64 array of shape (4,)\n"
     "* `threshold` - Minimum similarity (0.0 to 1.0)\n\n"
     "# Returns\n\n"
     "Tuple of (index, similarity) if found, None otherwise.\n\n"
     "# Raises\n\n"
     "* `ValueError` - If query shape is incorrect or threshold is invalid"},
    {"evict_lru", as_cfunction(method_noargs<S, Access::Shared, evict_lru>), METH_NOARGS,
     "evict_lru($self)\n--\n\n"
     "Find the least recently used entry (oldest last_accessed timestamp).\n\n"
     "# Returns\n\n"
     "Index of the LRU entry.\n\n"
     "# Raises\n\n"
     "* `ValueError` - If storage is empty"},
    {"mark_used", as_cfunction(method<S, Access::Exclusive, kMarkUsedParams, mark_used>), kFast,
     "mark_used($self, index, timestamp)\n--\n\n"
     "Update the last_accessed timestamp and increment access_count.\n\n"
     "# Arguments\n\n"
     "* `index` - Index of the entry to update\n"
     "* `timestamp` - Current Unix timestamp\n\n"
     "# Raises\n\n"
     "* `IndexError` - If index is out of bounds"},
    {"get_metadata", as_cfunction(method<S, Access::Shared, kGetMetadataParams, get_metadata>), kFast,
     "get_metadata($self, index)\n--\n\n"
     "Get metadata for an entry.\n\n"
     "# Arguments\n\n"
     "* `index` - Index of the entry\n\n"
     "# Returns\n\n"
     "Dictionary with created_at, last_accessed, access_count (Unix timestamps).\n\n"
     "# Raises\n\n"
     "* `IndexError` - If index is out of bounds"},
    {"get_code", as_cfunction(method<S, Access::Shared, kGetCodeParams, get_code>), kFast,
     "get_code($self, index)\n--\n\n"
     "Get the binary code at the given index.\n\n"
     "# Arguments\n\n"
     "* `index` - Index of the entry\n\n"
     "# Returns\n\n"
     "Binary code as list of 4 uint64 values.\n\n"
     "# Raises\n\n"
     "* `IndexError` - If index is out of bounds"},
    {"memory_usage", as_cfunction(method_noargs<S, Access::Shared, memory_usage>), METH_NOARGS,
     "memory_usage($self)\n--\n\n"
     "Return total memory usage in bytes for entry data.\n\n"
     "Should be exactly 44 * num_entries."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"capacity", getter<S, capacity>, nullptr, "Return the capacity.", nullptr},
    {"code_bits", getter<S, code_bits>, nullptr, "Return the code_bits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kClassDoc[] =
    "A memory-efficient cache storage container exposed to Python.\n\n"
    "Stores binary codes and metadata in packed 44-byte entries.\n"
    "Supports timestamp-based LRU eviction (O(N) scan).\n\n"
    "# Example (Python)\n\n"
    "```python\n"
    "import numpy as np\n"
    "from tarnwick.tarnwick_rs import RustCacheStorage\n\n"
    "storage = RustCacheStorage(capacity=10000, code_bits=256)\n"
    "code = np.array([0x1234, 0x5678, 0x9ABC, 0xDEF0], dtype=np.uint64)\n"
    "idx = storage.add(code, timestamp=1700000000)\n"
    "print(f\"Added at index {idx}, len={len(storage)}\")\n"
    "```";

}  // namespace

const ClassSpec& CacheStorage::spec() {
  static const ClassSpec spec{
      "RustCacheStorage",
      "(capacity, code_bits=256)",
      kClassDoc,
      methods,
      properties,
      construct<S, kNewParams, construct_storage>,
      tw::repr<S, describe>,
      tw::length<S, length>,
      sizeof(Instance<S>),
      dealloc<S>,
  };
  return spec;
}

PyTypeObject* request_storage_type() { return Class<CacheStorage>::request(); }

}  // namespace tw
