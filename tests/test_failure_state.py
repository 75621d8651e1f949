"""A failed call leaves its instance exactly as it was, and free for the next call.

Every parameter of every method gets hostile values: wrong types, out-of-range numbers,
malformed arrays, and objects whose __index__ / __float__ raise or call back into the same
instance. After the failure the instance's whole observable state is compared with a snapshot
taken before, and a following call (an exclusive one where the class has them) must succeed.
"""

import numpy as np
import pytest

import tarnwick_rs as rs


class Hostile(Exception):
    pass


class Raising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class Returns:
    """__index__ / __float__ return `value` (possibly of a type they must not return)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return self.value


class Reenters:
    """Runs `inner` during the conversion, then returns `value` or raises what `inner` raised."""

    def __init__(self, inner, value=None):
        self.inner, self.value = inner, value

    def __index__(self):
        self.inner()
        return self.value

    def __float__(self):
        self.inner()
        return self.value


def code(*words):
    return np.array(words or (9, 8, 7, 6), dtype=np.uint64)


def f32(*shape, fill=0.25):
    return np.full(shape, fill, dtype=np.float32)


# --- the classes: how to make one, snapshot it, and call into it from a callback ---


def make_storage():
    s = rs.RustCacheStorage(8)
    for i in range(3):
        s.add(code(i, i + 1, 2**64 - 1 - i, 2**63), 1700000000 + 100 * i)
    s.mark_used(1, 1800000000)
    return s


def snapshot_storage(s):
    n = len(s)
    return (n, s.memory_usage(), s.capacity, s.code_bits, repr(s), bool(s),
            [s.get_code(i) for i in range(n)], [s.get_metadata(i) for i in range(n)],
            s.evict_lru(), s.search(code(0, 1, 2**64 - 1, 2**63), 0.0))


def follow_up_storage(s):
    n = len(s)
    assert s.add(code(), 1900000000) == n  # exclusive borrow is free
    s.mark_used(n, 1900000001)
    assert s.get_metadata(n)["access_count"] == 1


REF_QUERY = code(1, 2, 3, 4)
REF_CODES = np.arange(40, dtype=np.uint64).reshape(10, 4)


def make_similarity():
    return rs.HammingSimilarity(300)


def snapshot_similarity(h):
    return (h.code_bits, repr(h), h.distance(REF_QUERY, REF_CODES[3]),
            h.similarity(REF_QUERY, REF_CODES[3]), h.distance_batch(REF_QUERY, REF_CODES).tolist(),
            h.similarity_batch(REF_QUERY, REF_CODES).tolist(),
            h.find_nearest(REF_QUERY, REF_CODES, 0.0))


MATRIX = np.random.default_rng(3).standard_normal((70, 12)).astype(np.float32)
REF_BATCH = np.random.default_rng(4).standard_normal((5, 12)).astype(np.float32)


def make_encoder():
    return rs.RustBinaryEncoder(12, 70, MATRIX)


def snapshot_encoder(e):
    return (e.embedding_dim, e.code_bits, e.n_words, repr(e), e.encode(REF_BATCH[0]).tolist(),
            e.encode_batch(REF_BATCH).tolist())


# Per class: factory, snapshot, follow-up, a shared call and an exclusive call (or None) for
# callbacks, and each method's parameters with a valid value and a kind.
KITS = {
    "RustCacheStorage": dict(
        make=make_storage, snapshot=snapshot_storage, follow_up=follow_up_storage,
        shared=lambda s: s.get_code(0), exclusive=lambda s: s.add(code(), 0),
        methods={
            "add": [("code", code(), "u64"), ("timestamp", 1800000000, "int")],
            "replace": [("index", 1, "index"), ("code", code(), "u64"),
                        ("timestamp", 1800000000, "int")],
            "mark_used": [("index", 1, "index"), ("timestamp", 1800000000, "int")],
            "search": [("query", code(0, 1, 2**64 - 1, 2**63), "u64"),
                       ("threshold", 0.5, "float")],
            "get_code": [("index", 1, "index")],
            "get_metadata": [("index", 1, "index")],
        }),
    "HammingSimilarity": dict(
        make=make_similarity, snapshot=snapshot_similarity, follow_up=snapshot_similarity,
        shared=lambda h: h.distance(REF_QUERY, REF_QUERY), exclusive=None,
        methods={
            "distance": [("query", REF_QUERY, "u64"), ("code", REF_CODES[2], "u64")],
            "similarity": [("query", REF_QUERY, "u64"), ("code", REF_CODES[2], "u64")],
            "distance_batch": [("query", REF_QUERY, "u64"), ("codes", REF_CODES, "u64_2")],
            "similarity_batch": [("query", REF_QUERY, "u64"), ("codes", REF_CODES, "u64_2")],
            "find_nearest": [("query", REF_QUERY, "u64"), ("codes", REF_CODES, "u64_2"),
                             ("threshold", 0.5, "float")],
        }),
    "RustBinaryEncoder": dict(
        make=make_encoder, snapshot=snapshot_encoder, follow_up=snapshot_encoder,
        shared=lambda e: e.encode(REF_BATCH[1]), exclusive=None,
        methods={
            "encode": [("embedding", REF_BATCH[0], "f32")],
            "encode_batch": [("embeddings", REF_BATCH, "f32_2")],
        }),
}


def swallow(call):
    def run():
        try:
            call()
        except RuntimeError:
            pass
    return run


NO_EXCLUSIVE = object()


def exclusive(kit, make):
    return make() if kit["exclusive"] else NO_EXCLUSIVE


def raise_after(call):
    def run():
        call()
        raise Hostile("after calling back")
    return run


# Hostile values by kind: (id, factory(obj, kit) -> value, expected exception or None when the
# kit lacks what the value needs).
INT_VALUES = [
    ("raises", lambda o, k: Raising(Hostile("index")), Hostile),
    ("raises-TypeError", lambda o, k: Raising(TypeError("user")), TypeError),
    ("raises-ValueError", lambda o, k: Raising(ValueError("user")), ValueError),
    ("negative", lambda o, k: -1, OverflowError),
    ("too-large", lambda o, k: 2**64, OverflowError),
    ("float", lambda o, k: 1.0, TypeError),
    ("none", lambda o, k: None, TypeError),
    ("str", lambda o, k: "1", TypeError),
    ("array", lambda o, k: np.array([1, 2]), TypeError),
    ("index-returns-float", lambda o, k: Returns(1.5), TypeError),
    ("index-returns-negative", lambda o, k: Returns(-5), OverflowError),
    ("reenters-exclusive", lambda o, k: exclusive(k, lambda: Reenters(
        lambda: k["exclusive"](o), 1)), RuntimeError),
    ("reenters-shared-then-raises", lambda o, k: Reenters(
        raise_after(swallow(lambda: k["shared"](o))), 1), Hostile),
    ("reenters-exclusive-swallowed-then-raises", lambda o, k: exclusive(k, lambda: Reenters(
        raise_after(swallow(lambda: k["exclusive"](o))), 1)), Hostile),
]
INDEX_VALUES = INT_VALUES + [
    ("past-the-end", lambda o, k: len(o), IndexError),
    ("largest", lambda o, k: 2**64 - 1, IndexError),
    ("past-the-end-by-index", lambda o, k: Returns(len(o)), IndexError),
]
FLOAT_VALUES = [
    ("raises", lambda o, k: Raising(Hostile("float")), Hostile),
    ("raises-TypeError", lambda o, k: Raising(TypeError("user")), TypeError),
    ("str", lambda o, k: "0.5", TypeError),
    ("none", lambda o, k: None, TypeError),
    ("float-returns-str", lambda o, k: Returns("x"), TypeError),
    ("nan", lambda o, k: float("nan"), ValueError),
    ("above-one", lambda o, k: 1.5, ValueError),
    ("negative", lambda o, k: -0.25, ValueError),
    ("inf", lambda o, k: float("inf"), ValueError),
    ("huge-int", lambda o, k: 10**400, OverflowError),
    ("reenters-shared-then-raises", lambda o, k: Reenters(
        raise_after(swallow(lambda: k["shared"](o))), 0.5), Hostile),
    ("reenters-exclusive", lambda o, k: exclusive(k, lambda: Reenters(
        lambda: k["exclusive"](o), 0.5)), RuntimeError),
    ("reenters-then-nan", lambda o, k: Reenters(swallow(lambda: k["shared"](o)),
                                                float("nan")), ValueError),
]
U64_VALUES = [
    ("list", lambda o, k: [1, 2, 3, 4], TypeError),
    ("none", lambda o, k: None, TypeError),
    ("int64", lambda o, k: np.arange(4, dtype=np.int64), TypeError),
    ("float32", lambda o, k: np.zeros(4, np.float32), TypeError),
    ("big-endian", lambda o, k: np.zeros(4, ">u8"), TypeError),
    ("two-dimensional", lambda o, k: np.zeros((1, 4), np.uint64), TypeError),
    ("zero-dimensional", lambda o, k: np.array(5, np.uint64), TypeError),
    ("three-words", lambda o, k: code(1, 2, 3), ValueError),
    ("empty", lambda o, k: code()[:0], ValueError),
    ("every-other", lambda o, k: code(1, 2, 3, 4, 5, 6, 7, 8)[::2], TypeError),
    ("reversed", lambda o, k: code(1, 2, 3, 4)[::-1], TypeError),
]
U64_2_VALUES = [
    ("one-dimensional", lambda o, k: code(), TypeError),
    ("int64", lambda o, k: np.zeros((3, 4), np.int64), TypeError),
    ("list", lambda o, k: [[1, 2, 3, 4]], TypeError),
    ("fortran", lambda o, k: np.asfortranarray(REF_CODES), ValueError),
    ("row-reversed", lambda o, k: REF_CODES[::-1], ValueError),
    ("three-words", lambda o, k: np.ascontiguousarray(REF_CODES[:, :3]), ValueError),
]
F32_VALUES = [
    ("float64", lambda o, k: np.zeros(12), TypeError),
    ("list", lambda o, k: [0.0] * 12, TypeError),
    ("three-dimensional", lambda o, k: f32(1, 1, 12), TypeError),
    ("wrong-length", lambda o, k: f32(11), ValueError),
    ("nan", lambda o, k: np.array([0.5] * 11 + [np.nan], np.float32), ValueError),
    ("inf-in-batch", lambda o, k: np.array([[0.5] * 12, [0.5] * 11 + [-np.inf]], np.float32),
     ValueError),
]
F32_2_VALUES = [
    ("one-dimensional", lambda o, k: f32(12), TypeError),
    ("float64", lambda o, k: np.zeros((2, 12)), TypeError),
    ("wrong-width", lambda o, k: f32(0, 13), ValueError),
    ("nan-last", lambda o, k: np.array([[0.5] * 12, [0.5] * 11 + [np.nan]], np.float32),
     ValueError),
]
VALUES = {"int": INT_VALUES, "index": INDEX_VALUES, "float": FLOAT_VALUES, "u64": U64_VALUES,
          "u64_2": U64_2_VALUES, "f32": F32_VALUES, "f32_2": F32_2_VALUES}

# An empty query against an empty code is a valid comparison, not a failure.
NOT_FAILURES = {("HammingSimilarity", "query", "empty"), ("HammingSimilarity", "code", "empty")}


def hostile_cases():
    for cls, kit in KITS.items():
        for method, params in kit["methods"].items():
            for position, (name, _, kind) in enumerate(params):
                for value_id, factory, exc in VALUES[kind]:
                    if (cls, name, value_id) in NOT_FAILURES:
                        continue
                    yield pytest.param(cls, method, position, factory, exc,
                                       id=f"{cls}.{method}.{name}-{value_id}")


def binding_cases():
    for cls, kit in KITS.items():
        for method, params in kit["methods"].items():
            for shape in ("missing", "extra-positional", "unknown-keyword", "multiple-values"):
                yield pytest.param(cls, method, shape, id=f"{cls}.{method}-{shape}")


def require(cls):
    if getattr(rs, cls, None) is None:
        pytest.skip(f"{cls} not built")


def assert_unchanged_after(cls, failing_call, exc):
    kit = KITS[cls]
    obj = kit["make"]()
    before = kit["snapshot"](obj)
    with pytest.raises(exc):
        failing_call(obj, kit)
    assert kit["snapshot"](obj) == before
    kit["follow_up"](obj)


def hostile_call(method, position, factory, by_keyword):
    """Calls `method` with valid arguments except the hostile one at `position`."""

    def call(obj, kit):
        params = kit["methods"][method]
        value = factory(obj, kit)
        if value is NO_EXCLUSIVE:
            pytest.skip("the class has no exclusive call to re-enter")
        values = [v for _, v, _ in params]
        values[position] = value
        if by_keyword:
            return getattr(obj, method)(**{n: v for (n, _, _), v in zip(params, values)})
        return getattr(obj, method)(*values)

    return call


@pytest.mark.parametrize("cls, method, position, factory, exc", list(hostile_cases()))
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_failed_conversion_or_check_changes_nothing(cls, method, position, factory, exc,
                                                    by_keyword):
    require(cls)
    assert_unchanged_after(cls, hostile_call(method, position, factory, by_keyword), exc)


@pytest.mark.parametrize("cls, method, shape", list(binding_cases()))
def test_failed_binding_changes_nothing(cls, method, shape):
    require(cls)

    def call(obj, kit):
        params = kit["methods"][method]
        bound = getattr(obj, method)
        values = [v for _, v, _ in params]
        if shape == "missing":
            return bound()
        if shape == "extra-positional":
            return bound(*values, values[0])
        if shape == "unknown-keyword":
            return bound(*values, bogus=1)
        return bound(*values, **{params[0][0]: values[0]})

    assert_unchanged_after(cls, call, TypeError)


# --- failures that need a particular state ---

FULL_STORE_CALLS = [
    ("add-valid", lambda s: s.add(code(), 1800000000), ValueError),
    ("add-three-words", lambda s: s.add(code(1, 2, 3), 1800000000), ValueError),
    ("add-not-contiguous", lambda s: s.add(code(1, 2, 3, 4, 5, 6, 7, 8)[::2], 0), ValueError),
    ("add-raising-timestamp", lambda s: s.add(code(), Raising(Hostile())), Hostile),
    ("add-reentrant-timestamp", lambda s: s.add(code(), Reenters(lambda: s.replace(0, code(), 0),
                                                                  1)), RuntimeError),
    ("replace-past-the-end", lambda s: s.replace(3, code(), 0), IndexError),
    ("mark-used-past-the-end", lambda s: s.mark_used(3, 0), IndexError),
]


@pytest.mark.parametrize("call, exc", [pytest.param(c, e, id=i) for i, c, e in FULL_STORE_CALLS])
def test_failed_call_on_a_full_store_changes_nothing(call, exc):
    require("RustCacheStorage")
    s = rs.RustCacheStorage(3)
    for i in range(3):
        s.add(code(i, 0, 0, 0), 1700000000 + i)
    before = snapshot_storage(s)
    with pytest.raises(exc):
        call(s)
    assert snapshot_storage(s) == before
    s.replace(0, code(), 1900000000)  # exclusive borrow is free
    assert s.get_code(0) == [9, 8, 7, 6]


@pytest.mark.parametrize("code_bits", [64, 128, 320, 1000])
def test_store_that_cannot_hold_its_codes_stays_empty(code_bits):
    require("RustCacheStorage")
    s = rs.RustCacheStorage(4, code_bits)
    fitting = np.zeros(code_bits // 64, np.uint64)
    for attempt in (lambda: s.add(fitting, 0), lambda: s.add(code(), 0)):
        with pytest.raises(ValueError):
            attempt()
        assert (len(s), s.memory_usage(), s.search(code(), 0.0)) == (0, 0, None)
    with pytest.raises(ValueError, match="^Cannot evict from empty storage$"):
        s.evict_lru()


def test_output_too_large_for_memory_is_a_memory_error():
    """A zero-stride input can describe a result no machine holds; that is not a fault."""
    require("HammingSimilarity")
    h = make_similarity()
    before = snapshot_similarity(h)
    vast = np.empty((10**13, 0), np.uint64)  # no memory of its own
    for method in (h.distance_batch, h.similarity_batch):
        with pytest.raises(MemoryError):
            method(np.empty(0, np.uint64), vast)
    assert snapshot_similarity(h) == before
