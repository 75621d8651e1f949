"""examples/real_text_cache.py against a direct NumPy recomputation, and the README's claim.

The recomputation shares only the inputs with the example (embeddings, arrival orders,
projection matrices): labels come from its own reading of the question file, codes from the
encoder's fixed summation order written in NumPy, similarities from whole matrices, and the
cache from a plain replay of "best stored entry, hit if at or above the threshold".
"""
import importlib.util
import json
import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest

if int(np.__version__.split(".")[0]) < 2:
    pytest.skip("wordllama needs NumPy 2", allow_module_level=True)
# scripts/run installs the "examples" extra wherever NumPy 2 is; a wheel tested on its own
# (scripts/wheel-check, cibuildwheel) has only the "test" extra.
if importlib.util.find_spec("wordllama") is None:
    pytest.skip('the "examples" extra (wordllama) is not installed', allow_module_level=True)
# Nothing here calls the module in a way the rest of the suite does not, and under the
# sanitizers' allocator these NumPy loops take a minute.
pytestmark = pytest.mark.skipif("TW_UNDER_SANITIZER" in os.environ, reason="only NumPy work is added here")

ROOT = Path(__file__).resolve().parents[1]
QUESTIONS = ROOT / "examples" / "questions.txt"
SLICE_INTENTS, SLICE_ROUNDS = 10, 2

_spec = importlib.util.spec_from_file_location("real_text_cache", ROOT / "examples" / "real_text_cache.py")
assert _spec is not None and _spec.loader is not None
ex = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = ex  # its dataclasses look their module up there
_spec.loader.exec_module(ex)


def read_questions(intents=None):
    """(texts, labels, near-miss flags): one label per intent, a fresh one per near-miss ("! " lines)."""
    texts, labels, near, label = [], [], [], -1
    for line in QUESTIONS.read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            label += 1
            if intents is not None and label == intents:
                break
        elif line.startswith("! "):
            texts.append(line[2:])
            labels.append(f"{label}!{len(texts)}")
            near.append(True)
        elif line.strip() and not line.startswith("#"):
            texts.append(line)
            labels.append(str(label))
            near.append(False)
    return texts, np.array(labels), np.array(near)


def exact_codes(embeddings, matrix):
    """The encoder's codes: per bit, binary32 products added in order from +0.0, bit = sum >= 0."""
    sums = np.zeros((len(embeddings), len(matrix)), dtype=np.float32)
    for j in range(embeddings.shape[1]):
        sums += embeddings[:, j, None] * matrix[None, :, j]
    return np.packbits(sums >= 0, axis=1, bitorder="little").view("<u8")


def hamming_similarities(codes, bits):
    distances = np.bitwise_count(codes[:, None, :] ^ codes[None, :, :]).sum(axis=2)
    return np.float32(1) - distances.astype(np.float32) / np.float32(bits)


def replay(similarities, labels, near, threshold):
    """(hits, false hits, false hits involving a near-miss) of a cache that stores every miss,
    lookups in row order."""
    hits = false_hits = near_false_hits = 0
    stored = []
    for i in range(len(labels)):
        if stored:
            row = similarities[i, stored]
            best = int(np.argmax(row))
            if row[best] >= threshold:
                hits += 1
                if labels[stored[best]] != labels[i]:
                    false_hits += 1
                    near_false_hits += bool(near[i] or near[stored[best]])
                continue
        stored.append(i)
    return hits, false_hits, near_false_hits


def similarities_in_order(embeddings, method, seed, round_):
    """The (n, n) similarity matrix of the questions in this round's arrival order, and its dtype."""
    order = ex.arrival_order(len(embeddings), seed, round_)
    arrived = embeddings[order]
    if method == "cosine":
        unit = arrived.astype(np.float64)
        unit /= np.linalg.norm(unit, axis=1, keepdims=True)
        return order, unit @ unit.T, np.float64
    bits = int(method)
    codes = exact_codes(arrived, ex.projection(bits, arrived.shape[1], seed, round_))
    return order, hamming_similarities(codes, bits), np.float32


@pytest.fixture(scope="module")
def model():
    return ex.load_model()  # imports wordllama: where NumPy 2 is, it must be installed


def test_slice_figures_equal_numpy_recomputation(model, tmp_path, capsys):
    out, png = tmp_path / "counts.json", tmp_path / "plot.png"
    assert ex.main(["--intents", str(SLICE_INTENTS), "--rounds", str(SLICE_ROUNDS), "--json", str(out),
                    "--plot", str(png)]) == 0
    printed, progress = capsys.readouterr()
    # Not a terminal: one whole line per round, no "\r" running them together.
    assert "\r" not in progress
    assert len(re.findall(rf"^round \d+/{SLICE_ROUNDS}, [\d.]+ s$", progress, re.M)) == SLICE_ROUNDS
    got = json.loads(out.read_text())
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    texts, labels, near = read_questions(SLICE_INTENTS)
    assert got["texts"] == texts
    n = len(texts)
    embeddings, _ = ex.embed(model, texts)
    assert got["lookups"] == SLICE_ROUNDS * n
    reachable = 0
    for method in ["cosine", "64", "128", "256", "512"]:
        counts = np.zeros((3, len(got["thresholds"])), dtype=int)
        for r in range(SLICE_ROUNDS):
            order, sims, dtype = similarities_in_order(embeddings, method, got["seed"], r)
            arrived = labels[order]
            if method == "cosine":
                reachable += sum(arrived[i] in arrived[:i] for i in range(n))
            for t, threshold in enumerate(got["thresholds"]):
                counts[:, t] += replay(sims, arrived, near[order], dtype(threshold))
        assert [got["hits"][method], got["false_hits"][method], got["near_false_hits"][method]] == \
            counts.tolist(), method
    assert got["reachable"] == reachable
    # The slice is big enough that the thresholds separate something.
    assert got["hits"]["256"][0] > got["hits"]["256"][-1] and got["false_hits"]["256"][0] > 0
    # The printed table carries the same counts as rates.
    row = re.search(r"^\| 0\.70 \|(.+)\|$", printed, re.M)
    assert row is not None
    expected = [f"{100 * got['hits'][m][0] / got['lookups']:.1f} / {100 * got['false_hits'][m][0] / got['lookups']:.2f}"
                for m in ["cosine", "64", "128", "256", "512"]]
    assert [cell.strip() for cell in row.group(1).split("|")] == expected


def test_readme_recommendation_holds_on_shipped_set(model):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    pattern = (r"**Recommendation:** with (\d+)-bit codes, use a threshold of at least **(0\.\d+)**: "
               r"false hits stay under **([\d.]+) %** of lookups")
    # Literal asterisks; any run of whitespace (the README wraps its lines) where the pattern has a space.
    claim = re.search(r"\s+".join(p.replace("**", r"\*\*") for p in pattern.split(" ")), readme)
    assert claim is not None, "README states no recommendation in the expected form"
    bits, recommended, limit = claim.group(1), float(claim.group(2)), float(claim.group(3))
    defaults = ex.parse_args([])
    texts, labels, near = read_questions()
    embeddings, _ = ex.embed(model, texts)
    thresholds = [t for t in ex.THRESHOLDS if t >= recommended]
    assert thresholds[0] == recommended
    false_hits = np.zeros(len(thresholds), dtype=int)
    for r in range(defaults.rounds):
        order, sims, _ = similarities_in_order(embeddings, bits, defaults.seed, r)
        for t, threshold in enumerate(thresholds):
            false_hits[t] += replay(sims, labels[order], near[order], np.float32(threshold))[1]
    rates = 100.0 * false_hits / (defaults.rounds * len(texts))
    assert (rates < limit).all(), dict(zip(thresholds, rates))
