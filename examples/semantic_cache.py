"""A semantic cache loop on tarnwick_rs, end to end, on a synthetic workload.

Each query is an embedding; near-duplicate queries ("paraphrases" of the same topic) should hit
the cache. Per query the host:

1. encodes the embedding into a 256-bit code (RustBinaryEncoder.encode),
2. searches the stored codes (RustCacheStorage.search),
3. on a hit records the access (mark_used) and uses what it keeps for that slot,
4. on a miss stores the code (add), or, when the storage is full, evicts the least recently
   used slot (evict_lru) and overwrites it (replace).

The workload: topic centres drawn from a normal distribution in 384 dimensions, topics chosen
with a Zipf-like popularity, and every query its topic's centre plus small Gaussian noise.
Time is simulated (one second per query), so a run is fully determined by its arguments.

    python examples/semantic_cache.py --queries 50000 --capacity 2000 --threshold 0.85
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import TextIO

DIM = 384
CODE_BITS = 256
START_TIME = 1_700_000_000
PROGRESS_AFTER_S = 1.0


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {value}")
    return value


def unit_float(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in [0.0, 1.0], got {value}")
    return value


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--queries", type=positive_int, default=100_000, help="number of lookups (default 100000)")
    p.add_argument("--capacity", type=positive_int, default=2000, help="cache entries (default 2000)")
    p.add_argument("--threshold", type=unit_float, default=0.85, help="minimum similarity of a hit (default 0.85)")
    p.add_argument("--seed", type=int, default=42, help="seed of the projection and the workload (default 42)")
    p.add_argument("--topics", type=positive_int, default=10_000, help="distinct topics (default 10000)")
    p.add_argument("--noise", type=float, default=0.25,
                   help="per-dimension noise of a paraphrase, relative to the topic centre (default 0.25)")
    p.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    return p.parse_args(argv)


if __name__ == "__main__":
    # Options are read before NumPy and the module are imported: --help and a bad option need
    # neither (scripts/run answers --help before it sets anything up).
    parse_args(sys.argv[1:])

import numpy as np

import tarnwick_rs as rs


def workload(queries: int, topics: int, noise: float, seed: int, chunk: int = 4096):
    """Yields (topic, embeddings) for successive chunks of queries, embeddings as float32 rows."""
    rng = np.random.default_rng([seed, 1])  # a stream apart from the projection's
    centres = rng.standard_normal((topics, DIM), dtype=np.float32)
    popularity = 1.0 / np.arange(1, topics + 1) ** 0.9
    topic = rng.choice(topics, size=queries, p=popularity / popularity.sum())
    for start in range(0, queries, chunk):
        part = topic[start : start + chunk]
        paraphrase = rng.standard_normal((len(part), DIM), dtype=np.float32)
        yield part, centres[part] + np.float32(noise) * paraphrase


class Progress:
    """A plain text bar on stderr, shown once a run has taken a second. On a terminal it is
    redrawn in place at each percent; elsewhere (a log, a pipe) it is a whole line every ten
    percent."""

    def __init__(self, total: int, enabled: bool, width: int = 40, stream: TextIO | None = None):
        self.stream = sys.stderr if stream is None else stream
        self.total, self.enabled, self.width = total, enabled, width
        self.live = self.stream.isatty()
        self.step = max(1, total // (100 if self.live else 10))
        self.started = time.perf_counter()
        self.shown = False

    def update(self, done: int) -> None:
        if not self.enabled or (done % self.step and done != self.total):
            return
        if not self.shown:
            if time.perf_counter() - self.started < PROGRESS_AFTER_S:
                return
            self.shown = True
        filled = self.width * done // self.total
        bar = "#" * filled + "." * (self.width - filled)
        line = f"[{bar}] {100 * done // self.total:3d}% {done}/{self.total}"
        if not self.live:
            self.stream.write(line + "\n")
        else:
            self.stream.write("\r" + line + ("\n" if done == self.total else ""))
        self.stream.flush()


def percentiles_us(samples_ns: np.ndarray) -> str:
    p50, p95, p99 = np.percentile(samples_ns, [50, 95, 99]) / 1000.0
    return f"{p50:.2f} / {p95:.2f} / {p99:.2f}"


def run(args: argparse.Namespace) -> dict[str, object]:
    matrix = np.random.default_rng(args.seed).standard_normal((CODE_BITS, DIM)).astype(np.float32)
    encoder = rs.RustBinaryEncoder(DIM, CODE_BITS, matrix)
    storage = rs.RustCacheStorage(args.capacity, CODE_BITS)

    slot_topic: list[int] = []  # what the host keeps per storage index
    hits = correct_hits = evictions = 0
    encode_ns = np.empty(args.queries, dtype=np.int64)
    search_ns = np.empty(args.queries, dtype=np.int64)
    progress = Progress(args.queries, not args.no_progress)
    clock = time.perf_counter_ns

    started = time.perf_counter()
    i = 0
    for topics, embeddings in workload(args.queries, args.topics, args.noise, args.seed):
        for topic, embedding in zip(topics.tolist(), embeddings):
            now = START_TIME + i
            t0 = clock()
            code = encoder.encode(embedding)
            t1 = clock()
            found = storage.search(code, args.threshold)
            t2 = clock()
            encode_ns[i], search_ns[i] = t1 - t0, t2 - t1

            if found is not None:
                index, _similarity = found
                storage.mark_used(index, now)
                hits += 1
                correct_hits += slot_topic[index] == topic
            elif len(storage) < storage.capacity:
                storage.add(code, now)
                slot_topic.append(topic)
            else:
                index = storage.evict_lru()
                storage.replace(index, code, now)
                slot_topic[index] = topic
                evictions += 1
            i += 1
            progress.update(i)
    elapsed = time.perf_counter() - started

    return {
        "queries": args.queries,
        "hits": hits,
        "hit rate": f"{100.0 * hits / args.queries:.1f}%",
        "hits on the same topic": f"{correct_hits} ({100.0 * correct_hits / max(hits, 1):.1f}%)",
        "evictions": evictions,
        "entries stored": f"{len(storage)} of {storage.capacity}",
        "encode latency p50 / p95 / p99 (us)": percentiles_us(encode_ns),
        "search latency p50 / p95 / p99 (us)": percentiles_us(search_ns),
        "memory_usage() (bytes)": storage.memory_usage(),
        "wall time (s)": f"{elapsed:.2f}",
    }


def print_table(summary: dict[str, object]) -> None:
    rows = [(name, str(value)) for name, value in summary.items()]
    left = max(len(name) for name, _ in rows)
    right = max(len(value) for _, value in rows)
    print(f"| {'metric':<{left}} | {'value':>{right}} |")
    print(f"|{'-' * (left + 2)}|{'-' * (right + 1)}:|")
    for name, value in rows:
        print(f"| {name:<{left}} | {value:>{right}} |")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    print(f"semantic cache: {args.queries} queries, capacity {args.capacity}, "
          f"threshold {args.threshold}, {args.topics} topics, seed {args.seed}")
    print_table(run(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
