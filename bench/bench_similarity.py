"""HammingSimilarity against its peers on one matrix of 4-word (256-bit) codes, one thread each.

The only near match sits in the last row, so nothing can stop early. Every operation reads the
same matrix; the memory floor is NumPy's `codes.sum()` over it. Prints a Markdown table.

    python bench/bench_similarity.py [--rows 1000000] [--repeat 30]
"""

import argparse
import statistics
import time

import numpy as np

from tarnwick_rs import HammingSimilarity


def measure(fn, repeat):
    fn()  # warm up: page in the matrix and the output allocations
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peers(q, codes, code_bits):
    """(name, what it computes, callable) for every peer that can run here."""
    out = [
        ("numpy bitwise_count distances", "distances",
         lambda: np.bitwise_count(codes ^ q).sum(axis=1)),
        ("numpy bitwise_count similarities", "similarities",
         lambda: np.float32(1.0)
         - np.bitwise_count(codes ^ q).sum(axis=1, dtype=np.uint32).astype(np.float32)
         / np.float32(code_bits)),
        ("numpy bitwise_count + argmin", "nearest",
         lambda: int(np.argmin(np.bitwise_count(codes ^ q).sum(axis=1)))),
    ]
    try:
        import faiss
    except ImportError:
        print("faiss-cpu not importable: skipped")
    else:
        faiss.omp_set_num_threads(1)
        index = faiss.IndexBinaryFlat(code_bits)
        index.add(codes.view(np.uint8))
        query = q[None].view(np.uint8)
        out.append(("faiss IndexBinaryFlat search k=1", "nearest",
                    lambda: index.search(query, 1)))
    try:
        import simsimd
    except ImportError:
        print("simsimd not importable: skipped")
    else:
        a, b = q[None].view(np.uint8), codes.view(np.uint8)

        def cdist():
            # simsimd's stub lists only float output types; binary metrics also take uint32.
            return np.asarray(simsimd.cdist(a, b, metric="hamming", dtype="bin8",
                                            out_dtype="uint32",  # type: ignore[arg-type]
                                            threads=1))

        out.append(("simsimd cdist hamming", "distances", cdist))
        out.append(("simsimd cdist hamming + argmin", "nearest", lambda: int(np.argmin(cdist()))))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()

    rng = np.random.default_rng(42)
    codes = rng.integers(0, 2**64, size=(args.rows, 4), dtype=np.uint64)
    q = rng.integers(0, 2**64, size=4, dtype=np.uint64)
    codes[-1] = q
    codes[-1, 0] ^= np.uint64(0x3FF)  # 10 bits apart: similarity 0.9609375, the only match
    h = HammingSimilarity(256)
    assert h.find_nearest(q, codes) == (args.rows - 1, 0.9609375)
    nbytes = codes.nbytes

    floor = measure(lambda: codes.sum(), args.repeat)
    ours = [
        ("distance_batch", "distances", lambda: h.distance_batch(q, codes)),
        ("similarity_batch", "similarities", lambda: h.similarity_batch(q, codes)),
        ("find_nearest", "nearest", lambda: h.find_nearest(q, codes)),
    ]
    results = [("memory floor: codes.sum()", "floor", floor)]
    results += [(name, kind, measure(fn, args.repeat)) for name, kind, fn in ours]
    results += [(name, kind, measure(fn, args.repeat))
                for name, kind, fn in peers(q, codes, 256)]

    print(f"\n{args.rows:,} codes of 256 bits ({nbytes / 1e6:.0f} MB), one thread, "
          f"median of {args.repeat}\n")
    print("| operation | computes | ms per call | GB/s | x memory floor |")
    print("|---|---|---:|---:|---:|")
    for name, kind, seconds in results:
        print(f"| {name} | {kind} | {seconds * 1e3:.3f} | {nbytes / seconds / 1e9:.1f} | "
              f"{seconds / floor:.2f} |")

    print()
    fastest_peer = min((seconds, name) for name, _, seconds in results[4:])
    for name, _, seconds in results[1:4]:
        print(f"- {name}: {seconds / floor:.2f}x the memory floor; "
              f"{fastest_peer[0] / seconds:.2f}x as fast as the fastest peer ({fastest_peer[1]})")

if __name__ == "__main__":
    main()
