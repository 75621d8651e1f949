"""RustBinaryEncoder against NumPy's float expression (and faiss IndexLSH when installed).

Prints a Markdown table: one 384-dim embedding per call, and a 10,000 x 384 batch, both to
256-bit codes. BLAS is held to one thread, like the encoder, which never starts threads.

    python bench/bench_encoder.py [--rows 10000] [--dim 384] [--bits 256] [--repeat 7]
"""

import os

# Some machines set these for old OpenBLAS builds; they slow a current NumPy. They are read
# when OpenBLAS loads, so they go before the first import of NumPy.
REMOVED_ENV = {
    k: os.environ.pop(k) for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ
}

import argparse
import statistics
import time

import numpy as np

import tarnwick_rs as rs

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError:  # pragma: no cover - the bench extra installs it
    threadpool_info = threadpool_limits = None

try:
    import faiss
except ImportError:
    faiss = None  # type: ignore[assignment]


def calls_for(fn, budget=0.05):
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    return max(1, int(budget / once))


def measure(cases, repeat):
    """Best and median seconds per call of each case; rounds alternate between the cases so
    that a busy moment on a shared machine hits all of them alike."""
    calls = [calls_for(fn) for _, _, fn, _ in cases]
    rounds: list[list[float]] = [[] for _ in cases]
    for _ in range(repeat):
        for k, (_, _, fn, _) in enumerate(cases):
            start = time.perf_counter()
            for _ in range(calls[k]):
                fn()
            rounds[k].append((time.perf_counter() - start) / calls[k])
    return [(min(r), statistics.median(r)) for r in rounds]


def cpu_simd():
    """The vector extensions the encoder's dispatch can pick from (Linux only)."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next(
                (line.split(":", 1)[1].split() for line in f if line.startswith("flags")), []
            )
    except OSError:
        return "unknown"
    return "avx512f" if "avx512f" in flags else ("avx2" if "avx2" in flags else "baseline x86-64")


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e3:.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--bits", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    rng = np.random.default_rng(42)
    M = rng.standard_normal((args.bits, args.dim)).astype(np.float32)
    X = rng.standard_normal((args.rows, args.dim)).astype(np.float32)
    x = X[0].copy()
    encoder = rs.RustBinaryEncoder(args.dim, args.bits, M)
    MT = M.T

    cases = []  # (case, implementation, fn, rows per call)
    cases.append(("single", "RustBinaryEncoder.encode", lambda: encoder.encode(x), 1))
    cases.append(
        (
            "single",
            "np.packbits((M @ x) >= 0)",
            lambda: np.packbits((M @ x) >= 0, bitorder="little"),
            1,
        )
    )
    cases.append(
        ("batch", "RustBinaryEncoder.encode_batch", lambda: encoder.encode_batch(X), args.rows)
    )
    cases.append(
        (
            "batch",
            "np.packbits((X @ M.T) >= 0, axis=1)",
            lambda: np.packbits((X @ MT) >= 0, axis=1, bitorder="little"),
            args.rows,
        )
    )
    faiss_note = "faiss not installed: skipped"
    if faiss is not None:
        try:
            faiss.omp_set_num_threads(1)
            index = faiss.IndexLSH(args.dim, args.bits, True, False)  # random rotation, sign at 0
            if not index.is_trained:
                index.train(X[:1000])
            xs = x[None, :].copy()
            cases.append(("single", "faiss IndexLSH.sa_encode", lambda: index.sa_encode(xs), 1))
            cases.append(
                ("batch", "faiss IndexLSH.sa_encode", lambda: index.sa_encode(X), args.rows)
            )
            faiss_note = f"faiss {faiss.__version__}, 1 OpenMP thread (its own random rotation)"
        except (AttributeError, RuntimeError, TypeError) as exc:  # an odd build: go on
            faiss_note = f"faiss skipped: {exc!r}"

    limits = threadpool_limits(limits=1) if threadpool_limits else None
    try:
        blas = "threadpoolctl not installed: BLAS threads not limited"
        if threadpool_info is not None:
            blas = "; ".join(
                f"{p['internal_api']} {p.get('version')} kernel {p.get('architecture')}, "
                f"{p['num_threads']} thread(s) ({os.path.basename(p['filepath'])})"
                for p in threadpool_info()
                if p["user_api"] == "blas"
            )
        for _, _, fn, _ in cases:
            fn()  # warm caches and lazy lookups
        results = [
            (case, name, best, median, rows)
            for (case, name, _, rows), (best, median) in zip(cases, measure(cases, args.repeat))
        ]
    finally:
        if limits is not None:
            limits.restore_original_limits()

    ours = {
        case: best for case, name, best, _, _ in results if name.startswith("RustBinaryEncoder")
    }
    numpy_best = {case: best for case, name, best, _, _ in results if name.startswith("np.")}

    agree = np.mean(
        np.unpackbits(encoder.encode_batch(X[:1000]).view(np.uint8), bitorder="little")
        == np.unpackbits(
            np.packbits((X[:1000] @ MT) >= 0, axis=1, bitorder="little"), bitorder="little"
        )
    )

    print(f"## RustBinaryEncoder: {args.dim} -> {args.bits} bits, batch of {args.rows:,}\n")
    print("| case | implementation | best / call | median / call | embeddings/s | speed vs NumPy |")
    print("|---|---|---:|---:|---:|---:|")
    for case, name, best, median, rows in results:
        ratio = numpy_best[case] / best
        cells = [
            case,
            name,
            fmt_time(best),
            fmt_time(median),
            f"{rows / best:,.0f}",
            f"{ratio:.2f}x",
        ]
        print("| " + " | ".join(cells) + " |")
    print()
    print(f"- BLAS: {blas}")
    removed = ", ".join(f"{k}={v}" for k, v in REMOVED_ENV.items()) or "none set"
    print(f"- OpenBLAS variables removed for this run: {removed}")
    print(f"- {faiss_note}")
    print(f"- NumPy {np.__version__}; CPU: {cpu_simd()}")
    single = numpy_best["single"] / ours["single"]
    batch = numpy_best["batch"] / ours["batch"]
    print(f"- single: NumPy time / encode time = {single:.2f} (goal >= 2)")
    print(f"- batch: encode_batch throughput / NumPy's = {batch:.2f} (goal >= 0.8)")
    print(
        "- the encoder rounds every product and sum (separate multiply and add, no FMA): two "
        "vector instructions per multiply-add where BLAS issues one"
    )
    print(f"- bits equal to NumPy's BLAS expression (which sums in another order): {agree:.4%}")


if __name__ == "__main__":
    main()
