"""Input arrays are registered in the borrow-tracking table that extension modules share.

A second participant in that protocol is played here with ctypes, through the function pointers
of the table that the module publishes on NumPy's multiarray module.
"""

import ctypes
import importlib
import json
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import tarnwick_rs

NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
hamming_distance = tarnwick_rs.hamming_distance


def multiarray():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


class Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ctypes.c_void_p),
        ("acquire_mut", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("release_mut", ctypes.c_void_p),
    ]


# PYFUNCTYPE keeps the interpreter lock during the call, as the protocol requires.
AcquireFn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
ReleaseFn = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Participant:
    """Another extension module taking borrows through the shared table."""

    def __init__(self):
        code = np.zeros(1, dtype=np.uint64)
        hamming_distance(code, code)  # the first borrow of the process publishes the table
        capsule = getattr(multiarray(), NAME)
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        self.table = Table.from_address(get_pointer(capsule, NAME.encode()))
        self._acquire = AcquireFn(self.table.acquire)
        self._acquire_mut = AcquireFn(self.table.acquire_mut)
        self._release = ReleaseFn(self.table.release)
        self._release_mut = ReleaseFn(self.table.release_mut)

    def acquire(self, array):
        return self._acquire(self.table.flags, array)

    def acquire_mut(self, array):
        return self._acquire_mut(self.table.flags, array)

    def release(self, array):
        self._release(self.table.flags, array)

    def release_mut(self, array):
        self._release_mut(self.table.flags, array)

    def is_free(self, array):
        """True when nobody holds any part of `array` (an exclusive borrow would be granted)."""
        if self.acquire_mut(array) != 0:
            return False
        self.release_mut(array)
        return True


@pytest.fixture(scope="module")
def other():
    return Participant()


def words(n=4, seed=0):
    return np.random.default_rng(seed).integers(0, 2**63, size=n, dtype=np.uint64)


def panic_message(call):
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == "PanicException"
        return str(e)
    pytest.fail("no PanicException raised")


def test_table_is_published_once_with_version_1(other):
    capsule = getattr(multiarray(), NAME)
    assert type(capsule).__name__ == "PyCapsule"
    assert other.table.version == 1
    hamming_distance(words(), words())
    assert getattr(multiarray(), NAME) is capsule


@pytest.mark.parametrize("held", ["a", "b"])
def test_exclusive_borrow_elsewhere_blocks_reading_and_leaves_nothing_held(other, held):
    a, b = words(seed=1), words(seed=2)
    target = a if held == "a" else b
    assert other.acquire_mut(target) == 0
    try:
        assert panic_message(lambda: hamming_distance(a, b)) == ALREADY_BORROWED
        # The borrow of the array taken before the failure was given back.
        assert other.is_free(b if held == "a" else a)
    finally:
        other.release_mut(target)
    assert hamming_distance(a, b) == int(np.unpackbits((a ^ b).view(np.uint8)).sum())
    assert other.is_free(a) and other.is_free(b)


def test_exclusive_borrow_needs_a_writeable_array(other):
    a = words()
    a.flags.writeable = False
    assert other.acquire_mut(a) == -2
    assert hamming_distance(a, a) == 0  # shared borrows do not need write permission
    a.flags.writeable = True
    assert other.is_free(a)


def test_shared_borrows_block_exclusive_ones_until_all_are_released(other):
    a = words()
    assert other.acquire(a) == 0
    assert other.acquire(a) == 0
    assert other.acquire_mut(a) == -1
    assert hamming_distance(a, a) == 0  # reading alongside other readers
    other.release(a)
    assert other.acquire_mut(a) == -1
    other.release(a)
    assert other.is_free(a)


def test_exclusive_borrow_blocks_further_exclusive_borrows(other):
    a = words()
    assert other.acquire_mut(a) == 0
    assert other.acquire_mut(a) == -1
    assert other.acquire_mut(a[1:3]) == -1
    assert other.acquire(a) == -1
    other.release_mut(a)
    assert other.is_free(a)


BUFFER = np.arange(16, dtype=np.uint64)


@pytest.mark.parametrize(
    "held, read, blocked",
    [
        (lambda a: a[:4], lambda a: a[2:6], True),
        (lambda a: a[:4], lambda a: a[4:8], False),
        (lambda a: a[:4], lambda a: a[3:7], True),
        (lambda a: a[:4], lambda a: a[::-1][12:], True),  # elements 3, 2, 1, 0
        (lambda a: a[:4], lambda a: a[::-1][:4], False),  # elements 15 .. 12
        (lambda a: a[:4], lambda a: a[1::2][:4], True),  # elements 1, 3, 5, 7
        (lambda a: a[:4], lambda a: a.reshape(4, 4)[1], False),  # a view of a view
        (lambda a: a[:4], lambda a: a.reshape(4, 4)[:, 0], True),  # column 0: elements 0, 4, 8, 12
        (lambda a: a.reshape(4, 4)[:, 0], lambda a: a.reshape(4, 4)[:, 1], False),
        (lambda a: a[::2][:4], lambda a: a[1::2][:4], False),  # interleaved
        (lambda a: a[::2][:4], lambda a: a[2:3], True),
        (lambda a: a, lambda a: a.copy()[:4], False),  # another buffer
        (lambda a: a[:4], lambda a: a[2:][:0], False),  # empty, its data pointer inside
    ],
)
def test_views_of_one_buffer_conflict_only_where_they_overlap(other, held, read, blocked):
    base = BUFFER.copy()
    view = held(base)
    other_words = words(4)
    assert other.acquire_mut(view) == 0
    try:
        target = read(base)
        call = lambda: hamming_distance(target, other_words[: len(target)])  # noqa: E731
        if blocked:
            assert panic_message(call) == ALREADY_BORROWED
        else:
            try:
                call()
            except TypeError as e:  # granted the borrow, then needed a flat run
                assert str(e) == "The given array is not contiguous"
    finally:
        other.release_mut(view)
    assert other.is_free(base)


def test_same_array_for_both_parameters(other):
    a = words()
    assert hamming_distance(a, a) == 0
    assert other.acquire(a) == 0
    try:
        assert hamming_distance(a, a) == 0
    finally:
        other.release(a)
    assert other.is_free(a)


def test_nothing_stays_borrowed_after_calls_that_succeed_or_fail(other):
    arrays = [words(4, seed=s) for s in range(3)] + [BUFFER[2:6], BUFFER[4:8]]
    for _ in range(200):
        for x in arrays:
            for y in arrays:
                hamming_distance(x, y)
        with pytest.raises(ValueError):
            hamming_distance(arrays[0], words(5))
        with pytest.raises(TypeError):
            hamming_distance(arrays[0], np.zeros(4, dtype=np.int64))
        with pytest.raises(TypeError):
            hamming_distance(arrays[0], BUFFER[::2][:4])  # not contiguous
    for x in arrays + [BUFFER]:
        assert other.is_free(x)


def set_strides(array, strides):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # in-place restriding is deprecated
        array.strides = strides


def test_restriding_during_a_call_does_not_leak_a_borrow(other):
    similarity_type = getattr(tarnwick_rs, "HammingSimilarity", None)
    if similarity_type is None:
        pytest.skip("HammingSimilarity is not built in")
    query = words(16)[:8]
    codes = np.stack([words(8, seed=s) for s in range(3)])

    class Threshold:
        def __float__(self):
            # Our shared borrows are held while the arguments are converted.
            assert other.acquire_mut(query) == -1
            assert other.acquire_mut(codes) == -1
            set_strides(query, (16,))  # now it spans twice the bytes
            return 0.0

    with pytest.raises(TypeError):
        similarity_type(code_bits=512).find_nearest(query, codes, threshold=Threshold())
    set_strides(query, (8,))
    assert other.is_free(query) and other.is_free(codes)


def test_our_shared_borrow_is_visible_to_the_other_participant(other):
    similarity_type = getattr(tarnwick_rs, "HammingSimilarity", None)
    if similarity_type is None:
        pytest.skip("HammingSimilarity is not built in")
    query, codes = words(4), np.stack([words(4, seed=s) for s in range(3)])
    seen = []

    class Threshold:
        def __float__(self):
            seen.append((other.acquire_mut(query), other.acquire_mut(codes), other.acquire(codes)))
            other.release(codes)
            return 0.0

    assert similarity_type().find_nearest(query, codes, threshold=Threshold()) is not None
    assert seen and all(s == (-1, -1, 0) for s in seen)
    assert other.is_free(query) and other.is_free(codes)


# --- tables planted before the first call, in a fresh interpreter each ---

PLANT = textwrap.dedent(
    """
    import ctypes, importlib, json, sys
    import numpy as np
    import tarnwick_rs

    NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
    major = int(np.__version__.split(".")[0])
    ma = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
    mode, version, code = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

    class Table(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64)] + [
            (n, ctypes.c_void_p) for n in ("flags", "acquire", "acquire_mut", "release", "release_mut")]

    calls = []
    a = np.arange(4, dtype=np.uint64)
    b = np.arange(4, 8, dtype=np.uint64)
    def name(x):
        return "a" if x is a else "b" if x is b else "?"
    def acquire(flags, x):
        calls.append(["acquire", flags, name(x)])
        return code if x is b else 0
    def acquire_mut(flags, x):
        calls.append(["acquire_mut", flags, name(x)])
        return 0
    def release(flags, x):
        calls.append(["release", flags, name(x)])
    def release_mut(flags, x):
        calls.append(["release_mut", flags, name(x)])

    A = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    R = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    keep = [A(acquire), A(acquire_mut), R(release), R(release_mut)]
    table = Table(version, 1234, *[ctypes.cast(f, ctypes.c_void_p) for f in keep])
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    planted = new_capsule(ctypes.addressof(table), NAME, None) if mode == "capsule" else 5
    setattr(ma, NAME.decode(), planted)

    def attempt():
        try:
            return ["ok", tarnwick_rs.hamming_distance(a, b)]
        except BaseException as e:
            return [type(e).__name__, str(e)]

    out = {"first": attempt(), "second": attempt()}
    out["calls"] = list(calls)
    out["kept"] = getattr(ma, NAME.decode()) is planted
    delattr(ma, NAME.decode())
    out["after_removal"] = attempt()
    out["created"] = type(getattr(ma, NAME.decode(), None)).__name__
    print(json.dumps(out))
    """
)


def plant(mode, version=1, code=0):
    result = subprocess.run(
        [sys.executable, "-c", PLANT, mode, str(version), str(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.spawns_interpreter
def test_a_table_planted_by_another_module_is_used_and_none_is_created():
    out = plant("capsule")
    assert out["first"] == ["ok", 4] and out["second"] == ["ok", 4]
    assert sorted(out["calls"]) == sorted([["acquire", 1234, "a"], ["acquire", 1234, "b"],
                                           ["release", 1234, "a"], ["release", 1234, "b"]] * 2)
    assert out["kept"]
    # With the planted table gone, the table found first stays in use for the process.
    assert out["after_removal"] == ["ok", 4] and out["created"] == "NoneType"


@pytest.mark.spawns_interpreter
@pytest.mark.parametrize(
    "code, message",
    [
        (-1, ALREADY_BORROWED),
        (-2, "Unexpected return code -2 from borrow checking API"),
        (7, "Unexpected return code 7 from borrow checking API"),
    ],
)
def test_refusals_of_a_planted_table(code, message):
    out = plant("capsule", code=code)
    assert out["first"] == ["PanicException", message]
    # The borrow of `a` taken before `b` was refused is given back; `b` is never released.
    assert out["calls"][:3] == [["acquire", 1234, "a"], ["acquire", 1234, "b"], ["release", 1234, "a"]]


@pytest.mark.spawns_interpreter
@pytest.mark.parametrize(
    "mode, version, cause",
    [
        ("capsule", 0, "TypeError: Version 0 of borrow checking API is not supported by this version of rust-numpy"),
        ("int", 1, "TypeError: 'int' object cannot be converted to 'PyCapsule'"),
    ],
)
def test_unusable_planted_attribute_faults_and_is_looked_up_again(mode, version, cause):
    out = plant(mode, version=version)
    expected = ["PanicException", "Interal borrow checking API error: " + cause]
    assert out["first"] == expected and out["second"] == expected
    assert out["calls"] == []
    # Once the attribute is gone, the next call creates and publishes the table.
    assert out["after_removal"] == ["ok", 4] and out["created"] == "PyCapsule"


# A table planted by "another module" that keys borrows by (data, shape, strides) as they are
# when it is called, and counts them: every acquire must meet exactly one release of its key,
# whatever the arguments' conversions do to the arrays meanwhile.
COUNTING = textwrap.dedent(
    """
    import ctypes, importlib, json, warnings
    import numpy as np
    import tarnwick_rs

    NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
    major = int(np.__version__.split(".")[0])
    ma = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")

    class Table(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64)] + [
            (n, ctypes.c_void_p) for n in ("flags", "acquire", "acquire_mut", "release", "release_mut")]

    counts, unmatched = {}, []
    def key(x):
        return (x.__array_interface__["data"][0], x.shape, x.strides)
    def acquire(flags, x):
        counts[key(x)] = counts.get(key(x), 0) + 1
        return 0
    def release(flags, x):
        if counts.get(key(x), 0) == 0:
            unmatched.append(str(key(x)))
        else:
            counts[key(x)] -= 1

    A = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    R = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    keep = [A(acquire), A(acquire), R(release), R(release)]
    table = Table(1, 0, *[ctypes.cast(f, ctypes.c_void_p) for f in keep])
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    setattr(ma, NAME.decode(), new_capsule(ctypes.addressof(table), NAME, None))

    def restride(array, strides):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            array.strides = strides

    class Restriding:
        def __init__(self, array, value):
            self.array, self.value = array, value
        def __float__(self):
            restride(self.array, (16,))
            return self.value
        def __index__(self):
            restride(self.array, (16,))
            return self.value

    outcomes = []
    def attempt(call):
        try:
            call()
            outcomes.append("ok")
        except (TypeError, ValueError) as e:
            outcomes.append(f"{type(e).__name__}: {e}")

    buffer = np.arange(16, dtype=np.uint64)
    query = buffer[:8]
    codes = np.zeros((3, 8), dtype=np.uint64)
    attempt(lambda: tarnwick_rs.HammingSimilarity(512).find_nearest(query, codes, Restriding(query, 0.0)))
    restride(query, (8,))
    store = tarnwick_rs.RustCacheStorage(4)
    store.add(np.zeros(4, dtype=np.uint64), 1700000000)
    code = np.arange(8, dtype=np.uint64)[:4]
    attempt(lambda: store.add(code, Restriding(code, 1700000000)))
    restride(code, (8,))
    attempt(lambda: store.search(code, Restriding(code, 0.5)))
    # A conversion that fails after the intakes: its error must survive the releases, which
    # call into this table's Python code.
    restride(code, (8,))
    attempt(lambda: tarnwick_rs.HammingSimilarity(256).find_nearest(code, codes[:, :4].copy(), "x"))
    print(json.dumps({"held": {str(k): n for k, n in counts.items() if n}, "unmatched": unmatched,
                      "outcomes": outcomes}))
    """
)


@pytest.mark.spawns_interpreter
def test_another_modules_table_sees_every_acquire_released_once():
    result = subprocess.run([sys.executable, "-c", COUNTING], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["held"] == {} and out["unmatched"] == []
    # Restrided to (16,), the arrays are no longer contiguous runs.
    assert [o.split(":")[0] for o in out["outcomes"][:3]] == ["TypeError"] * 3
    assert out["outcomes"][3:] == ["TypeError: argument 'threshold': must be real number, not str"]
