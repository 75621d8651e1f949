"""RustCacheStorage: entry store, search and recency."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import tarnwick_rs as rs

Storage = rs.RustCacheStorage
EPOCH = 1577836800
FULL = "Storage is full. Call evict_lru() first to make space."
NOT_CONTIGUOUS = "code must be a contiguous uint64 array"


def code(*words):
    return np.array(words or (1, 2, 3, 4), dtype=np.uint64)


def flipped(base, bits):
    """`base` with its lowest `bits` bit positions inverted (distance `bits`)."""
    out = base.copy()
    for b in range(bits):
        out[b // 64] ^= np.uint64(1 << (b % 64))
    return out


def shape_message(code_bits, n):
    return f"code must have shape ({code_bits // 64},) for {code_bits}-bit codes, got shape ({n},)"


def index_message(index, length):
    return f"index {index} out of bounds for storage of length {length}"


def filled(n, capacity=None, code_bits=256, start=1700000000):
    s = Storage(capacity or max(n, 1), code_bits)
    for i in range(n):
        s.add(code(i, 0, 0, 0), start + i)
    return s


# --- construction and surface ---


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((0,), ValueError, "capacity must be positive"),
        ((10, 0), ValueError, "code_bits must be positive"),
        ((0, 0), ValueError, "capacity must be positive"),
        ((0, None), TypeError, "argument 'code_bits': 'NoneType' object cannot be interpreted"),
        ((10.0,), TypeError, "argument 'capacity': 'float' object cannot be interpreted as an integer"),
        ((-1, 0), OverflowError, "can't convert negative int to unsigned"),
        ((), TypeError, "RustCacheStorage.__new__() missing 1 required positional argument: 'capacity'"),
        ((1, 2, 3), TypeError, "RustCacheStorage.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_constructor_rejects_with_conversions_before_checks(args, exc, message):
    with pytest.raises(exc) as info:
        Storage(*args)
    assert str(info.value).startswith(message)


def test_new_store_surface():
    s = Storage(10)
    assert (len(s), s.memory_usage(), s.capacity, s.code_bits, bool(s)) == (0, 0, 10, 256, False)
    assert repr(s) == "RustCacheStorage(capacity=10, code_bits=256, len=0)"
    assert Storage(True).capacity == 1
    assert Storage(code_bits=300, capacity=2**64 - 1).code_bits == 300

    class Five:
        def __index__(self):
            return 5

    assert Storage(Five()).capacity == 5
    with pytest.raises(AttributeError):
        s.capacity = 5
    with pytest.raises(TypeError):
        type("Sub", (Storage,), {})


@pytest.mark.parametrize(
    "member, signature",
    [
        ("add", "($self, code, timestamp)"),
        ("replace", "($self, index, code, timestamp)"),
        ("search", "($self, query, threshold=0.85)"),
        ("evict_lru", "($self)"),
        ("mark_used", "($self, index, timestamp)"),
        ("get_metadata", "($self, index)"),
        ("get_code", "($self, index)"),
        ("memory_usage", "($self)"),
    ],
)
def test_method_signatures(member, signature):
    assert getattr(Storage, member).__text_signature__ == signature


def test_class_docs():
    assert Storage.__text_signature__ == "(capacity, code_bits=256)"
    assert Storage.__doc__.startswith("A memory-efficient cache storage container exposed to Python.")
    assert Storage.__module__ == "builtins"
    assert Storage.capacity.__doc__ == "Return the capacity."
    assert Storage.code_bits.__doc__ == "Return the code_bits."
    assert Storage.memory_usage.__doc__.endswith("Should be exactly 44 * num_entries.")


# --- add, replace, readers ---


def test_add_appends_and_reports():
    s = Storage(5)
    assert [s.add(code(i, 0, 0, 2**64 - 1), 1700000000 + i) for i in range(3)] == [0, 1, 2]
    assert (len(s), s.memory_usage(), bool(s)) == (3, 132, True)
    assert s.get_code(2) == [2, 0, 0, 2**64 - 1]
    assert s.get_metadata(1) == {"created_at": 1700000001, "last_accessed": 1700000001, "access_count": 0}
    assert list(s.get_metadata(0)) == ["created_at", "last_accessed", "access_count"]
    assert repr(s) == "RustCacheStorage(capacity=5, code_bits=256, len=3)"


def test_add_accepts_keywords_and_readonly_or_equivalent_dtype():
    s = Storage(3)
    ro = code(9, 9, 9, 9)
    ro.flags.writeable = False
    assert s.add(timestamp=0, code=ro) == 0
    assert s.add(np.array([1, 2, 3, 4], dtype=np.ulonglong), 0) == 1


@pytest.mark.parametrize(
    "timestamp, read_back",
    [
        (0, EPOCH),
        (EPOCH - 1, EPOCH),
        (EPOCH, EPOCH),
        (EPOCH + 2**32 - 1, EPOCH + 2**32 - 1),
        (5872804096, EPOCH),
        (5872804097, EPOCH + 1),
        (2**64 - 1, EPOCH + (2**64 - 1 - EPOCH) % 2**32),
    ],
)
def test_timestamps_are_stored_as_32_bit_offsets(timestamp, read_back):
    s = Storage(2)
    s.add(code(), timestamp)
    s.add(code(), 1700000000)
    s.mark_used(1, timestamp)
    assert s.get_metadata(0)["created_at"] == read_back
    assert s.get_metadata(1)["last_accessed"] == read_back


@pytest.mark.parametrize("method", ["add", "replace", "mark_used"])
def test_negative_timestamp_fails_in_conversion(method):
    s = filled(1, capacity=2)
    args = {"add": (code(), -1), "replace": (0, code(), -1), "mark_used": (0, -1)}[method]
    with pytest.raises(OverflowError):
        getattr(s, method)(*args)
    assert s.get_metadata(0)["created_at"] == 1700000000 and len(s) == 1


@pytest.mark.parametrize(
    "code_bits, array, exc, message",
    [
        (256, code(1, 2, 3), ValueError, shape_message(256, 3)),
        (256, np.arange(8, dtype=np.uint64)[::2], TypeError, NOT_CONTIGUOUS),
        (256, np.arange(4, dtype=np.uint64)[::-1], TypeError, NOT_CONTIGUOUS),
        (256, np.arange(4, dtype=np.int64), TypeError,
         "argument 'code': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (256, [1, 2, 3, 4], TypeError,
         "argument 'code': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (128, code(), ValueError, shape_message(128, 4)),
        (128, code(1, 2), ValueError,
         "entries hold 256-bit codes (4 words); this storage has code_bits=128, "
         "use code_bits between 256 and 319"),
        (320, code(1, 2, 3, 4, 5), ValueError,
         "entries hold 256-bit codes (4 words); this storage has code_bits=320, "
         "use code_bits between 256 and 319"),
        (32, code()[:0], ValueError,
         "entries hold 256-bit codes (4 words); this storage has code_bits=32, "
         "use code_bits between 256 and 319"),
    ],
)
def test_code_check(code_bits, array, exc, message):
    s = Storage(4, code_bits)
    with pytest.raises(exc) as info:
        s.add(array, 1700000000)
    assert str(info.value) == message
    assert len(s) == 0
    if code_bits == 256:
        s.add(code(), 1700000000)
        with pytest.raises(exc) as info:
            s.replace(0, array, 1800000000)
        assert str(info.value) == message
        assert s.get_code(0) == [1, 2, 3, 4] and s.get_metadata(0)["created_at"] == 1700000000


@pytest.mark.parametrize("code_bits", [256, 300, 319])
def test_four_word_codes_fit_every_width_that_divides_to_four(code_bits):
    s = Storage(2, code_bits)
    assert s.add(code(), 0) == 0 and s.code_bits == code_bits
    assert s.search(code()) == (0, 1.0)


def test_single_element_strided_view_is_contiguous_for_the_shape_check():
    s = Storage(2)
    with pytest.raises(ValueError, match=r"got shape \(1,\)"):
        s.add(np.arange(8, dtype=np.uint64)[::8], 0)


@pytest.mark.parametrize(
    "bad_code", [code(1, 2, 3), np.arange(8, dtype=np.uint64)[::2], np.zeros(0, np.uint64)]
)
def test_full_store_reports_full_before_code_check(bad_code):
    s = filled(2)
    with pytest.raises(ValueError) as info:
        s.add(bad_code, 0)
    assert str(info.value) == FULL


def test_timestamp_conversion_is_reported_before_full():
    s = filled(2)
    with pytest.raises(TypeError, match="^argument 'timestamp': 'str' object cannot be interpreted"):
        s.add(code(), "now")
    with pytest.raises(TypeError, match="^argument 'code'"):
        s.add(None, 0)


@pytest.mark.parametrize("method", ["replace", "get_code", "get_metadata", "mark_used"])
def test_index_errors_name_len_not_capacity(method):
    s = filled(5, capacity=100)
    call = {
        "replace": lambda i: s.replace(i, code(1, 2, 3), 0),  # index is checked before the code
        "get_code": lambda i: s.get_code(i),
        "get_metadata": lambda i: s.get_metadata(i),
        "mark_used": lambda i: s.mark_used(i, 0),
    }[method]
    for index in (5, 99, 2**64 - 1):
        with pytest.raises(IndexError) as info:
            call(index)
        assert str(info.value) == index_message(index, 5)
    with pytest.raises(OverflowError):
        call(-1)
    empty = Storage(3)
    with pytest.raises(IndexError, match=r"^index 0 out of bounds for storage of length 0$"):
        getattr(empty, method)(*{"replace": (0, code(), 0), "mark_used": (0, 0)}.get(method, (0,)))


def test_replace_resets_entry():
    s = filled(3)
    s.mark_used(1, 1750000000)
    s.mark_used(1, 1760000000)
    assert s.get_metadata(1)["access_count"] == 2
    assert s.replace(1, code(7, 7, 7, 7), timestamp=1800000000) is None
    assert s.get_code(1) == [7, 7, 7, 7]
    assert s.get_metadata(1) == {"created_at": 1800000000, "last_accessed": 1800000000, "access_count": 0}
    assert len(s) == 3 and s.get_code(0) == [0, 0, 0, 0]


def test_binding_messages():
    s = Storage(3)
    with pytest.raises(TypeError, match=r"^RustCacheStorage.replace\(\) missing 3 required positional "
                                        r"arguments: 'index', 'code', and 'timestamp'$"):
        s.replace()
    with pytest.raises(TypeError, match=r"^RustCacheStorage.search\(\) got an unexpected keyword argument 'thresh'$"):
        s.search(code(), thresh=0.5)
    with pytest.raises(TypeError, match=r"^RustCacheStorage.mark_used\(\) got multiple values for argument 'index'$"):
        s.mark_used(0, 0, index=0)
    with pytest.raises(TypeError):
        s.evict_lru(1)


# --- search ---


@pytest.mark.parametrize(
    "threshold, shown",
    [(1.5, "1.5"), (2, "2"), (-0.1, "-0.1"), (float("nan"), "NaN"), (float("inf"), "inf"),
     (float("-inf"), "-inf"), (1.0000001, "1.0000001"), (1e10, "10000000000"),
     (1e20, "100000000000000000000"), (123456789, "123456790")],
)
def test_search_rejects_threshold_even_when_empty(threshold, shown):
    for s in (Storage(2), filled(1)):
        with pytest.raises(ValueError) as info:
            s.search(code(1, 2, 3), threshold)
        assert str(info.value) == f"threshold must be in [0.0, 1.0], got {shown}"


@pytest.mark.parametrize("threshold", [0.0, 1.0, 1.00000001, -0.0, -1e-50, 0, 1, True])
def test_search_accepts_thresholds_that_round_into_range(threshold):
    assert filled(1).search(code(0, 0, 0, 0), threshold) == (0, 1.0)


def test_search_threshold_conversion_failure_is_wrapped():
    with pytest.raises(TypeError, match=r"^argument 'threshold': must be real number, not str$"):
        Storage(1).search(code(), "high")


def test_empty_store_ignores_query_content():
    s = Storage(2)
    assert s.search(code(1, 2, 3)) is None
    assert s.search(np.arange(8, dtype=np.uint64)[::2]) is None
    with pytest.raises(TypeError, match="argument 'query'"):
        s.search(np.arange(4, dtype=np.int64))


@pytest.mark.parametrize(
    "query, exc, message",
    [(code(1, 2, 3), ValueError, shape_message(256, 3)),
     (np.arange(8, dtype=np.uint64)[::2], TypeError, NOT_CONTIGUOUS)],
)
def test_search_code_check_on_filled_store(query, exc, message):
    with pytest.raises(exc) as info:
        filled(1).search(query)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "distance, threshold, expected",
    [(38, None, (0, 0.8515625)), (39, None, None), (39, 0.84765625, (0, 0.84765625)),
     (256, 0.0, (0, 0.0)), (1, 1.0, None), (0, 1.0, (0, 1.0))],
)
def test_search_similarity_and_threshold(distance, threshold, expected):
    base = code(0xDEADBEEF, 2**64 - 1, 0, 12345)
    s = Storage(1)
    s.add(flipped(base, distance), 1700000000)
    args = (base,) if threshold is None else (base, threshold)
    result = s.search(*args)
    assert result == expected
    if result is not None:
        assert type(result[0]) is int and type(result[1]) is float


def test_search_with_300_bit_codes():
    base = code(5, 6, 7, 8)
    s = Storage(2, 300)
    s.add(~base, 0)
    assert s.search(base, 0.0) == (0, float(np.float32(1) - np.float32(256) / np.float32(300)))
    s.add(base, 0)
    assert s.search(base) == (1, 1.0)


@pytest.mark.parametrize(
    "distances, expected",
    [([5, 0, 7, 0], (1, 1.0)), ([3, 9, 3, 5], (0, None)), ([9, 4, 4, 4], (1, None)), ([12, 11, 10, 9], (3, None))],
)
def test_search_picks_first_best(distances, expected):
    base = code(11, 22, 33, 44)
    s = Storage(len(distances))
    for d in distances:
        s.add(flipped(base, d), 1700000000)
    index, similarity = s.search(base, 0.0)
    assert index == expected[0]
    assert similarity == float(np.float32(1) - np.float32(distances[index]) / np.float32(256))


def test_search_leaves_metadata_unchanged():
    s = filled(3)
    s.mark_used(2, 1750000000)
    before = [s.get_metadata(i) for i in range(3)]
    assert s.search(code(2, 0, 0, 0)) == (2, 1.0)
    assert [s.get_metadata(i) for i in range(3)] == before


# --- recency ---


def test_evict_lru_empty_and_single():
    with pytest.raises(ValueError, match="^Cannot evict from empty storage$"):
        Storage(3).evict_lru()
    assert filled(1).evict_lru() == 0


def test_eviction_order_follows_mark_used():
    s = Storage(3)
    for t in (100, 200, 300):  # all before 2020: stored as 0
        s.add(code(), t)
    assert s.evict_lru() == 0
    s.mark_used(0, 1700000000)
    assert s.evict_lru() == 1
    s.mark_used(1, 1700000001)
    assert s.evict_lru() == 2
    s.mark_used(2, 1700000002)
    assert s.evict_lru() == 0
    s.mark_used(0, 5)  # earlier time moves last_accessed back
    assert s.get_metadata(0)["last_accessed"] == EPOCH
    assert s.evict_lru() == 0


def test_evict_lru_compares_wrapped_stored_forms():
    s = Storage(3)
    s.add(code(), 1700000000)
    s.add(code(), EPOCH + 2**32 + 5)  # wraps to offset 5
    s.add(code(), EPOCH + 5)
    assert s.evict_lru() == 1


def test_evict_lru_ignores_created_at_and_access_count():
    s = filled(4)
    for i in (0, 1, 3):
        s.mark_used(i, 1800000000)
    s.mark_used(2, 1790000000)
    assert s.evict_lru() == 2
    s.replace(2, code(), 1800000000)
    assert s.evict_lru() == 0


def test_mark_used_counts_and_keeps_code_and_created_at():
    s = filled(2)
    for k in range(1, 4):
        assert s.mark_used(index=1, timestamp=1700000100 + k) is None
        assert s.get_metadata(1) == {"created_at": 1700000001, "last_accessed": 1700000100 + k, "access_count": k}
    assert s.get_code(1) == [1, 0, 0, 0]
    assert s.get_metadata(0)["access_count"] == 0


# --- re-entrancy ---


class CallsBack:
    """An integer (or float) whose conversion calls into a store first."""

    def __init__(self, value, callback, swallow=True):
        self.value, self.callback, self.swallow, self.error = value, callback, swallow, None

    def _run(self):
        try:
            self.callback()
        except RuntimeError as e:
            if not self.swallow:
                raise
            self.error = str(e)

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return float(self.value)


@pytest.mark.parametrize(
    "inner, message",
    [
        (lambda s: len(s), "Already mutably borrowed"),
        (lambda s: s.search(code()), "Already mutably borrowed"),
        (lambda s: s.evict_lru(), "Already mutably borrowed"),
        (lambda s: s.capacity, "Already mutably borrowed"),
        (lambda s: repr(s), "Already mutably borrowed"),
        (lambda s: s.add(code(), 0), "Already borrowed"),
    ],
)
@pytest.mark.parametrize("outer", ["add", "replace", "mark_used"])
def test_reentry_during_exclusive_call(inner, message, outer):
    s = filled(1, capacity=3)
    ts = CallsBack(1750000000, lambda: inner(s))
    {"add": lambda: s.add(code(9, 9, 9, 9), ts),
     "replace": lambda: s.replace(0, code(9, 9, 9, 9), ts),
     "mark_used": lambda: s.mark_used(0, ts)}[outer]()
    assert ts.error == message
    assert s.get_metadata(0 if outer != "add" else 1)["last_accessed"] == 1750000000
    # The borrow is free again: an exclusive call succeeds.
    s.mark_used(0, 1760000000)


def test_reentry_during_shared_call():
    s = filled(2)
    seen = []
    threshold = CallsBack(0.5, lambda: seen.append((len(s), s.get_code(1))))
    assert s.search(code(1, 0, 0, 0), threshold) == (1, 1.0)
    assert seen == [(2, [1, 0, 0, 0])]
    blocked = CallsBack(0.5, lambda: s.add(code(), 0))
    assert s.search(code(1, 0, 0, 0), blocked) == (1, 1.0)
    assert blocked.error == "Already borrowed"
    index = CallsBack(1, lambda: s.mark_used(0, 0))
    assert s.get_metadata(index)["access_count"] == 0
    assert index.error == "Already borrowed"
    s.mark_used(0, 0)


def test_failed_reentry_fails_outer_call_cleanly():
    s = filled(1, capacity=3)
    ts = CallsBack(1750000000, lambda: s.add(code(), 0), swallow=False)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.add(code(), ts)
    assert len(s) == 1
    assert s.add(code(), 1) == 1


# --- allocation failure ---


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif("TW_UNDER_SANITIZER" in os.environ, reason="ASan reserves its shadow memory")
@pytest.mark.spawns_interpreter
@pytest.mark.address_space_limit
def test_failed_growth_raises_memory_error_and_keeps_store():
    script = textwrap.dedent(
        """
        import resource
        import numpy as np
        import tarnwick_rs as rs

        s = rs.RustCacheStorage(2**40)
        c = np.zeros(4, np.uint64)
        n = 1 << 17                      # the room is exactly full here; the next add doubles it
        for i in range(n):
            s.add(c, 1700000000)
        vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (2 << 20), hard))
        try:
            s.add(c, 1800000000)
            outcome = "added"
        except MemoryError as e:
            outcome = "MemoryError: " + str(e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(outcome)
        print(len(s), s.memory_usage())
        print(s.add(c, 1800000000))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "MemoryError: could not allocate room for 262144 storage entries"
    assert lines[1:] == [f"{1 << 17} {44 << 17}", str(1 << 17)]


# --- model-based ---


def f32_similarity(distance, code_bits):
    return float(np.float32(1.0) - np.float32(distance) / np.float32(code_bits))


class ModelStore:
    """The store's contract in plain Python."""

    def __init__(self, capacity, code_bits):
        self.capacity, self.code_bits, self.entries = capacity, code_bits, []

    @staticmethod
    def stored(t):
        return 0 if t < EPOCH else (t - EPOCH) % 2**32

    def _index(self, index):
        if index >= len(self.entries):
            raise IndexError(index_message(index, len(self.entries)))
        return index

    def _code(self, array):
        if not (array.flags.c_contiguous or array.flags.f_contiguous):
            raise TypeError(NOT_CONTIGUOUS)
        if array.size != self.code_bits // 64:
            raise ValueError(shape_message(self.code_bits, array.size))
        if array.size != 4:
            raise ValueError(
                f"entries hold 256-bit codes (4 words); this storage has code_bits={self.code_bits}, "
                "use code_bits between 256 and 319")
        return [int(w) for w in array]

    def add(self, array, t):
        if len(self.entries) >= self.capacity:
            raise ValueError(FULL)
        self.entries.append([self._code(array), self.stored(t), self.stored(t), 0])
        return len(self.entries) - 1

    def replace(self, index, array, t):
        i = self._index(index)
        self.entries[i] = [self._code(array), self.stored(t), self.stored(t), 0]

    def mark_used(self, index, t):
        e = self.entries[self._index(index)]
        e[2] = self.stored(t)
        e[3] = min(e[3] + 1, 2**32 - 1)

    def search(self, query, threshold):
        t = np.float32(threshold)
        if not (0.0 <= t <= 1.0):
            raise ValueError(f"threshold must be in [0.0, 1.0], got {threshold}")
        if not self.entries:
            return None
        q = self._code(query)
        best, best_index = -np.inf, None
        for i, e in enumerate(self.entries):
            d = sum(bin(a ^ b).count("1") for a, b in zip(e[0], q))
            s = f32_similarity(d, self.code_bits)
            if s > best:
                best, best_index = s, i
                if d == 0:
                    break
        return (best_index, best) if best >= t else None

    def evict_lru(self):
        if not self.entries:
            raise ValueError("Cannot evict from empty storage")
        stamps = [e[2] for e in self.entries]
        return stamps.index(min(stamps))

    def get_code(self, index):
        return list(self.entries[self._index(index)][0])

    def get_metadata(self, index):
        _, c, a, n = self.entries[self._index(index)]
        return {"created_at": c + EPOCH, "last_accessed": a + EPOCH, "access_count": n}


BASE = np.array([0x0123456789ABCDEF, 0xFEDCBA9876543210, 0, 2**64 - 1], dtype=np.uint64)
good_codes = st.integers(0, 60).map(lambda d: flipped(BASE, d)) | st.lists(
    st.integers(0, 2**64 - 1), min_size=4, max_size=4).map(lambda w: np.array(w, dtype=np.uint64))
any_codes = good_codes | st.sampled_from(
    [BASE[:3].copy(), np.arange(8, dtype=np.uint64)[::2], np.zeros(5, np.uint64), BASE[:2].copy()])
times = st.sampled_from([0, EPOCH - 1, EPOCH, 5872804096, 5872804097, 2**64 - 1]) | st.integers(
    1700000000, 1700000050)
thresholds = st.sampled_from([0.0, 0.85, 0.9, 1.0, 0.5]) | st.floats(0, 1, width=32)


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - the model must fail exactly like the store
        return (type(e), str(e))


class StoreMachine(RuleBasedStateMachine):
    @initialize(capacity=st.integers(1, 6), code_bits=st.sampled_from([256, 256, 300, 128]))
    def create(self, capacity, code_bits):
        self.real = Storage(capacity, code_bits)
        self.model = ModelStore(capacity, code_bits)

    def both(self, name, *args):
        got = outcome(lambda: getattr(self.real, name)(*args))
        want = outcome(lambda: getattr(self.model, name)(*args))
        assert got == want, (name, args)

    def index(self, data):
        return data.draw(st.integers(0, len(self.model.entries) + 1))

    @rule(array=any_codes, t=times)
    def add(self, array, t):
        self.both("add", array, t)

    @rule(data=st.data(), array=any_codes, t=times)
    def replace(self, data, array, t):
        self.both("replace", self.index(data), array, t)

    @rule(data=st.data(), t=times)
    def mark_used(self, data, t):
        self.both("mark_used", self.index(data), t)

    @rule(query=any_codes, threshold=thresholds)
    def search(self, query, threshold):
        self.both("search", query, threshold)

    @rule()
    def evict_lru(self):
        self.both("evict_lru")

    @rule(data=st.data())
    def read(self, data):
        i = self.index(data)
        self.both("get_code", i)
        self.both("get_metadata", i)

    @precondition(lambda self: len(getattr(self, "model", ModelStore(1, 256)).entries) > 0)
    @rule(data=st.data())
    def search_for_stored(self, data):
        entry = self.model.entries[self.index(data) % len(self.model.entries)]
        self.both("search", np.array(entry[0], dtype=np.uint64), 1.0)

    @invariant()
    def sizes_agree(self):
        if hasattr(self, "real"):
            assert len(self.real) == len(self.model.entries)
            assert self.real.memory_usage() == 44 * len(self.model.entries)


StoreMachine.TestCase.settings = settings(
    max_examples=60, stateful_step_count=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
test_store_matches_model = StoreMachine.TestCase
