"""Leak hunting: every operation, succeeding and failing, run thousands of times.

Reference counts of the arguments (and of the types and dtypes the module touches) must not
move, results must be owned only by the caller, and Python-level (tracemalloc), native-heap
(mallinfo2) and resident memory must stay flat. Under the sanitizer run (TW_UNDER_SANITIZER)
only the reference counts are checked, with fewer iterations: LeakSanitizer does the rest. The
native heap and resident memory are read on Linux only (glibc, /proc); elsewhere the reference
counts and tracemalloc remain.
"""

import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import tarnwick_rs as rs

UNDER_SANITIZER = bool(os.environ.get("TW_UNDER_SANITIZER"))
ITERATIONS = 300 if UNDER_SANITIZER else 3000
# Under user-mode emulation (TW_EMULATED) the resident set includes the emulator's translation
# cache, which grows in 2 MiB huge pages whenever new guest code runs; tracemalloc and mallinfo2
# still watch the guest's own heap there.
RSS_MEANINGFUL = not os.environ.get("TW_EMULATED")

Storage = getattr(rs, "RustCacheStorage", None)
Similarity = getattr(rs, "HammingSimilarity", None)
Encoder = getattr(rs, "RustBinaryEncoder", None)


def rss_bytes():
    """Resident memory, or 0 where /proc is missing (then every growth reads as 0)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _native_heap_probe():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
    except OSError:
        return None
    fn = getattr(libc, "mallinfo2", None)
    if fn is None:
        return None
    fn.restype = _MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


native_heap = None if UNDER_SANITIZER else _native_heap_probe()


def immortal(obj):
    return sys.getrefcount(obj) > 1 << 28


def shared(obj):
    """Objects the interpreter hands out to everyone (immortal from 3.12 on, cached before)."""
    return obj is None or isinstance(obj, bool) or immortal(obj) or (
        type(obj) is int and -5 <= obj <= 256)


def ownership(result):
    """References to a result passed here straight from the call that made it, then to each object
    inside it (None for shared objects); a fresh array must own its data. The interpreter's own
    share differs by version (from 3.14 on an argument read by a call may be borrowed, not
    counted), so the expectation is a plain Python object's counts taken the same way."""
    own = None if shared(result) else sys.getrefcount(result)
    if isinstance(result, np.ndarray):
        assert result.base is None and result.flags.owndata
    items = result.values() if isinstance(result, dict) else (
        result if isinstance(result, (tuple, list)) else ())
    return own, [None if shared(item) else sys.getrefcount(item) for item in items]


def code(*words):
    return np.array(words or (1, 2, 3, 4), dtype=np.uint64)


class Raises:
    def __index__(self):
        raise KeyError("from __index__")

    def __float__(self):
        raise KeyError("from __float__")


class CallsBack:
    """Converts to `value` after running `callback`; swallows the callback's RuntimeError."""

    def __init__(self, value, callback, swallow=True):
        self.value, self.callback, self.swallow = value, callback, swallow

    def _run(self):
        try:
            self.callback()
        except RuntimeError:
            if not self.swallow:
                raise

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return float(self.value)


# Each case returns (call, objects whose reference counts must not move, expected exception).
CASES = {}


def case(needs=None, raises=None):
    def register(build):
        CASES[build.__name__] = (build, needs, raises)
        return build

    return register


# --- module functions ---


@case()
def rust_version():
    return rs.rust_version, []


@case()
def hello_named():
    name = "wörld" * 3
    return lambda: rs.hello_from_rust(name=name), [name]


@case(raises=TypeError)
def hello_wrong_type():
    name = 12345678901
    return lambda: rs.hello_from_rust(name), [name]


@case(raises=UnicodeEncodeError)
def hello_surrogate():
    name = "a\ud800b"
    return lambda: rs.hello_from_rust(name), [name]


@case(raises=TypeError)
def hello_unexpected_keyword():
    value = "x"
    return lambda: rs.hello_from_rust(nme=value), [value]


@case()
def hamming_distance():
    a, b = code(1, 2, 3, 4), code(4, 3, 2, 1)
    return lambda: rs.hamming_distance(b=b, a=a), [a, b]


@case(raises=TypeError)
def hamming_distance_intake():
    a, b = code(), np.zeros(4, np.int64)
    return lambda: rs.hamming_distance(a, b), [a, b]


@case(raises=TypeError)
def hamming_distance_not_contiguous():
    a, b = code(1, 2, 3, 4, 5, 6, 7, 8)[::2], code()
    return lambda: rs.hamming_distance(a, b), [a, b]


@case(raises=ValueError)
def hamming_distance_lengths():
    a, b = code(), code(1, 2, 3)
    return lambda: rs.hamming_distance(a, b), [a, b]


@case(raises=TypeError)
def hamming_distance_multiple_values():
    a, b = code(), code()
    return lambda: rs.hamming_distance(a, b, a=a), [a, b]


# --- RustCacheStorage ---


def store(n=3, capacity=8, code_bits=256):
    s = Storage(capacity, code_bits)
    for i in range(n):
        s.add(code(i, 1, 2, 3), 1700000000 + i)
    return s


@case(needs="RustCacheStorage")
def storage_new_add_drop():
    c, ts = code(), 1800000000
    return lambda: Storage(4).add(c, ts), [c, ts, Storage]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_new_zero_capacity():
    capacity = 0
    return lambda: Storage(capacity), [Storage]


@case(needs="RustCacheStorage", raises=TypeError)
def storage_new_none_code_bits():
    return lambda: Storage(10, None), [Storage]


@case(needs="RustCacheStorage", raises=OverflowError)
def storage_new_negative():
    capacity = -(10**30)
    return lambda: Storage(capacity), [capacity, Storage]


@case(needs="RustCacheStorage", raises=KeyError)
def storage_new_raising_index():
    capacity = Raises()
    return lambda: Storage(capacity), [capacity, Storage]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_add_full():
    s, c = store(2, capacity=2), code()
    return lambda: s.add(c, 1700000000), [s, c]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_add_wrong_shape():
    s, c = store(), code(1, 2, 3)
    return lambda: s.add(code=c, timestamp=1700000000), [s, c]


@case(needs="RustCacheStorage", raises=TypeError)
def storage_add_not_contiguous():
    s, c = store(), code(1, 2, 3, 4, 5, 6, 7, 8)[::2]
    return lambda: s.add(c, 1700000000), [s, c]


@case(needs="RustCacheStorage", raises=TypeError)
def storage_add_missing():
    s, c = store(), code()
    return lambda: s.add(c), [s, c]


@case(needs="RustCacheStorage", raises=RuntimeError)
def storage_add_reentrant_failure():
    s, c = store(), code()
    ts = CallsBack(1700000000, lambda: s.add(c, 1), swallow=False)
    return lambda: s.add(c, ts), [s, c, ts]


@case(needs="RustCacheStorage")
def storage_replace():
    s, c, index, ts = store(), code(9, 9, 9, 9), 1, 1800000000
    return lambda: s.replace(index, c, ts), [s, c, ts]


@case(needs="RustCacheStorage")
def storage_replace_reentrant_swallowed():
    s, c = store(), code()
    ts = CallsBack(1800000000, lambda: s.get_code(0))
    return lambda: s.replace(0, c, ts), [s, c, ts]


@case(needs="RustCacheStorage", raises=IndexError)
def storage_replace_out_of_range():
    s, c = store(), code()
    return lambda: s.replace(3, c, 1700000000), [s, c]


@case(needs="RustCacheStorage", raises=KeyError)
def storage_replace_raising_timestamp():
    s, c, ts = store(), code(), Raises()
    return lambda: s.replace(0, c, ts), [s, c, ts]


@case(needs="RustCacheStorage")
def storage_search_hit():
    s, q = store(), code(1, 1, 2, 3)
    return lambda: s.search(q, 0.5), [s, q]


@case(needs="RustCacheStorage")
def storage_search_miss():
    s, q = store(), code(2**64 - 1, 0, 0, 0)
    return lambda: s.search(query=q), [s, q]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_search_threshold():
    s, q, t = store(), code(), float("nan")
    return lambda: s.search(q, t), [s, q, t]


@case(needs="RustCacheStorage", raises=KeyError)
def storage_search_raising_threshold():
    s, q, t = store(), code(), Raises()
    return lambda: s.search(q, t), [s, q, t]


@case(needs="RustCacheStorage")
def storage_search_reentrant_threshold():
    s, q = store(), code()
    t = CallsBack(0.0, lambda: s.mark_used(0, 1))
    return lambda: s.search(q, t), [s, q, t]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_search_wrong_shape():
    s, q = store(), code(1, 2)
    return lambda: s.search(q), [s, q]


@case(needs="RustCacheStorage")
def storage_mark_used():
    s, ts = store(), 1900000000
    return lambda: s.mark_used(2, ts), [s, ts]


@case(needs="RustCacheStorage", raises=OverflowError)
def storage_mark_used_negative():
    s = store()
    return lambda: s.mark_used(-1, 0), [s]


@case(needs="RustCacheStorage")
def storage_get_code():
    s = store()
    s.replace(1, code(2**64 - 1, 2**63, 2**40, 7), 0)
    return lambda: s.get_code(1), [s]


@case(needs="RustCacheStorage")
def storage_get_metadata():
    s = store()
    return lambda: s.get_metadata(index=2), [s]


@case(needs="RustCacheStorage", raises=IndexError)
def storage_get_metadata_out_of_range():
    s, index = store(), 2**64 - 1
    return lambda: s.get_metadata(index), [s, index]


@case(needs="RustCacheStorage", raises=TypeError)
def storage_get_code_float_index():
    s, index = store(), 1.5
    return lambda: s.get_code(index), [s, index]


@case(needs="RustCacheStorage")
def storage_readers():
    s = store()
    return lambda: (s.evict_lru(), s.memory_usage(), len(s), repr(s), s.capacity,
                    s.code_bits), [s]


@case(needs="RustCacheStorage", raises=ValueError)
def storage_evict_empty():
    s = Storage(4)
    return s.evict_lru, [s]


# --- HammingSimilarity ---


def codes(rows=50, words=4, seed=0):
    return np.random.default_rng(seed).integers(0, 2**64, (rows, words), dtype=np.uint64,
                                                endpoint=False)


@case(needs="HammingSimilarity")
def similarity_new_drop():
    return lambda: Similarity(code_bits=300), [Similarity]


@case(needs="HammingSimilarity", raises=ValueError)
def similarity_new_zero():
    return lambda: Similarity(0), [Similarity]


@case(needs="HammingSimilarity")
def similarity_pairwise():
    h, q, c = Similarity(), codes(1)[0], codes(1, seed=1)[0]
    return lambda: (h.distance(q, c), h.similarity(query=q, code=c)), [h, q, c]


@case(needs="HammingSimilarity")
def similarity_batches():
    h, q, m = Similarity(), codes(1)[0], codes()
    return lambda: (h.distance_batch(q, m), h.similarity_batch(q, m)), [h, q, m]


@case(needs="HammingSimilarity")
def similarity_find_nearest():
    h, m = Similarity(), codes()
    q = m[7].copy()
    return lambda: h.find_nearest(q, m, 0.5), [h, q, m]


@case(needs="HammingSimilarity", raises=ValueError)
def similarity_batch_fortran():
    h, q, m = Similarity(), codes(1)[0], np.asfortranarray(codes())
    return lambda: h.distance_batch(q, m), [h, q, m]


@case(needs="HammingSimilarity", raises=ValueError)
def similarity_word_mismatch():
    h, q, c = Similarity(), code(1, 2, 3), code()
    return lambda: h.similarity(q, c), [h, q, c]


@case(needs="HammingSimilarity", raises=KeyError)
def similarity_raising_threshold():
    h, q, m, t = Similarity(), codes(1)[0], codes(), Raises()
    return lambda: h.find_nearest(q, m, t), [h, q, m, t]


@case(needs="HammingSimilarity", raises=TypeError)
def similarity_intake():
    h, q, m = Similarity(), codes(1)[0], codes()[0]
    return lambda: h.find_nearest(q, m), [h, q, m]


# --- RustBinaryEncoder ---


def matrix(code_bits=64, dim=16, seed=0):
    return np.random.default_rng(seed).standard_normal((code_bits, dim)).astype(np.float32)


@case(needs="RustBinaryEncoder")
def encoder_new_matrix_drop():
    m = matrix(256, 96)
    return lambda: Encoder(96, 256, m), [m, Encoder]


@case(needs="RustBinaryEncoder")
def encoder_new_seed_drop():
    return lambda: Encoder(16, 64, seed=7), [Encoder]


@case(needs="RustBinaryEncoder", raises=ValueError)
def encoder_new_shape():
    m = matrix(16, 64)
    return lambda: Encoder(16, 64, m), [m, Encoder]


@case(needs="RustBinaryEncoder", raises=ValueError)
def encoder_new_non_finite():
    m = matrix()
    m[-1, -1] = np.nan
    return lambda: Encoder(16, 64, projection_matrix=m), [m, Encoder]


@case(needs="RustBinaryEncoder", raises=OverflowError)
def encoder_new_negative_seed():
    m = matrix()
    return lambda: Encoder(16, 64, m, -1), [m, Encoder]


@case(needs="RustBinaryEncoder", raises=ValueError)
def encoder_new_neither():
    return lambda: Encoder(16, 64), [Encoder]


@case(needs="RustBinaryEncoder")
def encoder_encode():
    e, x = Encoder(16, 64, matrix()), np.linspace(-1, 1, 16, dtype=np.float32)
    return lambda: (e.encode(x), e.encode(embedding=x[None, :])), [e, x]


@case(needs="RustBinaryEncoder")
def encoder_encode_batch():
    e = Encoder(16, 100, matrix(100))
    x = np.random.default_rng(1).standard_normal((20, 16)).astype(np.float32)
    return lambda: e.encode_batch(x[::-1]), [e, x]


@case(needs="RustBinaryEncoder", raises=TypeError)
def encoder_encode_float64():
    e, x = Encoder(16, 64, matrix()), np.zeros(16)
    return lambda: e.encode(x), [e, x]


@case(needs="RustBinaryEncoder", raises=ValueError)
def encoder_encode_non_finite():
    e, x = Encoder(16, 64, matrix()), np.zeros((3, 16), np.float32)
    x[2, 15] = np.inf
    return lambda: e.encode_batch(x), [e, x]


@case(needs="RustBinaryEncoder")
def encoder_readers():
    e = Encoder(16, 64, matrix())
    return lambda: (e.embedding_dim, e.code_bits, e.n_words, repr(e)), [e]


# --- the loop ---

WATCHED_TYPES = [np.dtype(np.uint64), np.dtype(np.float32), np.dtype(np.uint32), np.ndarray]


def run(call, raises, n):
    if raises is None:
        for _ in range(n):
            call()
        return
    for _ in range(n):
        try:
            call()
        except raises:
            pass
        else:
            raise AssertionError(f"expected {raises.__name__}")


@pytest.mark.parametrize("name", sorted(CASES))
def test_operation_does_not_leak(name):
    build, needs, raises = CASES[name]
    if needs and getattr(rs, needs, None) is None:
        pytest.skip(f"{needs} not built")
    call, watched = build()
    watched = [w for w in watched + WATCHED_TYPES if not shared(w)]
    run(call, raises, 200)  # warm-up: lazy lookups, caches, interned strings
    gc.collect()
    refs = [sys.getrefcount(w) for w in watched]
    if not UNDER_SANITIZER:
        tracemalloc.start()
        traced, heap, rss = tracemalloc.get_traced_memory()[0], native_heap and native_heap(), \
            rss_bytes()
    try:
        run(call, raises, ITERATIONS)
        gc.collect()
        assert [sys.getrefcount(w) for w in watched] == refs
        if not UNDER_SANITIZER:
            grown = tracemalloc.get_traced_memory()[0] - traced
            assert grown < 16 << 10, f"Python allocations grew by {grown} bytes"
            if native_heap:
                grown = native_heap() - heap
                assert grown < 64 << 10, f"native heap grew by {grown} bytes"
            grown = rss_bytes() - rss
            assert grown < 1 << 20 or not RSS_MEANINGFUL, f"RSS grew by {grown} bytes"
    finally:
        if tracemalloc.is_tracing():
            tracemalloc.stop()
    if raises is None:
        # Owned by the caller alone, as a fresh tuple of a fresh object is, and so is each object
        # inside a container.
        plain, (plain_item,) = ownership((lambda: (object(),))())
        own, items = ownership(call())
        assert own in (None, plain) and set(items) <= {None, plain_item}, (own, items, plain, plain_item)


@pytest.mark.skipif(UNDER_SANITIZER, reason="LeakSanitizer checks the native heap there")
@pytest.mark.parametrize("kind", ["RustCacheStorage", "RustBinaryEncoder", "HammingSimilarity"])
def test_instances_created_and_dropped_do_not_grow_the_process(kind):
    cls = getattr(rs, kind, None)
    if cls is None:
        pytest.skip(f"{kind} not built")
    c = code()
    m = matrix(256, 384)

    def make():
        if kind == "RustCacheStorage":
            s = cls(2**40)  # reserves 1024 records (45 KB) up front
            for i in range(100):
                s.add(c, i)
            return s
        if kind == "RustBinaryEncoder":
            return cls(384, 256, m)  # a 393 KB matrix copy
        return cls(256)

    for _ in range(20):
        make()
    gc.collect()
    type_refs, rss = sys.getrefcount(cls), rss_bytes()
    heap = native_heap() if native_heap else None
    for _ in range(300):
        make()
    gc.collect()
    assert sys.getrefcount(cls) == type_refs
    if heap is not None:
        assert native_heap() - heap < 64 << 10
    assert rss_bytes() - rss < 2 << 20 or not RSS_MEANINGFUL
