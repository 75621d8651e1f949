"""Python code run while an argument is converted may reshape an array taken in before it."""
import numpy as np
import pytest

import tarnwick_rs as rs


class Resizing:
    """An int/float-like argument whose conversion resizes `array` in place."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def __index__(self):
        self.array.resize(self.shape, refcheck=False)
        return self.value

    def __float__(self):
        self.array.resize(self.shape, refcheck=False)
        return float(self.value)


def fresh_code(words=4):
    return np.arange(1, words + 1, dtype=np.uint64)


def test_add_reads_the_code_as_it_is_after_the_timestamp_conversion():
    store = rs.RustCacheStorage(4)
    code = fresh_code()
    with pytest.raises(ValueError, match=r"got shape \(1,\)"):
        store.add(code, Resizing(code, (1,), 1700000000))
    assert len(store) == 0
    grown = fresh_code()
    store.add(grown, Resizing(grown, (4,), 1700000000))
    assert store.get_code(0) == [1, 2, 3, 4]


def test_replace_and_search_see_the_resized_array():
    store = rs.RustCacheStorage(4)
    store.add(fresh_code(), 1700000000)
    code = np.zeros(4, dtype=np.uint64)
    with pytest.raises(ValueError, match=r"got shape \(2,\)"):
        store.replace(0, code, Resizing(code, (2,), 1700000001))
    assert store.get_code(0) == [1, 2, 3, 4]
    query = np.zeros(4, dtype=np.uint64)
    with pytest.raises(ValueError, match=r"got shape \(8,\)"):
        store.search(query, Resizing(query, (8,), 0.5))


def test_find_nearest_query_resized_by_threshold():
    h = rs.HammingSimilarity()
    query = fresh_code()
    codes = np.tile(fresh_code(), (3, 1))
    with pytest.raises(ValueError, match="query has 1 words but codes have 4 words"):
        h.find_nearest(query, codes, Resizing(query, (1,), 0.5))


def test_encoder_matrix_resized_by_seed_conversion():
    matrix = np.ones((8, 4), dtype=np.float32)
    with pytest.raises(ValueError, match=r"got \[2, 4\]"):
        rs.RustBinaryEncoder(4, 8, matrix, Resizing(matrix, (2, 4), 7))


# The first borrow of a process looks the borrow table up, which imports NumPy's multiarray
# module and so runs Python code (here an import hook) while an array is being taken in.
FIRST_BORROW = """
import builtins, numpy as np, tarnwick_rs as rs
a = np.zeros(2**21, dtype=np.uint64)
b = np.ones(2**21, dtype=np.uint64)
try:
    rs.hamming_distance(np.zeros(4, dtype=np.int64), a)  # finds NumPy, takes no borrow
except TypeError:
    pass
real_import = builtins.__import__
def hook(name, *args, **kwargs):
    if name.endswith("multiarray"):
        a.resize(1, refcheck=False)
    return real_import(name, *args, **kwargs)
builtins.__import__ = hook
try:
    rs.hamming_distance(a, b)
except ValueError as e:
    print(e)
"""


@pytest.mark.spawns_interpreter
def test_array_resized_during_the_first_borrow_table_lookup(python):
    out = python(FIRST_BORROW)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "arrays have different lengths: 1 vs 2097152"
