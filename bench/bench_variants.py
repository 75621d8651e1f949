"""Every kernel variant side by side: the scans, the batches, search, evict_lru and encode_batch
on 1,000,000 rows, each against the memory floor measured in the same process, and faiss's
exhaustive binary index at each instruction-set level it ships.

The module is built once per variant with the widest variant pinned (CMake -DTW_MAX_ISA=...),
and each build is measured in a fresh interpreter that imports it from its own folder. The
variants take turns over several rounds, and each figure is the median over the rounds, so that
a noisy neighbour on a shared machine hits every variant alike:

    python bench/bench_variants.py --variant avx2=build/bench-avx2 --variant sse2=build/bench-sse2

Prints a Markdown table: milliseconds per call (median), and each scan's ratio to its floor.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

ROWS = 1_000_000
DIM, BITS = 384, 256
ENCODE_ROWS = 10_000
NEAR_DISTANCE = 10  # the only match is the last row, so no scan stops early
FAISS_LEVELS = ("generic", "avx2", "avx512")


def median_ms(fn: Callable[[], object], repeats: int) -> float:
    """Median wall time of `repeats` calls back to back, so the data stays as warm as in a
    serving loop; the first call only warms up."""
    fn()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1e6


def workload():
    import numpy as np

    rng = np.random.default_rng(0)
    codes = rng.integers(0, 2**64, size=(ROWS, 4), dtype=np.uint64)
    query = codes[-1].copy()
    for bit in rng.choice(BITS, size=NEAR_DISTANCE, replace=False):
        query[bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    return codes, query


def measure_module(repeats: int) -> dict[str, float]:
    """Runs in the worker: the module found on sys.path, and the floors."""
    import numpy as np

    import tarnwick_rs as rs

    codes, query = workload()
    sim = rs.HammingSimilarity(BITS)
    store = rs.RustCacheStorage(ROWS)
    for i, row in enumerate(codes):
        store.add(row, 1_700_000_000 + ROWS - i)  # the oldest entry is the last
    expected = (ROWS - 1, float(np.float32(1) - np.float32(NEAR_DISTANCE) / np.float32(BITS)))
    assert sim.find_nearest(query, codes) == expected and store.search(query) == expected
    assert store.evict_lru() == ROWS - 1
    records = np.ones(store.memory_usage(), dtype=np.uint8)
    rng = np.random.default_rng(1)
    matrix = rng.standard_normal((BITS, DIM), dtype=np.float32)
    encoder = rs.RustBinaryEncoder(DIM, BITS, matrix)
    embeddings = rng.standard_normal((ENCODE_ROWS, DIM), dtype=np.float32)
    calls: dict[str, Callable[[], object]] = {
        "floor: codes.sum() (32 MB)": codes.sum,
        "find_nearest": lambda: sim.find_nearest(query, codes),
        "distance_batch": lambda: sim.distance_batch(query, codes),
        "similarity_batch": lambda: sim.similarity_batch(query, codes),
        "floor: NumPy max over the records (44 MB)": records.max,
        "RustCacheStorage.search": lambda: store.search(query),
        "evict_lru": store.evict_lru,
        f"encode_batch ({ENCODE_ROWS} x {DIM} -> {BITS} bits)": lambda: encoder.encode_batch(embeddings),
    }
    return {name: median_ms(fn, repeats) for name, fn in calls.items()}


def measure_faiss(repeats: int) -> dict[str, float]:
    """Runs in the worker: faiss at the level FAISS_OPT_LEVEL names, one thread."""
    import faiss
    import numpy as np

    codes, query = workload()
    faiss.omp_set_num_threads(1)
    index = faiss.IndexBinaryFlat(BITS)
    index.add(codes.view(np.uint8))
    q8 = query[None].view(np.uint8)
    _, idx = index.search(q8, 1)
    assert int(idx[0, 0]) == ROWS - 1
    return {"faiss IndexBinaryFlat k=1": median_ms(lambda: index.search(q8, 1), repeats)}


def floor_of(results: dict[str, float], op: str) -> str | None:
    """The floor row that precedes `op` (scans are listed after the floor of their bytes)."""
    floor = None
    for name in results:
        if name.startswith("floor"):
            floor = name
        if name == op:
            return None if op.startswith("encode") else floor
    return None


def worker(args: list[str], env: dict[str, str]) -> dict[str, float]:
    out = subprocess.run([sys.executable, __file__, *args], env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout.splitlines()[-1])


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--variant", action="append", default=[], metavar="NAME=DIR",
                   help="a module build pinned to variant NAME, in DIR")
    p.add_argument("--repeats", type=int, default=21)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--worker", choices=["module", "faiss"], help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker == "module":
        print(json.dumps(measure_module(args.repeats)))
        return
    if args.worker == "faiss":
        print(json.dumps(measure_faiss(args.repeats)))
        return

    if not args.variant:
        p.error("no --variant given")
    rounds: dict[str, list[dict[str, float]]] = {}
    faiss_rounds: dict[str, list[float]] = {}
    for r in range(args.rounds):
        for spec in args.variant:
            name, folder = spec.split("=", 1)
            env = dict(os.environ, PYTHONPATH=str(Path(folder).resolve()))
            print(f"round {r + 1}: measuring {name} ...", file=sys.stderr)
            rounds.setdefault(name, []).append(
                worker(["--worker", "module", "--repeats", str(args.repeats)], env))
        for level in FAISS_LEVELS:
            env = dict(os.environ, FAISS_OPT_LEVEL=level, OMP_NUM_THREADS="1")
            try:
                faiss_rounds.setdefault(level, []).append(worker(
                    ["--worker", "faiss", "--repeats", str(args.repeats)], env)["faiss IndexBinaryFlat k=1"])
            except RuntimeError as e:
                lines = str(e).splitlines()
                print(f"faiss at level {level}: {lines[-1] if lines else 'failed'}", file=sys.stderr)
    columns = {name: {op: statistics.median(x[op] for x in per) for op in per[0]}
               for name, per in rounds.items()}
    # A scan's ratio to its floor is taken within each round, then the median over the rounds.
    ratios = {name: {op: statistics.median(x[op] / x[floor_of(per[0], op)] for x in per)
                     for op in per[0] if floor_of(per[0], op) not in (None, op)}
              for name, per in rounds.items()}
    faiss_ms = {level: statistics.median(v) for level, v in faiss_rounds.items()}

    names = list(columns)
    operations = list(next(iter(columns.values())))
    print(f"\n{ROWS:,} rows of 256-bit codes, one thread; ms per call, the median of "
          f"{args.repeats} calls back to back, then the median over {args.rounds} rounds in "
          "which the variants take turns. For a scan, in brackets: its time over the floor "
          "above it, measured in the same process and round\n")
    print("| operation | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for op in operations:
        cells = []
        for n in names:
            ms = columns[n][op]
            if op in ratios[n]:
                cells.append(f"{ms:.3f} ({ratios[n][op]:.2f}x)")
            else:
                cells.append(f"{ms:.2f}" if op.startswith("encode") else f"{ms:.3f}")
        print(f"| {op} | " + " | ".join(cells) + " |")
    if faiss_ms:
        print()
        print("| faiss IndexBinaryFlat k=1, by its instruction-set level | ms per call | "
              + " | ".join(f"find_nearest {n} is faster by" for n in names) + " |")
        print("|---|---:|" + "---:|" * len(names))
        for level, ms in faiss_ms.items():
            print(f"| {level} | {ms:.3f} | "
                  + " | ".join(f"{ms / columns[n]['find_nearest']:.2f}x" for n in names) + " |")


if __name__ == "__main__":
    main()
