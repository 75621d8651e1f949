"""RustCacheStorage.search and evict_lru on a full store of 1,000,000 entries.

search is set side by side with HammingSimilarity.find_nearest over the same codes as a
(N, 4) matrix and with faiss's exhaustive binary index (k=1, one thread). The only near match is
the last entry, so no scan can stop early. Prints a Markdown table.

    python bench/bench_storage.py [--entries N] [--repeats R]
"""

from __future__ import annotations

import argparse
import time
from typing import Callable, TypeVar

import numpy as np

import tarnwick_rs as rs

NEAR_DISTANCE = 10
T = TypeVar("T")


def timed(fn: Callable[[], T], repeats: int) -> tuple[float, float, T]:
    """Median and best wall time in milliseconds over `repeats` calls, and the last result."""
    result = fn()  # warm-up
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        result = fn()
        samples.append(time.perf_counter_ns() - start)
    return float(np.median(samples)) / 1e6, min(samples) / 1e6, result


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
    p.add_argument("--repeats", type=int, default=15)
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args()
    n = args.entries

    t0 = time.perf_counter()
    storage, codes, query = build(n, args.seed)
    print(f"filled a store of {n} entries in {time.perf_counter() - t0:.1f} s "
          f"(memory_usage {storage.memory_usage()} bytes)\n")

    rows: list[tuple[str, float, float, str]] = []
    expected = (n - 1, float(np.float32(1) - np.float32(NEAR_DISTANCE) / np.float32(256)))

    med, best, hit = timed(lambda: storage.search(query), args.repeats)
    assert hit == expected, hit
    search_ms = med
    rows.append(("RustCacheStorage.search", med, best, "1.00x"))

    nearest_ms = faiss_ms = None
    if hasattr(rs, "HammingSimilarity"):
        sim = rs.HammingSimilarity(256)
        med, best, hit = timed(lambda: sim.find_nearest(query, codes, 0.85), args.repeats)
        assert hit == expected, hit
        nearest_ms = med
        rows.append(("HammingSimilarity.find_nearest", med, best, f"{med / search_ms:.2f}x"))
    else:
        rows.append(("HammingSimilarity.find_nearest", float("nan"), float("nan"), "not built"))

    try:
        import faiss
    except ImportError:
        rows.append(("faiss IndexBinaryFlat k=1", float("nan"), float("nan"), "faiss not installed"))
    else:
        faiss.omp_set_num_threads(1)
        index = faiss.IndexBinaryFlat(256)
        index.add(codes.view(np.uint8).reshape(n, 32))
        q8 = query.view(np.uint8).reshape(1, 32)
        med, best, (dist, idx) = timed(lambda: index.search(q8, 1), args.repeats)
        assert (int(idx[0, 0]), int(dist[0, 0])) == (n - 1, NEAR_DISTANCE)
        faiss_ms = med
        rows.append(("faiss IndexBinaryFlat k=1 (1 thread)", med, best, f"{med / search_ms:.2f}x"))

    med, best, victim = timed(storage.evict_lru, args.repeats)
    assert victim == n - 1, victim
    evict_ms = med
    rows.append(("RustCacheStorage.evict_lru", med, best, f"{med / search_ms:.2f}x"))

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
    print(f"- evict_lru under 1 ms: {evict_ms:.3f} ms ({verdict})")


if __name__ == "__main__":
    main()
