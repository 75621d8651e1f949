"""NumPy lookup, array intake and hamming_distance."""
import re

import numpy as np
import pytest

import tarnwick_rs as rs

U64 = np.uint64


def codes(*words):
    return np.array(words, dtype=U64)


@pytest.mark.parametrize("a,b,expected", [
    ([], [], 0),
    ([0], [0xFFFFFFFFFFFFFFFF], 64),
    ([1, 2], [3, 2], 1),
    ([0, 0, 0, 0], [0, 0, 0, 1 << 63], 1),
    ([5, 6, 7, 8, 9], [5, 6, 7, 8, 9], 0),
])
def test_hamming_distance_values(a, b, expected):
    result = rs.hamming_distance(codes(*a), codes(*b))
    assert result == expected
    assert type(result) is int


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 7, 8, 9, 63, 64, 65, 1000])
def test_hamming_distance_matches_numpy(n):
    rng = np.random.default_rng(n)
    a = rng.integers(0, 2**64, n, dtype=U64, endpoint=False)
    b = rng.integers(0, 2**64, n, dtype=U64, endpoint=False)
    expected = sum(bin(int(x) ^ int(y)).count("1") for x, y in zip(a, b))
    assert rs.hamming_distance(a=a, b=b) == expected


def test_unaligned_buffer_is_read_correctly():
    raw = np.zeros(8 * 9 + 1, dtype=np.uint8)
    a = raw[1:].view(U64)
    a[:] = np.arange(9, dtype=U64)
    assert a.ctypes.data % 8 == 1
    assert rs.hamming_distance(a, np.zeros(9, dtype=U64)) == sum(bin(i).count("1") for i in range(9))


@pytest.mark.parametrize("a,b,message", [
    (codes(1, 2, 3, 4), codes(1, 2, 3), "arrays have different lengths: 4 vs 3"),
    (codes(1, 2, 3), codes(1, 2, 3, 4), "arrays have different lengths: 3 vs 4"),
])
def test_length_mismatch(a, b, message):
    with pytest.raises(ValueError) as info:
        rs.hamming_distance(a, b)
    assert str(info.value) == message


BAD = [
    ([1, 2], "list"),
    (np.array([1, 2], dtype=np.int64), "ndarray"),
    (np.array([1.0]), "ndarray"),
    (np.zeros((2, 2), dtype=U64), "ndarray"),
    (np.array(3, dtype=U64), "ndarray"),
    (U64(3), "uint64"),
    (None, "NoneType"),
]


@pytest.mark.parametrize("value,type_name", BAD)
@pytest.mark.parametrize("position", ["a", "b"])
def test_intake_rejections_name_the_argument(value, type_name, position):
    good = codes(1, 2)
    args = {"a": good, "b": good, position: value}
    with pytest.raises(TypeError) as info:
        rs.hamming_distance(**args)
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"argument '{position}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")


def test_equivalent_dtype_and_subclass_are_accepted():
    other = np.dtype("ulonglong")
    assert other == np.dtype(U64)
    a = np.array([7, 1], dtype=other)
    class Sub(np.ndarray):
        pass
    b = codes(0, 0).view(Sub)
    assert rs.hamming_distance(a, b) == 4


@pytest.mark.parametrize("make", [
    lambda a: a[::-1],
    lambda a: a[::2],
    lambda a: np.lib.stride_tricks.as_strided(a, shape=(4,), strides=(0,)),
])
def test_non_contiguous_views_are_refused(make):
    a = np.arange(8, dtype=U64)
    view = make(a)
    with pytest.raises(TypeError) as info:
        rs.hamming_distance(view, codes(*range(view.size)))
    assert str(info.value) == "The given array is not contiguous"
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        rs.hamming_distance(codes(*range(view.size)), view)


def test_single_element_stepped_view_is_contiguous():
    a = np.arange(8, dtype=U64)
    assert rs.hamming_distance(a[3:4:5], codes(0)) == 2
    assert rs.hamming_distance(a[::-1][:1], codes(7)) == 0


def test_all_intake_checks_come_before_contiguity():
    a = np.arange(8, dtype=U64)[::2]
    with pytest.raises(TypeError, match="argument 'b'"):
        rs.hamming_distance(a, np.arange(4, dtype=np.int64))


def test_read_only_arrays_are_accepted_and_never_written():
    a = np.arange(4, dtype=U64)
    a.flags.writeable = False
    b = a.copy()
    b.flags.writeable = False
    assert rs.hamming_distance(a, b) == 0
    np.testing.assert_array_equal(a, np.arange(4, dtype=U64))


def test_reference_counts_are_unchanged_after_many_calls():
    import sys

    a, b, bad = codes(1, 2, 3, 4), codes(1, 2, 3), np.arange(6, dtype=U64)[::2]
    before = [sys.getrefcount(x) for x in (a, b, bad)]

    def churn():
        for _ in range(2000):
            rs.hamming_distance(a, a)
            for args in ((a, b), (bad, a), (a, [1])):
                try:
                    rs.hamming_distance(*args)
                except (TypeError, ValueError):
                    pass

    churn()
    assert [sys.getrefcount(x) for x in (a, b, bad)] == before


@pytest.mark.spawns_interpreter
def test_numpy_absent_is_a_panic_and_the_lookup_is_retried(python):
    result = python("""
        import sys
        sys.modules['numpy'] = None
        import tarnwick_rs
        print(tarnwick_rs.rust_version(), tarnwick_rs.hello_from_rust())
        for _ in range(2):
            try:
                tarnwick_rs.hamming_distance(1, 2)
            except BaseException as e:
                print(type(e).__name__, e.args[0])
        del sys.modules['numpy']
        import numpy as np
        a = np.array([1, 2], dtype=np.uint64)
        print(tarnwick_rs.hamming_distance(a, a ^ np.uint64(1)))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "0.1.0 Hello from tarnwick_rs v0.1.0!"
    for line in lines[1:3]:
        assert line.startswith("PanicException Failed to access NumPy array API capsule: ")
        assert "ModuleNotFoundError" in line or "ImportError" in line
    assert lines[3] == "2"
    # Each fault's diagnostic names its source from the top of the tree, not the build machine's.
    sources = re.findall(r"^tarnwick_rs: internal fault at (\S+):\d+: Failed to access", result.stderr, re.M)
    assert len(sources) == 2 and all(s.replace("\\", "/").startswith("src/") for s in sources), result.stderr
