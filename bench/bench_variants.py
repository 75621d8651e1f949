"""Every kernel variant side by side: the scans, the batches, search, evict_lru and encode_batch
on 1,000,000 rows, each against the memory floor, and faiss's exhaustive binary index at each
instruction-set level it ships.

The module is built once per variant with the widest variant pinned (CMake -DTW_MAX_ISA=...).
All the builds are loaded into one interpreter, each under its own module object, and for every
operation the variants and the floor take turns call by call, so that a noisy neighbour on a
shared machine hits them all alike:

    python bench/bench_variants.py --variant avx2=build/bench-avx2 --variant sse2=build/bench-sse2

Prints Markdown tables: milliseconds per call (the median of the turns), and for a scan its
time over the floor's (the median of the per-turn ratios).
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Callable

import numpy as np

ROWS = 1_000_000
DIM, BITS = 384, 256
ENCODE_ROWS = 10_000
NEAR_DISTANCE = 10  # the only match is the last row, so no scan stops early
FAISS_LEVELS = ("generic", "avx2", "avx512")
FLOOR = "floor"


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


def workload() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(0)
    codes = rng.integers(0, 2**64, size=(ROWS, 4), dtype=np.uint64)
    query = codes[-1].copy()
    for bit in rng.choice(BITS, size=NEAR_DISTANCE, replace=False):
        query[bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    return codes, query


def taking_turns(calls: dict[str, Callable[[], object]], repeats: int) -> dict[str, list[float]]:
    """Milliseconds of each call, `repeats` turns of one call each; the first turn warms up."""
    for fn in calls.values():
        fn()
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeats):
        for name, fn in calls.items():
            start = time.perf_counter_ns()
            fn()
            times[name].append((time.perf_counter_ns() - start) / 1e6)
    return times


def measure(builds: dict[str, ModuleType], repeats: int) -> tuple[dict, dict]:
    """(operation -> variant -> median ms, operation -> variant -> median ratio to its floor)."""
    codes, query = workload()
    expected = (ROWS - 1, float(np.float32(1) - np.float32(NEAR_DISTANCE) / np.float32(BITS)))
    rng = np.random.default_rng(1)
    matrix = rng.standard_normal((BITS, DIM), dtype=np.float32)
    embeddings = rng.standard_normal((ENCODE_ROWS, DIM), dtype=np.float32)
    sims, stores, encoders = {}, {}, {}
    for name, rs in builds.items():
        sims[name] = rs.HammingSimilarity(BITS)
        stores[name] = store = rs.RustCacheStorage(ROWS)
        for i, row in enumerate(codes):
            store.add(row, 1_700_000_000 + ROWS - i)  # the oldest entry is the last
        assert sims[name].find_nearest(query, codes) == expected == store.search(query)
        assert store.evict_lru() == ROWS - 1
        encoders[name] = rs.RustBinaryEncoder(DIM, BITS, matrix)
    records = np.ones(next(iter(stores.values())).memory_usage(), dtype=np.uint8)

    # (operation, floor call or None, per-variant call)
    operations: list[tuple[str, Callable[[], object] | None, Callable[[str], Callable[[], object]]]] = [
        ("find_nearest", codes.sum, lambda n: lambda: sims[n].find_nearest(query, codes)),
        ("distance_batch", codes.sum, lambda n: lambda: sims[n].distance_batch(query, codes)),
        ("similarity_batch", codes.sum, lambda n: lambda: sims[n].similarity_batch(query, codes)),
        ("RustCacheStorage.search", records.max, lambda n: lambda: stores[n].search(query)),
        ("evict_lru", records.max, lambda n: stores[n].evict_lru),
        (f"encode_batch ({ENCODE_ROWS} x {DIM} -> {BITS} bits)", None,
         lambda n: lambda: encoders[n].encode_batch(embeddings)),
    ]
    ms: dict[str, dict[str, float]] = {}
    ratio: dict[str, dict[str, float]] = {}
    for op, floor, call in operations:
        calls = {name: call(name) for name in builds}
        if floor is not None:
            calls[FLOOR] = floor
        times = taking_turns(calls, repeats)
        ms[op] = {name: statistics.median(t) for name, t in times.items()}
        if floor is not None:
            ratio[op] = {name: statistics.median(a / f for a, f in zip(times[name], times[FLOOR]))
                         for name in builds}
    return ms, ratio


def measure_faiss(builds: dict[str, ModuleType], repeats: int) -> dict[str, float]:
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
    assert int(idx[0, 0]) == ROWS - 1
    sims = {name: rs.HammingSimilarity(BITS) for name, rs in builds.items()}
    calls: dict[str, Callable[[], object]] = {"faiss": lambda: index.search(q8, 1)}
    calls.update({name: (lambda s: lambda: s.find_nearest(query, codes))(sim) for name, sim in sims.items()})
    times = taking_turns(calls, repeats)
    out = {"faiss": statistics.median(times["faiss"])}
    out.update({name: statistics.median(f / t for f, t in zip(times["faiss"], times[name]))
                for name in builds})
    return out


def faiss_at(level: str, variants: list[str], repeats: int) -> dict[str, float] | None:
    env = dict(os.environ, FAISS_OPT_LEVEL=level, OMP_NUM_THREADS="1")
    args = [a for v in variants for a in ("--variant", v)]
    out = subprocess.run([sys.executable, __file__, "--faiss-worker", "--repeats", str(repeats), *args],
                         env=env, capture_output=True, text=True)
    if out.returncode != 0:
        lines = out.stderr.strip().splitlines()
        print(f"faiss at level {level}: {lines[-1] if lines else 'failed'}", file=sys.stderr)
        return None
    return dict(json.loads(out.stdout.splitlines()[-1]))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--variant", action="append", default=[], metavar="NAME=DIR",
                   help="a module build pinned to variant NAME, in DIR")
    p.add_argument("--repeats", type=int, default=41)
    p.add_argument("--faiss-worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if not args.variant:
        p.error("no --variant given")
    builds = {}
    for spec in args.variant:
        name, folder = spec.split("=", 1)
        builds[name] = load_build(folder)
    if args.faiss_worker:
        print(json.dumps(measure_faiss(builds, args.repeats)))
        return

    faiss_runs = {level: r for level in FAISS_LEVELS
                  if (r := faiss_at(level, args.variant, args.repeats)) is not None}
    ms, ratio = measure(builds, args.repeats)

    names = list(builds)
    print(f"\n{ROWS:,} rows of 256-bit codes, one thread. Milliseconds per call, the median of "
          f"{args.repeats} turns in which the variants and the floor take one call each; for a "
          "scan, in brackets, its time over the floor's: codes.sum() over the 32 MB matrix for "
          "the first three, a NumPy max over the 44 MB of records for search and evict_lru.\n")
    print("| operation | floor | " + " | ".join(names) + " |")
    print("|---|---:|" + "---:|" * len(names))
    for op, per in ms.items():
        floor = f"{per[FLOOR]:.3f}" if FLOOR in per else ""
        cells = [f"{per[n]:.3f} ({ratio[op][n]:.2f}x)" if op in ratio else f"{per[n]:.2f}"
                 for n in names]
        print(f"| {op} | {floor} | " + " | ".join(cells) + " |")
    if faiss_runs:
        print()
        print("faiss's exhaustive binary index (k=1, one thread) at each level it ships, in a "
              "process of its own taking turns with every variant's find_nearest: its "
              "milliseconds per call, and how many times faster find_nearest is (median of the "
              "per-turn ratios).\n")
        print("| faiss IndexBinaryFlat k=1, level | ms per call | "
              + " | ".join(f"find_nearest {n} faster by" for n in names) + " |")
        print("|---|---:|" + "---:|" * len(names))
        for level, r in faiss_runs.items():
            print(f"| {level} | {r['faiss']:.3f} | " + " | ".join(f"{r[n]:.2f}x" for n in names) + " |")


if __name__ == "__main__":
    main()
