"""The cache loop on real questions: hits and false hits by code_bits and threshold.

The questions (examples/questions.txt) are grouped by intent: paraphrases of one intent may share
a cached answer, while near-misses (same words, another meaning) and other intents must not. A
hit whose stored question has another intent is a false hit: a cached answer served for a
different question. Embeddings come from wordllama's bundled model (256 float32 values per
question, loaded from the wheel, no download).

Each round shuffles the questions into an arrival order, draws fresh projection matrices, and
for every threshold replays the loop of the README with an empty cache: encode the embedding,
search the stored codes, count a hit or store the code. 256-bit codes live in a
RustCacheStorage; 64-, 128- and 512-bit codes in a code matrix searched with
HammingSimilarity.find_nearest; the reference runs the same loop on exact cosine similarity of
the float embeddings. The cache holds every question, so nothing is evicted.

    pip install ".[examples]"
    python examples/real_text_cache.py [--rounds 20] [--intents N] [--readme README.md]

Progress goes to stderr, the tables to stdout, the plot to build/real_text_cache.png (untracked;
`--plot bench/real_text_cache.png` replaces the README's figure).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol

HERE = Path(__file__).resolve().parent
QUESTIONS = HERE / "questions.txt"
PLOT = HERE.parent / "build" / "real_text_cache.png"
CODE_BITS = (64, 128, 256, 512)
STORAGE_BITS = 256  # the only length RustCacheStorage records hold
COSINE = "cosine"
METHODS: tuple[str, ...] = (COSINE, *(str(bits) for bits in CODE_BITS))
THRESHOLDS = tuple(round(0.70 + 0.02 * k, 2) for k in range(15))  # 0.70, 0.72, ..., 0.98
FALSE_HIT_TARGET = 1.0  # percent of lookups, for the summary's "lowest safe threshold"
START_TIME = 1_700_000_000
README_MARKERS = ("<!-- real-text-results:start -->", "<!-- real-text-results:end -->")


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {value}")
    return value


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--questions", type=Path, default=QUESTIONS, help="question file (default examples/questions.txt)")
    p.add_argument("--intents", type=positive_int, help="use only the first N intents (a quick slice)")
    p.add_argument("--rounds", type=positive_int, default=20, help="arrival orders, each with its own projections (default 20)")
    p.add_argument("--seed", type=int, default=42, help="seed of the orders and projections (default 42)")
    p.add_argument("--plot", type=Path, default=PLOT, help="where the PNG goes (default build/real_text_cache.png)")
    p.add_argument("--no-plot", action="store_true", help="skip the plot (no matplotlib needed)")
    p.add_argument("--json", type=Path, help="also write the raw counts here")
    p.add_argument("--readme", type=Path, help="rewrite the results block of this README")
    p.add_argument("--no-progress", action="store_true", help="nothing on stderr")
    return p.parse_args(argv)


if __name__ == "__main__":
    # Options are read before NumPy, the module and wordllama are imported: --help and a bad
    # option need none of them (scripts/run answers --help before it sets anything up).
    parse_args(sys.argv[1:])

import numpy as np

import tarnwick_rs as rs


@dataclass(frozen=True)
class QuestionSet:
    texts: list[str]
    labels: np.ndarray  # int, one per text; a near-miss has a label of its own
    near_miss: np.ndarray  # bool, one per text
    intents: list[str]  # names of the intents used (near-misses not counted)


def load_questions(path: Path = QUESTIONS, intents: int | None = None) -> QuestionSet:
    """Reads the question file; `intents` keeps only the first that many intents."""
    texts: list[str] = []
    labels: list[int] = []
    near: list[bool] = []
    names: list[str] = []
    next_label = 0
    intent_label = -1
    for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        line = raw.strip()
        if line.startswith("## "):
            if intents is not None and len(names) == intents:
                break
            names.append(line[3:].strip())
            intent_label, next_label = next_label, next_label + 1
        elif not line or line.startswith("#"):
            continue
        elif intent_label < 0:
            raise ValueError(f"{path}:{number}: question before the first intent")
        elif line.startswith("! "):
            texts.append(line[2:].strip())
            labels.append(next_label)
            near.append(True)
            next_label += 1
        else:
            texts.append(line)
            labels.append(intent_label)
            near.append(False)
    if len(set(texts)) != len(texts):
        raise ValueError(f"{path}: a question appears twice")
    return QuestionSet(texts, np.array(labels), np.array(near, dtype=bool), names)


def load_model():  # -> wordllama.inference.WordLlamaInference
    """wordllama's default model, read from the installed wheel; never downloads.

    The loader looks for the tokenizer in a folder named after the singular 'tokenizer' and
    would fall back to a download; pointing its cache at the package folder finds the bundled
    'tokenizers/' copy."""
    import logging

    import wordllama

    logging.getLogger().setLevel(logging.WARNING)  # its import sets the root logger to INFO
    return wordllama.WordLlama.load(cache_dir=Path(wordllama.__file__).parent, disable_download=True)


def embed(model, texts: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """(float32 embeddings, nanoseconds per question): one question per call, as a cache sees them."""
    rows, ns = [], np.empty(len(texts), dtype=np.int64)
    for i, text in enumerate(texts):
        t0 = time.perf_counter_ns()
        rows.append(model.embed([text])[0])
        ns[i] = time.perf_counter_ns() - t0
    return np.ascontiguousarray(rows, dtype=np.float32), ns


def arrival_order(n: int, seed: int, round_: int) -> np.ndarray:
    return np.random.default_rng([seed, round_]).permutation(n)


def projection(bits: int, dim: int, seed: int, round_: int) -> np.ndarray:
    return np.random.default_rng([seed, round_, bits]).standard_normal((bits, dim), dtype=np.float32)


class Cache(Protocol):
    def lookup(self, i: int, now: int) -> int | None: ...
    def store(self, i: int, now: int) -> None: ...


class StorageCache:
    """256-bit codes in a RustCacheStorage: the loop of the README."""

    def __init__(self, encoder: rs.RustBinaryEncoder, embeddings: np.ndarray, threshold: float,
                 timings: list[int]):
        self.encoder, self.embeddings, self.threshold, self.timings = encoder, embeddings, threshold, timings
        self.storage = rs.RustCacheStorage(len(embeddings), STORAGE_BITS)
        self.code = np.empty(0, dtype=np.uint64)

    def lookup(self, i: int, now: int) -> int | None:
        t0 = time.perf_counter_ns()
        self.code = self.encoder.encode(self.embeddings[i])
        t1 = time.perf_counter_ns()
        found = self.storage.search(self.code, self.threshold)
        t2 = time.perf_counter_ns()
        self.timings += (t1 - t0, t2 - t1)
        if found is None:
            return None
        self.storage.mark_used(found[0], now)
        return found[0]

    def store(self, i: int, now: int) -> None:
        self.storage.add(self.code, now)


class MatrixCache:
    """Codes of any length in a matrix the host keeps, searched with find_nearest."""

    def __init__(self, encoder: rs.RustBinaryEncoder, embeddings: np.ndarray, threshold: float,
                 timings: list[int]):
        self.encoder, self.embeddings, self.threshold, self.timings = encoder, embeddings, threshold, timings
        self.similarity = rs.HammingSimilarity(encoder.code_bits)
        self.codes = np.zeros((len(embeddings), encoder.n_words), dtype=np.uint64)
        self.stored = 0
        self.code = np.empty(0, dtype=np.uint64)

    def lookup(self, i: int, now: int) -> int | None:
        t0 = time.perf_counter_ns()
        self.code = self.encoder.encode(self.embeddings[i])
        t1 = time.perf_counter_ns()
        found = self.similarity.find_nearest(self.code, self.codes[: self.stored], self.threshold)
        t2 = time.perf_counter_ns()
        self.timings += (t1 - t0, t2 - t1)
        return None if found is None else found[0]

    def store(self, i: int, now: int) -> None:
        self.codes[self.stored] = self.code
        self.stored += 1


class CosineCache:
    """The reference: exact cosine similarity of the float embeddings, same scan rule."""

    def __init__(self, unit: np.ndarray, threshold: float, timings: list[int]):
        self.unit, self.threshold, self.timings = unit, threshold, timings
        self.matrix = np.zeros_like(unit)
        self.stored = 0

    def lookup(self, i: int, now: int) -> int | None:
        t0 = time.perf_counter_ns()
        found = None
        if self.stored:
            sims = self.matrix[: self.stored] @ self.unit[i]
            best = int(np.argmax(sims))  # the first of equal maxima, like find_nearest
            if sims[best] >= self.threshold:
                found = best
        self.timings += (0, time.perf_counter_ns() - t0)
        return found

    def store(self, i: int, now: int) -> None:
        self.matrix[self.stored] = self.unit[i]
        self.stored += 1


def cache_loop(cache: Cache, labels: np.ndarray, near_miss: np.ndarray) -> tuple[int, int, int]:
    """Runs the lookups in the order of `labels`; returns (hits, false hits, false hits where the
    question asked or the one whose answer it got is a near-miss)."""
    slot_question: list[int] = []  # what the host keeps per stored entry
    hits = false_hits = near_false_hits = 0
    for i, label in enumerate(labels.tolist()):
        now = START_TIME + i
        slot = cache.lookup(i, now)
        if slot is None:
            cache.store(i, now)
            slot_question.append(i)
        else:
            hits += 1
            served = slot_question[slot]
            if labels[served] != label:
                false_hits += 1
                near_false_hits += bool(near_miss[i] or near_miss[served])
    return hits, false_hits, near_false_hits


@dataclass
class Results:
    thresholds: tuple[float, ...]
    lookups: int = 0
    reachable: int = 0  # lookups whose intent was asked before: the hits of a perfect cache
    hits: dict[str, list[int]] = field(default_factory=dict)
    false_hits: dict[str, list[int]] = field(default_factory=dict)
    near_false_hits: dict[str, list[int]] = field(default_factory=dict)
    timings: dict[str, list[int]] = field(default_factory=dict)  # (encode, search) ns pairs

    def rate(self, counts: list[int]) -> np.ndarray:
        return 100.0 * np.asarray(counts) / max(self.lookups, 1)


def measure(questions: QuestionSet, embeddings: np.ndarray, rounds: int, seed: int,
            thresholds: tuple[float, ...] = THRESHOLDS, progress: bool = True) -> Results:
    n, dim = embeddings.shape
    unit = embeddings.astype(np.float64)
    unit /= np.linalg.norm(unit, axis=1, keepdims=True)
    res = Results(thresholds)
    for method in METHODS:
        res.hits[method] = [0] * len(thresholds)
        res.false_hits[method] = [0] * len(thresholds)
        res.near_false_hits[method] = [0] * len(thresholds)
        res.timings[method] = []
    live = sys.stderr.isatty()
    started = time.perf_counter()
    for r in range(rounds):
        order = arrival_order(n, seed, r)
        labels, near_miss = questions.labels[order], questions.near_miss[order]
        res.lookups += n
        res.reachable += n - len(np.unique(labels))
        arrived_emb, arrived_unit = embeddings[order], unit[order]
        for method in METHODS:
            bits = 0 if method == COSINE else int(method)
            encoder = None if method == COSINE else rs.RustBinaryEncoder(dim, bits, projection(bits, dim, seed, r))
            for t, threshold in enumerate(thresholds):
                timings = res.timings[method]
                cache: Cache
                if encoder is None:
                    cache = CosineCache(arrived_unit, threshold, timings)
                elif bits == STORAGE_BITS:
                    cache = StorageCache(encoder, arrived_emb, threshold, timings)
                else:
                    cache = MatrixCache(encoder, arrived_emb, threshold, timings)
                hits, false_hits, near_false_hits = cache_loop(cache, labels, near_miss)
                res.hits[method][t] += hits
                res.false_hits[method][t] += false_hits
                res.near_false_hits[method][t] += near_false_hits
        if progress:
            # Redrawn in place on a terminal; a whole line per round in a log.
            line = f"round {r + 1}/{rounds}, {time.perf_counter() - started:.1f} s"
            sys.stderr.write(f"\r{line}" if live else f"{line}\n")
            sys.stderr.flush()
    if progress and live:
        sys.stderr.write("\n")
    return res


def method_title(method: str) -> str:
    return "cosine (float)" if method == COSINE else f"{method}-bit codes"


def results_table(res: Results) -> str:
    head = "| threshold | " + " | ".join(method_title(m) for m in METHODS) + " |"
    rule = "|---:|" + "---:|" * len(METHODS)
    rows = [head, rule]
    for t, threshold in enumerate(res.thresholds):
        cells = [f"{res.rate(res.hits[m])[t]:.1f} / {res.rate(res.false_hits[m])[t]:.2f}" for m in METHODS]
        rows.append(f"| {threshold:.2f} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def safe_threshold(res: Results, method: str, target: float = FALSE_HIT_TARGET) -> int | None:
    """Index of the lowest threshold whose false-hit rate is under `target` percent."""
    ok = np.flatnonzero(res.rate(res.false_hits[method]) < target)
    return int(ok[0]) if len(ok) else None


def summary_table(res: Results) -> str:
    rows = [f"| | lowest threshold with false hits under {FALSE_HIT_TARGET:g} % | hit rate there | "
            "false-hit rate there | share of its hits that are right | share of its false hits that "
            "involve a near-miss |", "|---|---:|---:|---:|---:|---:|"]
    for m in METHODS:
        t = safe_threshold(res, m)
        if t is None:
            rows.append(f"| {method_title(m)} | none | | | | |")
            continue
        hits, false_hits, near = res.hits[m][t], res.false_hits[m][t], res.near_false_hits[m][t]
        right = f"{100.0 * (hits - false_hits) / hits:.1f} %" if hits else "no hits"
        near_share = f"{100.0 * near / false_hits:.1f} %" if false_hits else "no false hits"
        rows.append(f"| {method_title(m)} | {res.thresholds[t]:.2f} | {res.rate(res.hits[m])[t]:.1f} % | "
                    f"{res.rate(res.false_hits[m])[t]:.2f} % | {right} | {near_share} |")
    return "\n".join(rows)


def latency_table(res: Results, embed_ns: np.ndarray) -> str:
    def us(samples: np.ndarray) -> str:
        p50, p99 = np.percentile(samples, [50, 99]) / 1000.0
        return f"{p50:.2f} / {p99:.2f}"

    rows = ["| per lookup | encode p50 / p99 (µs) | search p50 / p99 (µs) | encode + search p50 (µs) |",
            "|---|---:|---:|---:|"]
    for m in METHODS:
        pairs = np.asarray(res.timings[m], dtype=np.int64).reshape(-1, 2)
        enc = "" if m == COSINE else us(pairs[:, 0])
        where = {COSINE: "NumPy, float64 matrix-vector product + argmax", str(STORAGE_BITS): "RustCacheStorage.search"}
        name = f"{method_title(m)}: {where.get(m, 'HammingSimilarity.find_nearest')}"
        rows.append(f"| {name} | {enc} | {us(pairs[:, 1])} | {np.percentile(pairs.sum(axis=1), 50) / 1000:.2f} |")
    return "\n".join(rows) + (f"\n\nEmbedding one question with wordllama, which comes before all this, takes "
                              f"{us(embed_ns)} µs (p50 / p99).")


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def run_description(questions: QuestionSet, res: Results, rounds: int, seed: int, wall: float) -> str:
    import wordllama

    n = len(questions.texts)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (f"{n} questions ({int((~questions.near_miss).sum())} paraphrases in {len(questions.intents)} intents, "
            f"{int(questions.near_miss.sum())} near-misses), {rounds} arrival orders (seed {seed}), "
            f"{res.lookups} lookups per cell; a perfect cache would hit "
            f"{100.0 * res.reachable / res.lookups:.1f} % of lookups (those whose intent was asked before) "
            f"and serve no false hit. Run on {date}: {cpu_name()}, {os.cpu_count()} logical cores, "
            f"CPython {platform.python_version()}, NumPy {np.__version__}, wordllama {wordllama.__version__}, "
            f"tarnwick_rs {rs.rust_version()}; the whole example took {wall:.1f} s.")


def plot(res: Results, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12.8, 5.2))
    styles = {COSINE: ("k", "--", "x"), "64": ("C0", "-", "o"), "128": ("C1", "-", "s"),
              "256": ("C2", "-", "^"), "512": ("C3", "-", "D")}
    perfect = 100.0 * res.reachable / res.lookups
    # Left: every threshold; right: the low-false-hit corner where a cache can be run.
    for ax, zoom in zip(axes, (False, True)):
        for m in METHODS:
            colour, line, marker = styles[m]
            x, y = res.rate(res.false_hits[m]), res.rate(res.hits[m])
            ax.plot(x, y, color=colour, linestyle=line, marker=marker, markersize=4, label=method_title(m))
            if m in (COSINE, str(STORAGE_BITS)):
                for t, threshold in enumerate(res.thresholds):
                    if t % (1 if zoom else 3) == 0 and (not zoom or x[t] <= 3.0):
                        ax.annotate(f"{threshold:.2f}", (x[t], y[t]), textcoords="offset points",
                                    xytext=(5, -9) if m == COSINE else (-24, 4), fontsize="x-small", color=colour)
        ax.axvline(FALSE_HIT_TARGET, color="grey", linestyle=":", linewidth=1)
        ax.set(xlabel="false-hit rate (% of lookups served another intent's answer)", ylabel="hit rate (% of lookups)")
        ax.grid(True, alpha=0.3)
        if zoom:
            ax.set(xlim=(0, 3.0), ylim=(0, 15), title="Zoom: false hits up to 3 %, labels are thresholds")
        else:
            ax.axhline(perfect, color="grey", linestyle=":", linewidth=1)
            ax.annotate(f"perfect cache: {perfect:.1f} %", (0.3, perfect), xycoords=("axes fraction", "data"),
                        ha="left", va="bottom", fontsize="x-small", color="grey")
            ax.set(xlim=(0, None), ylim=(0, None), title="Hits against false hits, one point per threshold")
            ax.legend(fontsize="small", loc="lower right")
    fig.suptitle(title, fontsize="small")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def update_readme(readme: Path, block: str) -> None:
    start, end = README_MARKERS
    text = readme.read_text(encoding="utf-8")
    if start not in text or end not in text:
        raise SystemExit(f"{readme}: markers {start} … {end} not found")
    head, rest = text.split(start, 1)
    _, tail = rest.split(end, 1)
    readme.write_text(f"{head}{start}\n{block}\n{end}{tail}", encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    started = time.perf_counter()
    say = (lambda text: print(text, file=sys.stderr, flush=True)) if not args.no_progress else (lambda text: None)

    questions = load_questions(args.questions, args.intents)
    say(f"loading wordllama's bundled model, embedding {len(questions.texts)} questions")
    embeddings, embed_ns = embed(load_model(), questions.texts)
    say(f"{args.rounds} rounds x {len(METHODS)} similarities x {len(THRESHOLDS)} thresholds")
    res = measure(questions, embeddings, args.rounds, args.seed, progress=not args.no_progress)
    if not args.no_plot:
        plot(res, args.plot, f"{len(questions.texts)} questions, {len(questions.intents)} intents, "
                             f"{args.rounds} arrival orders, wordllama embeddings")
        say(f"plot: {args.plot}")
    wall = time.perf_counter() - started

    tables = "\n\n".join([
        "Hit rate / false-hit rate, in % of lookups:", results_table(res), summary_table(res),
        f"Latency per lookup in this run (stores of up to {len(questions.texts)} entries; the times include "
        "the Python calls of the loop):", latency_table(res, embed_ns)])
    description = run_description(questions, res, args.rounds, args.seed, wall)
    print(description + "\n\n" + tables)
    if args.json:
        args.json.write_text(json.dumps({
            "texts": questions.texts, "thresholds": list(res.thresholds), "rounds": args.rounds, "seed": args.seed,
            "lookups": res.lookups, "reachable": res.reachable, "hits": res.hits, "false_hits": res.false_hits,
            "near_false_hits": res.near_false_hits,
        }, indent=1))
    if args.readme:
        update_readme(args.readme, "\n" + description + "\n\n" + tables + "\n")
    say(f"wall time {wall:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
