"""RustCacheStorage.search and evict_lru on a full store of 1,000,000 entries.

search is set side by side with HammingSimilarity.find_nearest over the same codes as a
(N, 4) matrix and with faiss's exhaustive binary index (k=1, one thread). The only near match is
the last entry, so no scan can stop early. Two floor rows time a plain read (NumPy max) of as
many bytes as the records (44 per entry) and of the matrix (32 per entry): what a scan of either
can hope to approach. Prints a Markdown table.

    python bench/bench_storage.py [--entries N] [--repeats R]
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import numpy as np

import tarnwick_rs as rs

NEAR_DISTANCE = 10


def timed_each(
    calls: dict[str, Callable[[], object]], repeats: int
) -> dict[str, tuple[float, float]]:
    """Median and best wall time in milliseconds of each call, repeated back to back.

    Each call gets its own run of repeats, so its data stays in the last-level cache as in a
    serving loop; calls taking turns would push each other's data out to main memory.
    """
    times = {}
    for name, fn in calls.items():
        fn()  # warm-up
        samples = []
        for _ in range(repeats):
            start = time.perf_counter_ns()
            fn()
            samples.append(time.perf_counter_ns() - start)
        times[name] = (float(np.median(samples)) / 1e6, min(samples) / 1e6)
    return times


def build(entries: int, seed: int) -> tuple[rs.RustCacheStorage, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 2**64, size=(entries, 4), dtype=np.uint64, endpoint=False)
    query = codes[-1].copy()
    for bit in rng.choice(256, size=NEAR_DISTANCE, replace=False):
        query[bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    storage = rs.RustCacheStorage(entries)
    # Oldest last, so the least recently used entry is the last one too.
    for i, row in enumerate(codes):
        storage.add(row, 1_700_000_000 + entries - i)
    return storage, codes, query


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--entries", type=int, default=1_000_000)
    p.add_argument("--repeats", type=int, default=31)
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args()
    n = args.entries

    t0 = time.perf_counter()
    storage, codes, query = build(n, args.seed)
    print(f"filled a store of {n} entries in {time.perf_counter() - t0:.1f} s "
          f"(memory_usage {storage.memory_usage()} bytes)\n")

    expected = (n - 1, float(np.float32(1) - np.float32(NEAR_DISTANCE) / np.float32(256)))
    assert storage.search(query) == expected
    assert storage.evict_lru() == n - 1
    record_bytes = np.ones(storage.memory_usage(), dtype=np.uint8)

    calls: dict[str, Callable[[], object]] = {"RustCacheStorage.search": lambda: storage.search(query)}
    notes: dict[str, str] = {}
    if hasattr(rs, "HammingSimilarity"):
        sim = rs.HammingSimilarity(256)
        assert sim.find_nearest(query, codes, 0.85) == expected
        calls["HammingSimilarity.find_nearest"] = lambda: sim.find_nearest(query, codes, 0.85)
    else:
        notes["HammingSimilarity.find_nearest"] = "not built"
    try:
        import faiss
    except ImportError:
        notes["faiss IndexBinaryFlat k=1 (1 thread)"] = "faiss not installed"
    else:
        faiss.omp_set_num_threads(1)
        index = faiss.IndexBinaryFlat(256)
        index.add(codes.view(np.uint8).reshape(n, 32))
        q8 = query.view(np.uint8).reshape(1, 32)
        dist, idx = index.search(q8, 1)
        assert (int(idx[0, 0]), int(dist[0, 0])) == (n - 1, NEAR_DISTANCE)
        calls["faiss IndexBinaryFlat k=1 (1 thread)"] = lambda: index.search(q8, 1)
    calls["RustCacheStorage.evict_lru"] = storage.evict_lru
    record_floor = f"floor: NumPy max over {record_bytes.nbytes} bytes"
    calls[record_floor] = record_bytes.max
    calls[f"floor: NumPy max over the {codes.nbytes}-byte matrix"] = codes.view(np.uint8).max

    times = timed_each(calls, args.repeats)
    search_ms = times["RustCacheStorage.search"][0]
    evict_ms = times["RustCacheStorage.evict_lru"][0]
    nearest_ms = times.get("HammingSimilarity.find_nearest", (None,))[0]
    faiss_ms = times.get("faiss IndexBinaryFlat k=1 (1 thread)", (None,))[0]

    rows = [(name, med, best, f"{med / search_ms:.2f}x") for name, (med, best) in times.items()]
    rows += [(name, float("nan"), float("nan"), note) for name, note in notes.items()]

    print(f"| operation ({n} entries) | median ms | best ms | time / search |")
    print("|---|---:|---:|---:|")
    for name, med, best, ratio in rows:
        print(f"| {name} | {med:.3f} | {best:.3f} | {ratio} |")

    print()
    if nearest_ms is not None:
        verdict = "met" if search_ms <= 1.6 * nearest_ms else "MISSED"
        print(f"- search <= 1.6 x find_nearest: {search_ms / nearest_ms:.2f}x ({verdict})")
    if faiss_ms is not None:
        verdict = "met" if search_ms < faiss_ms else "MISSED"
        print(f"- search faster than faiss: {search_ms:.3f} vs {faiss_ms:.3f} ms ({verdict})")
    verdict = "met" if evict_ms < 1.0 else "MISSED"
    print(f"- evict_lru under 1 ms: {evict_ms:.3f} ms ({verdict}); it reads every 64-byte line "
          f"of the records, whose plain read takes "
          f"{times[record_floor][0]:.3f} ms")


if __name__ == "__main__":
    main()
