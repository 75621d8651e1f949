"""Fuzzes the whole public API of tarnwick_rs with hostile arguments.

    python fuzz/fuzz_api.py -max_total_time=120        (or -atheris_runs=N, or a corpus dir)

Each input builds a few instances and runs a short sequence of calls whose arguments are drawn
from the fuzzer's bytes: wrong types, every dtype, 0-d to 3-d arrays in every layout, integers
around every boundary, and objects whose __index__ / __float__ raise or call back into the
instances. A call may fail only with the exceptions a caller can expect. A PanicException, any
other exception, a failed call that changed its instance, a borrow left behind or a crash is a
finding. Classes that are not built into the module are skipped.
"""
from __future__ import annotations

import copy
import gc
import os
import pickle
import resource
import sys
import warnings
import weakref

import atheris
import numpy as np
from numpy.lib.stride_tricks import as_strided

import tarnwick_rs as rs

EXPECTED = (TypeError, ValueError, IndexError, OverflowError, RuntimeError, MemoryError,
            UnicodeEncodeError)
MAX_DEPTH = 2          # callbacks inside callbacks
MAX_OPS = 8            # top-level calls per input
MAX_ELEMENTS = 1 << 16  # per generated array; keeps memory and encoder work bounded


class Finding(Exception):
    """What the fuzzer reports: atheris prints it and saves the input."""


class HostileError(Exception):
    pass


class HostileTypeError(TypeError):  # a TypeError subclass must pass through unwrapped
    pass


class HostileBaseError(BaseException):
    pass


HOSTILE = (HostileError, HostileBaseError)  # HostileTypeError is a TypeError, hence expected

# (name, kind, required); kinds are understood by World.arg.
FUNCTIONS = {
    "rust_version": [],
    "hello_from_rust": [("name", "str", False)],
    "hamming_distance": [("a", "u64_1", True), ("b", "u64_1", True)],
}
CLASSES = {
    "RustBinaryEncoder": {
        "new": [("embedding_dim", "dim", True), ("code_bits", "dim", True),
                ("projection_matrix", "f32_2?", False), ("seed", "seed", False)],
        "methods": {"encode": [("embedding", "f32_12", True)],
                    "encode_batch": [("embeddings", "f32_2", True)]},
        "noargs": [],
        "props": ["embedding_dim", "code_bits", "n_words"],
    },
    "HammingSimilarity": {
        "new": [("code_bits", "u64", False)],
        "methods": {
            "distance": [("query", "u64_1", True), ("code", "u64_1", True)],
            "distance_batch": [("query", "u64_1", True), ("codes", "u64_2", True)],
            "similarity": [("query", "u64_1", True), ("code", "u64_1", True)],
            "similarity_batch": [("query", "u64_1", True), ("codes", "u64_2", True)],
            "find_nearest": [("query", "u64_1", True), ("codes", "u64_2", True),
                             ("threshold", "float", False)],
        },
        "noargs": [],
        "props": ["code_bits"],
    },
    "RustCacheStorage": {
        "new": [("capacity", "u64", True), ("code_bits", "u64", False)],
        "methods": {
            "add": [("code", "u64_1", True), ("timestamp", "u64", True)],
            "replace": [("index", "index", True), ("code", "u64_1", True),
                        ("timestamp", "u64", True)],
            "search": [("query", "u64_1", True), ("threshold", "float", False)],
            "mark_used": [("index", "index", True), ("timestamp", "u64", True)],
            "get_metadata": [("index", "index", True)],
            "get_code": [("index", "index", True)],
        },
        "noargs": ["evict_lru", "memory_usage"],
        "props": ["capacity", "code_bits"],
    },
}
PRESENT = {name: surface for name, surface in CLASSES.items() if hasattr(rs, name)}
EXCLUSIVE = {"add", "replace", "mark_used"}

INTS = [256, 0, 1, 2, 3, 4, 5, 7, 8, 63, 64, 65, 100, 127, 128, 255, 256, 257, 300, 319, 320, 384,
        512, 1024, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 1577836799, 1577836800, 1700000000,
        5872804096, 5872804097, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -2, -2**63,
        -2**64, True, False]
FLOATS = [0.0, -0.0, 0.5, 0.85, 0.8500000238418579, 1.0, 1.00000001, 1.5, 2.0, -0.1, -1e-50,
          1e10, 1e-45, 3.4028235e38, 1e300, float("nan"), -float("nan"), float("inf"),
          -float("inf")]
DTYPES = ["u8", "u8", "u8", "u8", "f4", "f4", "f4", "<u8", ">u8", "Q", "L", "P", "i8", "u4",
          "u2", "u1", "i1", "?", "f2", ">f4", "f8", "g", "c8", "c16", "O", "U3", "S8", "V8",
          "M8[s]", "m8[ns]", [("a", "u8")], [("a", "f4")], "(2,)u4"]
DIMS = [4, 0, 1, 2, 3, 5, 7, 8, 16, 63, 64, 65, 97, 128, 256, 384]
BAD_KEYWORDS = ["", "x", "nme", "Code", "code ", "self", "\udc80", "é", "a" * 300, "threshold",
                "index", "code_bits", "query", "name", "seed"]


class MyArray(np.ndarray):
    pass


class StrSub(str):
    pass


# --- hostile scalars ---


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raises:
    """Fails in whichever conversion is tried."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class CallsBack:
    """Runs an action (usually a call into the instances under test) during its conversion."""

    def __init__(self, value, action, swallow):
        self.value, self.action, self.swallow = value, action, swallow

    def _run(self):
        try:
            self.action()
        except EXPECTED + HOSTILE:
            if not self.swallow:
                raise

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return self.value


# --- the input's world and its generator ---


class World:
    def __init__(self, data: bytes):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.instances: list = []
        self.arrays: list[np.ndarray] = []
        self.receiver = None  # of the call whose arguments are being drawn

    # primitive draws
    def int(self, lo, hi):
        assert lo <= hi, (lo, hi)  # a harness bug must not pass as an expected ValueError
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def chance(self, n):  # 1 in n; never when the input is used up
        return self.int(0, n - 1) == n - 1

    # scalars
    def integer(self):
        r = self.int(0, 9)
        if r < 6:
            return self.pick(INTS)
        if r < 8:
            return self.fdp.ConsumeInt(self.int(1, 9))
        return self.pick(INTS) + self.int(-3, 3)

    def real(self):
        r = self.int(0, 4)
        if r < 3:
            return self.pick(FLOATS)
        if r == 3:
            return self.fdp.ConsumeFloat()
        return self.fdp.ConsumeProbability()

    def hostile_error(self):
        return self.pick([HostileError("boom"), HostileTypeError("hostile"), TypeError("plain"),
                          HostileBaseError("base"), ValueError("v"), OverflowError("o"),
                          MemoryError()])

    def callback(self, value, depth):
        receiver = self.receiver

        def call_in():
            self.run_random_op(depth + 1)

        def call_receiver():  # re-entry into the very instance whose call is converting us
            if receiver is not None:
                self.method_call(receiver, depth + 1)

        action = self.pick([call_receiver, call_in, call_receiver, call_in,
                            self.instances.clear, gc.collect, self.touch_array])
        return CallsBack(value, action, swallow=self.bool())

    def scalar(self, numeric, depth):
        """An int-ish or float-ish argument, often wrapped in something hostile."""
        value = self.integer() if numeric == "int" else self.real()
        r = self.int(0, 11)
        if r < 5:
            return value
        if r == 5:
            return Idx(self.pick([self.integer(), 1.5, "3", None, np.uint64(7), np.int64(-1),
                                  True]))
        if r == 6:
            return FloatLike(self.pick([self.real(), 1, "x", None, np.float32(0.5)]))
        if r == 7:
            return Raises(self.hostile_error())
        if r == 8 and depth < MAX_DEPTH:
            return self.callback(value if numeric == "int" else float(value), depth)
        if r == 9:
            return self.pick([np.uint64(5), np.int64(-3), np.float32(0.25), np.float64("nan"),
                              np.bool_(True), np.array(4), np.array([1])])
        if r == 10:
            return self.pick([0.0, 7.0, str(value), complex(1, 1), [value], None, b"1"])
        return value

    def text(self):
        r = self.int(0, 5)
        if r == 0:
            return None
        if r == 1:
            return self.fdp.ConsumeUnicode(self.int(0, 64))
        if r == 2:
            return self.pick(["", "x", "\ud800", "a\x00b", "é" * 50, "\U0001f600", "x" * 100000])
        if r == 3:
            return StrSub("sub")
        return self.fdp.ConsumeUnicodeNoSurrogates(self.int(0, 16))

    # arrays
    def shape(self, ndim):
        dims = [self.pick(DIMS) if self.int(0, 3) < 3 else self.int(0, 9) for _ in range(ndim)]
        if ndim and self.chance(16):
            dims[0] = self.pick([1000, 4096, 20000])
        total = 1
        for d in dims:
            total *= max(d, 1)
        while total > MAX_ELEMENTS:
            i = dims.index(max(dims))
            total //= dims[i]
            dims[i] = max(dims[i] // 8, 1)
            total *= dims[i]
        return tuple(dims)

    def fill(self, a: np.ndarray):
        if a.size == 0 or a.dtype.kind in "OUSVMm" or a.dtype.fields:
            return
        r = self.int(0, 4)
        flat = a.reshape(-1)
        if r == 0:
            flat[...] = 0
        elif r == 1:
            raw = self.fdp.ConsumeBytes(min(flat.nbytes, 4096))
            view = flat.view(np.uint8)
            view[: len(raw)] = np.frombuffer(raw, np.uint8)
        elif r == 2:
            flat.view(np.uint8)[...] = 0xFF
        elif r == 3:
            flat[...] = 1
        if a.dtype.kind == "f" and self.bool():
            flat[self.int(0, flat.size - 1)] = self.pick([np.nan, np.inf, -np.inf, 0.0, -0.0])

    def layout(self, a: np.ndarray) -> np.ndarray:
        r = self.int(0, 13)
        if r < 5 or a.ndim == 0:
            out = a
        elif r == 5:
            out = a[::-1]
        elif r == 6:
            out = a[::2] if a.ndim == 1 else a[::2, :]
        elif r == 7 and a.ndim >= 2:
            out = np.asfortranarray(a)
        elif r == 8 and a.ndim >= 2:
            out = a.T
        elif r == 9:
            # zero stride along the first axis: every row is the same memory
            strides = (0,) + a.strides[1:]
            out = as_strided(a, shape=a.shape, strides=strides, writeable=False)
        elif r == 10 and a.dtype.kind in "uif" and not a.dtype.fields:
            # unaligned: the same elements one byte into a larger buffer
            buf = np.zeros(a.nbytes + 8, np.uint8)
            out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=1 + self.int(0, 6))
            out = out.reshape(a.shape)
            out[...] = a
        elif r == 11:
            out = a.view(MyArray)
        elif r == 12 and a.ndim >= 2:
            out = a[:, ::-1]
        else:
            out = a[1:] if len(a) else a
        if self.chance(4):
            out = out.view()
            out.flags.writeable = False
        return out

    def array(self, dtype=None, ndim=None, words=None, rows=None):
        if dtype is None or self.chance(6):
            dtype = self.pick(DTYPES)
        if ndim is None or self.chance(8):
            ndim = self.int(0, 3)
        shape = self.shape(ndim)
        if words is not None and ndim in (1, 2) and self.int(0, 2) == 0:
            shape = shape[:-1] + (words,)  # often well-formed, to reach the deep paths
            if rows is not None and ndim == 2:
                shape = (rows, words)
        try:
            a = np.zeros(shape, dtype=dtype)
        except (TypeError, ValueError, MemoryError):
            a = np.zeros(4, np.uint64)
        self.fill(a)
        out = self.layout(a)
        self.arrays.append(out)
        return out

    def anything(self, depth):
        r = self.int(0, 9)
        if r < 3:
            return self.array()
        if r < 5:
            return self.scalar(self.pick(["int", "float"]), depth)
        if r == 5:
            return self.text()
        if r == 6 and self.instances:
            return self.pick(self.instances)
        return self.pick([None, [1, 2, 3, 4], (0,) * 4, {}, object(), b"\0" * 32, rs,
                          np.uint64, memoryview(b"\0" * 32), range(4)])

    def arg(self, kind, depth):
        if kind.startswith("const:"):
            value = int(kind[6:])
            r = self.int(0, 5)
            if r == 0 and depth < MAX_DEPTH:
                return self.callback(value, depth)
            return Idx(value) if r == 1 else value
        if kind == "noseed":  # anything that yields no usable seed
            return self.pick([None, -1, 1.5, "1", 2**64, Raises(self.hostile_error())])
        if self.chance(5):
            return self.anything(depth)
        if kind in ("u64", "index"):
            if kind == "index" and self.int(0, 3) < 3:
                return self.scalar_index(depth)
            return self.scalar("int", depth)
        if kind == "dim":
            return self.pick([4, 1, 2, 3, 8, 16, 64, 65, 0, 2**64 - 1, 2**63, -1]) \
                if self.int(0, 3) < 3 else self.scalar("int", depth)
        if kind == "seed":
            return self.pick([1, None, 0, 42, 2**64 - 1, 2**64, -1, 1.0]) \
                if self.int(0, 2) < 2 else self.scalar("int", depth)
        if kind == "float":
            return self.scalar("float", depth)
        if kind == "str":
            return self.text()
        if kind == "u64_1":
            return self.array("u8", 1, words=4)
        if kind == "u64_2":
            return self.array("u8", 2, words=4)
        if kind.startswith("matrix:"):  # (code_bits, embedding_dim) for the encoder
            rows, columns = map(int, kind[7:].split(":"))
            if self.int(0, 3) < 3 and rows * columns <= MAX_ELEMENTS:
                return self.array("f4", 2, words=columns, rows=rows)
            kind = "f32_2?"
        dim = getattr(self.receiver, "embedding_dim", None) if Encoder is not None and \
            isinstance(self.receiver, Encoder) else None
        if kind == "f32_2?":
            return None if self.chance(3) else self.array("f4", 2)
        if kind in ("f32_2", "f32_12"):
            rows = None
            if dim is not None:  # keep rows x embedding_dim x code_bits bounded
                cap = max(1, (1 << 22) // max(dim * self.receiver.code_bits, 1))
                rows = min(self.pick([1, 2, 3, 8, 64, 0]), cap)
            ndim = 2 if kind == "f32_2" else self.int(1, 2)
            return self.array("f4", ndim, words=dim, rows=rows)
        raise AssertionError(kind)

    def scalar_index(self, depth):
        n = 0
        if isinstance(self.receiver, Storage):
            try:
                n = len(self.receiver)
            except RuntimeError:  # generated inside an exclusive call on the receiver
                pass
        value = self.pick([max(n - 1, 0), 0, self.int(0, max(n - 1, 0)), n, n + 1])
        return value if self.bool() else self.callback(value, depth) if depth < MAX_DEPTH \
            else Idx(value)

    def touch_array(self):
        """Changes an array that a running call may hold (never its buffer's size)."""
        if not self.arrays:
            return
        a = self.pick(self.arrays)
        r = self.int(0, 3)
        try:
            if r == 0 and a.flags.writeable and a.size and a.dtype.kind in "uif":
                a.reshape(-1)[self.int(0, a.size - 1)] = 1 if a.dtype.kind != "f" else np.nan
            elif r == 1:
                a.flags.writeable = False
            elif r == 2 and a.ndim == 1 and a.size % 2 == 0 and a.size:
                a.shape = (2, a.size // 2)  # same buffer, new shape
            else:
                self.arrays.remove(a)
        except (AttributeError, ValueError, TypeError):
            pass

    # calls
    def call(self, fn, params, depth):
        values = [self.arg(kind, depth) for _, kind, _ in params]
        npos = self.int(0, len(params) + 1)
        args, kwargs = [], {}
        for i, (name, _, required) in enumerate(params):
            if i < npos:
                args.append(values[i])
            elif required or self.bool():
                kwargs[name] = values[i]
        if npos > len(params):
            args.append(self.anything(depth))
        mutation = self.int(0, 11)
        if mutation == 9:
            kwargs[self.pick(BAD_KEYWORDS)] = self.anything(depth)
        elif mutation == 10 and params:
            kwargs[self.pick(params)[0]] = self.anything(depth)
        elif mutation == 11 and kwargs:
            del kwargs[self.pick(sorted(kwargs))]
        name = getattr(fn, "__name__", "?")
        try:
            result = fn(*args, **kwargs)
        except BaseException as e:
            tally(name, type(e).__name__, str(e))
            raise
        tally(name, "ok" if result is not None else "None", "")
        return result

    def construct(self, depth):
        name = self.pick(sorted(PRESENT))
        cls = getattr(rs, name)
        params = PRESENT[name]["new"]
        if name == "RustBinaryEncoder":
            params = self.encoder_params(params)
        obj = self.call(cls, params, depth)
        check(isinstance(obj, cls), f"{name}() returned {obj!r}")
        if len(self.instances) < 6:
            self.instances.append(obj)
        return obj

    def encoder_params(self, params):
        # The seed route draws an embedding_dim x code_bits matrix through NumPy: with a usable
        # seed the dimensions are small, or so large that NumPy refuses at once.
        if self.int(0, 3) == 0:
            return params[:3] + [("seed", "noseed", False)]
        d, b = self.pick([(4, 8), (16, 64), (3, 65), (1, 1), (8, 256), (0, 8), (8, 0),
                          (2**40, 2**20), (2**64 - 1, 2), (33, 100)])
        return [("embedding_dim", f"const:{d}", True), ("code_bits", f"const:{b}", True),
                ("projection_matrix", f"matrix:{b}:{d}", False), params[3]]

    def run_random_op(self, depth=0):
        r = self.int(0, 15)
        if r < 10 and self.instances:
            return self.method_call(self.pick(self.instances), depth)
        if r < 12 and PRESENT:
            return self.construct(depth)
        if r < 14:
            name = self.pick(sorted(FUNCTIONS))
            return self.call(getattr(rs, name), FUNCTIONS[name], depth)
        return self.misuse(depth)

    def method_call(self, obj, depth):
        surface = PRESENT[type(obj).__name__]
        choices = list(surface["methods"]) + surface["noargs"] + surface["props"] + ["__repr__", "__len__"]
        member = self.pick(choices)
        if member in surface["methods"]:
            outer, self.receiver = self.receiver, obj
            try:
                return self.call(getattr(obj, member), surface["methods"][member], depth), member
            finally:
                self.receiver = outer
        try:
            if member in surface["noargs"]:
                result = getattr(obj, member)()
            elif member in surface["props"]:
                result = getattr(obj, member)
            elif member == "__repr__":
                result = repr(obj)
            else:
                result = len(obj) if isinstance(obj, Storage) else bool(obj)
        except BaseException as e:
            tally(member, type(e).__name__, str(e))
            raise
        tally(member, "ok", "")
        return result, member

    def misuse(self, depth):
        """The interpreter's own guards around the classes."""
        if not PRESENT:
            return None
        name = self.pick(sorted(PRESENT))
        cls = getattr(rs, name)
        other = self.pick(self.instances) if self.instances else self.anything(depth)
        r = self.int(0, 9)
        try:
            if r == 0:
                type("Sub", (cls,), {})
            elif r == 1:
                object.__new__(cls)
            elif r == 2:
                cls.__new__(self.pick([cls, int, type(other)]), *self.pick([(), (5,), (5, 5)]))
            elif r == 3:
                member = self.pick(list(PRESENT[name]["methods"]) + ["__repr__"] +
                                   PRESENT[name]["noargs"])
                getattr(cls, member)(other)
            elif r == 4:
                setattr(other, self.pick(["capacity", "code_bits", "x", "n_words"]), 5)
            elif r == 5:
                copy.copy(other)
            elif r == 6:
                pickle.dumps(other)
            elif r == 7:
                weakref.ref(other)
            elif r == 8:
                vars(other)
            else:
                cls.__len__(other) if hasattr(cls, "__len__") else hash(other)
        except (AttributeError, pickle.PicklingError):
            pass
        return None


Storage = getattr(rs, "RustCacheStorage", type("NoStorage", (), {}))
Encoder = getattr(rs, "RustBinaryEncoder", None)


def check(condition, message):
    if not condition:
        raise Finding(message)


# --- oracles on the storage ---


def storage_state(s):
    n = len(s)
    return (n, s.capacity, s.code_bits, s.memory_usage(), repr(s),
            [s.get_code(i) for i in range(n)], [s.get_metadata(i) for i in range(n)])


def check_borrow_free(obj):
    repr(obj)  # shared
    if isinstance(obj, Storage):
        n = len(obj)
        try:
            obj.mark_used(2**64 - 1, 0)  # exclusive; fails only on the index
        except IndexError as e:
            check(str(e) == f"index 18446744073709551615 out of bounds for storage of length {n}",
                  f"unexpected IndexError text {e}")
        else:
            raise Finding("mark_used out of range succeeded")
        check(obj.memory_usage() == 44 * n, "memory_usage is not 44 * len")


FAILED = object()


def check_storage_call(member, before, after, outcome):
    if outcome is FAILED or member not in EXCLUSIVE:
        check(after == before, f"{member} ({'failed' if outcome is FAILED else 'reader'}) "
                               f"changed the store:\n{before}\n{after}")
        return
    n0, n1 = before[0], after[0]
    if member == "add":
        check(n1 == n0 + 1 and outcome == n0, f"add returned {outcome} with len {n0} -> {n1}")
        check(after[5][:n0] == before[5] and after[6][:n0] == before[6], "add changed old entries")
        meta = after[6][n0]
        check(meta["access_count"] == 0 and meta["created_at"] == meta["last_accessed"],
              f"fresh entry has {meta}")
    else:
        check(n1 == n0, f"{member} changed len")
        changed = [i for i in range(n0) if (before[5][i], before[6][i]) != (after[5][i],
                                                                             after[6][i])]
        check(len(changed) <= 1, f"{member} changed entries {changed}")


def run_top_level(world: World):
    obj = world.pick(world.instances) if world.instances and world.int(0, 3) < 3 else None
    if obj is None:
        world.run_random_op(0)
        return
    before = storage_state(obj) if isinstance(obj, Storage) else repr(obj)
    outcome = FAILED
    member = "?"
    try:
        result, member = world.method_call(obj, 0)
        outcome = result
        check_result(member, result)
    finally:
        after = storage_state(obj) if isinstance(obj, Storage) else repr(obj)
        if isinstance(obj, Storage):
            check_storage_call(member, before, after, outcome)
        else:
            check(before == after, f"{member} changed {before} into {after}")
        check_borrow_free(obj)


def check_result(member, result):
    if member == "search" or member == "find_nearest":
        check(result is None or (type(result) is tuple and len(result) == 2 and
                                 type(result[0]) is int and type(result[1]) is float),
              f"{member} returned {result!r}")
    elif member in ("distance", "add", "evict_lru", "memory_usage", "capacity", "code_bits",
                    "n_words", "embedding_dim"):
        check(type(result) is int, f"{member} returned {result!r}")
    elif member in ("distance_batch", "similarity_batch", "encode", "encode_batch"):
        check(type(result) is np.ndarray and result.flags.owndata and result.flags.writeable,
              f"{member} returned {type(result)}")


def TestOneInput(data: bytes):
    world = World(data)
    try:
        for _ in range(world.int(1, MAX_OPS)):
            try:
                run_top_level(world)
            except EXPECTED + HOSTILE:
                pass
        for obj in list(world.instances):
            check_borrow_free(obj)
    except BaseException as e:
        if type(e).__name__ == "PanicException":
            raise Finding(f"PanicException: {e}") from e
        raise
    finally:
        world.instances.clear()
        world.arrays.clear()
        stats["inputs"] += 1


stats = {"inputs": 0}
outcomes: dict | None = {} if os.environ.get("TW_FUZZ_STATS") else None


def make_feedback():
    """One branch per (callable, outcome), unrolled so that each is a coverage edge of its own:
    libFuzzer then keeps the inputs that reach a new outcome (the module itself has no coverage
    instrumentation)."""
    members = sorted(set(FUNCTIONS) | set(CLASSES) | {m for c in CLASSES.values() for m in
                     list(c["methods"]) + c["noargs"] + c["props"]} | {"__repr__", "__len__"})
    kinds = ["ok", "None", "TypeError", "ValueError", "IndexError", "OverflowError",
             "RuntimeError", "MemoryError", "UnicodeEncodeError", "HostileError",
             "HostileTypeError", "HostileBaseError"]
    lines = ["def feedback(member, outcome):"]
    for m in members:
        lines.append(f"    if member == {m!r}:")
        lines += [f"        if outcome == {k!r}:\n            return {i}" for i, k in
                  enumerate(kinds)]
        lines.append("        return -1")
    lines.append("    return -2")
    namespace: dict = {}
    exec("\n".join(lines), namespace)
    return namespace["feedback"]


feedback = make_feedback()


def tally(name, outcome, message):
    """Feeds the outcome back; with TW_FUZZ_STATS set also counts it, to show how deep inputs
    get."""
    feedback(name, outcome)
    if outcomes is not None:
        key = (name, outcome, message[:70] if outcome != "ok" else "")
        outcomes[key] = outcomes.get(key, 0) + 1


def report():
    print(f"fuzz_api: {stats['inputs']} inputs run", file=sys.stderr)
    for (name, outcome, message), n in sorted((outcomes or {}).items()):
        print(f"{n:9d}  {name:18s} {outcome:18s} {message}", file=sys.stderr)


def instrument_harness():
    """Coverage feedback comes from the harness's own branches (the module is not built for it)."""
    for value in list(globals().values()):
        if isinstance(value, type) and value.__module__ == __name__:
            for name, member in vars(value).items():
                if callable(member) and hasattr(member, "__code__"):
                    setattr(value, name, atheris.instrument_func(member))
        elif callable(value) and getattr(value, "__module__", None) == __name__ and \
                hasattr(value, "__code__") and value is not main:
            globals()[value.__name__] = atheris.instrument_func(value)


DEFAULT_FLAGS = {
    "-max_len": "1024",       # room for a whole sequence of calls from the start
    "-len_control": "0",
    "-timeout": "60",         # seconds per input: a hang is a finding too
    "-artifact_prefix": os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                     "fuzz") + os.sep,
}


def cap_address_space(headroom_mb=1536):
    """Makes an allocation beyond the headroom fail with MemoryError, which a caller can expect,
    instead of growing past libFuzzer's RSS limit: arguments may legitimately ask for a 16 GiB
    projection matrix (a seed with code_bits 2**32 - 1)."""
    with open("/proc/self/status") as status:
        size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (size_kb << 10) + (headroom_mb << 20)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY or soft > limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def main():
    warnings.simplefilter("ignore")
    cap_address_space()
    sys.setrecursionlimit(400)
    argv = list(sys.argv)
    for flag, value in DEFAULT_FLAGS.items():
        if not any(a.startswith(flag + "=") for a in argv[1:]):
            argv.append(f"{flag}={value}")
    os.makedirs(DEFAULT_FLAGS["-artifact_prefix"], exist_ok=True)
    globals()["feedback"] = atheris.instrument_func(feedback)
    instrument_harness()
    atheris.Setup(argv, TestOneInput)
    import atexit

    atexit.register(report)
    atheris.Fuzz()


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
