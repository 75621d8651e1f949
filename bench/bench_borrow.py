"""Per-call cost of the array borrow registration, seen through hamming_distance on 4-word codes."""

import argparse
import ctypes
import importlib
import timeit

import numpy as np

import tarnwick_rs

NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"


def ns_per_call(stmt, env, number, repeat):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def hold_shared(arrays):
    """Takes shared borrows of `arrays` through the process's table, as another module would.

    Returns False when no table has been published (a build without borrow tracking)."""
    major = int(np.__version__.split(".")[0])
    core = "numpy._core" if major >= 2 else "numpy.core"
    capsule = getattr(importlib.import_module(core + ".multiarray"), NAME.decode(), None)
    if capsule is None:
        return False
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    words = (ctypes.c_void_p * 6).from_address(get_pointer(capsule, NAME))
    acquire_address = words[2]
    assert acquire_address is not None
    acquire = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)(acquire_address)
    for array in arrays:
        assert acquire(words[1], array) == 0
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--number", type=int, default=200_000, help="calls per repeat")
    parser.add_argument("--repeat", type=int, default=7, help="repeats; the minimum is reported")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    a = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    b = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    big = rng.integers(0, 2**64, size=64, dtype=np.uint64)
    env = {"hd": tarnwick_rs.hamming_distance, "a": a, "b": b, "v1": big[:4], "v2": big[8:12]}

    cases = [
        ("hamming_distance(a, b), separate arrays", "hd(a, b)"),
        ("hamming_distance(a, a), same array", "hd(a, a)"),
        ("hamming_distance(v1, v2), views of one buffer", "hd(v1, v2)"),
    ]
    print(f"{'case':<48} {'ns/call':>10}")
    print("-" * 59)
    for name, stmt in cases:
        print(f"{name:<48} {ns_per_call(stmt, env, args.number, args.repeat):>10.1f}")

    # Long-lived borrows of other arrays, held by another participant, must not slow the calls.
    others = [np.zeros(4, dtype=np.uint64) for _ in range(1000)]
    name = "hamming_distance(a, b), 1000 other borrows held"
    if hold_shared(others):
        print(f"{name:<48} {ns_per_call('hd(a, b)', env, args.number, args.repeat):>10.1f}")
    else:
        print(f"{name:<48} {'-':>10}")


if __name__ == "__main__":
    main()
