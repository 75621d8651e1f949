"""HammingSimilarity: class surface, checks and their order, binary32 results, the scan rule."""

import math
import sys
import weakref

import numpy as np
import pytest

import tarnwick_rs
from tarnwick_rs import HammingSimilarity

NOT_CONTIGUOUS = "The given array is not contiguous"
NOT_ROW_MAJOR = "codes must be C-contiguous (row-major). Use np.ascontiguousarray(codes)"


def f32_similarity(distance, code_bits):
    return float(np.float32(1.0) - np.float32(distance) / np.float32(code_bits))


def reference_nearest(distances, code_bits, threshold):
    """The scan rule, row by row in binary32."""
    best, best_index = -math.inf, None
    for i, d in enumerate(distances):
        s = f32_similarity(d, code_bits)
        if s > best:
            best, best_index = s, i
            if d == 0:
                break
    if best_index is not None and best >= float(np.float32(threshold)):
        return (best_index, best)
    return None


def popcount_rows(words):
    """Set bits per row of a 2-D uint64 array (NumPy 1 has no bitwise_count)."""
    rows, columns = words.shape
    as_bytes = np.ascontiguousarray(words).view(np.uint8).reshape(rows, 8 * columns)
    return np.unpackbits(as_bytes, axis=1).sum(axis=1, dtype=np.uint32)


def flipped(query, bits):
    """A copy of `query` with its first `bits` bits inverted."""
    code = query.copy()
    for b in range(bits):
        code[b // 64] ^= np.uint64(1 << (b % 64))
    return code


def at_distances(query, distances):
    return np.array([flipped(query, d) for d in distances], dtype=np.uint64).reshape(
        len(distances), query.size
    )


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


@pytest.fixture
def q4(rng):
    return rng.integers(0, 2**64, size=4, dtype=np.uint64)


# --- the type object ---


def test_type_object_surface():
    H = HammingSimilarity
    assert tarnwick_rs.HammingSimilarity is H
    assert (H.__name__, H.__qualname__, H.__module__) == (
        "HammingSimilarity",
        "HammingSimilarity",
        "builtins",
    )
    assert H.__text_signature__ == "(code_bits=256)"
    assert H.__doc__.startswith("Hamming similarity calculator for binary codes.\n")
    for section in ("FROZEN FORMULA", "similarity = 1.0 - (hamming_distance / code_bits)",
                    "Example (Python)", "HammingSimilarity(code_bits=256)"):
        assert section in H.__doc__
    public = [name for name in vars(H) if not name.startswith("_")]
    assert public == ["distance", "distance_batch", "similarity", "similarity_batch",
                      "find_nearest", "code_bits"]
    assert H.code_bits.__doc__ == "Get the number of code bits."


@pytest.mark.parametrize(
    "name, signature, first_line",
    [
        ("distance", "($self, query, code)",
         "Compute Hamming distance between query and a single code."),
        ("distance_batch", "($self, query, codes)",
         "Compute Hamming distances between query and all codes."),
        ("similarity", "($self, query, code)",
         "Compute normalized Hamming similarity between query and a single code."),
        ("similarity_batch", "($self, query, codes)",
         "Compute normalized Hamming similarities between query and all codes."),
        ("find_nearest", "($self, query, codes, threshold=0.85)",
         "Find the nearest code above similarity threshold."),
    ],
)
def test_method_signatures_and_docstrings(name, signature, first_line):
    method = getattr(HammingSimilarity, name)
    assert method.__text_signature__ == signature
    assert method.__doc__.startswith(first_line + "\n\n")
    assert "# Arguments\n\n* `query` - Binary code as uint64 array of shape (n_words,)\n" in (
        method.__doc__
    )


def test_instances_are_closed():
    h = HammingSimilarity()
    with pytest.raises(TypeError):

        class Sub(HammingSimilarity):
            pass

    with pytest.raises(TypeError):
        vars(h)
    with pytest.raises(AttributeError):
        h.code_bits = 5
    with pytest.raises(AttributeError):
        h.other = 1
    with pytest.raises(TypeError):
        weakref.ref(h)
    assert h.code_bits == 256
    # Every instance holds its heap type, and gives it back when it goes.
    before = sys.getrefcount(HammingSimilarity)
    instances = [HammingSimilarity(n) for n in range(1, 100)]
    assert sys.getrefcount(HammingSimilarity) == before + len(instances)
    del instances
    assert sys.getrefcount(HammingSimilarity) == before


# --- construction ---


@pytest.mark.parametrize(
    "args, kwargs, code_bits",
    [((), {}, 256), ((1,), {}, 1), ((), {"code_bits": 64}, 64), ((True,), {}, 1),
     ((2**64 - 1,), {}, 2**64 - 1), ((np.uint16(300),), {}, 300)],
)
def test_constructor_accepts(args, kwargs, code_bits):
    h = HammingSimilarity(*args, **kwargs)
    assert h.code_bits == code_bits
    assert type(h.code_bits) is int
    assert repr(h) == f"HammingSimilarity(code_bits={code_bits})"


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((0,), {}, ValueError, "code_bits must be positive"),
        ((), {"code_bits": None}, TypeError,
         "argument 'code_bits': 'NoneType' object cannot be interpreted as an integer"),
        ((256.0,), {}, TypeError,
         "argument 'code_bits': 'float' object cannot be interpreted as an integer"),
        ((1, 2), {}, TypeError,
         "HammingSimilarity.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"bits": 2}, TypeError,
         "HammingSimilarity.__new__() got an unexpected keyword argument 'bits'"),
        ((8,), {"code_bits": 2}, TypeError,
         "HammingSimilarity.__new__() got multiple values for argument 'code_bits'"),
    ],
)
def test_constructor_rejects(args, kwargs, error, message):
    with pytest.raises(error) as info:
        HammingSimilarity(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is error


@pytest.mark.parametrize("value", [-1, 2**64])
def test_constructor_overflow_is_not_wrapped(value):
    with pytest.raises(OverflowError) as info:
        HammingSimilarity(value)
    assert "argument" not in str(info.value)


# --- values ---


@pytest.mark.parametrize(
    "code_bits, words, distance, expected",
    [
        (256, 4, 38, 0.8515625),
        (256, 4, 39, 0.84765625),
        (3, 1, 1, 0.6666666269302368),
        (64, 4, 200, -2.125),
        (300, 4, 256, f32_similarity(256, 300)),
        (1, 2, 0, 1.0),
        (256, 4, 128, 0.5),
    ],
)
def test_similarity_is_binary32_everywhere(rng, code_bits, words, distance, expected):
    h = HammingSimilarity(code_bits)
    q = rng.integers(0, 2**64, size=words, dtype=np.uint64)
    code = flipped(q, distance)
    assert h.distance(q, code) == distance
    s = h.similarity(q, code)
    assert type(s) is float and s == expected
    codes = np.stack([code, code])
    assert h.distance_batch(q, codes).tolist() == [distance, distance]
    batch = h.similarity_batch(q, codes)
    assert batch.dtype == np.float32 and batch.tolist() == [expected, expected]
    if expected >= 0:
        assert h.find_nearest(q, codes, 0.0) == (0, expected)
    else:
        assert h.find_nearest(q, codes, 0.0) is None  # negative similarities are not clamped


@pytest.mark.parametrize("words", range(0, 10))
def test_batches_agree_with_numpy_for_every_word_count(rng, words):
    h = HammingSimilarity(100)
    q = rng.integers(0, 2**64, size=words, dtype=np.uint64)
    for rows in (0, 1, 15, 16, 17, 33, 70):
        codes = rng.integers(0, 2**64, size=(rows, words), dtype=np.uint64)
        want = popcount_rows(codes ^ q)
        got = h.distance_batch(q, codes)
        assert got.dtype == np.uint32 and got.shape == (rows,)
        np.testing.assert_array_equal(got, want)
        sims = h.similarity_batch(q, codes)
        expected = np.float32(1.0) - want.astype(np.float32) / np.float32(100)
        assert sims.tobytes() == expected.astype(np.float32).tobytes()
        for r in range(rows):
            assert h.similarity(q, codes[r]) == sims[r]
        assert h.find_nearest(q, codes, 0.0) == reference_nearest(want.tolist(), 100, 0.0)


def test_results_are_fresh_owned_arrays(q4):
    h = HammingSimilarity()
    codes = np.stack([q4, q4])
    for out in (h.distance_batch(q4, codes), h.similarity_batch(q4, codes)):
        assert out.flags.owndata and out.flags.writeable and out.flags.c_contiguous
        assert out.base is None
    assert type(h.distance(q4, q4)) is int


def test_zero_word_codes():
    h = HammingSimilarity()
    q = np.zeros(0, dtype=np.uint64)
    codes = np.zeros((3, 0), dtype=np.uint64)
    assert h.distance_batch(q, codes).tolist() == [0, 0, 0]
    assert h.similarity_batch(q, codes).tolist() == [1.0, 1.0, 1.0]
    assert h.find_nearest(q, codes) == (0, 1.0)
    assert h.distance(q, q) == 0 and h.similarity(q, q) == 1.0


HUGE = 2**26  # words: from here on two codes can lie 2**32 bits apart


@pytest.fixture(scope="module")
def huge_pair():
    return np.zeros(HUGE, dtype=np.uint64), np.full(HUGE, 2**64 - 1, dtype=np.uint64)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda a, b: tarnwick_rs.hamming_distance(a, b), 2**32),
        (lambda a, b: HammingSimilarity().distance(a, b), 2**32),
        (lambda a, b: HammingSimilarity(2**32).similarity(a, b), 0.0),
        (lambda a, b: HammingSimilarity(2**32).similarity_batch(a, b[None]).tolist(), [0.0]),
        (lambda a, b: HammingSimilarity(2**32).find_nearest(a, b[None], 1.0), None),
        (lambda a, b: HammingSimilarity(2**33).find_nearest(a, b[None], 0.0), (0, 0.5)),
        (lambda a, b: HammingSimilarity().distance_batch(a, b[None][:0]).tolist(), []),
    ],
)
def test_distances_of_2_to_the_32_bits_do_not_wrap(huge_pair, call, expected):
    assert call(*huge_pair) == expected


def test_distance_batch_refuses_distances_beyond_uint32(huge_pair):
    a, b = huge_pair
    with pytest.raises(OverflowError, match=r"^distances of 67108864-word codes can exceed 4294967295, the largest uint32 distance$"):
        HammingSimilarity().distance_batch(a, b[None])


# --- the scan rule of find_nearest ---


@pytest.mark.parametrize(
    "code_bits, distances, threshold, expected",
    [
        (256, [5, 3, 3, 0, 0], 0.85, (3, 1.0)),
        (256, [5, 3, 3], 0.85, (1, f32_similarity(3, 256))),
        (256, [38], None, (0, 0.8515625)),
        (256, [39], None, None),
        (256, [40, 38, 39], 0.8515625, (1, 0.8515625)),
        (256, [1, 2], 1.0, None),
        (256, [1, 0, 2], 1.0, (1, 1.0)),
        (256, [200, 256], 0.0, (0, f32_similarity(200, 256))),
        (64, [65, 70], 0.0, None),
        # Neighbouring distances that round to one binary32 similarity: the first row wins.
        (2**40, [200, 7, 0], 1.0, (0, 1.0)),
        (2**30, [100, 97, 120], 0.5, (0, f32_similarity(97, 2**30))),
        (2**30, [200, 97, 100], 0.5, (1, f32_similarity(97, 2**30))),
        (2**30, [200, 170, 97, 100, 97], 0.5, (2, f32_similarity(97, 2**30))),
    ],
)
def test_find_nearest_scan_rule(q4, code_bits, distances, threshold, expected):
    h = HammingSimilarity(code_bits)
    codes = at_distances(q4, distances)
    got = h.find_nearest(q4, codes) if threshold is None else h.find_nearest(q4, codes, threshold)
    assert got == expected
    assert got == reference_nearest(distances, code_bits, 0.85 if threshold is None else threshold)


@pytest.mark.parametrize("code_bits", [256, 2**26, 2**30, 2**40])
def test_find_nearest_matches_the_rule_on_many_rows(rng, code_bits):
    q = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    h = HammingSimilarity(code_bits)
    for trial in range(20):
        rows = int(rng.integers(1, 90))
        distances = rng.integers(0 if trial % 4 == 0 else 1, 256, size=rows).tolist()
        codes = at_distances(q, distances)
        assert h.find_nearest(q, codes, 0.0) == reference_nearest(distances, code_bits, 0.0)


# --- thresholds ---


@pytest.mark.parametrize(
    "threshold, shown",
    [(1.5, "1.5"), (2, "2"), (-0.1, "-0.1"), (math.nan, "NaN"), (math.inf, "inf"),
     (-math.inf, "-inf"), (1e10, "10000000000"), (1.0000001, "1.0000001"), (1e39, "inf"),
     (1e20, "100000000000000000000"), (123456789, "123456790"),
     (3e38, "300000000000000000000000000000000000000"),
     (-1e-45, "-0.000000000000000000000000000000000000000000001")],
)
def test_threshold_out_of_range(q4, threshold, shown):
    h = HammingSimilarity()
    with pytest.raises(ValueError) as info:
        h.find_nearest(q4, np.stack([q4]), threshold)
    assert str(info.value) == f"threshold must be in [0.0, 1.0], got {shown}"


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "threshold, matches",
    [(1.00000001, True), (-0.0, False), (-1e-46, False), (0.0, False), (1, True),
     (np.float64(0.25), False), (np.float32(1.0), True), (Floaty(1.0), True), (Indexy(), True)],
)
def test_threshold_accepted(q4, threshold, matches):
    # Rows at distances 1 and 0: a threshold rounding to 1.0 still finds the exact copy.
    h = HammingSimilarity()
    codes = at_distances(q4, [1, 0])
    assert h.find_nearest(q4, codes, threshold) == (1, 1.0)
    assert (h.find_nearest(q4, codes[:1], threshold) is None) == matches


def test_default_threshold_is_085_in_binary32(q4):
    h = HammingSimilarity()
    assert np.float32(0.85) < np.float32(0.8515625)
    for d, found in ((38, True), (39, False)):
        codes = at_distances(q4, [d])
        assert (h.find_nearest(q4, codes) is not None) == found
        assert h.find_nearest(q4, codes) == h.find_nearest(q4, codes, 0.85)
        assert h.find_nearest(q4, codes) == h.find_nearest(q4, codes, threshold=np.float32(0.85))


def test_threshold_is_compared_after_rounding(q4):
    h = HammingSimilarity()
    codes = at_distances(q4, [38])
    assert h.find_nearest(q4, codes, 0.8515625) == (0, 0.8515625)
    above = float(np.nextafter(np.float32(0.8515625), np.float32(1)))
    assert h.find_nearest(q4, codes, above) is None
    # A double just above the binary32 value rounds back down to it.
    assert h.find_nearest(q4, codes, 0.8515625 + 1e-12) == (0, 0.8515625)


def test_threshold_conversion_failure_names_the_parameter(q4):
    h = HammingSimilarity()
    with pytest.raises(TypeError) as info:
        h.find_nearest(q4, np.stack([q4]), "0.5")
    assert str(info.value).startswith("argument 'threshold': ")
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        h.find_nearest(q4, np.stack([q4]), threshold=None)


# --- checks and the order in which they are made ---


@pytest.mark.parametrize("method", ["distance", "similarity"])
def test_pair_checks_in_order(q4, method):
    h = HammingSimilarity()
    call = getattr(h, method)
    strided = np.zeros(8, dtype=np.uint64)[::2]
    cases = [
        ((list(q4), q4), TypeError,
         "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((q4.astype(np.int64), q4), TypeError,
         "argument 'query': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((strided, q4.reshape(2, 2)), TypeError,
         "argument 'code': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((strided, strided[:3]), TypeError, NOT_CONTIGUOUS),
        ((q4, q4[::-1]), TypeError, NOT_CONTIGUOUS),
        ((q4, q4[:3]), ValueError, "query has 4 words but code has 3 words"),
        ((q4[:3], q4), ValueError, "query has 3 words but code has 4 words"),
        ((q4, q4, q4), TypeError,
         f"HammingSimilarity.{method}() takes 2 positional arguments but 3 were given"),
        ((q4,), TypeError,
         f"HammingSimilarity.{method}() missing 1 required positional argument: 'code'"),
    ]
    for args, error, message in cases:
        with pytest.raises(error) as info:
            call(*args)
        assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("method", ["distance_batch", "similarity_batch"])
def test_batch_checks_in_order(q4, method):
    h = HammingSimilarity()
    call = getattr(h, method)
    m = np.zeros((4, 4), dtype=np.uint64)
    cases = [
        ((q4[::2], q4), TypeError,
         "argument 'codes': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((q4[::2], np.asfortranarray(m)), TypeError, NOT_CONTIGUOUS),
        ((q4[::2], m[:0]), TypeError, NOT_CONTIGUOUS),
        ((q4[:3], np.asfortranarray(m)), ValueError, NOT_ROW_MAJOR),
        ((q4, np.asfortranarray(m[:2])), ValueError, NOT_ROW_MAJOR),
        ((q4, np.zeros((3, 8), dtype=np.uint64)[:, :4]), ValueError, NOT_ROW_MAJOR),
        ((q4, m[::2]), ValueError, NOT_ROW_MAJOR),
        ((q4, m[::-1]), ValueError, NOT_ROW_MAJOR),
        ((q4, m[:, ::-1]), ValueError, NOT_ROW_MAJOR),
        ((q4, m[:, :3]), ValueError, NOT_ROW_MAJOR),
        ((q4, np.zeros((0, 3), dtype=np.uint64)), ValueError,
         "query has 4 words but codes have 3 words"),
        ((q4, np.zeros((3, 0), dtype=np.uint64)), ValueError,
         "query has 4 words but codes have 0 words"),
    ]
    for args, error, message in cases:
        with pytest.raises(error) as info:
            call(*args)
        assert type(info.value) is error and str(info.value) == message, args


@pytest.mark.parametrize(
    "codes",
    [
        np.arange(40, dtype=np.uint64).reshape(10, 4)[7::5],  # one row, row stride 160
        np.arange(40, dtype=np.uint64).reshape(10, 4)[3:4][::-1],  # one row, reversed
        np.arange(3, dtype=np.uint64)[:, None],  # one column
        np.lib.stride_tricks.as_strided(np.arange(3, dtype=np.uint64), (3, 1), (8, 800)),
        np.arange(3, dtype=np.uint64)[None, :][:, :],
    ],
    ids=["row-strided", "row-reversed", "column", "column-strided", "row"],
)
def test_length_one_axes_place_no_demand_on_strides(codes):
    h = HammingSimilarity(64)
    q = np.full(codes.shape[1], 0b1011, dtype=np.uint64)
    want = popcount_rows(np.ascontiguousarray(codes) ^ q)
    assert h.distance_batch(q, codes).tolist() == want.tolist()
    assert h.find_nearest(q, codes, 0.0) == reference_nearest(want.tolist(), 64, 0.0)


def test_find_nearest_checks_in_order(q4):
    h = HammingSimilarity()
    fortran = np.asfortranarray(np.zeros((4, 4), dtype=np.uint64))
    none_rows = np.zeros((0, 3), dtype=np.uint64)
    cases = [
        ((q4, list(fortran), 5.0), TypeError,
         "argument 'codes': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((q4[::2], fortran, "x"), TypeError, None),  # the threshold's own conversion error
        ((q4[::2], fortran, 1.5), ValueError, "threshold must be in [0.0, 1.0], got 1.5"),
        ((q4[::2], none_rows, 0.5), TypeError, NOT_CONTIGUOUS),
        ((q4[:3], fortran, 0.5), ValueError, NOT_ROW_MAJOR),
        ((q4[:3], np.zeros((2, 4), dtype=np.uint64), 0.5), ValueError,
         "query has 3 words but codes have 4 words"),
        ((q4, q4, 0.5, 1), TypeError,
         "HammingSimilarity.find_nearest() takes from 2 to 3 positional arguments"
         " but 4 were given"),
    ]
    for args, error, message in cases:
        with pytest.raises(error) as info:
            h.find_nearest(*args)
        assert type(info.value) is error
        if message is None:
            assert str(info.value).startswith("argument 'threshold': ")
        else:
            assert str(info.value) == message
    # No rows: None before the layout and word-count checks, after the threshold check.
    assert h.find_nearest(q4, none_rows) is None
    assert h.find_nearest(q4, fortran[:0]) is None
    with pytest.raises(ValueError):
        h.find_nearest(q4, none_rows, -1)


def test_inputs_are_read_in_place_and_never_written(rng):
    h = HammingSimilarity()
    q = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    big = rng.integers(0, 2**64, size=(50, 4), dtype=np.uint64)
    big[31] = q
    before = big.copy()
    q.flags.writeable = False
    big.flags.writeable = False
    assert h.find_nearest(q, big) == (31, 1.0)
    np.testing.assert_array_equal(h.distance_batch(q, big),
                                  popcount_rows(big ^ q))
    # Equivalent dtypes pass; codes inside a larger buffer are read at their offset.
    wide = np.zeros((50, 6), dtype=np.uint64)
    wide[:, 1:5] = big
    np.testing.assert_array_equal(h.distance_batch(q, big.astype(np.ulonglong)),
                                  h.distance_batch(q, big))
    np.testing.assert_array_equal(big, before)
    assert h.distance(q, wide[31, 1:5]) == 0


# --- holds and borrows ---


class Raising:
    def __float__(self):
        raise RuntimeError("no float here")


def test_failed_calls_release_every_reference(q4):
    h = HammingSimilarity()
    codes = np.stack([q4, q4])
    refs = (sys.getrefcount(h), sys.getrefcount(q4), sys.getrefcount(codes))
    for _ in range(3):
        with pytest.raises(RuntimeError, match="no float here"):
            h.find_nearest(q4, codes, Raising())
        with pytest.raises(ValueError):
            h.find_nearest(q4, codes, 2.0)
        with pytest.raises(ValueError):
            h.distance(q4, codes[0, :3])
        with pytest.raises(TypeError):
            h.distance_batch(q4[::2], codes)
    assert (sys.getrefcount(h), sys.getrefcount(q4), sys.getrefcount(codes)) == refs
    assert h.find_nearest(q4, codes) == (0, 1.0)


def test_threshold_conversion_may_call_back_into_the_instance(q4):
    h = HammingSimilarity()
    codes = at_distances(q4, [3, 1, 2])
    inner = []

    class Reentrant:
        def __float__(self):
            inner.append(h.find_nearest(q4, codes, 0.5))
            inner.append(h.distance_batch(q4, codes).tolist())
            return 0.5

    assert h.find_nearest(q4, codes, Reentrant()) == (1, f32_similarity(1, 256))
    assert inner == [(1, f32_similarity(1, 256)), [3, 1, 2]]


def test_threshold_conversion_that_reallocates_codes(rng):
    # The arrays are looked at again after Python code has run during the conversion.
    h = HammingSimilarity()
    q = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    codes = rng.integers(0, 2**64, size=(4000, 4), dtype=np.uint64)
    codes[3999] = q

    class Shrinking:
        def __float__(self):
            codes.resize((2, 4), refcheck=False)
            return 0.0

    got = h.find_nearest(q, codes, Shrinking())
    assert codes.shape == (2, 4)
    assert got == reference_nearest(popcount_rows(codes ^ q).tolist(), 256, 0.0)
