"""hamming_distance per call against the NumPy expression, and xor_popcount throughput."""
from __future__ import annotations

import sys

import numpy as np

import tarnwick_rs as rs
from common import cpu_name, markdown_table, per_call_seconds


def main() -> None:
    rng = np.random.default_rng(0)
    a = rng.integers(0, 2**63, 4, dtype=np.uint64)
    b = rng.integers(0, 2**63, 4, dtype=np.uint64)
    assert rs.hamming_distance(a, b) == int(np.bitwise_count(a ^ b).sum())

    ours = per_call_seconds(lambda: rs.hamming_distance(a, b), 200_000)
    numpy = per_call_seconds(lambda: int(np.bitwise_count(a ^ b).sum()), 50_000)
    rows = [
        ["`hamming_distance(a, b)`, 4 words", f"{ours * 1e9:.0f} ns", "1.0x"],
        ["`int(np.bitwise_count(a ^ b).sum())`", f"{numpy * 1e9:.0f} ns", f"{numpy / ours:.1f}x"],
    ]
    print(f"# hamming_distance on {cpu_name()}, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}\n")
    print(markdown_table(["operation", "per call", "NumPy / ours"], rows))

    print("\n## xor_popcount throughput over long codes\n")
    rows = []
    for words in (64, 4096, 1 << 20):
        x = rng.integers(0, 2**63, words, dtype=np.uint64)
        y = rng.integers(0, 2**63, words, dtype=np.uint64)
        number = max(1, 2_000_000 // words)
        t = per_call_seconds(lambda: rs.hamming_distance(x, y), number, repeat=5)
        tn = per_call_seconds(lambda: int(np.bitwise_count(x ^ y).sum()), number, repeat=5)
        gbs = 2 * words * 8 / t / 1e9
        rows.append([f"{words}", f"{t * 1e6:.2f} us", f"{gbs:.1f} GB/s", f"{tn * 1e6:.2f} us"])
    print(markdown_table(["words", "ours", "ours (both inputs)", "NumPy"], rows))


if __name__ == "__main__":
    main()
