"""Every kernel variant side by side, from Python (the call included) and one thread: the scans,
the batches, search, evict_lru and encoding at 1k, 10k, 100k and 1M rows, each against the read
floor, and faiss's exhaustive binary index at each instruction-set level it ships.

The module is built once per variant with the widest variant pinned (CMake -DTW_MAX_ISA=...),
and once as it ships, picking per call (the build named `default`). All the builds are loaded
into one interpreter, each under its own module object, and for every operation and size the
builds and the floor take turns, a timed batch of calls each, so that a noisy neighbour on a
shared machine hits them all alike; batches are timed on the thread's CPU clock (--clock wall for
the wall clock), so that a neighbour's time slices are not counted either:

    python bench/bench_variants.py --variant avx2=build/bench-avx2 --variant default=build/bench-default \\
        --floor-lib build/bench-kernels/libtw_read_floor.so

The read floor is plain vector loads of the same bytes (the widest the CPU has), from a small
native library of the C++ benchmark's build that times its own passes, so that no call overhead
enters it. encode_batch is compared with one-thread BLAS, a single encode with one read of the
projection matrix. Prints Markdown tables.
"""

from __future__ import annotations

import argparse
import ctypes
import importlib
import importlib.machinery
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import time
from functools import partial
from itertools import repeat
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import numpy as np

SIZES = (1_000, 10_000, 100_000, 1_000_000)
FAISS_ROWS = 1_000_000
DIM, BITS = 384, 256
RECORD_BYTES = 44
ENCODE_ROWS = 1_000
NEAR_DISTANCE = 10  # the only match is the last row, so no scan stops early
# Untimed calls at the start of every turn. At 1M rows one call is not enough: after the other
# builds' stores have passed through, the last-level cache keeps too little of a 44 MB store
# after one pass, and search and evict_lru (and their floor) then run at DRAM speed, 1.7x
# slower here, a state that favours some variants over others.
WARM_CALLS = 3
FAISS_LEVELS = ("generic", "avx2", "avx512")
DEFAULT = "default"  # the build without TW_MAX_ISA: the module as it ships
HERE = Path(__file__).resolve().parent


def load_build(folder: str) -> ModuleType:
    """The module built in `folder`, as a module object of its own (several can coexist)."""
    path = next(Path(folder).glob("tarnwick_rs*.so"), None) or next(Path(folder).glob("tarnwick_rs*.pyd"))
    loader = importlib.machinery.ExtensionFileLoader("tarnwick_rs", str(path))
    spec = importlib.util.spec_from_file_location("tarnwick_rs", path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules.pop("tarnwick_rs", None)
    return module


# What a contender's time is read from: nanoseconds on a clock.
Clock = Callable[[], int]


def pick_clock(name: str) -> tuple[Clock, bool]:
    """The clock --clock names and whether it is the thread's CPU clock. That one leaves out the
    time slices a neighbour takes on a shared machine; where it is coarse (Windows), wall time."""
    if name == "thread" and time.get_clock_info("thread_time").resolution <= 1e-6:
        return time.thread_time_ns, True
    return time.perf_counter_ns, False


class ReadFloor:
    """tw_read_floor_ns from the C++ benchmark's build: nanoseconds of n reads of a buffer, on
    the thread's CPU clock (as time.thread_time_ns reads it) or the wall clock."""

    def __init__(self, path: str | None, thread_clock: bool) -> None:
        if path is None:
            found = sorted((HERE.parent / "build" / "bench-kernels").glob("*tw_read_floor*"))
            if not found:
                raise SystemExit("no read-floor library: build it with `bash scripts/run bench-kernels --list` "
                                 "or give --floor-lib")
            path = str(found[0])
        lib = ctypes.CDLL(path)
        self._ns = lib.tw_read_floor_ns
        self._ns.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int]
        self._ns.restype = ctypes.c_uint64
        if thread_clock and not lib.tw_read_floor_has_thread_clock():
            raise SystemExit("the read-floor library has no thread CPU clock here: use --clock wall")
        self.thread_clock = thread_clock
        name = lib.tw_read_floor_name
        name.restype = ctypes.c_char_p
        self.name = name().decode()

    def passes_ns(self, array: np.ndarray, passes: int) -> int:
        assert array.flags.c_contiguous
        return int(self._ns(array.ctypes.data, array.nbytes, passes, int(self.thread_clock)))


def random_codes(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    codes = rng.integers(0, 2**64, size=(n, 4), dtype=np.uint64)
    query = codes[-1].copy()
    for bit in rng.choice(BITS, size=NEAR_DISTANCE, replace=False):
        query[bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    return codes, query


def workload() -> tuple[np.ndarray, np.ndarray]:
    return random_codes(FAISS_ROWS, np.random.default_rng(0))


def taking_turns(calls: dict[str, Callable[[], object]], repeats: int, clock: Clock) -> dict[str, list[float]]:
    """Milliseconds of each call, `repeats` turns of one call each; the first turn warms up."""
    for fn in calls.values():
        fn()
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeats):
        for name, fn in calls.items():
            start = clock()
            fn()
            times[name].append((clock() - start) / 1e6)
    return times


# A contender: given a number of calls, runs them and returns the nanoseconds they took.
Timed = Callable[[int], float]


def python_calls(fn: Callable[[], object], clock: Clock) -> Timed:
    def run(n: int) -> float:
        for _ in range(WARM_CALLS):  # untimed: this build's own data (its store) back in cache
            fn()
        start = clock()
        for _ in repeat(None, n):
            fn()
        return float(clock() - start)

    return run


def floor_passes(floor: ReadFloor, array: np.ndarray) -> Timed:
    def run(n: int) -> float:
        floor.passes_ns(array, WARM_CALLS)
        return float(floor.passes_ns(array, n))

    return run


def batched_turns(contenders: dict[str, Timed], repeats: int, batch_ns: float) -> dict[str, list[float]]:
    """Nanoseconds per call of each contender, per turn. A turn is one batch of calls (at least
    `batch_ns` long); every round gives each contender a turn, the first moving on by one."""
    counts = {}
    for name, run in contenders.items():
        n = 1
        while (t := run(n)) < batch_ns:
            n = max(2 * n, min(100 * n, int(n * batch_ns / max(t, 1.0) * 1.1)))
        counts[name] = n
    names = list(contenders)
    times: dict[str, list[float]] = {name: [] for name in names}
    for r in range(repeats):
        for k in range(len(names)):
            name = names[(k + r) % len(names)]
            times[name].append(contenders[name](counts[name]) / counts[name])
    return times


def optional(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def spread(values: list[float]) -> float:
    """The interquartile range over the median: how far a neighbour's load moved the rounds."""
    if len(values) < 2:
        return 0.0
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values)


class Measured:
    """Per operation and size: ns per call of every contender, and each build's median ratio
    to the reference taken within its turn."""

    def __init__(self) -> None:
        self.ns: dict[tuple[str, int], dict[str, float]] = {}
        self.ratio: dict[tuple[str, int], dict[str, float]] = {}
        self.spread: dict[tuple[str, int], float] = {}  # the widest of the reference's and ratios'
        self.codes_offset: dict[int, int] = {}  # per size: where NumPy put the codes matrix

    def add(self, op: str, rows: int, times: dict[str, list[float]], reference: str) -> None:
        self.ns[op, rows] = {name: statistics.median(t) for name, t in times.items()}
        ratios = {name: [a / f for a, f in zip(t, times[reference])]
                  for name, t in times.items() if name != reference}
        self.ratio[op, rows] = {name: statistics.median(r) for name, r in ratios.items()}
        self.spread[op, rows] = max(map(spread, [times[reference], *ratios.values()]))


def measure(builds: dict[str, ModuleType], floor: ReadFloor, sizes: list[int], repeats: int,
            batch_ns: float, encode_rows: int, clock: Clock) -> Measured:
    out = Measured()
    similarity = float(np.float32(1) - np.float32(NEAR_DISTANCE) / np.float32(BITS))
    sims = {name: rs.HammingSimilarity(BITS) for name, rs in builds.items()}
    for rows in sizes:
        codes, query = random_codes(rows, np.random.default_rng(rows))
        out.codes_offset[rows] = codes.ctypes.data % 64
        stores = {}
        for name, rs in builds.items():
            stores[name] = store = rs.RustCacheStorage(rows)
            for i, row in enumerate(codes):
                store.add(row, 1_700_000_000 + rows - i)  # the oldest entry is the last
            assert sims[name].find_nearest(query, codes) == (rows - 1, similarity) == store.search(query)
            assert store.evict_lru() == rows - 1
        # The records are not reachable from Python: the floor reads as many bytes elsewhere.
        records = np.random.default_rng(1).integers(0, 256, size=rows * RECORD_BYTES, dtype=np.uint8)
        scans: list[tuple[str, np.ndarray, Callable[[str], Callable[[], object]]]] = [
            ("find_nearest", codes, lambda n: partial(sims[n].find_nearest, query, codes)),
            ("distance_batch", codes, lambda n: partial(sims[n].distance_batch, query, codes)),
            ("similarity_batch", codes, lambda n: partial(sims[n].similarity_batch, query, codes)),
            ("RustCacheStorage.search", records, lambda n: partial(stores[n].search, query)),
            ("evict_lru", records, lambda n: stores[n].evict_lru),
        ]
        for op, floor_bytes, call in scans:
            contenders = {name: python_calls(call(name), clock) for name in builds}
            contenders["floor"] = floor_passes(floor, floor_bytes)
            out.add(op, rows, batched_turns(contenders, repeats, batch_ns), "floor")
        del stores

    rng = np.random.default_rng(1)
    matrix = rng.standard_normal((BITS, DIM), dtype=np.float32)
    embeddings = rng.standard_normal((encode_rows, DIM), dtype=np.float32)
    one = embeddings[0].copy()
    encoders = {name: rs.RustBinaryEncoder(DIM, BITS, matrix) for name, rs in builds.items()}
    mt = matrix.T

    def blas() -> np.ndarray:
        return np.packbits((embeddings @ mt) >= 0, axis=1, bitorder="little")

    threadpoolctl = optional("threadpoolctl")
    limits = threadpoolctl.threadpool_limits(limits=1) if threadpoolctl is not None else None
    try:
        contenders = {name: python_calls(partial(e.encode_batch, embeddings), clock) for name, e in encoders.items()}
        contenders["BLAS"] = python_calls(blas, clock)
        out.add("encode_batch", encode_rows, batched_turns(contenders, repeats, batch_ns), "BLAS")
    finally:
        if limits is not None:
            limits.restore_original_limits()
    contenders = {name: python_calls(partial(e.encode, one), clock) for name, e in encoders.items()}
    contenders["floor"] = floor_passes(floor, matrix)
    out.add("encode", 1, batched_turns(contenders, repeats, batch_ns), "floor")
    return out


def measure_faiss(builds: dict[str, ModuleType], repeats: int, clock: Clock) -> dict[str, float]:
    """Runs in a worker: faiss at the level FAISS_OPT_LEVEL names (chosen when faiss is
    imported, hence a process per level), one thread, taking turns with every variant's
    find_nearest. Its median ms, and per variant the median of faiss's time over the variant's."""
    import faiss

    codes, query = workload()
    faiss.omp_set_num_threads(1)
    index = faiss.IndexBinaryFlat(BITS)
    index.add(codes.view(np.uint8))
    q8 = query[None].view(np.uint8)
    _, idx = index.search(q8, 1)
    assert int(idx[0, 0]) == FAISS_ROWS - 1
    sims = {name: rs.HammingSimilarity(BITS) for name, rs in builds.items()}
    calls: dict[str, Callable[[], object]] = {"faiss": lambda: index.search(q8, 1)}
    calls.update({name: (lambda s: lambda: s.find_nearest(query, codes))(sim) for name, sim in sims.items()})
    times = taking_turns(calls, repeats, clock)
    out = {"faiss": statistics.median(times["faiss"])}
    out.update({name: statistics.median(f / t for f, t in zip(times["faiss"], times[name]))
                for name in builds})
    return out


def faiss_at(level: str, variants: list[str], repeats: int, clock: str) -> dict[str, float] | None:
    env = dict(os.environ, FAISS_OPT_LEVEL=level, OMP_NUM_THREADS="1")
    args = [a for v in variants for a in ("--variant", v)] + ["--clock", clock]
    out = subprocess.run([sys.executable, __file__, "--faiss-worker", "--repeats", str(repeats), *args],
                         env=env, capture_output=True, text=True)
    if out.returncode != 0:
        lines = out.stderr.strip().splitlines()
        print(f"faiss at level {level}: {lines[-1] if lines else 'failed'}", file=sys.stderr)
        return None
    return dict(json.loads(out.stdout.splitlines()[-1]))


def size_label(n: int) -> str:
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n >= 1_000 and n % 1_000 == 0:
        return f"{n // 1_000}k"
    return str(n)


def ns_text(ns: float) -> str:
    return f"{ns:.3f}" if ns < 10 else f"{ns:.1f}" if ns < 1000 else f"{ns:.0f}"


def print_table(m: Measured, names: list[str], repeats: int, batch_ns: float, floor: ReadFloor) -> None:
    pinned = [n for n in names if n != DEFAULT]
    print(f"\nOne thread, from Python: nanoseconds per row (per call for a single `encode`), the "
          f"median of {repeats} rounds in which every build and the floor take one timed batch "
          f"(at least {batch_ns / 1e3:.0f} us) of calls each, on warm data, timed by the "
          + ("thread's CPU clock" if floor.thread_clock else "wall clock") + "; in brackets the "
          "median of the per-round ratios to the floor. The floor is the read floor measured "
          f"natively ({floor.name}): the codes matrix (32 B/row) for the first three, as many "
          f"bytes as the records ({RECORD_BYTES} B/row) for search and evict_lru, the "
          f"{BITS} x {DIM} float32 projection for `encode`; for encode_batch it is one-thread "
          "BLAS, `np.packbits((X @ M.T) >= 0, axis=1)` (a ratio of 1.05 is 0.95x its speed). "
          f"Builds: {', '.join(pinned)} pinned with TW_MAX_ISA"
          + (f"; `{DEFAULT}` as the module ships, picking per call" if DEFAULT in names else "")
          + ". `fastest` is the pinned build with the lowest ratio. After the floor, half the "
          "widest interquartile range over its median among the floor's times and every build's "
          "ratios: beyond a few percent, a neighbour's load moved the rounds. The codes matrices (as NumPy allocated them) start "
          + ", ".join(f"{off} ({size_label(rows)})" for rows, off in m.codes_offset.items())
          + " bytes past a 64-byte line; the store's records start on one.\n")
    header = ["operation", "rows", "floor"] + names + ["fastest"]
    if DEFAULT in names:
        header.append(f"{DEFAULT} within 3% of fastest")
    print("| " + " | ".join(header) + " |")
    print("|---|---:|---:|" + "---:|" * len(names) + "---|" + ("---|" if DEFAULT in names else ""))
    for (op, rows), ns in m.ns.items():
        ratio = m.ratio[op, rows]
        per = rows if op != "encode" else 1
        reference = "BLAS" if "BLAS" in ns else "floor"
        cells = [op, size_label(rows), f"{ns_text(ns[reference] / per)} ±{50 * m.spread[op, rows]:.0f}%"]
        cells += [f"{ns_text(ns[n] / per)} ({ratio[n]:.2f}x)" for n in names]
        best = min(pinned, key=lambda n: ratio[n]) if pinned else DEFAULT
        cells.append(best)
        if DEFAULT in names:
            over = ratio[DEFAULT] / ratio[best] - 1
            cells.append("yes" if over <= 0.03 else f"**no** (+{100 * over:.0f}%)")
        print("| " + " | ".join(cells) + " |")


def parse_size(text: str) -> int:
    """'1k' -> 1000, '1M' -> 1000000, '2500' -> 2500."""
    scale = {"k": 1_000, "K": 1_000, "m": 1_000_000, "M": 1_000_000}.get(text[-1:], 1)
    return int(float(text[:-1] if scale > 1 else text) * scale)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--variant", action="append", default=[], metavar="NAME=DIR",
                   help=f"a module build pinned to variant NAME, in DIR ({DEFAULT}: the unpinned build)")
    p.add_argument("--floor-lib", help="the read-floor library (default: build/bench-kernels)")
    p.add_argument("--sizes", default=",".join(size_label(s) for s in SIZES),
                   help="rows, comma-separated (1k,10k,100k,1M)")
    p.add_argument("--repeats", type=int, default=25, help="rounds of turns")
    p.add_argument("--batch-us", type=float, default=200, help="shortest timed batch of calls")
    p.add_argument("--encode-rows", type=int, default=ENCODE_ROWS)
    p.add_argument("--faiss-repeats", type=int, default=21)
    p.add_argument("--clock", choices=("thread", "wall"), default="thread",
                   help="time on the thread's CPU clock (leaves out a neighbour's time slices) or the wall clock")
    p.add_argument("--faiss-worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    clock, thread_clock = pick_clock(args.clock)
    if not args.variant:
        p.error("no --variant given")
    builds = {}
    for spec in args.variant:
        name, folder = spec.split("=", 1)
        builds[name] = load_build(folder)
    if args.faiss_worker:
        print(json.dumps(measure_faiss(builds, args.repeats, clock)))
        return

    floor = ReadFloor(args.floor_lib, thread_clock)
    sizes = [parse_size(s) for s in args.sizes.split(",") if s]
    batch_ns = args.batch_us * 1e3
    faiss_runs = {level: r for level in FAISS_LEVELS
                  if (r := faiss_at(level, args.variant, args.faiss_repeats, args.clock)) is not None}
    measured = measure(builds, floor, sizes, args.repeats, batch_ns, args.encode_rows, clock)

    names = list(builds)
    print_table(measured, names, args.repeats, batch_ns, floor)
    if faiss_runs:
        print()
        print(f"faiss's exhaustive binary index (k=1, one thread) over {FAISS_ROWS:,} rows at each "
              "level it ships, in a process of its own taking turns with every build's "
              "find_nearest, one call each: its milliseconds per call, and how many times faster "
              "find_nearest is (median of the per-turn ratios).\n")
        print("| faiss IndexBinaryFlat k=1, level | ms per call | "
              + " | ".join(f"find_nearest {n} faster by" for n in names) + " |")
        print("|---|---:|" + "---:|" * len(names))
        for level, r in faiss_runs.items():
            print(f"| {level} | {r['faiss']:.3f} | " + " | ".join(f"{r[n]:.2f}x" for n in names) + " |")


if __name__ == "__main__":
    main()
