// Heap memory for the storage's record array. Large blocks are offered to the kernel for
// transparent huge pages: a scan of tens of megabytes otherwise misses the TLB on every 4 KiB
// page, which costs it a measurable share of its time against NumPy arrays, whose allocator
// asks for huge pages the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/memory.h"

namespace tw {

// The memory must still be untouched when advised, so advice comes straight after allocation,
// before the container writes anything. The records start on a 64-byte line, so that every
// sixteenth record does too and the scans read whole lines from their first record on.
template <class T>
using RecordAllocator = Allocator<T, HugePageAdvice, 64>;

}  // namespace tw
